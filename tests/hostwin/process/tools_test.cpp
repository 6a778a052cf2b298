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
#include <map>
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

// Failures exit as the Windows commands do: 1 for anything but "not found" (taskkill's 128),
// with the reason on stderr, and the agent untouched.
TEST_F(ToolsTest, ToolsRefuseWhatTheyCannotDo) {
    const int agent = StartAgent("pellard.exe");
    struct Case {
        std::string message;
        std::vector<std::string> argv;
        std::string faults;
    } cases[] = {
        {"ERROR: Invalid argument/option - '/bogus'.", {TASKLIST_EXE, "/bogus"}},
        {"ERROR: Invalid argument/option - '\xFF'.", {TASKLIST_EXE, "\xFF"}},
        {"ERROR: The process list could not be read (error 5).",
         {TASKLIST_EXE},
         "Process32FirstW@1=5"},
        // Without /F: these processes have no window to be asked to close.
        {"Reason: This process can only be terminated forcefully (with /F option).",
         {TASKKILL_EXE, "/IM", "pellard.exe"}},
        {"ERROR: Invalid syntax. Neither /FI nor /PID nor /IM were specified.",
         {TASKKILL_EXE, "/F"}},
        {"ERROR: Invalid syntax. Value expected for '/IM'.", {TASKKILL_EXE, "/IM"}},
        {"ERROR: Invalid syntax. Value expected for '/pid'.",
         {TASKKILL_EXE, "/F", "/PID", std::to_string(agent), "/pid"}},
        {"ERROR: The process with PID " + std::to_string(agent) +
             " could not be terminated.\nReason: This process can only be terminated forcefully "
             "(with /F option).\n",
         {TASKKILL_EXE, "/PID", std::to_string(agent)}},
        {"ERROR: The process with PID " + std::to_string(agent) +
             " could not be terminated.\nReason: Access is denied.\n",
         {TASKKILL_EXE, "/PID", std::to_string(agent), "/F"},
         "TerminateProcess@1=5"},
        {"ERROR: Invalid argument/option - '1\xFF'.", {TASKKILL_EXE, "/PID", "1\xFF", "/F"}},
        {"ERROR: Invalid argument/option - '/T'.",
         {TASKKILL_EXE, "/IM", "pellard.exe", "/T", "/F"}},
        {"ERROR: Invalid argument/option - 'p\xC3'.", {TASKKILL_EXE, "/IM", "p\xC3", "/F"}},
        {"Reason: Access is denied.",
         {TASKKILL_EXE, "/IM", "pellard.exe", "/F"},
         "TerminateProcess@1=5"},
        // A walk that fails is a failure, not "not found".
        {"ERROR: The process list could not be read. Access is denied.",
         {TASKKILL_EXE, "/IM", "pellard.exe", "/F"},
         "Process32NextW@*=5"},
        {"ERROR: The process list could not be read. Error 8.",
         {TASKKILL_EXE, "/IM", "pellard.exe", "/F"},
         "CreateToolhelp32Snapshot@1=8"},
    };
    for (const Case& c : cases) {
        std::map<std::string, std::string> env = {{"HOSTWIN_ROOT", Root()}};
        if (!c.faults.empty())
            env["HOSTWIN_FAULTS"] = c.faults;
        ProgramResult result = RunProgram(c.argv, env);
        EXPECT_EQ(result.exitStatus, 1) << c.message;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "") << c.message;
        EXPECT_TRUE(Running(agent)) << c.message;
    }
}

// /PID ends the process with that pid, several /PID and /IM switches in one run end every
// process any of them names, once, and what names nothing is reported as not found.
TEST_F(ToolsTest, TaskkillEndsProcessesByPid) {
    const int first = StartAgent("pellard.exe");
    const int second = StartAgent("pellard.exe");
    const int named = StartAgent("named.exe");
    const int other = StartAgent("pellard.exe", Root() + "/other-machine");
    auto pid = [](int n) { return std::to_string(n); };
    auto ended = [](int n) {
        return "SUCCESS: The process with PID " + std::to_string(n) + " has been terminated.\n";
    };
    auto notFound = [](const std::string& text) {
        return "ERROR: The process \"" + text + "\" not found.\n";
    };

    ProgramResult one = RunProgram({TASKKILL_EXE, "/PID", pid(first), "/F"});
    EXPECT_EQ(one.exitStatus, 0) << one.err;
    EXPECT_EQ(one.out, ended(first));
    EXPECT_EQ(one.err, "");
    EXPECT_EQ(waitpid(first, nullptr, 0), first);
    EXPECT_TRUE(Running(second));

    // A process named twice is ended once, reported as the first switch that names it.
    ProgramResult mixed = RunProgram(
        {TASKKILL_EXE, "/IM", "NAMED.exe", "/pid", pid(named), "-PID", pid(second), "/f"});
    EXPECT_EQ(mixed.exitStatus, 0) << mixed.err;
    EXPECT_EQ(LineCount(mixed.out), 2u) << mixed.out;
    EXPECT_NE(mixed.out.find(ended(second)), std::string::npos) << mixed.out;
    EXPECT_NE(mixed.out.find("SUCCESS: The process \"named.exe\" with PID " + pid(named) +
                             " has been terminated.\n"),
              std::string::npos)
        << mixed.out;
    EXPECT_EQ(mixed.err, "");
    for (int n : {second, named})
        EXPECT_EQ(waitpid(n, nullptr, 0), n);

    // Some found and some not: the found ones end, and the run fails.
    const int third = StartAgent("pellard.exe");
    ProgramResult some =
        RunProgram({TASKKILL_EXE, "/PID", pid(first), "/PID", pid(third), "/IM", "gone.exe", "/F"});
    EXPECT_EQ(some.exitStatus, 1);
    EXPECT_EQ(some.out, ended(third));
    EXPECT_EQ(some.err, notFound(pid(first)) + notFound("gone.exe"));
    EXPECT_EQ(waitpid(third, nullptr, 0), third);

    // Nothing found: a process of another machine, and values that are no pid, most of all
    // those that would wrap round to a live one.
    const int live = StartAgent("pellard.exe");
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", live);
    const std::string values[] = {pid(other),
                                  pid(first),
                                  std::to_string(live + 0x100000000LL),
                                  "4294967296",
                                  "99999999999999999999999",
                                  "-" + std::to_string(0x100000000LL - live),
                                  "+" + pid(live),
                                  " " + pid(live),
                                  pid(live) + "x",
                                  hex,
                                  "abc",
                                  ""};
    for (const std::string& value : values) {
        ProgramResult none = RunProgram({TASKKILL_EXE, "/PID", value, "/F"});
        EXPECT_EQ(none.exitStatus, 128) << value;
        EXPECT_EQ(none.err, notFound(value));
        EXPECT_EQ(none.out, "");
    }
    EXPECT_TRUE(Running(live));
    EXPECT_TRUE(Running(other));
    // Leading zeros do not make another number.
    ProgramResult zeros = RunProgram({TASKKILL_EXE, "/PID", "00" + pid(live), "/F"});
    EXPECT_EQ(zeros.exitStatus, 0) << zeros.err;
    EXPECT_EQ(zeros.out, ended(live));
    EXPECT_EQ(waitpid(live, nullptr, 0), live);
}

// taskkill matches image names by the same case folding as lstrcmpiW and the registry.
TEST_F(ToolsTest, TaskkillMatchesImageNamesBeyondAsciiWithoutRegardToCase) {
    const int cyrillic = StartAgent("пеллард.exe");
    const int greek = StartAgent("πελλαρδ.exe");
    const int sharp = StartAgent("straße.exe");
    ProgramResult kill = RunProgram({TASKKILL_EXE, "/IM", "ПЕЛЛАРД.EXE", "/F"});
    EXPECT_EQ(kill.exitStatus, 0) << kill.err;
    kill = RunProgram({TASKKILL_EXE, "/IM", "ΠΕΛΛΑΡΔ.exe", "/F"});
    EXPECT_EQ(kill.exitStatus, 0) << kill.err;
    for (int pid : {cyrillic, greek})
        EXPECT_EQ(waitpid(pid, nullptr, 0), pid);
    // Sharp s has no single uppercase: "STRASSE" is another name.
    EXPECT_EQ(RunProgram({TASKKILL_EXE, "/IM", "STRASSE.EXE", "/F"}).exitStatus, 128);
    EXPECT_TRUE(Running(sharp));
}

TEST_F(ToolsTest, ToolsPrintTheirUsage) {
    const struct {
        std::vector<std::string> argv;
        const char* usage;
    } cases[] = {
        {{TASKLIST_EXE, "/?"}, "TASKLIST [/NH]"},
        {{TASKLIST_EXE, "-?"}, "TASKLIST [/NH]"},
        {{TASKKILL_EXE, "/?"}, "TASKKILL { [/PID processid | /IM imagename] } [/F]"},
    };
    for (const auto& c : cases) {
        ProgramResult result = RunProgram(c.argv);
        EXPECT_EQ(result.exitStatus, 0) << c.usage;
        EXPECT_NE(result.out.find(c.usage), std::string::npos) << result.out;
        EXPECT_EQ(result.err, "");
    }
}

// A command line sc cannot read prints the usage and exits with 87, changing nothing.
TEST_F(ToolsTest, ScRefusesBadCommandLinesWith87) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"\\\\here"},
        {"nonsense", "x"},
        {"start"},
        {"stop"},
        {"delete"},
        {"qc"},
        {"qdescription"},
        {"description"},
        {"control", "RPCSS"},
        {"control", "RPCSS", "12x"},
        {"control", "RPCSS", ""},
        {"create", "x"},
        {"create", "x", "binPath="},
        {"create", "x", "binPath=", "C:\\x.exe", "start=", "sometimes"},
        {"create", "x", "binPath=", "C:\\x.exe", "color=", "red"},
        {"config", "RPCSS", "error=", "mild"},
    };
    for (std::vector<std::string> argv : cases) {
        std::string shown;
        for (const std::string& arg : argv)
            shown += " [" + arg + "]";
        argv.insert(argv.begin(), SC_EXE);
        ProgramResult result = RunProgram(argv, {{"HOSTWIN_SHOW_EXIT_CODE", "1"}});
        EXPECT_NE(result.err.find("exit code 0x00000057\n"), std::string::npos)
            << shown << ": " << result.err;
        EXPECT_NE(result.out.find("USAGE:"), std::string::npos) << shown << ": " << result.out;
    }
    EXPECT_EQ(RunProgram({SC_EXE, "qc", "x"}).exitStatus, 1060 & 0xFF) << "nothing was created";
}

// Every host program can say what it still holds when it ends; tools hold nothing then.
TEST_F(ToolsTest, ToolsLeaveNoHandleOpenAndShowTheirFullExitCode) {
    StartAgent("pellard.exe");
    const std::string report = RootPath("handles.txt");
    const std::vector<std::vector<std::string>> runs = {
        {TASKLIST_EXE},
        {TASKKILL_EXE, "/IM", "nothing.exe", "/F"},
        {TASKKILL_EXE, "/PID", "1", "/PID", "x", "/IM", "pellard.exe", "/F"},
        {TASKKILL_EXE, "/IM", "pellard.exe", "/F"},
        {REG_EXE, "query", "HKCU\\Software"},
        {REG_EXE, "query", "HKLM\\Nope"},
        {SC_EXE, "query", "RpcSs"},
    };
    for (const auto& argv : runs) {
        fs::remove(report);
        ProgramResult result =
            RunProgram(argv, {{"HOSTWIN_HANDLE_REPORT", report}, {"HOSTWIN_SHOW_EXIT_CODE", "1"}});
        const std::string counts = testing_support::ReadFile(report);
        EXPECT_NE(counts.find("process\t0\nthread\t0\nsnapshot\t0\n"), std::string::npos)
            << argv[1] << ": " << counts;
        EXPECT_NE(counts.find("registry key\t0\n"), std::string::npos) << counts;
        char shown[32];
        std::snprintf(shown, sizeof shown, "exit code 0x%08X\n", result.exitStatus);
        EXPECT_NE(result.err.find(shown), std::string::npos) << result.err;
    }
    ProgramResult missing =
        RunProgram({REG_EXE, "query", "HKLM\\Nope"}, {{"HOSTWIN_SHOW_EXIT_CODE", "1"}});
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_NE(missing.err.find("exit code 0x00000001\n"), std::string::npos) << missing.err;
    // The whole code, beyond the 8 bits Linux keeps: 1060, no such service.
    ProgramResult noService =
        RunProgram({SC_EXE, "qc", "nothing"}, {{"HOSTWIN_SHOW_EXIT_CODE", "1"}});
    EXPECT_NE(noService.err.find("exit code 0x00000424\n"), std::string::npos) << noService.err;
}

// A process ended by another is recorded by its killer in the ledger: without that line a
// process with a start and no end would pass for one that crashed.
TEST_F(ToolsTest, AKillIsRecordedInTheProcessLedger) {
    const int agent = StartAgent("pellard.exe");
    const std::string ledger = RootPath("ledger.txt");
    ProgramResult result = RunProgram({TASKKILL_EXE, "/IM", "pellard.exe", "/F"},
                                      {{"HOSTWIN_PROCESS_LEDGER", ledger}});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    const std::string taskkill = std::to_string(result.pid);
    EXPECT_EQ(testing_support::ReadFile(ledger),
              "start\ttaskkill.exe\t" + taskkill + "\nkilled\t" + std::to_string(agent) +
                  "\t0x00000001\ttaskkill.exe\nend\ttaskkill.exe\t" + taskkill +
                  "\t0x00000000\t\n");
}

// An agent that cannot keep its log must not look alive: it says so and ends with the code.
TEST_F(ToolsTest, TheAgentEndsWhenItCannotWriteItsLog) {
    const std::string path = RootPath("drive_c/agents/pellard.exe");
    fs::create_directories(RootPath("drive_c/agents/pellard.log")); // a folder in its way
    fs::copy_file(PELLARD_EXE, path);
    ProgramResult result = RunProgram({path}, {{"HOSTWIN_SHOW_EXIT_CODE", "1"}});
    EXPECT_EQ(result.exitStatus, ERROR_CANTWRITE & 0xFF);
    EXPECT_EQ(result.err, "pellard: cannot write its log beside itself\nexit code 0x000003F5\n");
}

} // namespace
