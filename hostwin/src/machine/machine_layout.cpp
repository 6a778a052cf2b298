// The machine layout: the canonical root, every path below it, and the mapping between
// Windows paths and host paths (C:\ is the machine's drive_c, Z:\ is the host's /).
#include "machine/machine_layout.h"

#include <hostwin/control.h>
#include <hostwin/text.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace hostwin::layout {

namespace {

// A relative root means the folder it names from where the program started, whatever the
// program does with its current folder later.
const std::string g_startFolder = [] {
    std::error_code error;
    return std::filesystem::current_path(error).string();
}();

std::string DefaultRoot() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data)
        return std::string(data) + "/hostwin";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.local/share/hostwin";
}

// The root is canonicalised once per spelling: tests change HOSTWIN_ROOT between cases.
struct RootCache {
    std::mutex lock;
    std::string spelling;
    std::string canonical;
};
RootCache& Cache() {
    static RootCache* cache = new RootCache; // used until the process ends
    return *cache;
}

} // namespace

std::string CanonicalRoot(const std::string& spelling, const std::string& startFolder) {
    namespace fs = std::filesystem;
    fs::path path(spelling);
    if (path.is_relative())
        path = fs::path(startFolder) / path;
    std::error_code error;
    // Symlinks of the part that exists are resolved; the rest is only made lexically normal.
    fs::path canonical = fs::weakly_canonical(path, error);
    std::string text = (error ? path.lexically_normal() : canonical).string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

std::string Root() {
    const char* variable = std::getenv("HOSTWIN_ROOT");
    const std::string spelling = variable && *variable ? variable : DefaultRoot();
    RootCache& cache = Cache();
    std::lock_guard<std::mutex> guard(cache.lock);
    // A root that does not exist yet may become a symlink later; only a found one is kept.
    if (cache.spelling != spelling || !std::filesystem::exists(cache.canonical)) {
        cache.spelling = spelling;
        cache.canonical = CanonicalRoot(spelling, g_startFolder);
    }
    return cache.canonical;
}

std::string DriveC() {
    return Root() + "/drive_c";
}
std::string RegistryFolder() {
    return Root() + "/registry";
}
std::string RegistryStore() {
    return RegistryFolder() + "/registry.db";
}
std::string ScmFolder() {
    return Root() + "/scm";
}
std::string ScmDatabase() {
    return ScmFolder() + "/services.db";
}
std::string ScmChangeMark() {
    return ScmFolder() + "/services.db-changed";
}
std::string ScmControlFolder() {
    return ScmFolder() + "/control";
}
std::string ScmControlSocket(pid_t pid) {
    return ScmControlFolder() + "/" + std::to_string(pid) + ".sock";
}
std::string ProcessesFolder() {
    return Root() + "/processes";
}
std::string ExitRecordsFolder() {
    return ProcessesFolder() + "/exit";
}
std::string ExitRecord(pid_t pid, unsigned long long startTime) {
    return ExitRecordsFolder() + "/" + std::to_string(pid) + "-" + std::to_string(startTime);
}
std::string EventLogFolder() {
    return Root() + "/eventlog";
}
std::string ApplicationEventLog() {
    return EventLogFolder() + "/Application.jsonl";
}
std::string SystemEventLog() {
    return EventLogFolder() + "/System.jsonl";
}
std::string DebugLog() {
    return Root() + "/debug.log";
}
std::string MessageBoxLog() {
    return Root() + "/messagebox.jsonl";
}

const std::vector<FreshKey>& FreshMachineKeys() {
    static const std::vector<FreshKey> keys = {
        {true, {u"SOFTWARE", u"Classes", u"AppID"}},
        {true, {u"SOFTWARE", u"Classes", u"CLSID"}},
        {true, {u"SOFTWARE", u"Classes", u"Interface"}},
        {true, {u"SOFTWARE", u"Classes", u"TypeLib"}},
        {true, {u"SOFTWARE", u"Microsoft"}},
        {false, {u"Software", u"Classes"}},
        {false, {u"Software", u"Microsoft"}},
    };
    return keys;
}

} // namespace hostwin::layout

namespace hostwin {

namespace {

bool IsDriveLetter(WCHAR c, WCHAR letter) {
    return FoldChar(c) == letter;
}

} // namespace

std::string MachineRoot() {
    return layout::Root();
}

std::string HostPath(const std::u16string& windowsPath) {
    std::u16string path = windowsPath;
    for (char16_t& c : path)
        if (c == u'\\')
            c = u'/';
    if (path.size() >= 2 && path[1] == u':') {
        std::u16string rest = path.substr(2);
        if (IsDriveLetter(path[0], u'C'))
            return layout::DriveC() + (rest.empty() || rest[0] != u'/' ? "/" : "") + ToUtf8(rest);
        if (IsDriveLetter(path[0], u'Z'))
            return rest.empty() ? "/" : ToUtf8(rest);
    }
    return ToUtf8(path);
}

std::u16string WindowsPath(const std::string& hostPath) {
    const std::string driveC = layout::DriveC();
    std::string rest;
    std::u16string drive;
    if (hostPath.compare(0, driveC.size(), driveC) == 0 &&
        (hostPath.size() == driveC.size() || hostPath[driveC.size()] == '/')) {
        drive = u"C:";
        rest = hostPath.substr(driveC.size());
    } else {
        drive = u"Z:";
        rest = hostPath;
    }
    if (rest.empty())
        rest = "/";
    std::u16string path = drive + FromUtf8(rest);
    for (char16_t& c : path)
        if (c == u'/')
            c = u'\\';
    return path;
}

} // namespace hostwin
