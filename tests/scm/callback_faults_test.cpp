// The service where its own threads meet: a stop that arrives while a watchdog tick is held
// inside its window, and exceptions thrown inside the callbacks the platform calls. The service
// process inherits the test controls set around StartServiceW; its call log shows where it is
// held.
#include "scm_support.h"

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

namespace {

using scm_support::AgentCount;
using scm_support::AwaitCondition;

class CallbackFaultsTest : public testing_support::ServiceManagerTest {
protected:
    void TearDown() override {
        SERVICE_STATUS status{};
        if (m_service)
            ControlService(m_service.get(), SERVICE_CONTROL_STOP, &status);
        m_service.reset();
        ServiceManagerTest::TearDown();
    }

    // Creates `name` over `binaryPath` and starts it with `controls` in its environment.
    void Start(const std::u16string& name, const std::u16string& binaryPath,
               const std::map<std::string, std::string>& controls) {
        m_service.reset(CreateServiceW(m_manager.get(), name.c_str(), NULL, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                       SERVICE_ERROR_NORMAL, binaryPath.c_str(), NULL, NULL, NULL,
                                       NULL, NULL));
        ASSERT_NE(m_service.get(), nullptr);
        std::map<std::string, std::string> environment = controls;
        environment["HOSTWIN_CALL_LOG"] = RootPath("calls.log");
        environment["HOSTWIN_HANDLE_REPORT"] = RootPath("service-handles.txt");
        for (const auto& [variable, value] : environment)
            setenv(variable.c_str(), value.c_str(), 1);
        BOOL started = StartServiceW(m_service.get(), 0, NULL);
        DWORD error = GetLastError();
        for (const auto& [variable, value] : environment)
            unsetenv(variable.c_str()); // none of them is the test binary's own
        m_startError = started ? ERROR_SUCCESS : error;
    }
    // tollivar as the service "pellardservice", its agent installed.
    void StartTollivar(const std::map<std::string, std::string>& controls) {
        scm_support::WriteAppId(true);
        scm_support::InstallAgent(Root());
        Start(u"pellardservice", scm_support::TollivarBinaryPath(), controls);
    }
    // The same, and the start succeeded.
    void StartTollivarRunning(const std::map<std::string, std::string>& controls) {
        StartTollivar(controls);
        ASSERT_EQ(m_startError, static_cast<DWORD>(ERROR_SUCCESS));
    }

    SERVICE_STATUS Status() {
        SERVICE_STATUS status{};
        EXPECT_TRUE(QueryServiceStatus(m_service.get(), &status));
        return status;
    }
    bool AwaitState(DWORD state) {
        return AwaitCondition([&] { return Status().dwCurrentState == state; });
    }
    size_t CallsWith(const std::string& text) {
        size_t count = 0;
        std::istringstream lines(testing_support::ReadFile(RootPath("calls.log")));
        for (std::string line; std::getline(lines, line);)
            count += line.find(text) != std::string::npos;
        return count;
    }
    // The number of the `nth` line of the call log that holds `text`, or SIZE_MAX.
    size_t LineWith(const std::string& text, size_t nth = 1) {
        std::istringstream lines(testing_support::ReadFile(RootPath("calls.log")));
        size_t number = 0;
        for (std::string line; std::getline(lines, line); ++number)
            if (line.find(text) != std::string::npos && --nth == 0)
                return number;
        return SIZE_MAX;
    }
    // Launches by the service: the call is logged once it is no longer held.
    size_t Launches() { return CallsWith(" CreateProcessW(app="); }
    void KillAgent() {
        testing_support::ProgramResult killed = testing_support::RunProgram(
            {TASKKILL_EXE, "/IM", "pellard.exe", "/F"}, {{"HOSTWIN_ROOT", Root()}});
        ASSERT_EQ(killed.exitStatus, 0) << killed.out;
        ASSERT_TRUE(AwaitCondition([] { return AgentCount() == 0; }));
    }
    bool Terminated() {
        return testing_support::ReadFile(RootPath("debug.log")).find("std::terminate") !=
               std::string::npos;
    }

    UniqueScHandle m_service;
    DWORD m_startError = ERROR_SUCCESS; // of the last StartServiceW
};

// A tick held inside its window while the stop runs: in its launch for far longer than the
// stop waits for it (the stop ends without it, and the tick ends the agent it launched), between
// its count and its launch flag (it sees the stop after the flag and launches nothing), and
// before its count. Either way no agent outlives the stop.
TEST_F(CallbackFaultsTest, AStopDuringATickLeavesNoAgent) {
    struct Case {
        const char* what;
        const char* delay;     // holds the first tick after the agent is killed
        const char* heldCall;  // its line in the call log while it is held
        size_t launches;       // by the service in all
        bool quitBeforeLaunch; // the stop's quit is posted while the launch is held
    } cases[] = {
        {"held in the launch", "CreateProcessW@2=3000", " CreateProcessW(delayed", 2, true},
        {"held between the count and the launch flag",
         "CreateToolhelp32Snapshot@2=1500,SnapshotWalkEnd@2=3000", " SnapshotWalkEnd(delayed", 1,
         false},
        {"held before the count", "CreateToolhelp32Snapshot@2=3000",
         " CreateToolhelp32Snapshot(delayed", 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(RootPath("calls.log"));
        StartTollivarRunning({{"HOSTWIN_DELAYS", c.delay}});
        ASSERT_TRUE(AwaitState(SERVICE_RUNNING));
        ASSERT_EQ(AgentCount(), 1);
        KillAgent();
        ASSERT_TRUE(AwaitCondition([&] { return CallsWith(c.heldCall) == 1; }));

        SERVICE_STATUS status{};
        EXPECT_TRUE(ControlService(m_service.get(), SERVICE_CONTROL_STOP, &status));
        ASSERT_TRUE(AwaitState(SERVICE_STOPPED));
        EXPECT_EQ(Status().dwWin32ExitCode, 0u);
        EXPECT_EQ(Launches(), c.launches) << "the tick did not go on as planned";
        if (c.quitBeforeLaunch) {
            EXPECT_LT(LineWith(" PostThreadMessageW("), LineWith(" CreateProcessW(app=", 2))
                << "the stop waited for a launch that outlasted its bound";
        }
        EXPECT_TRUE(AwaitCondition([] { return AgentCount() == 0; }))
            << "an agent outlived the stop";
        EXPECT_EQ(scm_support::HandlesLeftOpen(RootPath("service-handles.txt")), "");
        ASSERT_TRUE(DeleteService(m_service.get()));
        m_service.reset();
        std::filesystem::remove(RootPath("service-handles.txt"));
    }
}

// An exception in each callback the platform calls stays inside it, and the process ends by its
// own course. ServiceMain's ends the service with the exception's code.
TEST_F(CallbackFaultsTest, AThrowInServiceMainStopsTheServiceWithItsCode) {
    StartTollivar({{"HOSTWIN_FAULTS", "CoInitializeEx@1=throw"}});
    // The manager's start may already see the stop and answer with its code.
    EXPECT_TRUE(m_startError == ERROR_SUCCESS || m_startError == static_cast<DWORD>(E_OUTOFMEMORY))
        << m_startError;
    ASSERT_TRUE(AwaitState(SERVICE_STOPPED));
    EXPECT_EQ(Status().dwWin32ExitCode, static_cast<DWORD>(E_OUTOFMEMORY));
    EXPECT_EQ(Launches(), 0u);
    EXPECT_EQ(scm_support::HandlesLeftOpen(RootPath("service-handles.txt")), "");
    EXPECT_FALSE(Terminated());
}

TEST_F(CallbackFaultsTest, AThrowInTheControlHandlerLeavesTheControlWithoutEffect) {
    // The third report is the stop's first.
    StartTollivarRunning({{"HOSTWIN_FAULTS", "SetServiceStatus@3=throw"}});
    ASSERT_TRUE(AwaitState(SERVICE_RUNNING));
    ASSERT_EQ(AgentCount(), 1);
    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(m_service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(CallsWith(" SetServiceStatus(injected throw"), 1u);
    EXPECT_EQ(AgentCount(), 1) << "the failed stop ended the agent";
    EXPECT_EQ(Status().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    EXPECT_TRUE(ControlService(m_service.get(), SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(AwaitState(SERVICE_STOPPED));
    EXPECT_EQ(Status().dwWin32ExitCode, 0u);
    EXPECT_TRUE(AwaitCondition([] { return AgentCount() == 0; }));
    EXPECT_EQ(scm_support::HandlesLeftOpen(RootPath("service-handles.txt")), "");
    EXPECT_FALSE(Terminated());
}

TEST_F(CallbackFaultsTest, AThrowInATickSkipsItAndTheNextTickLaunches) {
    // The second launch is the first tick's after the agent is killed; the throw comes after
    // the tick has claimed its launch, so the stop must still find it released.
    StartTollivarRunning({{"HOSTWIN_FAULTS", "CreateProcessW@2=throw"}});
    ASSERT_TRUE(AwaitState(SERVICE_RUNNING));
    KillAgent();
    ASSERT_TRUE(AwaitCondition([&] { return Launches() == 2; }));
    EXPECT_EQ(CallsWith(" CreateProcessW(injected throw"), 1u);
    EXPECT_TRUE(AwaitCondition([] { return AgentCount() == 1; }));

    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(m_service.get(), SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(AwaitState(SERVICE_STOPPED));
    EXPECT_EQ(Status().dwWin32ExitCode, 0u);
    EXPECT_TRUE(AwaitCondition([] { return AgentCount() == 0; }));
    EXPECT_EQ(scm_support::HandlesLeftOpen(RootPath("service-handles.txt")), "");
    EXPECT_FALSE(Terminated());
}

// hostwin calls a program's ServiceMain and control handler as it calls its other callbacks:
// an exception that escapes them ends the process through std::terminate, as on Windows,
// instead of unwinding into the dispatcher. The manager then finds the service gone.
TEST_F(CallbackFaultsTest, AnExceptionEscapingAControlHandlerEndsTheServiceProcess) {
    Start(u"edgeprobe", u"\"" + hostwin::WindowsPath(EDGEPROBE_EXE) + u"\" service", {});
    ASSERT_EQ(m_startError, static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(AwaitState(SERVICE_RUNNING));
    SERVICE_STATUS status{};
    EXPECT_FALSE(ControlService(m_service.get(), 128, &status));
    ASSERT_TRUE(AwaitState(SERVICE_STOPPED));
    EXPECT_EQ(Status().dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
    EXPECT_TRUE(Terminated());
    m_service.reset();
}

} // namespace
