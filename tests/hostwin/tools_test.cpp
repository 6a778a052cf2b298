// tasklist and taskkill, driven out of process as scripts and users drive them: the table they
// print, the processes they reach (this machine's only) and their exit codes.
#include "machine.h"

#include <windows.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using testing_support::ProgramResult;
using testing_support::RunProgram;

namespace {

namespace fs = std::filesystem;

// Agents started behind hostwin's back, as from a shell; ended and reaped by the test.
class ToolsTest : public testing_support::MachineTest {
protected:
    void TearDown() override {
        for (int pid : m_started)
            if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) { // not collected by the test
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        MachineTest::TearDown();
    }

    // Starts a copy of the sample agent as `name`, as from a shell; on this machine by default.
    int StartAgent(const std::string& name, const std::string& root = "") {
        const std::string path = RootPath("drive_c/agents/" + name);
        fs::create_directories(fs::path(path).parent_path());
        fs::copy_file(PELLARD_EXE, path, fs::copy_options::skip_existing);
        const int pid =
            testing_support::SpawnProgram({path}, {{"HOSTWIN_ROOT", root.empty() ? Root() : root}});
        EXPECT_GT(pid, 0);
        m_started.push_back(pid);
        // The spawn returns before the kernel shows the new program's environment.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (testing_support::ReadFile("/proc/" + std::to_string(pid) + "/environ").empty() &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        return pid;
    }

    // True while the agent runs; collects it once it has ended.
    static bool Running(int pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }

private:
    std::vector<int> m_started;
};

size_t LineCount(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Whether the table has the row: the image name padded to 25 columns, the pid right-aligned in 8.
bool Listed(const std::string& table, const char* image, int pid) {
    char row[64];
    std::snprintf(row, sizeof row, "\n%-25s %8d\n", image, pid);
    return table.find(row) != std::string::npos;
}

TEST_F(ToolsTest, TasklistShowsAndTaskkillEndsProcessesByImageName) {
    const int first = StartAgent("pellard.exe");
    const int second = StartAgent("pellard.exe");
    const int longName = StartAgent("a-rather-long-agent-name-indeed.exe");
    const int other = StartAgent("pellard.exe", Root() + "/other-machine");

    ProgramResult list = RunProgram({TASKLIST_EXE});
    ASSERT_EQ(list.exitStatus, 0) << list.err;
    const std::string header = "\nImage Name                     PID\n"
                               "========================= ========\n";
    EXPECT_EQ(list.out.substr(0, header.size()), header);
    EXPECT_TRUE(Listed(list.out, "pellard.exe", first)) << list.out;
    EXPECT_TRUE(Listed(list.out, "pellard.exe", second)) << list.out;
    EXPECT_TRUE(Listed(list.out, "a-rather-long-agent-name-", longName)) << list.out;
    EXPECT_FALSE(Listed(list.out, "pellard.exe", other)) << list.out;
    EXPECT_EQ(LineCount(list.out), 7u) << "three agents and tasklist, not this test: " << list.out;

    // Image names are compared without regard to case, as on Windows.
    ProgramResult kill = RunProgram({TASKKILL_EXE, "/im", "PELLARD.EXE", "/f"});
    EXPECT_EQ(kill.exitStatus, 0) << kill.err;
    EXPECT_EQ(LineCount(kill.out), 2u) << kill.out;
    for (int pid : {first, second}) {
        EXPECT_NE(kill.out.find("SUCCESS: The process \"pellard.exe\" with PID " +
                                std::to_string(pid) + " has been terminated.\n"),
                  std::string::npos)
            << kill.out;
        int status = 0; // the code taskkill gives is not seen here, only that it was killed
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status));
    }
    EXPECT_TRUE(Running(longName));
    EXPECT_TRUE(Running(other));

    ProgramResult again = RunProgram({TASKKILL_EXE, "/IM", "pellard.exe", "/F"});
    EXPECT_EQ(again.exitStatus, 128);
    EXPECT_EQ(again.err, "ERROR: The process \"pellard.exe\" not found.\n");
    EXPECT_EQ(again.out, "");

    ProgramResult bare = RunProgram({TASKLIST_EXE, "/nh"});
    ASSERT_EQ(bare.exitStatus, 0);
    EXPECT_EQ(LineCount(bare.out), 3u) << "the long-named agent and tasklist: " << bare.out;
    EXPECT_TRUE(Listed(bare.out, "a-rather-long-agent-name-", longName)) << bare.out;
}

// Rows of agents named pellard.exe in a tasklist table, tasklist's own row left out.
std::vector<std::string> AgentRows(const std::string& table) {
    std::vector<std::string> rows;
    size_t start = 0;
    for (size_t end; (end = table.find('\n', start)) != std::string::npos; start = end + 1)
        if (table.compare(start, 11, "pellard.exe") == 0)
            rows.push_back(table.substr(start, end - start));
    std::sort(rows.begin(), rows.end());
    return rows;
}

TEST_F(ToolsTest, EverySpellingOfTheRootIsOneMachine) {
    const std::string canonical = fs::canonical(Root()).string();
    fs::create_directories(RootPath("elsewhere/deeper"));
    fs::create_directory_symlink(canonical, RootPath("elsewhere/link"));
    // Agents started with two other spellings belong to the machine all the same.
    StartAgent("pellard.exe");
    StartAgent("pellard.exe", Root() + "/");
    StartAgent("pellard.exe", RootPath("elsewhere/link"));
    const std::vector<std::string> expected = AgentRows(RunProgram({TASKLIST_EXE, "/NH"}).out);
    ASSERT_EQ(expected.size(), 3u);
    const struct {
        const char* spelling;
        std::string root;
        std::string folder;
    } cases[] = {
        {"canonical", canonical, ""},
        {"trailing slashes", canonical + "//", ""},
        {"dot and dot-dot", canonical + "/./elsewhere/../.", ""},
        {"through a symlink", RootPath("elsewhere/link"), ""},
        {"relative to where the tool starts", "../..", RootPath("elsewhere/deeper")},
        {"relative through a symlink", "link", RootPath("elsewhere")},
    };
    for (const auto& c : cases) {
        ProgramResult list =
            RunProgram({TASKLIST_EXE, "/NH"}, {{"HOSTWIN_ROOT", c.root}}, c.folder);
        EXPECT_EQ(list.exitStatus, 0) << c.spelling << ": " << list.err;
        EXPECT_EQ(AgentRows(list.out), expected) << c.spelling;
    }
    // The same relative spelling from another folder is another machine.
    ProgramResult other =
        RunProgram({TASKLIST_EXE, "/NH"}, {{"HOSTWIN_ROOT", ".."}}, RootPath("elsewhere/deeper"));
    EXPECT_TRUE(AgentRows(other.out).empty()) << other.out;
}

TEST_F(ToolsTest, ToolsRefuseWhatTheyCannotDo) {
    const int agent = StartAgent("pellard.exe");
    struct Case {
        int exitStatus;
        const char* message;
        std::vector<std::string> argv;
    } cases[] = {
        {ERROR_INVALID_PARAMETER,
         "ERROR: Invalid argument/option - '/bogus'.",
         {TASKLIST_EXE, "/bogus"}},
        // Without /F: these processes have no window to be asked to close.
        {ERROR_INVALID_FUNCTION,
         "Reason: This process can only be terminated forcefully (with /F option).",
         {TASKKILL_EXE, "/IM", "pellard.exe"}},
        {ERROR_INVALID_PARAMETER,
         "ERROR: Invalid syntax. /IM option is required.",
         {TASKKILL_EXE, "/F"}},
        {ERROR_INVALID_PARAMETER, "ERROR: Invalid argument/option - '/IM'.", {TASKKILL_EXE, "/IM"}},
        {ERROR_INVALID_PARAMETER,
         "ERROR: Invalid argument/option - '/T'.",
         {TASKKILL_EXE, "/IM", "pellard.exe", "/T", "/F"}},
    };
    for (const Case& c : cases) {
        ProgramResult result = RunProgram(c.argv);
        EXPECT_EQ(result.exitStatus, c.exitStatus) << c.message;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "") << c.message;
        EXPECT_TRUE(Running(agent)) << c.message;
    }
}

} // namespace
