// The service control manager's calls in-process against real service processes: the error
// codes, deletion while open, configuration changes, crashes and dependencies.
#include "scm_support.h"

#include <hostwin/owner.h>
#include <hostwin/text.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using scm_support::AwaitCondition;

class ManagerTest : public testing_support::ServiceManagerTest {
protected:
    void TearDown() override {
        unsetenv("HOSTWIN_ELEVATED");
        unsetenv("HOSTWIN_FAULTS");
        ServiceManagerTest::TearDown();
    }

    SC_HANDLE Create(const std::u16string& name, const std::u16string& binaryPath,
                     DWORD start = SERVICE_DEMAND_START, LPCWSTR dependencies = NULL,
                     LPCWSTR displayName = NULL) {
        return CreateServiceW(m_manager.get(), name.c_str(), displayName, SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, start, SERVICE_ERROR_NORMAL,
                              binaryPath.c_str(), NULL, NULL, dependencies, NULL, NULL);
    }
    // tollivar as a service; its agent is not installed unless a test does so.
    SC_HANDLE CreateTollivar(const std::u16string& name = u"pellardservice") {
        scm_support::WriteAppId(true);
        return Create(name, scm_support::TollivarBinaryPath());
    }

    static DWORD State(SC_HANDLE service) {
        SERVICE_STATUS status{};
        EXPECT_TRUE(QueryServiceStatus(service, &status));
        return status.dwCurrentState;
    }
    static bool AwaitState(SC_HANDLE service, DWORD state) {
        return AwaitCondition([&] { return State(service) == state; });
    }
};

// Each failure the installation relies on, through the API.
TEST_F(ManagerTest, EveryRefusalHasThePlatformsCode) {
    UniqueScHandle tollivar(CreateTollivar());
    ASSERT_NE(tollivar.get(), nullptr);
    UniqueScHandle rpcss(OpenServiceW(m_manager.get(), u"RPCSS", SERVICE_ALL_ACCESS));
    ASSERT_NE(rpcss.get(), nullptr) << "a fresh machine has RPCSS";
    SERVICE_STATUS status{};
    struct Case {
        const char* what;
        std::function<BOOL()> call;
        DWORD error;
    } cases[] = {
        {"open an unknown service",
         [&] {
             return OpenServiceW(m_manager.get(), u"nosuchservice", SERVICE_QUERY_STATUS) != NULL;
         },
         ERROR_SERVICE_DOES_NOT_EXIST},
        {"create an existing name spelled in another case",
         [&] { return Create(u"PELLARDSERVICE", u"x.exe") != NULL; }, ERROR_SERVICE_EXISTS},
        {"create under another service's display name",
         [&] {
             return Create(u"other", u"x.exe", SERVICE_DEMAND_START, NULL,
                           u"RemotE Procedure Call (RPC)") != NULL;
         },
         ERROR_DUPLICATE_SERVICE_NAME},
        {"start a running service", [&] { return StartServiceW(rpcss.get(), 0, NULL); },
         ERROR_SERVICE_ALREADY_RUNNING},
        {"stop a stopped service",
         [&] { return ControlService(tollivar.get(), SERVICE_CONTROL_STOP, &status); },
         ERROR_SERVICE_NOT_ACTIVE},
        {"pause a service that does not take it",
         [&] { return ControlService(rpcss.get(), SERVICE_CONTROL_PAUSE, &status); },
         ERROR_INVALID_SERVICE_CONTROL},
        {"stop a service that does not take it",
         [&] { return ControlService(rpcss.get(), SERVICE_CONTROL_STOP, &status); },
         ERROR_INVALID_SERVICE_CONTROL},
        {"send the shutdown control",
         [&] { return ControlService(rpcss.get(), SERVICE_CONTROL_SHUTDOWN, &status); },
         ERROR_INVALID_PARAMETER},
        {"send the first reserved code", [&] { return ControlService(rpcss.get(), 11, &status); },
         ERROR_INVALID_PARAMETER},
        {"send the last reserved code", [&] { return ControlService(rpcss.get(), 127, &status); },
         ERROR_INVALID_PARAMETER},
        {"send a code past the user-defined ones",
         [&] { return ControlService(rpcss.get(), 256, &status); }, ERROR_INVALID_PARAMETER},
        {"create an empty name", [&] { return Create(u"", u"x.exe") != NULL; }, ERROR_INVALID_NAME},
        {"create a name with a backslash", [&] { return Create(u"a\\b", u"x.exe") != NULL; },
         ERROR_INVALID_NAME},
        {"create a name of 257 characters",
         [&] { return Create(std::u16string(257, u'n'), u"x.exe") != NULL; }, ERROR_INVALID_NAME},
        {"create without a binary path", [&] { return Create(u"nopath", u"") != NULL; },
         ERROR_INVALID_PARAMETER},
        {"start a disabled service",
         [&] {
             UniqueScHandle disabled(Create(u"disabled", u"x.exe", SERVICE_DISABLED));
             return StartServiceW(disabled.get(), 0, NULL);
         },
         ERROR_SERVICE_DISABLED},
        {"start with a missing dependency",
         [&] {
             UniqueScHandle dependent(
                 Create(u"dependent", u"x.exe", SERVICE_DEMAND_START, u"missing\0"));
             return StartServiceW(dependent.get(), 0, NULL);
         },
         ERROR_SERVICE_DEPENDENCY_DELETED},
        {"start with a dependency that cannot start",
         [&] {
             UniqueScHandle disabled(Create(u"disabled2", u"x.exe", SERVICE_DISABLED));
             UniqueScHandle dependent(
                 Create(u"dependent2", u"x.exe", SERVICE_DEMAND_START, u"RPCSS\0disabled2\0"));
             return StartServiceW(dependent.get(), 0, NULL);
         },
         ERROR_SERVICE_DEPENDENCY_FAIL},
        {"start a program that never connects",
         [&] {
             UniqueScHandle silent(
                 Create(u"silent", u"\"" + hostwin::WindowsPath(PELLARD_EXE) + u"\""));
             return StartServiceW(silent.get(), 0, NULL);
         },
         ERROR_SERVICE_REQUEST_TIMEOUT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(0);
        EXPECT_FALSE(c.call());
        EXPECT_EQ(GetLastError(), c.error);
    }
    UniqueScHandle silent(OpenServiceW(m_manager.get(), u"silent", SERVICE_QUERY_STATUS));
    SERVICE_STATUS ended{};
    ASSERT_TRUE(QueryServiceStatus(silent.get(), &ended));
    EXPECT_EQ(ended.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(ended.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
    // Ending a process is asynchronous: counted once it is gone.
    EXPECT_TRUE(AwaitCondition([] { return scm_support::AgentCount() == 0; }))
        << "the program that never connected was ended";
    UniqueScHandle longest(Create(std::u16string(256, u'n'), u"x.exe"));
    EXPECT_NE(longest.get(), nullptr) << "256 characters is a valid name";
}

TEST_F(ManagerTest, AStandardUserMayQueryButNotChange) {
    UniqueScHandle created(CreateTollivar());
    ASSERT_NE(created.get(), nullptr);
    setenv("HOSTWIN_ELEVATED", "0", 1);
    struct Case {
        const char* what;
        std::function<bool()> call;
        bool allowed;
    } cases[] = {
        {"connect",
         [] {
             UniqueScHandle m(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
             return m.valid();
         },
         true},
        {"read",
         [] {
             UniqueScHandle m(OpenSCManagerW(NULL, NULL, 0x80000000));
             return m.valid();
         },
         true},
        {"create",
         [] {
             UniqueScHandle m(OpenSCManagerW(NULL, NULL, SC_MANAGER_CREATE_SERVICE));
             return m.valid();
         },
         false},
        {"query",
         [&] {
             UniqueScHandle s(OpenServiceW(m_manager.get(), u"pellardservice",
                                           SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
             return s.valid();
         },
         true},
        {"start",
         [&] {
             UniqueScHandle s(OpenServiceW(m_manager.get(), u"pellardservice", SERVICE_START));
             return s.valid();
         },
         false},
        {"stop",
         [&] {
             UniqueScHandle s(OpenServiceW(m_manager.get(), u"pellardservice", SERVICE_STOP));
             return s.valid();
         },
         false},
        {"delete",
         [&] {
             UniqueScHandle s(OpenServiceW(m_manager.get(), u"pellardservice", 0x00010000));
             return s.valid();
         },
         false},
        {"everything",
         [&] {
             UniqueScHandle s(OpenServiceW(m_manager.get(), u"pellardservice", SERVICE_ALL_ACCESS));
             return s.valid();
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(0);
        EXPECT_EQ(c.call(), c.allowed);
        if (!c.allowed) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        }
    }
    // A handle without the right refuses the call, whoever holds it.
    unsetenv("HOSTWIN_ELEVATED");
    UniqueScHandle queryOnly(
        OpenServiceW(m_manager.get(), u"pellardservice", SERVICE_QUERY_STATUS));
    SetLastError(0);
    EXPECT_FALSE(StartServiceW(queryOnly.get(), 0, NULL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// Marked for deletion while open: still opened and queried, refused for everything that would
// change it, gone with its last handle.
TEST_F(ManagerTest, AServiceMarkedForDeletionGoesWithItsLastHandle) {
    UniqueScHandle first(Create(u"doomed", u"x.exe"));
    UniqueScHandle second(OpenServiceW(m_manager.get(), u"doomed", SERVICE_ALL_ACCESS));
    ASSERT_TRUE(DeleteService(first.get()));
    SERVICE_DESCRIPTIONW description{const_cast<LPWSTR>(u"text")};
    struct Case {
        const char* what;
        std::function<BOOL()> call;
    } refused[] = {
        {"delete again", [&] { return DeleteService(second.get()); }},
        {"create again", [&] { return Create(u"Doomed", u"x.exe") != NULL; }},
        {"change",
         [&] {
             return ChangeServiceConfigW(second.get(), SERVICE_NO_CHANGE, SERVICE_AUTO_START,
                                         SERVICE_NO_CHANGE, NULL, NULL, NULL, NULL, NULL, NULL,
                                         NULL);
         }},
        {"describe",
         [&] {
             return ChangeServiceConfig2W(second.get(), SERVICE_CONFIG_DESCRIPTION, &description);
         }},
        {"start", [&] { return StartServiceW(second.get(), 0, NULL); }},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.what);
        SetLastError(0);
        EXPECT_FALSE(c.call());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    }
    UniqueScHandle third(OpenServiceW(m_manager.get(), u"doomed", SERVICE_QUERY_STATUS));
    EXPECT_NE(third.get(), nullptr) << "a marked service still opens";
    EXPECT_EQ(State(third.get()), static_cast<DWORD>(SERVICE_STOPPED));
    first.reset();
    second.reset();
    UniqueScHandle fourth(OpenServiceW(m_manager.get(), u"doomed", SERVICE_QUERY_STATUS));
    EXPECT_NE(fourth.get(), nullptr) << "one handle still keeps it";
    third.reset();
    fourth.reset();
    SetLastError(0);
    EXPECT_EQ(OpenServiceW(m_manager.get(), u"doomed", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ManagerTest, ChangingTheConfigurationLeavesWhatItDoesNotName) {
    UniqueScHandle service(
        Create(u"configured", u"C:\\a b\\c.exe", SERVICE_AUTO_START, u"RPCSS\0", u"Shown"));
    ASSERT_TRUE(ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                     SERVICE_ERROR_IGNORE, NULL, NULL, NULL, NULL, NULL, NULL,
                                     u"Shown again"));
    std::vector<BYTE> buffer(4096);
    auto* config = reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.data());
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceConfigW(service.get(), config, 4096, &needed));
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_IGNORE))
        << "error control 0 is IGNORE, not 'no change'";
    EXPECT_EQ(std::u16string(config->lpBinaryPathName), u"C:\\a b\\c.exe");
    EXPECT_EQ(std::u16string(config->lpDependencies), u"RPCSS");
    EXPECT_EQ(config->lpDependencies[6], 0) << "the list ends with an empty name";
    EXPECT_EQ(std::u16string(config->lpDisplayName), u"Shown again");
    EXPECT_EQ(std::u16string(config->lpServiceStartName), u"LocalSystem");

    // The size asked for is exactly enough; one byte less is refused with the size.
    DWORD exact = needed;
    EXPECT_FALSE(QueryServiceConfigW(service.get(), config, exact - 1, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, exact);
    EXPECT_TRUE(QueryServiceConfigW(service.get(), config, exact, &needed));

    // Descriptions: none at first, set, left by a NULL text, removed by an empty one.
    auto describe = [&](LPCWSTR text) {
        SERVICE_DESCRIPTIONW description{const_cast<LPWSTR>(text)};
        return ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
    };
    auto described = [&]() -> std::u16string {
        std::vector<BYTE> out(512);
        DWORD size = 0;
        EXPECT_TRUE(QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, out.data(), 512,
                                         &size));
        LPWSTR text = reinterpret_cast<SERVICE_DESCRIPTIONW*>(out.data())->lpDescription;
        return text ? std::u16string(text) : u"(none)";
    };
    EXPECT_EQ(described(), u"(none)");
    ASSERT_TRUE(describe(u"pellard"));
    EXPECT_EQ(described(), u"pellard");
    ASSERT_TRUE(describe(NULL));
    EXPECT_EQ(described(), u"pellard");
    ASSERT_TRUE(describe(u""));
    EXPECT_EQ(described(), u"(none)");
}

TEST_F(ManagerTest, ControlsReachTheLiveServiceAndRefusalsStillGiveTheState) {
    UniqueScHandle service(CreateTollivar());
    ASSERT_TRUE(StartServiceW(service.get(), 0, NULL));
    ASSERT_TRUE(AwaitState(service.get(), SERVICE_RUNNING));
    SERVICE_STATUS status{};
    // Interrogate and the user-defined codes always reach the service; pause never does.
    EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(status.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
    EXPECT_TRUE(ControlService(service.get(), 255, &status));
    status = SERVICE_STATUS{};
    EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_PAUSE, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING)) << "filled on refusal";
    EXPECT_EQ(scm_support::EventTexts(Root(), "Application"),
              std::vector<std::string>{"Bad service request"});

    EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(AwaitState(service.get(), SERVICE_STOPPED));
    status = SERVICE_STATUS{};
    EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED)) << "filled on refusal";
    EXPECT_EQ(status.dwWin32ExitCode, 0u);

    std::vector<hostwin::ServiceStatusReport> history =
        hostwin::ServiceStatusHistory(u"PellardService");
    std::vector<DWORD> states;
    for (const hostwin::ServiceStatusReport& report : history)
        states.push_back(report.status.dwCurrentState);
    EXPECT_EQ(states,
              (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                  SERVICE_STOP_PENDING, SERVICE_STOPPED}));
    // It starts again once stopped.
    EXPECT_TRUE(StartServiceW(service.get(), 0, NULL));
    ASSERT_TRUE(AwaitState(service.get(), SERVICE_RUNNING));
    EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(AwaitState(service.get(), SERVICE_STOPPED));
}

// A service whose handler could not be registered stays start-pending; killed, it is found
// stopped with 1067 at the next look, the System log says so, and it starts again.
TEST_F(ManagerTest, AServiceProcessThatDiesIsNoticedAtTheNextLook) {
    UniqueScHandle service(CreateTollivar());
    setenv("HOSTWIN_FAULTS", "RegisterServiceCtrlHandlerW@1=1450", 1); // the service inherits it
    ASSERT_TRUE(StartServiceW(service.get(), 0, NULL));
    unsetenv("HOSTWIN_FAULTS");
    ASSERT_TRUE(AwaitCondition([&] {
        return scm_support::EventTexts(Root(), "Application") ==
               std::vector<std::string>{"Handler not installed"};
    }));
    SERVICE_STATUS_PROCESS process{};
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                     reinterpret_cast<LPBYTE>(&process), sizeof process, &needed));
    EXPECT_EQ(process.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    ASSERT_NE(process.dwProcessId, 0u);
    SERVICE_STATUS status{};
    EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_TRUE(hostwin::ServiceStatusHistory(u"pellardservice").empty()) << "nothing reported";

    ASSERT_EQ(kill(static_cast<pid_t>(process.dwProcessId), SIGKILL), 0);
    ASSERT_TRUE(AwaitCondition([&] { return State(service.get()) == SERVICE_STOPPED; }));
    ASSERT_TRUE(QueryServiceStatus(service.get(), &status));
    EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
    std::string system = testing_support::ReadFile(RootPath("eventlog/System.jsonl"));
    EXPECT_NE(system.find("\"id\":7034"), std::string::npos) << system;
    EXPECT_NE(system.find("\"source\":\"Service Control Manager\""), std::string::npos);
    EXPECT_EQ(scm_support::EventTexts(Root(), "System", 7034),
              std::vector<std::string>{"pellardservice"})
        << "noticed once";

    EXPECT_TRUE(StartServiceW(service.get(), 0, NULL));
    ASSERT_TRUE(AwaitState(service.get(), SERVICE_RUNNING));
    EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(AwaitState(service.get(), SERVICE_STOPPED));
}

TEST_F(ManagerTest, AStoppedDependencyIsStartedFirst) {
    UniqueScHandle dependency(CreateTollivar());
    UniqueScHandle dependent(
        Create(u"dependent", u"x.exe", SERVICE_DEMAND_START, u"pellardservice\0"));
    // The dependency runs; the dependent's own binary then does not exist.
    EXPECT_FALSE(StartServiceW(dependent.get(), 0, NULL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(State(dependency.get()), static_cast<DWORD>(SERVICE_RUNNING));
    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(dependency.get(), SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(AwaitState(dependency.get(), SERVICE_STOPPED));
}

TEST_F(ManagerTest, OnlyAProcessTheManagerStartedCanDispatch) {
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(u"pellardservice"), [](DWORD, LPWSTR*) {}},
                                    {NULL, NULL}};
    EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    // A copied mark does not make a process a service.
    setenv("HOSTWIN_SERVICE", "RpcSs", 1);
    EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    unsetenv("HOSTWIN_SERVICE");
    EXPECT_EQ(RegisterServiceCtrlHandlerW(u"pellardservice", [](DWORD) {}), nullptr);
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
    EXPECT_FALSE(SetServiceStatus(NULL, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(ManagerTest, StatusReportsAreCheckedAsThePlatformChecksThem) {
    hostwin::ActAsServiceForTest(u"pellardservice");
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerW(u"PELLARDSERVICE", [](DWORD) {});
    ASSERT_NE(handle, nullptr) << "the name compares without case";
    struct Case {
        DWORD type, state;
        DWORD error; // 0: accepted
    } cases[] = {
        {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0},
        {SERVICE_WIN32_OWN_PROCESS, SERVICE_PAUSED, 0},
        {SERVICE_WIN32_SHARE_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_RUNNING, 0},
        {SERVICE_WIN32_OWN_PROCESS, 0, ERROR_INVALID_DATA},
        {SERVICE_WIN32_OWN_PROCESS, SERVICE_PAUSED + 1, ERROR_INVALID_DATA},
        {SERVICE_KERNEL_DRIVER, SERVICE_RUNNING, ERROR_INVALID_DATA},
        {SERVICE_WIN32, SERVICE_RUNNING, ERROR_INVALID_DATA},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + "/" + std::to_string(c.state));
        SERVICE_STATUS status{c.type, c.state, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
        SetLastError(0);
        EXPECT_EQ(SetServiceStatus(handle, &status), c.error == 0);
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(hostwin::InProcessStatusReports().size(), 3u);
    hostwin::ActAsServiceForTest(u"");
}

} // namespace

namespace {

// Eight stops at once, fifty times: one reaches the handler, the others meet STOP_PENDING or
// STOPPED (1061, 1062, the status filled); the clean stop is never taken for a crash.
TEST_F(ManagerTest, ConcurrentStopsAreOneStopAndNeverACrash) {
    UniqueScHandle service(CreateTollivar());
    constexpr int kStops = 8;
    for (int round = 0; round < 50; ++round) {
        ASSERT_TRUE(StartServiceW(service.get(), 0, NULL)) << round;
        ASSERT_TRUE(AwaitState(service.get(), SERVICE_RUNNING)) << round;
        std::vector<UniqueScHandle> handles;
        for (int i = 0; i < kStops; ++i)
            handles.emplace_back(
                OpenServiceW(m_manager.get(), u"pellardservice", SERVICE_ALL_ACCESS));
        std::vector<DWORD> codes(kStops);
        std::vector<SERVICE_STATUS> seen(kStops);
        std::vector<std::thread> stops;
        for (int i = 0; i < kStops; ++i)
            stops.emplace_back([&, i] {
                codes[i] = ControlService(handles[i].get(), SERVICE_CONTROL_STOP, &seen[i])
                               ? ERROR_SUCCESS
                               : GetLastError();
            });
        for (std::thread& stop : stops)
            stop.join();
        for (int i = 0; i < kStops; ++i) {
            const DWORD code = codes[i];
            EXPECT_TRUE(code == ERROR_SUCCESS || code == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ||
                        code == ERROR_SERVICE_NOT_ACTIVE)
                << round << ": " << code;
            if (code == ERROR_SERVICE_NOT_ACTIVE) {
                EXPECT_EQ(seen[i].dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
            } else if (code == ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
                EXPECT_NE(seen[i].dwCurrentState, 0u) << "the status is filled";
            }
        }
        ASSERT_TRUE(AwaitState(service.get(), SERVICE_STOPPED)) << round;
        SERVICE_STATUS status{};
        ASSERT_TRUE(QueryServiceStatus(service.get(), &status));
        ASSERT_EQ(status.dwWin32ExitCode, 0u) << round;
    }
    EXPECT_TRUE(scm_support::EventTexts(Root(), "System", 7034).empty());
}

// A caller of this user that sends two bytes of a control and stays connected holds up no stop.
TEST_F(ManagerTest, AHalfSentControlHoldsUpNoOtherControl) {
    UniqueScHandle service(CreateTollivar());
    ASSERT_TRUE(StartServiceW(service.get(), 0, NULL));
    ASSERT_TRUE(AwaitState(service.get(), SERVICE_RUNNING));
    SERVICE_STATUS_PROCESS process{};
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                     reinterpret_cast<LPBYTE>(&process), sizeof process, &needed));
    const std::string path =
        Root() + "/scm/control/" + std::to_string(process.dwProcessId) + ".sock";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    hostwin::UniqueFd stuck(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(connect(stuck.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
        << path;
    ASSERT_EQ(send(stuck.get(), "SC", 2, MSG_NOSIGNAL), 2);

    const auto start = std::chrono::steady_clock::now();
    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2))
        << "not behind the half-sent control";
    EXPECT_TRUE(AwaitState(service.get(), SERVICE_STOPPED));
}

// The System log gets the platform manager's entries: installed, running, stopped, a failed start.
TEST_F(ManagerTest, TheSystemLogTellsInstallsStateChangesAndFailedStarts) {
    UniqueScHandle service(CreateTollivar());
    UniqueScHandle missing(
        Create(u"missing", u"C:\\nowhere\\x.exe", SERVICE_AUTO_START, NULL, u"Missing Service"));
    ASSERT_TRUE(StartServiceW(service.get(), 0, NULL));
    ASSERT_TRUE(AwaitState(service.get(), SERVICE_RUNNING));
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(AwaitState(service.get(), SERVICE_STOPPED));
    EXPECT_FALSE(StartServiceW(missing.get(), 0, NULL));

    using Inserts = std::vector<std::vector<std::string>>;
    const struct {
        unsigned id;
        Inserts inserts;
    } cases[] = {
        {7045,
         {{"pellardservice", hostwin::ToUtf8(scm_support::TollivarBinaryPath()),
           "user mode service", "demand start", "LocalSystem"},
          {"Missing Service", "C:\\nowhere\\x.exe", "user mode service", "auto start",
           "LocalSystem"}}},
        {7036, {{"pellardservice", "running"}, {"pellardservice", "stopped"}}},
        {7000, {{"Missing Service", "The system cannot find the path specified."}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(scm_support::EventInserts(Root(), "System", c.id), c.inserts) << c.id;
}

} // namespace
