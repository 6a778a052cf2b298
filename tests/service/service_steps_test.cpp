// The service steps in-process, with this process acting as the service: the order of reports,
// agent launches and ends, the quit message and the log, and the guards of the two threads.
#include "machine.h"

#include "agent.h"
#include "tollivarmodule.h"

#include <windows.h>
#include <crtdbg.h>
#include <tlhelp32.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const auto kBound = std::chrono::seconds(20); // far above any step; reached only by a fault

// Termination is asynchronous: counts are taken once the ended agents are gone.
bool AwaitAgentCount(int expected) {
    const auto deadline = Clock::now() + kBound;
    while (testing_support::AgentCount() != expected) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::vector<DWORD> ReportedStates() {
    std::vector<DWORD> states;
    for (const SERVICE_STATUS& status : hostwin::InProcessStatusReports())
        states.push_back(status.dwCurrentState);
    return states;
}

// Event log texts written so far.
std::vector<std::string> LoggedEvents(const std::string& root) {
    std::vector<std::string> texts;
    std::string log = testing_support::ReadFile(root + "/eventlog/Application.jsonl");
    for (size_t at = log.find("\"strings\":[\""); at != std::string::npos;
         at = log.find("\"strings\":[\"", at + 1)) {
        size_t start = at + 12;
        texts.push_back(log.substr(start, log.find('"', start) - start));
    }
    return texts;
}

// Positions of calls in the call log, to compare their order.
size_t FirstCall(const std::string& function, const std::string& argsPart = "") {
    std::vector<hostwin::CallRecord> log = hostwin::CallLog();
    for (size_t i = 0; i < log.size(); ++i)
        if (log[i].function == function && log[i].args.find(argsPart) != std::string::npos)
            return i;
    return std::string::npos;
}
size_t LastCall(const std::string& function, const std::string& argsPart = "") {
    std::vector<hostwin::CallRecord> log = hostwin::CallLog();
    for (size_t i = log.size(); i-- > 0;)
        if (log[i].function == function && log[i].args.find(argsPart) != std::string::npos)
            return i;
    return std::string::npos;
}

class ServiceStepsTest : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        fs::create_directories(RootPath("drive_c/pellard/bin"));
        fs::copy_file(PELLARD_EXE, RootPath("drive_c/pellard/bin/pellard.exe"));
        g_module.m_serviceStatus = {
            SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
        g_module.m_statusHandle = NULL;
        g_module.m_runAsService = TRUE;
        g_module.m_comInitialized = false;
        g_module.m_delayShutdown = true;
        g_module.m_loopThreadId = 0;
        g_module.m_stopRequested = 0;
        g_module.m_tickLaunching = 0;
        hostwin::ActAsServiceForTest(u"pellardservice");
        hostwin::EnableCallLog(true);
    }
    void TearDown() override {
        hostwin::SetStatusReportObserver(nullptr);
        hostwin::ActAsServiceForTest(u"");
        hostwin::PretendModuleLoaded(u"Mscoree.dll", false);
        g_module.KillAgents();
        EXPECT_TRUE(AwaitAgentCount(0));
        MachineTest::TearDown();
    }

    // Runs the service main on its own thread, as the dispatcher does; `stopWhenRunning` sends
    // the stop from this thread once SERVICE_RUNNING was reported. False when the service did
    // not end in time (it is then rescued with a quit message).
    bool RunService(bool stopWhenRunning) {
        std::mutex lock;
        std::condition_variable changed;
        bool running = false;
        hostwin::SetStatusReportObserver([&](const SERVICE_STATUS& status) {
            std::lock_guard<std::mutex> guard(lock);
            running = running || status.dwCurrentState == SERVICE_RUNNING;
            changed.notify_all();
        });
        std::packaged_task<void()> task([] { CtollivarModule::StaticServiceMain(0, nullptr); });
        std::future<void> ended = task.get_future();
        std::thread service(std::move(task));
        if (stopWhenRunning) {
            std::unique_lock<std::mutex> guard(lock);
            if (changed.wait_for(guard, kBound, [&] { return running; })) {
                guard.unlock();
                CtollivarModule::StaticHandler(SERVICE_CONTROL_STOP);
            }
        }
        bool inTime = ended.wait_for(kBound) == std::future_status::ready;
        while (ended.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
            PostThreadMessageW(g_module.m_loopThreadId, WM_QUIT, 0, 0);
        service.join();
        hostwin::SetStatusReportObserver(nullptr);
        return inTime;
    }
};

TEST_F(ServiceStepsTest, AStartEndsStaleAgentsLaunchesOneAndAStopEndsThemBeforeTheQuit) {
    ASSERT_TRUE(StartAgent());
    ASSERT_TRUE(StartAgent());
    ASSERT_TRUE(RunService(true));

    EXPECT_EQ(ReportedStates(),
              (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                  SERVICE_STOP_PENDING, SERVICE_STOPPED}));
    EXPECT_EQ(hostwin::InProcessStatusReports().back().dwWin32ExitCode, 0u);
    // Ending is asynchronous: a stop right after the start may still see a stale agent on its
    // way out and end it again. Three processes are ended, whatever the number of calls.
    std::set<std::string> ended;
    for (const hostwin::CallRecord& call : hostwin::CallLog("TerminateProcess"))
        ended.insert(call.args.substr(0, call.args.find(' ')));
    EXPECT_EQ(ended.size(), 3u) << "two stale agents, one at stop";

    // Start: stale agents ended, one launched, then running, then the watchdog armed.
    size_t launch = LastCall("CreateProcessW");
    EXPECT_LT(LastCall("TerminateProcess", ""), LastCall("PostThreadMessageW", "msg=0x0012"));
    EXPECT_LT(FirstCall("TerminateProcess"), launch);
    EXPECT_LT(launch, FirstCall("SetServiceStatus", "state=4"));
    EXPECT_LT(FirstCall("SetServiceStatus", "state=4"), FirstCall("SetTimer"));
    // Stop: pending reported before the first agent is ended, every agent ended before the
    // quit message, stopped last, and "Service stopped" logged before that report.
    size_t stopPending = FirstCall("SetServiceStatus", "state=3");
    size_t stopKill = LastCall("TerminateProcess");
    EXPECT_LT(stopPending, stopKill);
    EXPECT_LT(stopKill, FirstCall("PostThreadMessageW", "msg=0x0012"));
    EXPECT_LT(LastCall("ReportEventW"), FirstCall("SetServiceStatus", "state=1"));
    EXPECT_EQ(LoggedEvents(Root()), std::vector<std::string>{"Service stopped"});
    EXPECT_TRUE(AwaitAgentCount(0));
}

// The stop may come as soon as SERVICE_RUNNING is reported, before the watchdog is armed and
// before the loop asks for its first message: the quit message must still reach the loop.
TEST_F(ServiceStepsTest, AStopRightAfterTheRunningReportStillEndsTheLoop) {
    hostwin::SetStatusReportObserver([](const SERVICE_STATUS& status) {
        if (status.dwCurrentState == SERVICE_RUNNING)
            g_module.Handler(SERVICE_CONTROL_STOP); // on the loop thread, inside the report
    });
    std::packaged_task<void()> task([] { CtollivarModule::StaticServiceMain(0, nullptr); });
    std::future<void> ended = task.get_future();
    std::thread service(std::move(task));
    bool inTime = ended.wait_for(kBound) == std::future_status::ready;
    while (ended.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        PostThreadMessageW(g_module.m_loopThreadId, WM_QUIT, 0, 0);
    service.join();
    EXPECT_TRUE(inTime) << "the quit message was lost: the service stayed stop-pending";
    EXPECT_EQ(ReportedStates().back(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_TRUE(AwaitAgentCount(0));
}

// One failed platform call at stop must not leave the service stop-pending for ever or an
// agent running once it has stopped: the quit is posted again, and the agents are ended again
// while some are still seen. Without stale agents and ticks, the stop's calls are the first
// opens, terminations and quit posts, and the second snapshot.
struct StopFault {
    const char* function;
    unsigned nth;
    DWORD error;
};
void PrintTo(const StopFault& fault, std::ostream* out) {
    *out << fault.function << '@' << fault.nth;
}
class StopFaultTest : public ServiceStepsTest, public testing::WithParamInterface<StopFault> {};

TEST_P(StopFaultTest, AStopSurvivesOneFailedCall) {
    const StopFault& fault = GetParam();
    hostwin::InjectFault(fault.function, fault.nth, fault.error);
    EXPECT_TRUE(RunService(true)) << "the service stayed stop-pending";
    hostwin::ClearFaults();
    EXPECT_EQ(ReportedStates().back(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(testing_support::AgentCount(), 0) << "an agent outlived the service";
    EXPECT_FALSE(hostwin::CallLog(fault.function).empty()) << "the fault was not reached";
}

INSTANTIATE_TEST_SUITE_P(
    EachStopCall, StopFaultTest,
    testing::Values(StopFault{"PostThreadMessageW", 1, ERROR_NOT_ENOUGH_QUOTA},
                    StopFault{"TerminateProcess", 1, ERROR_ACCESS_DENIED},
                    StopFault{"OpenProcess", 1, ERROR_ACCESS_DENIED},
                    StopFault{"CreateToolhelp32Snapshot", 2, ERROR_NOT_ENOUGH_MEMORY},
                    StopFault{"Process32FirstW", 2, ERROR_NO_MORE_FILES}),
    [](const testing::TestParamInfo<StopFault>& info) { return info.param.function; });

TEST_F(ServiceStepsTest, ComStartUpFollowsTheRuntimeRule) {
    struct Case {
        const char* what;
        HRESULT fault; // what CoInitializeEx answers, 0 for no fault
        bool runtimeLoaded;
        DWORD stoppedWith; // exit code of the last report
        size_t reports;
        bool uninitialised;
    } cases[] = {
        {"COM starts", 0, false, 0, 5, true},
        {"another apartment set by the runtime", RPC_E_CHANGED_MODE, true, 0, 5, false},
        {"another apartment without the runtime", RPC_E_CHANGED_MODE, false,
         static_cast<DWORD>(RPC_E_CHANGED_MODE), 2, false},
        {"COM fails", E_OUTOFMEMORY, true, static_cast<DWORD>(E_OUTOFMEMORY), 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        if (c.fault)
            hostwin::InjectFault("CoInitializeEx", 1, static_cast<DWORD>(c.fault));
        hostwin::PretendModuleLoaded(u"Mscoree.dll", c.runtimeLoaded);
        ASSERT_TRUE(RunService(c.stoppedWith == 0));
        std::vector<SERVICE_STATUS> reports = hostwin::InProcessStatusReports();
        ASSERT_EQ(reports.size(), c.reports);
        EXPECT_EQ(reports.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
        EXPECT_EQ(reports.back().dwWin32ExitCode, c.stoppedWith);
        EXPECT_EQ(!hostwin::CallLog("CoUninitialize").empty(), c.uninitialised);
        if (c.stoppedWith != 0) {
            EXPECT_TRUE(hostwin::CallLog("CreateProcessW").empty()) << "no agent on a failed start";
        }
        hostwin::ClearFaults();
        TearDown();
    }
    SetUp();
}

TEST_F(ServiceStepsTest, WithoutAHandlerTheServiceLogsItAndReportsNothing) {
    hostwin::InjectFault("RegisterServiceCtrlHandlerW", 1, ERROR_SERVICE_NOT_IN_EXE);
    ASSERT_TRUE(RunService(false));
    EXPECT_TRUE(hostwin::InProcessStatusReports().empty());
    EXPECT_TRUE(hostwin::CallLog("SetServiceStatus").empty());
    EXPECT_EQ(LoggedEvents(Root()), std::vector<std::string>{"Handler not installed"});
    EXPECT_EQ(testing_support::AgentCount(), 0);
}

TEST_F(ServiceStepsTest, ControlsOtherThanStopChangeNothing) {
    struct Case {
        DWORD control;
        const char* logged; // nullptr: nothing
    } cases[] = {
        {SERVICE_CONTROL_PAUSE, nullptr},
        {SERVICE_CONTROL_CONTINUE, nullptr},
        {SERVICE_CONTROL_INTERROGATE, nullptr},
        {SERVICE_CONTROL_SHUTDOWN, nullptr},
        {SERVICE_CONTROL_PARAMCHANGE, "Bad service request"},
        {128, "Bad service request"},
        {255, "Bad service request"},
    };
    g_module.m_serviceStatus.dwCurrentState = SERVICE_RUNNING;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.control);
        fs::remove_all(RootPath("eventlog"));
        g_module.Handler(c.control);
        EXPECT_EQ(g_module.m_serviceStatus.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
        EXPECT_TRUE(hostwin::CallLog("SetServiceStatus").empty());
        EXPECT_TRUE(hostwin::CallLog("PostThreadMessageW").empty());
        std::vector<std::string> expected;
        if (c.logged)
            expected.push_back(c.logged);
        EXPECT_EQ(LoggedEvents(Root()), expected);
    }
    std::string log = testing_support::ReadFile(RootPath("eventlog/Application.jsonl"));
    EXPECT_NE(log.find("\"category\":0,\"id\":0,\"source\":\"pellardservice\""), std::string::npos)
        << log;
    EXPECT_NE(log.find("\"type\":4"), std::string::npos) << log;
}

TEST_F(ServiceStepsTest, ATickLaunchesAnAgentOnlyWhenNoneRunsAndNoStopHasBegun) {
    struct Case {
        const char* what;
        int running; // agents before the tick
        bool stopRequested;
        bool fileMissing;
        int after;
    } cases[] = {
        {"none running", 0, false, false, 1},
        {"one running", 1, false, false, 1},
        {"two running", 2, false, false, 2},
        {"a stop has begun", 0, true, false, 0},
        {"the agent file is missing", 0, false, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (int i = 0; i < c.running; ++i)
            ASSERT_TRUE(StartAgent());
        if (c.fileMissing)
            fs::rename(RootPath("drive_c/pellard/bin/pellard.exe"), RootPath("pellard.exe"));
        g_module.m_stopRequested = c.stopRequested ? 1 : 0;
        hostwin::ClearDebugReports();
        TimerProc(NULL, WM_TIMER, 1, 0);
        EXPECT_EQ(testing_support::AgentCount(), c.after);
        EXPECT_TRUE(hostwin::DebugReports().empty()) << "a tick is silent";
        EXPECT_FALSE(fs::exists(RootPath("eventlog")));
        if (c.fileMissing)
            fs::rename(RootPath("pellard.exe"), RootPath("drive_c/pellard/bin/pellard.exe"));
        g_module.KillAgents();
        ASSERT_TRUE(AwaitAgentCount(0));
    }
}

TEST_F(ServiceStepsTest, ATickThatFailsIsSkipped) {
    hostwin::InjectFault("CreateToolhelp32Snapshot", 1, ERROR_NOT_ENOUGH_MEMORY);
    TimerProc(NULL, WM_TIMER, 1, 0);
    EXPECT_EQ(testing_support::AgentCount(), 0);
    EXPECT_TRUE(hostwin::CallLog("CreateProcessW").empty());
    TimerProc(NULL, WM_TIMER, 1, 0);
    EXPECT_EQ(testing_support::AgentCount(), 1) << "the next tick tries again";
}

// A tick and a stop on two threads at once, unforced: whatever the interleaving, no agent
// outlives the stop.
TEST_F(ServiceStepsTest, NoAgentOutlivesAStopThatMeetsATick) {
    // This thread stands in for the loop: its queue takes the stops' quit messages.
    MSG msg;
    PeekMessageW(&msg, NULL, 0, 0, PM_NOREMOVE);
    g_module.m_loopThreadId = GetCurrentThreadId();
    for (int i = 0; i < 200; ++i) {
        SCOPED_TRACE(i);
        g_module.m_stopRequested = 0;
        g_module.m_serviceStatus.dwCurrentState = SERVICE_RUNNING;
        std::thread tick([] { TimerProc(NULL, WM_TIMER, 1, 0); });
        std::thread stop([] { g_module.HandleStop(); });
        tick.join();
        stop.join();
        ASSERT_TRUE(AwaitAgentCount(0)) << "an agent was launched after the stop ended them";
    }
    while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
    }
}

} // namespace

namespace {

// The calls Windows makes into the service let nothing escape: an error in the service main
// stops the service with the error's code, an error in a control leaves it without effect.
TEST_F(ServiceStepsTest, AnErrorInTheServiceMainStopsTheServiceWithItsCode) {
    bool thrown = false;
    hostwin::SetStatusReportObserver([&](const SERVICE_STATUS& status) {
        if (status.dwCurrentState == SERVICE_RUNNING && !thrown) {
            thrown = true;
            throw CHResultException(E_OUTOFMEMORY);
        }
    });
    std::thread service([] { CtollivarModule::StaticServiceMain(0, nullptr); });
    service.join();
    std::vector<SERVICE_STATUS> reports = hostwin::InProcessStatusReports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(reports.back().dwWin32ExitCode, static_cast<DWORD>(E_OUTOFMEMORY));
    EXPECT_EQ(testing_support::DebugReportTexts(_CRT_WARN).size(), 1u) << "one trace line";
}

TEST_F(ServiceStepsTest, AnErrorInAControlLeavesTheControlWithoutEffect) {
    ASSERT_TRUE(StartAgent());
    g_module.m_statusHandle =
        RegisterServiceCtrlHandlerW(u"pellardservice", CtollivarModule::StaticHandler);
    ASSERT_NE(g_module.m_statusHandle, nullptr);
    g_module.m_serviceStatus.dwCurrentState = SERVICE_RUNNING;
    hostwin::SetStatusReportObserver([](const SERVICE_STATUS&) { throw std::bad_alloc(); });
    CtollivarModule::StaticHandler(SERVICE_CONTROL_STOP);
    hostwin::SetStatusReportObserver(nullptr);
    EXPECT_TRUE(hostwin::CallLog("TerminateProcess").empty()) << "the stop went no further";
    EXPECT_TRUE(hostwin::CallLog("PostThreadMessageW").empty());
    EXPECT_EQ(testing_support::AgentCount(), 1);
    EXPECT_EQ(testing_support::DebugReportTexts(_CRT_WARN).size(), 1u) << "one trace line";
}

} // namespace

namespace {

// The local-server course follows the same COM rule: another apartment set by the runtime is
// accepted and left alone; any other failure ends the start before anything runs.
TEST_F(ServiceStepsTest, TheLocalServerFollowsTheRuntimeRuleToo) {
    HKEY key = NULL;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"AppID\\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}",
                              0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL),
              ERROR_SUCCESS);
    RegCloseKey(key);
    struct Case {
        const char* what;
        HRESULT fault;
        bool runtimeLoaded;
        int result;
        bool comInitialized;
    } cases[] = {
        {"COM starts", 0, false, S_OK, true},
        {"another apartment set by the runtime", RPC_E_CHANGED_MODE, true, S_OK, false},
        {"another apartment without the runtime", RPC_E_CHANGED_MODE, false,
         static_cast<int>(RPC_E_CHANGED_MODE), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_module.m_comInitialized = false;
        if (c.fault)
            hostwin::InjectFault("CoInitializeEx", 1, static_cast<DWORD>(c.fault));
        hostwin::PretendModuleLoaded(u"Mscoree.dll", c.runtimeLoaded);
        std::atomic<DWORD> threadId{0};
        std::packaged_task<int()> task([&] {
            threadId = GetCurrentThreadId();
            int result = g_module.StartModule(SW_HIDE);
            if (g_module.m_comInitialized)
                CoUninitialize();
            return result;
        });
        std::future<int> result = task.get_future();
        std::thread server(std::move(task));
        // The loop takes the quit message once it has its queue; nothing else ends it.
        while (result.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
            PostThreadMessageW(threadId, WM_QUIT, 0, 0);
        server.join();
        EXPECT_EQ(result.get(), c.result);
        EXPECT_FALSE(g_module.m_runAsService);
        EXPECT_EQ(g_module.m_comInitialized, c.comInitialized);
        EXPECT_EQ(hostwin::CallLog("CreateProcessW").size(), c.result == S_OK ? 1u : 0u);
        hostwin::ClearFaults();
        hostwin::ClearCallLog();
        g_module.KillAgents();
        ASSERT_TRUE(AwaitAgentCount(0));
    }
    g_module.m_comInitialized = false;
}

} // namespace
