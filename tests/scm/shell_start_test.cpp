// tollivar.exe started from a shell: the AppID entry decides between the service course, which
// cannot connect outside the manager, and the local server, which supervises the agent itself.
#include "scm_support.h"

#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

namespace {

using scm_support::AgentCount;
using scm_support::AwaitCondition;

const char16_t kAppIdPath[] = u"AppID\\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}";

class ShellStartTest : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        scm_support::InstallAgent(Root());
    }
    std::map<std::string, std::string> Environment() const {
        return {{"HOSTWIN_ROOT", Root()},
                {"HOSTWIN_TIME_SCALE", "0.01"},
                {"HOSTWIN_SHOW_EXIT_CODE", "1"}};
    }
    // The value as raw bytes, so that any type and any ending can be stored.
    void WriteValue(DWORD type, const std::vector<BYTE>& data) {
        HKEY key = NULL;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, kAppIdPath, 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                                  &key, NULL),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(key, u"LocalService", 0, type, data.data(),
                                 static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static std::vector<BYTE> Text(const std::u16string& text, bool withZero = true) {
        std::vector<BYTE> bytes;
        for (char16_t c : text) {
            bytes.push_back(static_cast<BYTE>(c & 0xFF));
            bytes.push_back(static_cast<BYTE>(c >> 8));
        }
        if (withZero)
            bytes.insert(bytes.end(), {0, 0});
        return bytes;
    }
};

TEST_F(ShellStartTest, WithoutTheAppIdEntryNothingRuns) {
    struct Case {
        const char* what;
        bool parent; // HKCR\AppID exists
    } cases[] = {{"no AppID key", false}, {"no sub-key for tollivar", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.parent) {
            HKEY key = NULL;
            ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT,
                                      u"AppID\\{00000000-0000-0000-0000-000000000000}", 0, NULL, 0,
                                      KEY_ALL_ACCESS, NULL, &key, NULL),
                      ERROR_SUCCESS);
            RegCloseKey(key);
        }
        testing_support::ProgramResult result =
            testing_support::RunProgram({TOLLIVAR_EXE}, Environment());
        EXPECT_EQ(result.exitStatus, ERROR_FILE_NOT_FOUND);
        EXPECT_NE(result.err.find("exit code 0x00000002"), std::string::npos) << result.err;
        EXPECT_EQ(AgentCount(), 0);
    }
}

TEST_F(ShellStartTest, TheLocalServiceValueDecidesTheCourse) {
    const std::vector<BYTE> dword = {1, 0, 0, 0};
    struct Case {
        const char* what;
        DWORD type;
        std::vector<BYTE> data;
        bool service;
    } cases[] = {
        {"the service name", REG_SZ, Text(u"pellardservice"), true},
        {"an empty string", REG_SZ, Text(u""), true},
        {"259 characters, the most the buffer holds", REG_SZ, Text(std::u16string(259, u's')),
         true},
        {"an expandable string", REG_EXPAND_SZ, Text(u"pellardservice"), true},
        {"260 characters", REG_SZ, Text(std::u16string(260, u's')), false},
        {"a number", REG_DWORD, dword, false},
        {"a string without its final zero", REG_SZ, Text(u"pellardservice", false), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteValue(c.type, c.data);
        if (c.service) {
            testing_support::ProgramResult result =
                testing_support::RunProgram({TOLLIVAR_EXE}, Environment());
            EXPECT_EQ(result.exitStatus, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT & 0xFF);
            EXPECT_NE(result.err.find("exit code 0x00000427"), std::string::npos) << result.err;
            EXPECT_EQ(AgentCount(), 0) << "nothing runs";
            continue;
        }
        int server = testing_support::SpawnProgram({TOLLIVAR_EXE}, Environment());
        EXPECT_TRUE(AwaitCondition([] { return AgentCount() == 1; })) << "a local server";
        EXPECT_EQ(waitpid(server, nullptr, WNOHANG), 0) << "it keeps running";
        kill(server, SIGKILL);
        waitpid(server, nullptr, 0);
        testing_support::RunProgram({TASKKILL_EXE, "/IM", "pellard.exe", "/F"}, Environment());
        ASSERT_TRUE(AwaitCondition([] { return AgentCount() == 0; }));
    }
}

// Without the value the process supervises the agent itself: stale agents ended, one launched,
// a dead one replaced by the watchdog.
TEST_F(ShellStartTest, ALocalServerSupervisesTheAgent) {
    HKEY key = NULL;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, kAppIdPath, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key,
                              NULL),
              ERROR_SUCCESS);
    RegCloseKey(key);
    const std::string agent = RootPath("drive_c/pellard/bin/pellard.exe");
    int stale = testing_support::SpawnProgram({agent}, {{"HOSTWIN_ROOT", Root()}});
    ASSERT_TRUE(AwaitCondition([] { return AgentCount() == 1; }));
    int server = testing_support::SpawnProgram({TOLLIVAR_EXE}, Environment());
    EXPECT_TRUE(AwaitCondition([&] { return waitpid(stale, nullptr, WNOHANG) == stale; }));
    EXPECT_TRUE(AwaitCondition([] { return AgentCount() == 1; }));
    testing_support::RunProgram({TASKKILL_EXE, "/IM", "pellard.exe", "/F"}, Environment());
    EXPECT_TRUE(AwaitCondition([] { return AgentCount() == 1; })) << "the watchdog relaunched it";
    std::vector<std::string> events = scm_support::EventTexts(Root(), "Application");
    EXPECT_TRUE(events.empty());
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    testing_support::RunProgram({TASKKILL_EXE, "/IM", "pellard.exe", "/F"}, Environment());
    EXPECT_TRUE(AwaitCondition([] { return AgentCount() == 0; }));
}

} // namespace
