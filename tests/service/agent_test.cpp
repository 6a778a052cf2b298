// The agent primitives against real sample agents: launching one without arguments or window
// and keeping nothing, and ending every agent of the machine, found by its exact file name.
#include "machine.h"

#include "agent.h"
#include "tollivarmodule.h"

#include <windows.h>
#include <tlhelp32.h>

#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

// The agent list grows with realloc: this program's realloc can be told to fail the n-th call
// made on one thread from now, so that a list that cannot grow is reachable. Sanitizers bring
// their own allocator, so there the failure cannot be made.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define AGENT_TEST_FAILS_REALLOC 0
#else
#define AGENT_TEST_FAILS_REALLOC 1
thread_local int t_reallocsUntilFailure = 0;

extern "C" void* realloc(void* block, size_t bytes) noexcept {
    using Realloc = void* (*)(void*, size_t);
    static const Realloc next = reinterpret_cast<Realloc>(dlsym(RTLD_NEXT, "realloc"));
    if (t_reallocsUntilFailure > 0 && --t_reallocsUntilFailure == 0)
        return nullptr;
    return next(block, bytes);
}
#endif

namespace {

namespace fs = std::filesystem;

const DWORD kEndWait = 10000; // far above what a kill takes; only a fault would reach it

class AgentTest : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        hostwin::EnableCallLog(true);
    }
    void TearDown() override {
        hostwin::EnableCallLog(false);
        for (const PROCESS_INFORMATION& process : m_processes) {
            TerminateProcess(process.hProcess, 0);
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        }
        if (m_foreign > 0) {
            kill(m_foreign, SIGKILL);
            waitpid(m_foreign, nullptr, 0);
        }
        MachineTest::TearDown();
    }

    // Copies the sample agent to C:\<folder>\<name>.
    void Install(const std::string& folder, const std::string& name = "pellard.exe") {
        std::string path = RootPath("drive_c/" + folder + "/" + name);
        fs::create_directories(fs::path(path).parent_path());
        fs::copy_file(PELLARD_EXE, path, fs::copy_options::skip_existing); // it may be running
    }

    // Starts C:\<folder>\<name>; the handle it returns shows the test how the agent ended.
    HANDLE Start(const std::string& folder, const std::string& name = "pellard.exe") {
        Install(folder, name);
        std::u16string path = hostwin::FromUtf8("C:\\" + folder + "\\" + name);
        std::replace(path.begin(), path.end(), u'/', u'\\');
        STARTUPINFOW startup = {sizeof startup};
        PROCESS_INFORMATION& process = m_processes.emplace_back();
        EXPECT_TRUE(CreateProcessW(path.c_str(), NULL, NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                                   &process));
        return process.hProcess;
    }

    // Starts the agent on another machine root, behind hostwin's back.
    int StartElsewhere() {
        Install("pellard/bin");
        m_foreign = testing_support::SpawnProgram({RootPath("drive_c/pellard/bin/pellard.exe")},
                                                  {{"HOSTWIN_ROOT", Root() + "/other-machine"}});
        // The spawn returns before the kernel shows the new program's environment.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (
            testing_support::ReadFile("/proc/" + std::to_string(m_foreign) + "/environ").empty() &&
            std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        return m_foreign;
    }

    static bool Ended(HANDLE process) {
        return WaitForSingleObject(process, kEndWait) == WAIT_OBJECT_0;
    }
    static bool Running(HANDLE process) { return WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

private:
    std::deque<PROCESS_INFORMATION> m_processes;
    int m_foreign = -1;
};

// Pids of the call-log records of `function`, read from their "pid=N" argument.
std::vector<DWORD> LoggedPids(const std::string& function) {
    std::vector<DWORD> pids;
    for (const hostwin::CallRecord& record : hostwin::CallLog(function))
        pids.push_back(
            static_cast<DWORD>(std::stoul(record.args.substr(record.args.find("pid=") + 4))));
    return pids;
}

// The agent walk's calls in order: O open, T terminate, s the snapshot closed, c a process
// handle closed.
std::string KillOrder() {
    std::string order;
    for (const hostwin::CallRecord& record : hostwin::CallLog())
        if (record.function == "OpenProcess" || record.function == "TerminateProcess")
            order += record.function[0];
        else if (record.function == "CloseHandle")
            order += record.args == "snapshot" ? 's' : 'c';
    return order;
}

// Pids of the agents the snapshot lists, in the order of the walk.
std::vector<DWORD> Listed() {
    std::vector<DWORD> pids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {sizeof entry};
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry))
        if (std::u16string(entry.szExeFile) == u"pellard.exe")
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
    std::vector<std::string> closed;
    for (const hostwin::CallRecord& record : hostwin::CallLog("CloseHandle"))
        closed.push_back(record.args);
    EXPECT_EQ(closed, (std::vector<std::string>{"process", "thread"}));

    std::vector<DWORD> agents = Listed();
    ASSERT_EQ(agents.size(), 1u);
    HANDLE agent = OpenProcess(PROCESS_TERMINATE, FALSE, agents[0]);
    EXPECT_TRUE(TerminateProcess(agent, 0));
    CloseHandle(agent);
}

TEST_F(AgentTest, StartAgentFailsQuietlyWithoutTheAgentFile) {
    fs::create_directories(RootPath("drive_c/pellard/bin"));
    SetLastError(0);
    EXPECT_FALSE(StartAgent());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ExpectNoLeakedHandles();
    EXPECT_TRUE(Listed().empty());
    // Failures on the agent path are silent: no event, no trace.
    EXPECT_FALSE(fs::exists(RootPath("eventlog")));
    EXPECT_TRUE(hostwin::DebugReports().empty());
}

TEST_F(AgentTest, KillAgentsEndsEveryAgentOfThisMachineInReverseOrderOfDiscovery) {
    // An agent counts by its exact file name, whatever folder it was started from.
    const HANDLE agents[] = {Start("pellard/bin"), Start("pellard/bin"), Start("copies")};
    const HANDLE upperCase = Start("pellard/bin", "Pellard.exe");
    const int elsewhere = StartElsewhere();
    std::vector<DWORD> started;
    for (HANDLE agent : agents)
        started.push_back(GetProcessId(agent));

    const hostwin::HandleCounts before = hostwin::OpenHandleCounts();
    hostwin::ClearCallLog();
    EXPECT_TRUE(g_module.KillAgents());
    EXPECT_EQ(hostwin::OpenHandleCounts(), before) << "KillAgents kept a handle";

    // Every handle is collected and the snapshot closed before the first agent is ended, the
    // last one found first; each handle is closed once its agent is told to end.
    EXPECT_EQ(KillOrder(), "OOOsTcTcTc");
    std::vector<DWORD> opened = LoggedPids("OpenProcess");
    EXPECT_EQ(LoggedPids("TerminateProcess"), std::vector<DWORD>(opened.rbegin(), opened.rend()));
    std::sort(opened.begin(), opened.end());
    std::sort(started.begin(), started.end());
    EXPECT_EQ(opened, started);
    for (HANDLE agent : agents) {
        DWORD code = 0xFFFFFFFF;
        EXPECT_TRUE(Ended(agent));
        EXPECT_TRUE(GetExitCodeProcess(agent, &code));
        EXPECT_EQ(code, 0u);
    }
    EXPECT_TRUE(Listed().empty());
    EXPECT_TRUE(Running(upperCase));
    EXPECT_EQ(waitpid(elsewhere, nullptr, WNOHANG), 0) << "the agent of another machine was ended";
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
        HANDLE one = Start("pellard/bin"), other = Start("pellard/bin");
        std::vector<DWORD> walk = Listed();
        ASSERT_EQ(walk.size(), 2u);
        if (walk[0] != GetProcessId(one))
            std::swap(one, other);
        hostwin::InjectFault(c.function, 1, ERROR_ACCESS_DENIED);
        const hostwin::HandleCounts before = hostwin::OpenHandleCounts();
        EXPECT_EQ(g_module.KillAgents(), c.result);
        EXPECT_EQ(hostwin::OpenHandleCounts(), before) << "KillAgents kept a handle";
        hostwin::ClearFaults();
        EXPECT_TRUE(c.firstEnded ? Ended(one) : Running(one));
        EXPECT_TRUE(c.secondEnded ? Ended(other) : Running(other));
        ASSERT_TRUE(g_module.KillAgents()); // clears the way for the next case
        EXPECT_TRUE(Ended(one) && Ended(other));
    }
}

// A list that cannot grow, at its first slot and when it grows past four: the walk ends
// nothing and closes every handle it opened, the one in hand included.
TEST_F(AgentTest, KillAgentsThatCannotListAnAgentEndsNoneAndClosesEveryHandle) {
#if !AGENT_TEST_FAILS_REALLOC
    GTEST_SKIP() << "realloc cannot be made to fail under a sanitizer";
#else
    std::vector<HANDLE> agents;
    for (int i = 0; i < 5; ++i)
        agents.push_back(Start("pellard/bin"));
    const struct {
        int failingRealloc;
        const char* order; // O open, c close, s snapshot closed, T terminate
    } cases[] = {{1, "Ocs"}, {2, "OOOOOcscccc"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failingRealloc);
        const hostwin::HandleCounts before = hostwin::OpenHandleCounts();
        hostwin::ClearCallLog();
        t_reallocsUntilFailure = c.failingRealloc;
        const BOOL result = g_module.KillAgents();
        t_reallocsUntilFailure = 0;
        EXPECT_FALSE(result);
        EXPECT_EQ(hostwin::OpenHandleCounts(), before) << "KillAgents kept a handle";
        EXPECT_EQ(KillOrder(), c.order);
        for (HANDLE agent : agents)
            EXPECT_TRUE(Running(agent));
    }
    ASSERT_TRUE(g_module.KillAgents());
    for (HANDLE agent : agents)
        EXPECT_TRUE(Ended(agent));
#endif
}

TEST_F(AgentTest, KillAgentsWithNoAgentOnTheMachineEndsNothingAndSucceeds) {
    const HANDLE otherName = Start("pellard/bin", "pellard2.exe");
    const int elsewhere = StartElsewhere();
    const hostwin::HandleCounts before = hostwin::OpenHandleCounts();
    EXPECT_TRUE(g_module.KillAgents());
    EXPECT_EQ(hostwin::OpenHandleCounts(), before) << "KillAgents kept a handle";
    EXPECT_TRUE(hostwin::CallLog("OpenProcess").empty());
    EXPECT_TRUE(hostwin::CallLog("TerminateProcess").empty());
    EXPECT_TRUE(Running(otherName));
    EXPECT_EQ(waitpid(elsewhere, nullptr, WNOHANG), 0) << "the agent of another machine was ended";
}

} // namespace
