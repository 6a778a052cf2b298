// tasklist and taskkill, driven out of process as scripts and users drive them: the table they
// print, the processes they reach (this machine's only) and their exit codes.
#include "machine.h"

#include <windows.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using testing_support::MachineTest;
using testing_support::ProgramResult;
using testing_support::RunProgram;
using testing_support::SpawnProgram;

namespace {

namespace fs = std::filesystem;

// Agents started behind hostwin's back, as from a shell; ended and reaped by the test.
class ToolsTest : public MachineTest {
protected:
    void TearDown() override {
        for (int pid : m_started) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        MachineTest::TearDown();
    }

    int StartAgent(const std::string& name, const std::string& root) {
        std::string path = RootPath("drive_c/agents/" + name);
        fs::create_directories(fs::path(path).parent_path());
        if (!fs::exists(path))
            fs::copy_file(PELLARD_EXE, path);
        int pid = SpawnProgram({path}, {{"HOSTWIN_ROOT", root}});
        EXPECT_GT(pid, 0);
        m_started.push_back(pid);
        // The spawn returns before the kernel shows the new program's environment.
        const std::string environ = "/proc/" + std::to_string(pid) + "/environ";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (testing_support::ReadFile(environ).empty() &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        return pid;
    }

    // True while the agent runs; collects it once it has ended.
    static bool Running(int pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }

    // Exit status of an agent that taskkill ended (it reports no more than "killed").
    static bool EndedBySignal(int pid) {
        int status = 0;
        return waitpid(pid, &status, 0) == pid && WIFSIGNALED(status);
    }

private:
    std::vector<int> m_started;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string Row(const std::string& image, int pid) {
    std::string row = image;
    row.resize(25, ' ');
    std::string number = std::to_string(pid);
    return row + " " + std::string(8 - number.size(), ' ') + number;
}

TEST_F(ToolsTest, TasklistPrintsThisMachinesProcessesAsTheWindowsTable) {
    int here = StartAgent("pellard.exe", Root());
    int other = StartAgent("pellard.exe", Root() + "/other-machine");
    int longName = StartAgent("a-rather-long-agent-name-indeed.exe", Root());

    ProgramResult result = RunProgram({TASKLIST_EXE});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    std::vector<std::string> lines = Lines(result.out);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "Image Name                     PID");
    EXPECT_EQ(lines[2], "========================= ========");
    auto listed = [&lines](const std::string& row) {
        return std::find(lines.begin(), lines.end(), row) != lines.end();
    };
    EXPECT_TRUE(listed(Row("pellard.exe", here))) << result.out;
    EXPECT_TRUE(listed(Row("a-rather-long-agent-name-", longName))) << result.out;
    EXPECT_FALSE(listed(Row("pellard.exe", other))) << result.out;
    // Both agents and tasklist itself; nothing of the other machine, not this test.
    EXPECT_EQ(lines.size(), 6u) << result.out;

    ProgramResult bare = RunProgram({TASKLIST_EXE, "/nh"});
    ASSERT_EQ(bare.exitStatus, 0);
    std::vector<std::string> bareLines = Lines(bare.out);
    EXPECT_EQ(bareLines.size(), 4u) << bare.out;
    EXPECT_EQ(std::count(bareLines.begin(), bareLines.end(), Row("pellard.exe", here)), 1);

    ProgramResult wrong = RunProgram({TASKLIST_EXE, "/bogus"});
    EXPECT_EQ(wrong.exitStatus, ERROR_INVALID_PARAMETER);
    EXPECT_NE(wrong.err.find("ERROR: Invalid argument/option - '/bogus'."), std::string::npos);
    EXPECT_EQ(wrong.out, "");
}

TEST_F(ToolsTest, TaskkillEndsEveryProcessOfTheNameOnThisMachineOnly) {
    int first = StartAgent("pellard.exe", Root());
    int second = StartAgent("pellard.exe", Root());
    int other = StartAgent("pellard.exe", Root() + "/other-machine");
    int unrelated = StartAgent("sentinel.exe", Root());

    // Image names are compared without regard to case, as on Windows.
    ProgramResult result = RunProgram({TASKKILL_EXE, "/im", "PELLARD.EXE", "/f"});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    for (int pid : {first, second})
        EXPECT_NE(result.out.find("SUCCESS: The process \"pellard.exe\" with PID " +
                                  std::to_string(pid) + " has been terminated.\n"),
                  std::string::npos)
            << result.out;
    EXPECT_EQ(Lines(result.out).size(), 2u) << result.out;
    EXPECT_TRUE(EndedBySignal(first));
    EXPECT_TRUE(EndedBySignal(second));
    EXPECT_TRUE(Running(other));
    EXPECT_TRUE(Running(unrelated));

    ProgramResult again = RunProgram({TASKKILL_EXE, "/IM", "pellard.exe", "/F"});
    EXPECT_EQ(again.exitStatus, 128);
    EXPECT_EQ(again.err, "ERROR: The process \"pellard.exe\" not found.\n");
    EXPECT_EQ(again.out, "");
    EXPECT_TRUE(Running(other));
}

TEST_F(ToolsTest, TaskkillRefusesWhatItCannotDo) {
    int agent = StartAgent("pellard.exe", Root());
    struct Case {
        std::vector<std::string> arguments;
        int exitStatus;
        const char* message;
    } cases[] = {
        // Without /F: these processes have no window to be asked to close.
        {{"/IM", "pellard.exe"},
         ERROR_INVALID_FUNCTION,
         "Reason: This process can only be terminated forcefully (with /F option)."},
        {{"/F"}, ERROR_INVALID_PARAMETER, "ERROR: Invalid syntax. /IM option is required."},
        {{"/IM"}, ERROR_INVALID_PARAMETER, "ERROR: Invalid argument/option - '/IM'."},
        {{"/IM", "pellard.exe", "/T", "/F"},
         ERROR_INVALID_PARAMETER,
         "ERROR: Invalid argument/option - '/T'."},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{TASKKILL_EXE};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        ProgramResult result = RunProgram(argv);
        EXPECT_EQ(result.exitStatus, c.exitStatus) << c.message;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_TRUE(Running(agent)) << c.message;
    }
}

} // namespace
