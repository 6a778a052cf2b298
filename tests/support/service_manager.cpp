#include "service_manager.h"

#include <nlohmann/json.hpp>

namespace testing_support {

void ServiceManagerTest::SetUp() {
    MachineTest::SetUp();
    m_manager.reset(OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(m_manager) << GetLastError();
}

void ServiceManagerTest::TearDown() {
    m_manager.reset();
    MachineTest::TearDown();
}

OpenedService OpenServiceEntry(LPCWSTR name, DWORD access) {
    OpenedService opened;
    opened.manager.reset(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
    if (opened.manager)
        opened.service.reset(OpenServiceW(opened.manager.get(), name, access));
    return opened;
}

std::vector<std::string> MessageBoxTexts(const std::string& root, const std::string& caption) {
    std::vector<std::string> texts;
    const std::string log = ReadFile(root + "/messagebox.jsonl");
    for (size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos;
         start = end + 1) {
        nlohmann::json record = nlohmann::json::parse(log.substr(start, end - start));
        EXPECT_EQ(record["caption"], caption);
        EXPECT_EQ(record["type"], MB_OK);
        texts.push_back(record["text"]);
    }
    return texts;
}

} // namespace testing_support
