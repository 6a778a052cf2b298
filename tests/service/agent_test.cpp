// The agent primitives against real sample agents: launching one without arguments or window
// and keeping nothing, and ending every agent of the machine, found by its exact file name.
#include "machine.h"

#include "agent.h"
#include "tollivarmodule.h"

#include <windows.h>
#include <tlhelp32.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using testing_support::MachineTest;
using testing_support::ReadFile;

namespace {

namespace fs = std::filesystem;

const DWORD kEndWait = 10000; // far above what a kill takes; only a fault would reach it

class AgentTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        hostwin::EnableCallLog(true);
    }
    void TearDown() override {
        hostwin::EnableCallLog(false);
        for (const auto& process : m_processes) {
            TerminateProcess(process->info.hProcess, 0);
            WaitForSingleObject(process->info.hProcess, kEndWait);
            CloseHandle(process->info.hProcess);
            CloseHandle(process->info.hThread);
        }
        for (int pid : m_foreign) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        MachineTest::TearDown();
    }

    // Copies the sample agent to C:\<folder>\<name>.
    void Install(const std::string& folder, const std::string& name = "pellard.exe") {
        std::string path = RootPath("drive_c/" + folder + "/" + name);
        fs::create_directories(fs::path(path).parent_path());
        if (!fs::exists(path)) // a running copy cannot be overwritten
            fs::copy_file(PELLARD_EXE, path);
    }

    struct Process {
        PROCESS_INFORMATION info = {};
    };
    // Starts C:\<folder>\<name> and keeps its handles, so the test can see how it ended.
    const Process& Start(const std::string& folder, const std::string& name = "pellard.exe") {
        Install(folder, name);
        std::u16string path = hostwin::FromUtf8("C:\\" + folder + "\\" + name);
        std::replace(path.begin(), path.end(), u'/', u'\\');
        auto process = std::make_unique<Process>();
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        EXPECT_TRUE(CreateProcessW(path.c_str(), NULL, NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                                   &process->info));
        m_processes.push_back(std::move(process));
        return *m_processes.back();
    }

    // Starts the agent on another machine root, behind hostwin's back.
    int StartElsewhere() {
        Install("pellard/bin");
        int pid = testing_support::SpawnProgram({RootPath("drive_c/pellard/bin/pellard.exe")},
                                                {{"HOSTWIN_ROOT", Root() + "/other-machine"}});
        EXPECT_GT(pid, 0);
        m_foreign.push_back(pid);
        // The spawn returns before the kernel shows the new program's environment.
        const std::string environ = "/proc/" + std::to_string(pid) + "/environ";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (ReadFile(environ).empty() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        return pid;
    }

    static bool Ended(const Process& process) {
        return WaitForSingleObject(process.info.hProcess, kEndWait) == WAIT_OBJECT_0;
    }
    static bool Running(const Process& process) {
        return WaitForSingleObject(process.info.hProcess, 0) == WAIT_TIMEOUT;
    }
    static DWORD ExitCode(const Process& process) {
        DWORD code = 0xFFFFFFFF;
        GetExitCodeProcess(process.info.hProcess, &code);
        return code;
    }

private:
    std::vector<std::unique_ptr<Process>> m_processes;
    std::vector<int> m_foreign;
};

// Pids of the call-log records of `function`, read from their "pid=N" argument.
std::vector<DWORD> LoggedPids(const std::string& function) {
    std::vector<DWORD> pids;
    for (const hostwin::CallRecord& record : hostwin::CallLog(function))
        pids.push_back(
            static_cast<DWORD>(std::stoul(record.args.substr(record.args.find("pid=") + 4))));
    return pids;
}

// Pids of the processes the snapshot lists under `image`.
std::vector<DWORD> Listed(const char16_t* image) {
    std::vector<DWORD> pids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry))
        if (std::u16string(entry.szExeFile) == image)
            pids.push_back(entry.th32ProcessID);
    CloseHandle(snapshot);
    return pids;
}

TEST_F(AgentTest, StartAgentLaunchesOneAgentWithoutArgumentsAndKeepsNothing) {
    Install("pellard/bin");
    ASSERT_TRUE(StartAgent());
    ExpectNoLeakedHandles();

    std::vector<hostwin::CallRecord> launches = hostwin::CallLog("CreateProcessW");
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].args, "app=C:\\pellard\\bin\\pellard.exe cmd=(null) flags=0x08000420");

    std::vector<DWORD> agents = Listed(u"pellard.exe");
    ASSERT_EQ(agents.size(), 1u);
    // The agent logs the command line it got: its own path, and no argument after it.
    const std::string marker = " pid " + std::to_string(agents[0]) + " started: ";
    const std::string log = RootPath("drive_c/pellard/bin/pellard.log");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ReadFile(log).find(marker) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_NE(ReadFile(log).find(marker + "C:\\pellard\\bin\\pellard.exe\n"), std::string::npos)
        << ReadFile(log);

    HANDLE agent = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, agents[0]);
    ASSERT_NE(agent, nullptr);
    EXPECT_TRUE(TerminateProcess(agent, 0));
    EXPECT_EQ(WaitForSingleObject(agent, kEndWait), WAIT_OBJECT_0);
    CloseHandle(agent);
}

TEST_F(AgentTest, StartAgentFailsQuietlyWithoutTheAgentFile) {
    struct Case {
        const char* what;
        const char* folder; // created empty; nullptr: no folder at all
        DWORD error;
    } cases[] = {
        {"no folder", nullptr, ERROR_PATH_NOT_FOUND},
        {"empty folder", "drive_c/pellard/bin", ERROR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        if (c.folder)
            fs::create_directories(RootPath(c.folder));
        SetLastError(0);
        EXPECT_FALSE(StartAgent()) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
        ExpectNoLeakedHandles();
        EXPECT_TRUE(Listed(u"pellard.exe").empty()) << c.what;
    }
    // Failures on the agent path are silent: no event, no trace.
    EXPECT_FALSE(fs::exists(RootPath("eventlog")));
    EXPECT_TRUE(hostwin::DebugReports().empty());
}

TEST_F(AgentTest, KillAgentsCollectsEveryAgentThenEndsThemInReverseOrder) {
    // An agent counts by its file name alone, whatever folder it was started from.
    const Process* agents[] = {&Start("pellard/bin"), &Start("pellard/bin"), &Start("copies")};
    std::vector<DWORD> started;
    for (const Process* agent : agents)
        started.push_back(agent->info.dwProcessId);

    const hostwin::HandleCounts before = hostwin::OpenHandleCounts();
    EXPECT_TRUE(g_module.KillAgents());
    EXPECT_EQ(hostwin::OpenHandleCounts(), before) << "KillAgents kept a handle";

    std::vector<DWORD> opened = LoggedPids("OpenProcess");
    std::vector<DWORD> ended = LoggedPids("TerminateProcess");
    std::vector<DWORD> sortedOpened = opened;
    std::sort(sortedOpened.begin(), sortedOpened.end());
    std::sort(started.begin(), started.end());
    EXPECT_EQ(sortedOpened, started);
    EXPECT_EQ(ended, std::vector<DWORD>(opened.rbegin(), opened.rend()));
    // All handles are collected before the first agent is ended.
    std::vector<hostwin::CallRecord> calls = hostwin::CallLog();
    auto firstEnd = std::find_if(calls.begin(), calls.end(), [](const hostwin::CallRecord& r) {
        return r.function == "TerminateProcess";
    });
    EXPECT_EQ(
        std::count_if(firstEnd, calls.end(),
                      [](const hostwin::CallRecord& r) { return r.function == "OpenProcess"; }),
        0);
    for (const hostwin::CallRecord& record : hostwin::CallLog("TerminateProcess"))
        EXPECT_NE(record.args.find(" code=0"), std::string::npos) << record.args;

    for (const Process* agent : agents) {
        EXPECT_TRUE(Ended(*agent));
        EXPECT_EQ(ExitCode(*agent), 0u);
    }
    EXPECT_TRUE(Listed(u"pellard.exe").empty());
}

TEST_F(AgentTest, KillAgentsLeavesOtherNamesAndOtherMachinesAlone) {
    const Process& upperCase = Start("pellard/bin", "Pellard.exe");
    const Process& agent = Start("pellard/bin");
    const DWORD elsewhere = static_cast<DWORD>(StartElsewhere());

    EXPECT_TRUE(g_module.KillAgents());

    EXPECT_EQ(LoggedPids("OpenProcess"), std::vector<DWORD>{agent.info.dwProcessId});
    EXPECT_EQ(LoggedPids("TerminateProcess"), std::vector<DWORD>{agent.info.dwProcessId});
    EXPECT_TRUE(Ended(agent));
    EXPECT_TRUE(Running(upperCase));
    EXPECT_EQ(waitpid(static_cast<pid_t>(elsewhere), nullptr, WNOHANG), 0)
        << "the agent of another machine was ended";

    // With no agent left, nothing is opened or ended.
    hostwin::ClearCallLog();
    EXPECT_TRUE(g_module.KillAgents());
    EXPECT_TRUE(hostwin::CallLog("OpenProcess").empty());
    EXPECT_TRUE(hostwin::CallLog("TerminateProcess").empty());
    EXPECT_TRUE(Running(upperCase));
}

TEST_F(AgentTest, KillAgentsEndsNothingItCannotReach) {
    struct Case {
        const char* what;
        const char* function; // made to fail once
        BOOL result;
        bool firstEnded, secondEnded; // in the order of the walk
    } cases[] = {
        {"no snapshot", "CreateToolhelp32Snapshot", FALSE, false, false},
        {"first agent cannot be opened", "OpenProcess", TRUE, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Process& one = Start("pellard/bin");
        const Process& other = Start("pellard/bin");
        std::vector<DWORD> walk = Listed(u"pellard.exe");
        ASSERT_EQ(walk.size(), 2u);
        const Process& first = walk[0] == one.info.dwProcessId ? one : other;
        const Process& second = &first == &one ? other : one;
        hostwin::InjectFault(c.function, 1, ERROR_ACCESS_DENIED);

        const hostwin::HandleCounts before = hostwin::OpenHandleCounts();
        EXPECT_EQ(g_module.KillAgents(), c.result);
        EXPECT_EQ(hostwin::OpenHandleCounts(), before) << "KillAgents kept a handle";
        hostwin::ClearFaults();
        EXPECT_TRUE(c.firstEnded ? Ended(first) : Running(first));
        EXPECT_TRUE(c.secondEnded ? Ended(second) : Running(second));
        ASSERT_TRUE(g_module.KillAgents()); // clears the way for the next case
    }
}

} // namespace
