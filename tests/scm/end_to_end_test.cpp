// tollivar driven as a user drives it: reg, sc, taskkill and the service process on a fresh
// machine with ticks of 300 ms. Every wait is on a condition with a bound; ticks are counted in
// the service's call log (one process snapshot each), never timed.
#include "scm_support.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using scm_support::AgentCount;
using scm_support::AwaitCondition;
using testing_support::ProgramResult;

class EndToEndTest : public testing_support::MachineTest {
protected:
    void TearDown() override {
        for (int pid : m_spawned) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        MachineTest::TearDown();
    }

    std::map<std::string, std::string> Environment() const {
        return {{"HOSTWIN_ROOT", Root()},
                {"HOSTWIN_TIME_SCALE", "0.01"},
                {"HOSTWIN_CALL_LOG", RootPath("calls.log")}};
    }
    ProgramResult Run(const char* program, std::vector<std::string> args,
                      std::map<std::string, std::string> extra = {}) {
        args.insert(args.begin(), program);
        std::map<std::string, std::string> environment = Environment();
        for (const auto& [name, value] : extra)
            environment[name] = value;
        return testing_support::RunProgram(args, environment);
    }
    ProgramResult Sc(std::vector<std::string> args, std::map<std::string, std::string> extra = {}) {
        return Run(SC_EXE, std::move(args), std::move(extra));
    }
    // A process started behind hostwin's back, as from a shell.
    int Spawn(const std::string& path, std::map<std::string, std::string> environment) {
        int pid = testing_support::SpawnProgram({path}, environment);
        m_spawned.push_back(pid);
        // The kernel shows the new program's environment a moment after the spawn.
        AwaitCondition([&] {
            return !testing_support::ReadFile("/proc/" + std::to_string(pid) + "/environ").empty();
        });
        return pid;
    }
    static bool Ended(int pid) { return waitpid(pid, nullptr, WNOHANG) == pid; }

    void Install() {
        scm_support::InstallAgent(Root());
        ProgramResult reg =
            Run(REG_EXE, {"add", "HKCR\\AppID\\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}", "/v",
                          "LocalService", "/d", "pellardservice", "/f"});
        ASSERT_EQ(reg.exitStatus, 0) << reg.out << reg.err;
        ProgramResult create = Sc({"create", "pellardservice",
                                   "binPath=", hostwin::ToUtf8(scm_support::TollivarBinaryPath()),
                                   "start=", "auto", "depend=", "RPCSS"});
        ASSERT_EQ(create.exitStatus, 0) << create.out;
        EXPECT_EQ(create.out, "[SC] CreateService SUCCESS\n");
    }

    std::string State() { return Sc({"query", "pellardservice"}).out; }
    // tollivar.exe installed as a package installs it, its message file beside it, and
    // registered with /Service; its path, or nothing when /Service failed.
    std::string InstallWithMessageFile() {
        scm_support::InstallAgent(Root());
        const std::string exe = RootPath("drive_c/Program Files/tollivar/tollivar.exe");
        fs::create_directories(fs::path(exe).parent_path());
        fs::copy_file(TOLLIVAR_EXE, exe);
        fs::copy_file(TOLLIVARMSG_DLL, fs::path(exe).parent_path() / "tollivarmsg.dll");
        return Run(exe.c_str(), {"/Service"}).exitStatus == 0 ? exe : std::string();
    }

    bool AwaitState(const std::string& state) {
        return AwaitCondition([&] { return State().find(state) != std::string::npos; });
    }

    // The service process's calls, "function(args)" each, in order.
    std::vector<std::string> ServiceCalls() {
        std::vector<std::string> calls;
        std::istringstream lines(testing_support::ReadFile(RootPath("calls.log")));
        const std::string prefix = std::to_string(m_servicePid) + " ";
        for (std::string line; std::getline(lines, line);)
            if (line.compare(0, prefix.size(), prefix) == 0)
                calls.push_back(line.substr(prefix.size()));
        return calls;
    }
    size_t Count(const std::string& callStart) {
        size_t count = 0;
        for (const std::string& call : ServiceCalls())
            count += call.compare(0, callStart.size(), callStart) == 0;
        return count;
    }
    size_t First(const std::string& callStart, size_t from = 0) {
        std::vector<std::string> calls = ServiceCalls();
        for (size_t i = from; i < calls.size(); ++i)
            if (calls[i].compare(0, callStart.size(), callStart) == 0)
                return i;
        return std::string::npos;
    }
    // Waits for `ticks` more watchdog ticks.
    bool AwaitTicks(size_t ticks) {
        size_t start = Count("CreateToolhelp32Snapshot");
        return AwaitCondition([&] { return Count("CreateToolhelp32Snapshot") >= start + ticks; });
    }

    std::vector<int> m_spawned;
    int m_servicePid = 0;
};

TEST_F(EndToEndTest, TheServiceKeepsExactlyOneAgentAndEndsEveryAgentAtItsStop) {
    Install();
    const std::string agent = RootPath("drive_c/pellard/bin/pellard.exe");
    const std::map<std::string, std::string> machine = {{"HOSTWIN_ROOT", Root()}};
    const int stale[] = {Spawn(agent, machine), Spawn(agent, machine)};
    fs::create_directories(RootPath("drive_c/other"));
    fs::copy_file(PELLARD_EXE, RootPath("drive_c/other/Pellard.exe"));
    int upperCase = Spawn(RootPath("drive_c/other/Pellard.exe"), machine);
    const int foreign = Spawn(agent, {{"HOSTWIN_ROOT", Root() + "/other-machine"}});
    ASSERT_EQ(AgentCount(), 2);

    // The service process inherits the report from the command that starts it; the agents it
    // launches do too, but they end by being killed and write none.
    const std::string handleReport = RootPath("service-handles.txt");
    ProgramResult start =
        Sc({"start", "pellardservice"}, {{"HOSTWIN_HANDLE_REPORT", handleReport}});
    ASSERT_EQ(start.exitStatus, 0) << start.out;
    fs::remove(handleReport); // sc's own, written as it ended
    EXPECT_NE(start.out.find("SERVICE_NAME: pellardservice"), std::string::npos) << start.out;
    ASSERT_TRUE(AwaitState("STATE              : 4  RUNNING"));
    std::string running = State();
    EXPECT_NE(running.find("(STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)"), std::string::npos);
    EXPECT_NE(running.find("WIN32_EXIT_CODE    : 0  (0x0)"), std::string::npos) << running;
    std::string queryex = Sc({"queryex", "pellardservice"}).out;
    m_servicePid = std::stoi(queryex.substr(queryex.find("PID                : ") + 21));

    // Both stale agents ended, one launched, and only then running.
    ASSERT_TRUE(AwaitCondition([&] { return Ended(stale[0]) && Ended(stale[1]); }));
    EXPECT_EQ(AgentCount(), 1);
    EXPECT_FALSE(Ended(upperCase)) << "a Pellard.exe is no agent";
    std::vector<hostwin::ServiceStatusReport> history =
        hostwin::ServiceStatusHistory(u"pellardservice");
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0].status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_EQ(history[1].status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(Count("TerminateProcess("), 2u);
    // Exceptions in timer callbacks are not to be swallowed, from the service's first step.
    EXPECT_LT(First("SetUserObjectInformationW(timer exception suppression=0)"),
              First("SetServiceStatus("));
    EXPECT_LT(First("TerminateProcess("), First("CreateProcessW("));
    EXPECT_LT(First("CreateProcessW("), First("SetServiceStatus(handle=0x5c5c0010 state=4"));

    // An agent ended by hand is replaced on the next tick, by exactly one.
    ProgramResult killed = Run(TASKKILL_EXE, {"/IM", "pellard.exe", "/F"});
    ASSERT_EQ(killed.exitStatus, 0) << killed.out;
    ASSERT_TRUE(AwaitCondition([&] { return Count("CreateProcessW(") == 2; }));
    ASSERT_TRUE(AwaitTicks(2));
    EXPECT_EQ(Count("CreateProcessW("), 2u);
    EXPECT_EQ(AgentCount(), 1);

    // With two agents running, a tick does nothing.
    Spawn(agent, machine);
    ASSERT_TRUE(AwaitTicks(2));
    EXPECT_EQ(Count("CreateProcessW("), 2u);
    EXPECT_EQ(AgentCount(), 2);

    // Without the agent file every tick tries again, silently, and the service runs on.
    fs::rename(agent, RootPath("pellard.exe"));
    ASSERT_EQ(Run(TASKKILL_EXE, {"/IM", "pellard.exe", "/F"}).exitStatus, 0);
    ASSERT_TRUE(AwaitCondition([&] { return Count("CreateProcessW(") >= 4; }));
    EXPECT_EQ(AgentCount(), 0);
    EXPECT_NE(State().find("4  RUNNING"), std::string::npos);
    EXPECT_TRUE(scm_support::EventTexts(Root(), "Application").empty());
    fs::rename(RootPath("pellard.exe"), agent);
    ASSERT_TRUE(AwaitCondition([&] { return AgentCount() == 1; }));
    // taskkill compares names without case and took the Pellard.exe too: another one for the
    // stop.
    upperCase = Spawn(RootPath("drive_c/other/Pellard.exe"), machine);

    // Controls other than stop: 128 is logged once, pause never reaches the service,
    // interrogate reaches it; none changes the state.
    ProgramResult custom = Sc({"control", "pellardservice", "128"});
    EXPECT_EQ(custom.exitStatus, 0) << custom.out;
    ProgramResult pause = Sc({"control", "pellardservice", "2"});
    EXPECT_EQ(pause.exitStatus, 1052 & 0xFF);
    EXPECT_EQ(pause.out, "[SC] ControlService FAILED 1052:\n\nThe requested control is not valid "
                         "for this service.\n\n");
    EXPECT_EQ(Sc({"control", "pellardservice", "4"}).exitStatus, 0);
    EXPECT_EQ(Count("ServiceControlHandler("), 2u) << "128 and interrogate reached the service";
    EXPECT_EQ(scm_support::EventTexts(Root(), "Application"),
              std::vector<std::string>{"Bad service request"});
    EXPECT_NE(State().find("4  RUNNING"), std::string::npos);

    // The stop: pending twice, every agent ended before the quit message, stopped with 0,
    // and "Service stopped" already in the log when the state shows it.
    ProgramResult stop = Sc({"stop", "pellardservice"});
    ASSERT_EQ(stop.exitStatus, 0) << stop.out;
    ASSERT_TRUE(AwaitCondition([&] {
        std::string state = State();
        if (state.find("1  STOPPED") == std::string::npos)
            return false;
        std::vector<std::string> events = scm_support::EventTexts(Root(), "Application");
        EXPECT_EQ(events.back(), "Service stopped") << "the stop was shown before it was logged";
        return true;
    }));
    history = hostwin::ServiceStatusHistory(u"pellardservice");
    ASSERT_EQ(history.size(), 5u);
    EXPECT_EQ(history[2].status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(history[3].status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(history[4].status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(history[4].status.dwWin32ExitCode, 0u);
    size_t stopPending = First("SetServiceStatus(handle=0x5c5c0010 state=3");
    size_t stopKill = First("TerminateProcess(", stopPending);
    size_t quit = First("PostThreadMessageW(", stopPending);
    EXPECT_LT(stopPending, stopKill);
    EXPECT_EQ(First("TerminateProcess(", quit), std::string::npos)
        << "an agent ended after the quit";
    EXPECT_LT(stopKill, quit);
    EXPECT_LT(First("ReportEventW(", quit), First("SetServiceStatus(handle=0x5c5c0010 state=1"));
    EXPECT_TRUE(AwaitCondition([&] { return AgentCount() == 0; }));
    EXPECT_FALSE(Ended(upperCase)) << "a Pellard.exe is no agent";
    EXPECT_FALSE(Ended(foreign)) << "another machine's agent was ended";
    EXPECT_EQ(scm_support::HandlesLeftOpen(handleReport), "") << "open in the service at its exit";
}

// Each failure through the command, as a user meets it.
TEST_F(EndToEndTest, TheCommandFailsWithThePlatformsCodes) {
    Install();
    ProgramResult silent =
        Sc({"create", "silent",
            "binPath=", "\"" + hostwin::ToUtf8(hostwin::WindowsPath(PELLARD_EXE)) + "\""});
    ASSERT_EQ(silent.exitStatus, 0);
    struct Case {
        std::vector<std::string> args;
        std::map<std::string, std::string> environment;
        const char* call;
        DWORD error;
    } cases[] = {
        {{"query", "nosuchservice"}, {}, "EnumQueryServicesStatus:OpenService", 1060},
        {{"create", "PellardService", "binPath=", "x.exe"}, {}, "CreateService", 1073},
        {{"stop", "pellardservice"}, {}, "ControlService", 1062},
        {{"start", "silent"}, {}, "StartService", 1053},
        {{"start", "pellardservice"}, {{"HOSTWIN_ELEVATED", "0"}}, "OpenService", 5},
        {{"stop", "pellardservice"}, {{"HOSTWIN_ELEVATED", "0"}}, "OpenService", 5},
        {{"delete", "pellardservice"}, {{"HOSTWIN_ELEVATED", "0"}}, "OpenService", 5},
        {{"start", "pellardservice"}, {}, nullptr, 0},
        {{"start", "pellardservice"}, {}, "StartService", 1056},
        {{"control", "pellardservice", "3"}, {}, "ControlService", 1052},
        {{"control", "pellardservice", "5"}, {}, "ControlService", 87},
        {{"delete", "pellardservice"}, {}, nullptr, 0},
        {{"delete", "pellardservice"}, {}, "DeleteService", 1072},
        {{"config", "pellardservice", "start=", "demand"}, {}, "ChangeServiceConfig", 1072},
        {{"stop", "pellardservice"}, {}, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        if (c.args[0] == "stop" && c.error == 0) {
            ASSERT_TRUE(AwaitState("4  RUNNING"));
        }
        ProgramResult result = Sc(c.args, c.environment);
        EXPECT_EQ(result.exitStatus, static_cast<int>(c.error & 0xFF)) << result.out;
        // A start returns once the dispatcher runs; the next rows need the service running.
        if (c.args[0] == "start" && c.error == 0) {
            ASSERT_TRUE(AwaitState("4  RUNNING"));
        }
        if (c.call) {
            EXPECT_EQ(result.out.rfind(std::string("[SC] ") + c.call + " FAILED " +
                                           std::to_string(c.error) + ":\n\n",
                                       0),
                      0u)
                << result.out;
        }
    }
    EXPECT_TRUE(AwaitCondition([&] {
        return Sc({"query", "pellardservice"}).out.find("FAILED 1060") != std::string::npos;
    })) << "the stopped service marked for deletion is gone";
    EXPECT_EQ(Sc({"query", "RPCSS"}).out.find("4  RUNNING") != std::string::npos, true);
    EXPECT_TRUE(AwaitCondition([&] { return AgentCount() == 0; }));
}

// The manager records the service's process just after starting it: a process that reaches its
// dispatcher first waits for the record instead of being refused with 1063. And a record that
// cannot be written fails the start and leaves no process behind.
TEST_F(EndToEndTest, TheServiceProcessMayConnectBeforeTheManagerHasRecordedIt) {
    Install();
    ProgramResult start =
        Sc({"start", "pellardservice"}, {{"HOSTWIN_DELAYS", "sc.exe:RecordServiceProcess@1=500"}});
    ASSERT_EQ(start.exitStatus, 0) << start.out;
    ASSERT_TRUE(AwaitState("4  RUNNING"));
    ASSERT_EQ(Sc({"stop", "pellardservice"}).exitStatus, 0);
    ASSERT_TRUE(AwaitState("1  STOPPED"));
    ASSERT_TRUE(AwaitCondition([&] { return AgentCount() == 0; }));

    ProgramResult unrecorded =
        Sc({"start", "pellardservice"}, {{"HOSTWIN_FAULTS", "sc.exe:RecordServiceProcess@1=1450"}});
    EXPECT_EQ(unrecorded.exitStatus, 1450 & 0xFF) << unrecorded.out;
    EXPECT_NE(State().find("1  STOPPED"), std::string::npos) << State();
    ASSERT_TRUE(AwaitCondition([&] { return AgentCount(u"tollivar.exe") == 0; }));
}

// Two starts at once: the first, held after claiming the service, is the only one to start a
// process; the second is refused with 1056. Once stopped, the service shows no process id.
// Two starters meet either after the first has claimed the start (the second finds it pending)
// or both between their look and their claim (the claim must look again): either way one start
// and one 1056.
TEST_F(EndToEndTest, OfTwoStartsAtOnceOnlyOneStartsTheService) {
    Install();
    for (const bool bothBeforeTheClaim : {false, true}) {
        SCOPED_TRACE(bothBeforeTheClaim ? "both held before the claim" : "one held after it");
        ProgramResult first, second;
        std::thread firstStarter([&] {
            first =
                Sc({"start", "pellardservice"},
                   {{"HOSTWIN_DELAYS", bothBeforeTheClaim ? "sc.exe:ClaimServiceStart@1=2000"
                                                          : "sc.exe:RecordServiceProcess@1=3000"}});
        });
        if (bothBeforeTheClaim)
            second = Sc({"start", "pellardservice"},
                        {{"HOSTWIN_DELAYS", "sc.exe:ClaimServiceStart@1=2000"}});
        else if (AwaitState("2  START_PENDING"))
            second = Sc({"start", "pellardservice"});
        firstStarter.join();
        ProgramResult& failed = first.exitStatus == 0 ? second : first;
        EXPECT_EQ((first.exitStatus == 0) + (second.exitStatus == 0), 1) << first.out << second.out;
        EXPECT_EQ(failed.exitStatus, 1056 & 0xFF) << failed.out;
        EXPECT_EQ(failed.out.rfind("[SC] StartService FAILED 1056:", 0), 0u) << failed.out;
        ASSERT_TRUE(AwaitState("4  RUNNING"));
        EXPECT_EQ(AgentCount(u"tollivar.exe"), 1);

        ASSERT_EQ(Sc({"stop", "pellardservice"}).exitStatus, 0);
        ASSERT_TRUE(AwaitState("1  STOPPED"));
        const std::string queryex = Sc({"queryex", "pellardservice"}).out;
        EXPECT_NE(queryex.find("PID                : 0\n"), std::string::npos) << queryex;
        ASSERT_TRUE(AwaitCondition([&] { return AgentCount() == 0; }));
    }
}

// An sc start killed after it claimed the start and before it recorded the service's process
// leaves no start for ever pending: the next look ends it with 1053 and System entry 7000, and
// the service starts and stops again.
TEST_F(EndToEndTest, AStartWhoseStarterWasKilledEndsAtTheNextLook) {
    Install();
    std::map<std::string, std::string> environment = Environment();
    environment["HOSTWIN_DELAYS"] = "sc.exe:RecordServiceProcess@1=3000";
    int starter = testing_support::SpawnProgram({SC_EXE, "start", "pellardservice"}, environment);
    m_spawned.push_back(starter);
    // Held between the service's process and its record (3 s, not time-scaled).
    ASSERT_TRUE(AwaitCondition([&] {
        return State().find("2  START_PENDING") != std::string::npos &&
               AgentCount(u"tollivar.exe") == 1;
    }));
    ASSERT_EQ(kill(starter, SIGKILL), 0);
    ASSERT_EQ(waitpid(starter, nullptr, 0), starter);
    m_spawned.pop_back();

    std::string state = State();
    EXPECT_NE(state.find("1  STOPPED"), std::string::npos) << state;
    EXPECT_NE(state.find("WIN32_EXIT_CODE    : 1053  (0x41d)"), std::string::npos) << state;
    EXPECT_EQ(scm_support::EventInserts(Root(), "System", 7000),
              (std::vector<std::vector<std::string>>{
                  {"pellardservice", "The service did not respond to the start or control "
                                     "request in a timely fashion."}}));
    ASSERT_TRUE(AwaitCondition([&] { return AgentCount(u"tollivar.exe") == 0; }));
    ASSERT_EQ(Sc({"start", "pellardservice"}).exitStatus, 0);
    ASSERT_TRUE(AwaitState("4  RUNNING"));
    ASSERT_EQ(Sc({"stop", "pellardservice"}).exitStatus, 0);
    ASSERT_TRUE(AwaitState("1  STOPPED"));
}

// On a full disk the service store cannot write, and start and stop say so with 112 instead of
// failing some other way. A tiny tmpfs makes the disk full for real (root only).
TEST_F(EndToEndTest, StartAndStopOnAFullDiskReportDiskFull) {
    const std::string root = RootPath("full");
    std::filesystem::create_directory(root);
    if (mount("tmpfs", root.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{root};
    auto sc = [&](std::vector<std::string> args) {
        args.insert(args.begin(), SC_EXE);
        return testing_support::RunProgram(
            args, {{"HOSTWIN_ROOT", root}, {"HOSTWIN_TIME_SCALE", "0.01"}});
    };
    ASSERT_EQ(sc({"create", "pellardservice", "binPath=", "/bin/true"}).exitStatus, 0);
    {
        // Filled to the last block: every new page the store needs is refused.
        std::FILE* fill = std::fopen((root + "/fill").c_str(), "wb");
        ASSERT_NE(fill, nullptr);
        static const char block[4096] = {};
        while (std::fwrite(block, 1, sizeof block, fill) == sizeof block) {
        }
        std::fclose(fill);
    }
    for (const char* verb : {"start", "stop"}) {
        ProgramResult result = sc({verb, "pellardservice"});
        EXPECT_EQ(result.exitStatus, 112) << verb << result.out << result.err;
        EXPECT_NE(result.out.find("FAILED 112:"), std::string::npos) << verb << result.out;
        EXPECT_NE(result.err.find("the disk is full"), std::string::npos) << verb << result.err;
    }
}

// Killed after its service's process was recorded but before that process connected, the
// starter leaves a process that the next look ends as the manager's own kill (1053, in the
// ledger), never as a crash; the service starts again.
TEST_F(EndToEndTest, AStartAbandonedBeforeTheDispatcherEndsItsProcessAsTheManagersKill) {
    Install();
    const std::string ledger = RootPath("ledger.txt");
    std::map<std::string, std::string> environment = Environment();
    environment["HOSTWIN_PROCESS_LEDGER"] = ledger;
    environment["HOSTWIN_DELAYS"] = "tollivar.exe:StartServiceCtrlDispatcherW@1=3000";
    int starter = testing_support::SpawnProgram({SC_EXE, "start", "pellardservice"}, environment);
    m_spawned.push_back(starter);
    std::string queryex;
    ASSERT_TRUE(AwaitCondition([&] {
        queryex = Sc({"queryex", "pellardservice"}).out;
        return queryex.find("2  START_PENDING") != std::string::npos &&
               queryex.find("PID                : 0\n") == std::string::npos;
    })) << queryex;
    const int service = std::stoi(queryex.substr(queryex.find("PID                : ") + 21));
    ASSERT_EQ(kill(starter, SIGKILL), 0);
    ASSERT_EQ(waitpid(starter, nullptr, 0), starter);
    m_spawned.pop_back();

    std::string state = Sc({"query", "pellardservice"}, {{"HOSTWIN_PROCESS_LEDGER", ledger}}).out;
    EXPECT_NE(state.find("WIN32_EXIT_CODE    : 1053  (0x41d)"), std::string::npos) << state;
    ASSERT_TRUE(AwaitCondition([&] { return AgentCount(u"tollivar.exe") == 0; }));
    EXPECT_NE(testing_support::ReadFile(ledger).find("killed\t" + std::to_string(service) +
                                                     "\t0x0000041D\tsc.exe\n"),
              std::string::npos)
        << testing_support::ReadFile(ledger);
    ASSERT_EQ(Sc({"start", "pellardservice"}).exitStatus, 0);
    ASSERT_TRUE(AwaitState("4  RUNNING"));
    ASSERT_EQ(Sc({"stop", "pellardservice"}).exitStatus, 0);
    ASSERT_TRUE(AwaitState("1  STOPPED"));
}

// A stop sent the moment the service shows RUNNING is accepted: the service's dispatcher knows
// of a report before anyone can read it (each report held 500 ms between the two).
TEST_F(EndToEndTest, AStopSentAsSoonAsTheServiceRunsIsAccepted) {
    Install();
    const std::map<std::string, std::string> held = {
        {"HOSTWIN_DELAYS", "tollivar.exe:RecordServiceStatus@*=500"}};
    ASSERT_EQ(Sc({"start", "pellardservice"}, held).exitStatus, 0);
    ASSERT_TRUE(AwaitState("4  RUNNING"));
    ProgramResult stop = Sc({"stop", "pellardservice"});
    EXPECT_EQ(stop.exitStatus, 0) << stop.out;
    ASSERT_TRUE(AwaitState("1  STOPPED"));
}

// A service whose handler could not be registered logs it, reports nothing and stays
// start-pending; killed, it shows STOPPED with 1067 and starts again.
TEST_F(EndToEndTest, AKilledServiceIsStoppedWith1067AndStartsAgain) {
    Install();
    ASSERT_EQ(
        Sc({"start", "pellardservice"}, {{"HOSTWIN_FAULTS", "RegisterServiceCtrlHandlerW@1=1450"}})
            .exitStatus,
        0);
    ASSERT_TRUE(AwaitCondition([&] {
        return scm_support::EventTexts(Root(), "Application") ==
               std::vector<std::string>{"Handler not installed"};
    }));
    EXPECT_TRUE(hostwin::ServiceStatusHistory(u"pellardservice").empty()) << "nothing reported";
    ProgramResult pending = Sc({"stop", "pellardservice"});
    EXPECT_EQ(pending.exitStatus, 1061 & 0xFF);
    EXPECT_EQ(pending.out.rfind("[SC] ControlService FAILED 1061:\n\n", 0), 0u) << pending.out;
    std::string queryex = Sc({"queryex", "pellardservice"}).out;
    EXPECT_NE(queryex.find("2  START_PENDING"), std::string::npos) << queryex;
    int pid = std::stoi(queryex.substr(queryex.find("PID                : ") + 21));
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_TRUE(AwaitState("1  STOPPED"));
    EXPECT_NE(State().find("WIN32_EXIT_CODE    : 1067  (0x42b)"), std::string::npos) << State();
    std::string system = testing_support::ReadFile(RootPath("eventlog/System.jsonl"));
    EXPECT_NE(system.find("\"id\":7034"), std::string::npos) << system;
    ASSERT_EQ(Sc({"start", "pellardservice"}).exitStatus, 0);
    ASSERT_TRUE(AwaitState("4  RUNNING"));
    ASSERT_EQ(Sc({"stop", "pellardservice"}).exitStatus, 0);
    ASSERT_TRUE(AwaitState("1  STOPPED"));
    ASSERT_TRUE(AwaitCondition([&] { return AgentCount() == 0; }));
}

TEST_F(EndToEndTest, TheCommandShowsTheConfigurationAsWritten) {
    Install();
    ASSERT_EQ(Sc({"description", "pellardservice", "pellard"}).out,
              "[SC] ChangeServiceConfig2 SUCCESS\n");
    ASSERT_EQ(Sc({"config", "pellardservice", "DisplayName=", "Pellard Service", "error=", "ignore",
                  "depend=", "RPCSS/Other"})
                  .exitStatus,
              0);
    std::string qc = Sc({"qc", "pellardservice"}).out;
    EXPECT_NE(qc.find("START_TYPE         : 2   AUTO_START\n"), std::string::npos) << qc;
    EXPECT_NE(qc.find("ERROR_CONTROL      : 0   IGNORE\n"), std::string::npos) << qc;
    EXPECT_NE(qc.find("DISPLAY_NAME       : Pellard Service\n"), std::string::npos) << qc;
    EXPECT_NE(qc.find("DEPENDENCIES       : RPCSS\n                           : Other\n"),
              std::string::npos)
        << qc;
    EXPECT_NE(qc.find("BINARY_PATH_NAME   : " + hostwin::ToUtf8(scm_support::TollivarBinaryPath())),
              std::string::npos);
    EXPECT_EQ(Sc({"qdescription", "pellardservice"}).out,
              "[SC] QueryServiceConfig2 SUCCESS\n\nSERVICE_NAME: pellardservice\nDESCRIPTION:  "
              "pellard\n");
    // Without a name, the active services only: the stopped one is not listed.
    std::string listing = Sc({"query"}).out;
    EXPECT_EQ(listing.find("SERVICE_NAME: RpcSs \nDISPLAY_NAME: Remote Procedure Call (RPC)\n"), 1u)
        << listing;
    EXPECT_EQ(listing.find("pellardservice"), std::string::npos) << listing;
    // A dependency that does not exist keeps it from starting.
    ProgramResult start = Sc({"start", "pellardservice"});
    EXPECT_EQ(start.exitStatus, 1075 & 0xFF) << start.out;
}

// The service's entries as people read them: through the message file installed beside it
// while its event source is registered, with the platform's text once it is not.
TEST_F(EndToEndTest, WevtutilShowsTheServicesEntriesThroughItsMessageFileWhileItIsRegistered) {
    const std::string exe = InstallWithMessageFile();
    ASSERT_FALSE(exe.empty());
    ASSERT_EQ(Sc({"start", "pellardservice"}).exitStatus, 0);
    ASSERT_TRUE(AwaitState("4  RUNNING"));
    ASSERT_EQ(Sc({"stop", "pellardservice"}).exitStatus, 0);
    ASSERT_TRUE(AwaitState("1  STOPPED"));
    ASSERT_TRUE(AwaitCondition([&] { return AgentCount() == 0; }));

    const std::string entry = "Event[0]:\n  Log Name: Application\n  Source: pellardservice\n";
    const std::string fields = "  Event ID: 0\n  Task: N/A\n  Level: Information\n";
    ProgramResult registered = Run(WEVTUTIL_EXE, {"qe", "Application", "/f:text"});
    EXPECT_EQ(registered.exitStatus, 0) << registered.err;
    EXPECT_EQ(registered.out.rfind(entry, 0), 0u) << registered.out;
    EXPECT_NE(registered.out.find(fields), std::string::npos) << registered.out;
    EXPECT_EQ(registered.out.substr(registered.out.find("  Description: ")),
              "  Description: \nService stopped\n\n");

    ASSERT_EQ(Run(exe.c_str(), {"/UnregServer"}).exitStatus, 0);
    ProgramResult unregistered =
        Run(WEVTUTIL_EXE, {"qe", "Application", "/f:text", "/rd:true", "/c:1"});
    EXPECT_EQ(unregistered.exitStatus, 0) << unregistered.err;
    EXPECT_EQ(unregistered.out.rfind(entry, 0), 0u) << unregistered.out;
    EXPECT_EQ(unregistered.out.substr(unregistered.out.find("  Description: ")),
              "  Description: \nThe description for Event ID 0 from source pellardservice cannot "
              "be found. Either the component that raises this event is not installed on your "
              "local computer or the installation is corrupted. You can install or repair the "
              "component on the local computer.\n\nIf the event originated on another computer, "
              "the display information had to be saved with the event.\n\nThe following "
              "information was included with the event: \n\nService stopped\n\n");
}

// The entries that carry their own message, caused as they happen, read as people read them:
// each under its own Event ID and level, its strings in their places in the message's text.
TEST_F(EndToEndTest, TheAgentMessageBoxAndCrashEntriesReadAsTheirMessages) {
    const std::string exe = InstallWithMessageFile();
    ASSERT_FALSE(exe.empty());
    const std::string folder = RootPath("drive_c/pellard");
    fs::permissions(folder, fs::perms(0755));

    struct Case {
        const char* what;
        std::function<void()> cause;
        std::string fields;
        std::string description;
    } cases[] = {
        {"a folder others may change",
         [&] {
             fs::permissions(folder, fs::perms(0757));
             Run(exe.c_str(), {"/Service"});
             fs::permissions(folder, fs::perms(0755));
         },
         "  Event ID: 1\n  Task: N/A\n  Level: Warning\n",
         "The agent program C:\\pellard\\bin\\pellard.exe is not trusted: accounts other than "
         "SYSTEM, Administrators and TrustedInstaller may change C:\\pellard"},
        {"a failure where no desktop is visible",
         [&] {
             Run(exe.c_str(), {"/Service"},
                 {{"HOSTWIN_FAULTS", "tollivar.exe:OpenSCManagerW@*=5"},
                  {"HOSTWIN_WINDOW_STATION", "invisible"}});
         },
         "  Event ID: 2\n  Task: N/A\n  Level: Error\n",
         "pellardservice: Could not open Service Manager\n(Logged here because no desktop was "
         "visible to show it in a message box.)"},
        {"std::terminate",
         [&] {
             Run(exe.c_str(), {}, {{"HOSTWIN_FAULTS", "InitializeCriticalSectionEx@1=throw"}});
         },
         "  Event ID: 3\n  Task: N/A\n  Level: Error\n",
         "tollivar ended abnormally: std::terminate: exception hr = 0x8007000E, exit code "
         "0xC0000409"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.cause();
        ProgramResult newest =
            Run(WEVTUTIL_EXE, {"qe", "Application", "/f:text", "/rd:true", "/c:1"});
        EXPECT_EQ(newest.exitStatus, 0) << newest.err;
        EXPECT_NE(newest.out.find("  Source: pellardservice\n"), std::string::npos) << newest.out;
        EXPECT_NE(newest.out.find(c.fields), std::string::npos) << newest.out;
        const size_t at = newest.out.find("  Description: ");
        ASSERT_NE(at, std::string::npos) << newest.out;
        EXPECT_EQ(newest.out.substr(at), "  Description: \n" + c.description + "\n\n");
    }
}

} // namespace
