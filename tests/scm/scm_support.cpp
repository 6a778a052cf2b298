#include "scm_support.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <algorithm>
#include <sstream>
#include <thread>

namespace scm_support {

void WriteAppId(bool asService) {
    HKEY key = NULL;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"AppID\\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}",
                              0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL),
              ERROR_SUCCESS);
    if (asService) {
        const char16_t name[] = u"pellardservice";
        EXPECT_EQ(RegSetValueExW(key, u"LocalService", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(name), sizeof name),
                  ERROR_SUCCESS);
    }
    RegCloseKey(key);
}

std::u16string TollivarBinaryPath() {
    return u"\"" + hostwin::WindowsPath(TOLLIVAR_EXE) + u"\"";
}

void InstallAgent(const std::string& root) {
    std::filesystem::create_directories(root + "/drive_c/pellard/bin");
    std::filesystem::copy_file(PELLARD_EXE, root + "/drive_c/pellard/bin/pellard.exe",
                               std::filesystem::copy_options::skip_existing);
}

bool AwaitCondition(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::vector<std::vector<std::string>> EventInserts(const std::string& root, const std::string& log,
                                                   unsigned id) {
    std::vector<std::vector<std::string>> inserts;
    const std::string content = testing_support::ReadFile(root + "/eventlog/" + log + ".jsonl");
    // Only whole lines: the service may be appending one right now.
    for (size_t start = 0, end; (end = content.find('\n', start)) != std::string::npos;
         start = end + 1) {
        nlohmann::json entry = nlohmann::json::parse(content.substr(start, end - start));
        if (id == 0 || entry["id"].get<unsigned>() == id)
            inserts.push_back(entry["strings"].get<std::vector<std::string>>());
    }
    return inserts;
}

std::vector<std::string> EventTexts(const std::string& root, const std::string& log, unsigned id) {
    std::vector<std::string> texts;
    for (const std::vector<std::string>& strings : EventInserts(root, log, id))
        texts.push_back(strings.empty() ? "" : strings[0]);
    return texts;
}

std::string HandlesLeftOpen(const std::string& reportPath) {
    std::string report;
    // Whole once it has one line per kind.
    if (!AwaitCondition([&] {
            report = testing_support::ReadFile(reportPath);
            return static_cast<size_t>(std::count(report.begin(), report.end(), '\n')) ==
                   hostwin::kHandleKindCount;
        }))
        return "no report";
    std::string open;
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);)
        if (line.substr(line.find('\t') + 1) != "0")
            open += line + "\n";
    return open;
}

} // namespace scm_support
