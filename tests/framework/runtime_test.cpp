// The server's run steps: class objects in and out of COM, the shutdown monitor, the message
// loop and the service's event-log messages.
#include "machine.h"
#include "test_module.h"

#include <crtdbg.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <atomic>
#include <sstream>
#include <string>
#include <vector>

using testing_support::MachineTest;

namespace {

// A class object that counts its references.
struct TestFactory : IClassFactory {
    std::atomic<ULONG> refs{1};
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid != IID_IUnknown && riid != IID_IClassFactory)
            return E_NOINTERFACE;
        AddRef();
        *ppv = this;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

TestFactory g_factory;
HRESULT g_getterResult = S_OK;

HRESULT WINAPI GetTestClassObject(void*, REFIID riid, LPVOID* ppv) {
    if (FAILED(g_getterResult))
        return g_getterResult;
    return g_factory.QueryInterface(riid, ppv);
}

const CLSID kClassA = {0x11111111, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
const CLSID kClassB = {0x22222222, 0, 0, {0, 0, 0, 0, 0, 0, 0, 2}};

std::vector<nlohmann::json> EventLog(const std::string& root) {
    std::vector<nlohmann::json> events;
    std::istringstream lines(testing_support::ReadFile(root + "/eventlog/Application.jsonl"));
    for (std::string line; std::getline(lines, line);)
        events.push_back(nlohmann::json::parse(line));
    return events;
}

class RuntimeTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE); // this thread's queue, as a loop has one
        hostwin::EnableCallLog(true);
        m_entryA = MakeEntry(&kClassA, &m_cacheA);
        m_entryB = MakeEntry(&kClassB, &m_cacheB);
    }
    void TearDown() override {
        for (ClassTableEntry*& slot : g_testClassTable)
            slot = nullptr;
        g_testModule.m_delayShutdown = true;
        g_testModule.m_runAsService = TRUE;
        g_testModule.m_shutdownPause = 1000;
        CTestModule::s_replaceBeforeLoop = false;
        CTestModule::s_securityResult = S_OK;
        g_getterResult = S_OK;
        CoUninitialize();
        MachineTest::TearDown();
    }

    static ClassTableEntry MakeEntry(const CLSID* clsid, ClassObjectCache* cache) {
        ClassTableEntry entry{};
        entry.pclsid = clsid;
        entry.pfnGetClassObject = GetTestClassObject;
        entry.pCache = cache;
        return entry;
    }
    void UseBothEntries() {
        g_testClassTable[0] = &m_entryA;
        g_testClassTable[2] = &m_entryB;
    }

    static size_t Calls(const char* function) { return hostwin::CallLog(function).size(); }
    static size_t QuitPosts() {
        size_t quits = 0;
        for (const hostwin::CallRecord& post : hostwin::CallLog("PostThreadMessageW"))
            quits += post.args.find("msg=0x0012") != std::string::npos;
        return quits;
    }
    static size_t FailedChecks(const std::string& text) {
        std::vector<std::string> texts = testing_support::DebugReportTexts(_CRT_ASSERT);
        return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
    }
    // True when the loop consumed the WM_QUIT posted before it: what comes next is our marker.
    static bool LoopRan() {
        PostThreadMessageW(GetCurrentThreadId(), WM_USER, 0, 0);
        MSG msg;
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == FALSE) // the unconsumed WM_QUIT; drop the marker as well
            GetMessageW(&msg, nullptr, 0, 0);
        return got != FALSE;
    }

    ClassObjectCache m_cacheA{};
    ClassObjectCache m_cacheB{};
    ClassTableEntry m_entryA{};
    ClassTableEntry m_entryB{};
};

TEST_F(RuntimeTest, EmptyClassTableRegistersNothingAndNeedsNoMonitor) {
    EXPECT_EQ(RegisterAllClassObjects(&g_comModule, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE),
              S_FALSE);
    EXPECT_EQ(RevokeAllClassObjects(&g_comModule), S_OK);
    EXPECT_EQ(RegisterAllClassObjects(nullptr, CLSCTX_LOCAL_SERVER, 0), E_INVALIDARG);
    EXPECT_EQ(FailedChecks("pComModule != 0"), 1u);

    g_testModule.m_runAsService = FALSE;
    EXPECT_EQ(g_testModule.BeforeLoop(SW_HIDE), S_FALSE);
    EXPECT_FALSE(g_testModule.m_delayShutdown);
    EXPECT_EQ(Calls("CreateThread"), 0u);
    EXPECT_EQ(Calls("CoResumeClassObjects"), 0u);
    EXPECT_EQ(g_testModule.AfterLoop(), S_OK);
    EXPECT_EQ(Calls("Sleep"), 0u) << "nothing registered, so no pause after the loop";
}

TEST_F(RuntimeTest, RunServerEntersTheLoopOnlyOnExactlySOk) {
    CTestModule::s_replaceBeforeLoop = true;
    struct Case {
        HRESULT beforeLoop;
        bool loops;
        HRESULT result;
    } cases[] = {
        {S_OK, true, S_OK}, {S_FALSE, false, S_OK}, {E_ACCESSDENIED, false, E_ACCESSDENIED}};
    for (const Case& c : cases) {
        CTestModule::s_beforeLoopResult = c.beforeLoop;
        PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 0, 0);
        EXPECT_EQ(g_testModule.RunServer(SW_HIDE), c.result) << std::hex << c.beforeLoop;
        EXPECT_EQ(LoopRan(), c.loops) << std::hex << c.beforeLoop;
    }
}

TEST_F(RuntimeTest, ClassObjectsAreRegisteredSuspendedThenResumed) {
    UseBothEntries();
    g_testModule.m_runAsService = FALSE;
    g_testModule.m_delayShutdown = false;
    ASSERT_EQ(g_testModule.BeforeLoop(SW_HIDE), S_OK);
    std::vector<hostwin::CallRecord> registrations = hostwin::CallLog("CoRegisterClassObject");
    ASSERT_EQ(registrations.size(), 2u);
    for (const hostwin::CallRecord& r : registrations) {
        EXPECT_NE(r.args.find("context=0x4"), std::string::npos) << r.args;
        EXPECT_NE(r.args.find("flags=0x5"), std::string::npos) << r.args;
    }
    EXPECT_NE(m_cacheA.dwRegister, 0u);
    EXPECT_NE(m_cacheB.dwRegister, 0u);
    EXPECT_EQ(Calls("CoResumeClassObjects"), 1u);
    EXPECT_EQ(Calls("CreateThread"), 0u) << "no monitor without delayed shutdown";

    EXPECT_EQ(g_testModule.AfterLoop(), S_OK);
    EXPECT_EQ(Calls("CoRevokeClassObject"), 2u);
    EXPECT_EQ(g_factory.refs.load(), 1u) << "every reference taken was given back";
}

// As a service, the pre-loop step reports running by moving the state from start-pending, so
// the report and its event happen once however often the step runs, and never from another
// state.
TEST_F(RuntimeTest, AsAServiceThePreLoopStepReportsRunningOnceFromStartPending) {
    g_testClassTable[0] = &m_entryA;
    g_testModule.m_runAsService = TRUE;
    g_testModule.m_delayShutdown = false;
    const struct {
        const char* what;
        DWORD before;
        DWORD after;
        size_t reports;
    } cases[] = {
        {"start pending", SERVICE_START_PENDING, SERVICE_RUNNING, 1},
        {"already running", SERVICE_RUNNING, SERVICE_RUNNING, 0},
        {"stop pending", SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        hostwin::ClearCallLog();
        std::error_code ignored;
        std::filesystem::remove(RootPath("eventlog/Application.jsonl"), ignored);
        g_testModule.m_serviceStatus.dwCurrentState = c.before;
        ASSERT_EQ(g_testModule.BeforeLoop(SW_HIDE), S_OK);
        EXPECT_EQ(g_testModule.m_serviceStatus.dwCurrentState, c.after);
        std::vector<hostwin::CallRecord> reports = hostwin::CallLog("SetServiceStatus");
        ASSERT_EQ(reports.size(), c.reports);
        if (c.reports) {
            EXPECT_NE(reports[0].args.find("state=4 "), std::string::npos) << reports[0].args;
        }
        std::vector<nlohmann::json> events = EventLog(Root());
        ASSERT_EQ(events.size(), c.reports);
        if (c.reports) {
            EXPECT_EQ(events[0]["strings"], nlohmann::json::array({"Service started/resumed"}));
        }
        EXPECT_EQ(Calls("CoResumeClassObjects"), 1u) << "the class object is made live";
        EXPECT_EQ(g_testModule.AfterLoop(), S_OK);
    }
    EXPECT_EQ(g_factory.refs.load(), 1u);
}

TEST_F(RuntimeTest, FailedResumeStopsTheMonitorAndRevokes) {
    UseBothEntries();
    g_testModule.m_runAsService = FALSE;
    hostwin::InjectFault("CoResumeClassObjects", 1, static_cast<DWORD>(E_OUTOFMEMORY));
    EXPECT_EQ(g_testModule.BeforeLoop(SW_HIDE), E_OUTOFMEMORY);
    EXPECT_EQ(Calls("CreateThread"), 1u);
    EXPECT_EQ(Calls("CoRevokeClassObject"), 2u);
    EXPECT_EQ(FailedChecks("(((HRESULT)(hr)) >= 0)"), 2u) << "the resume and the step each report";
    EXPECT_EQ(g_testModule.m_shutdownEvent, nullptr) << "the monitor closed its event and ended";
    EXPECT_EQ(QuitPosts(), 1u);
    MSG msg;
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), FALSE)
        << "the monitor's WM_QUIT reached this thread";
}

// A throw inside the monitor, before and after its event is closed: the thread ends with the
// HRESULT, one trace line, its event closed once and the loop left alone.
TEST_F(RuntimeTest, AThrowInsideTheMonitorEndsItsThreadWithTheHResult) {
    for (const char* call : {"CloseHandle", "PostThreadMessageW"}) {
        SCOPED_TRACE(call);
        hostwin::ClearDebugReports();
        HANDLE thread = g_testModule.StartShutdownMonitor();
        ASSERT_NE(thread, nullptr);
        hostwin::InjectThrow(call, 1);
        SetEvent(g_testModule.m_shutdownEvent);
        ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        hostwin::ClearFaults();
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(thread, &code));
        EXPECT_EQ(code, static_cast<DWORD>(E_OUTOFMEMORY));
        EXPECT_TRUE(CloseHandle(thread));
        EXPECT_EQ(g_testModule.m_shutdownEvent, nullptr);
        EXPECT_EQ(testing_support::DebugReportTexts(_CRT_WARN),
                  std::vector<std::string>{
                      "traceException - MonitorThreadProc: caught exception, hr = 0x8007000e\n"});
    }
    EXPECT_EQ(QuitPosts(), 0u);
}

TEST_F(RuntimeTest, RegistrationStopsAtTheFirstFailureAndKeepsEarlierEntries) {
    UseBothEntries();
    hostwin::InjectFault("CoRegisterClassObject", 2, static_cast<DWORD>(E_ACCESSDENIED));
    g_testModule.m_runAsService = FALSE;
    EXPECT_EQ(g_testModule.BeforeLoop(SW_HIDE), E_ACCESSDENIED);
    EXPECT_NE(m_cacheA.dwRegister, 0u);
    EXPECT_EQ(Calls("CoRevokeClassObject"), 0u)
        << "a registration failure is returned without revoking";
    EXPECT_TRUE(g_testModule.m_delayShutdown);
    EXPECT_EQ(RevokeAllClassObjects(&g_comModule), S_OK);

    // An entry without a getter registers nothing and revokes as a no-op.
    ClassObjectCache cache{};
    ClassTableEntry bare{};
    bare.pCache = &cache;
    EXPECT_EQ(RegisterEntryClassObject(&bare, CLSCTX_LOCAL_SERVER, 0), S_OK);
    EXPECT_EQ(RevokeEntryClassObject(&bare), S_OK);
    g_getterResult = CLASS_E_CLASSNOTAVAILABLE;
    EXPECT_EQ(RegisterEntryClassObject(&m_entryA, CLSCTX_LOCAL_SERVER, 0),
              CLASS_E_CLASSNOTAVAILABLE);
}

// The walk ends at the first failing entry, whichever it is: a later entry that would succeed
// is not tried and its success does not hide the failure.
TEST_F(RuntimeTest, RegistrationReturnsTheFirstFailureWhicheverEntryItIs) {
    UseBothEntries();
    const struct {
        int failingCall;
        size_t calls;
        bool aRegistered;
    } cases[] = {{1, 1, false}, {2, 2, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failingCall);
        hostwin::ClearCallLog();
        m_cacheA.dwRegister = m_cacheB.dwRegister = 0;
        hostwin::InjectFault("CoRegisterClassObject", c.failingCall,
                             static_cast<DWORD>(E_ACCESSDENIED));
        EXPECT_EQ(RegisterAllClassObjects(&g_comModule, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE),
                  E_ACCESSDENIED);
        hostwin::ClearFaults();
        EXPECT_EQ(Calls("CoRegisterClassObject"), c.calls);
        EXPECT_EQ(m_cacheA.dwRegister != 0, c.aRegistered);
        EXPECT_EQ(m_cacheB.dwRegister, 0u);
        EXPECT_EQ(RevokeAllClassObjects(&g_comModule), S_OK);
    }
    EXPECT_EQ(g_factory.refs.load(), 1u);
}

TEST_F(RuntimeTest, RevocationStopsAtTheFirstEntryThatIsNotSOk) {
    UseBothEntries();
    ASSERT_EQ(RegisterAllClassObjects(&g_comModule, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE), S_OK);
    hostwin::InjectFault("CoRevokeClassObject", 1, static_cast<DWORD>(E_UNEXPECTED));
    EXPECT_EQ(RevokeAllClassObjects(&g_comModule), E_UNEXPECTED);
    EXPECT_EQ(Calls("CoRevokeClassObject"), 1u) << "the second entry stays registered";
    hostwin::ClearFaults();
    EXPECT_EQ(RevokeEntryClassObject(&m_entryB), S_OK);
    EXPECT_EQ(CoRevokeClassObject(m_cacheA.dwRegister), S_OK);
}

// The last client goes away once the loop runs: from a tick inside the loop.
void CALLBACK ReleaseOnFirstTick(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    g_testModule.ReleaseServerLock();
}

TEST_F(RuntimeTest, LastReleaseQuitsTheLoopExactlyOnce) {
    for (bool delayShutdown : {true, false}) {
        SCOPED_TRACE(delayShutdown ? "through the monitor" : "directly");
        hostwin::ClearCallLog();
        UseBothEntries();
        g_testModule.m_runAsService = FALSE;
        g_testModule.m_delayShutdown = delayShutdown;
        g_testModule.m_shutdownPause = 10;
        g_testModule.AddServerLock();
        ASSERT_NE(SetTimer(nullptr, 0, 1, ReleaseOnFirstTick), 0u);
        EXPECT_EQ(g_testModule.RunServer(SW_HIDE), S_OK);
        EXPECT_EQ(QuitPosts(), 1u);
        EXPECT_EQ(Calls("CreateThread"), delayShutdown ? 1u : 0u);
        EXPECT_EQ(Calls("Sleep"), delayShutdown ? 1u : 0u);
        EXPECT_EQ(Calls("CoRevokeClassObject"), 2u);
        EXPECT_EQ(g_testModule.m_shutdownEvent, nullptr);
    }
}

TEST_F(RuntimeTest, FailedGetMessageEndsTheLoopAndAfterLoopStillRuns) {
    UseBothEntries();
    g_testModule.m_runAsService = FALSE;
    g_testModule.m_delayShutdown = false;
    hostwin::InjectFault("GetMessageW", 1, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(g_testModule.RunServer(SW_HIDE), S_OK);
    EXPECT_EQ(Calls("CoRevokeClassObject"), 2u);
}

std::atomic<int> g_ticks{0};
void CALLBACK CountTick(HWND, UINT, UINT_PTR, DWORD) {
    ++g_ticks;
}

TEST_F(RuntimeTest, AQuitWaitingBesideADueTimerEndsTheLoopWithoutATick) {
    g_ticks = 0;
    UINT_PTR timer = SetTimer(nullptr, 1, 1, CountTick);
    ASSERT_NE(timer, 0u);
    Sleep(20); // the timer is due
    PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 0, 0);
    g_testModule.PumpMessages();
    EXPECT_EQ(g_ticks.load(), 0);
    Sleep(20);
    EXPECT_EQ(g_ticks.load(), 0) << "nothing is dispatched once the loop has ended";
    KillTimer(nullptr, timer);
}

TEST_F(RuntimeTest, ServiceEventsAreCutAndOpenTheirSourceEachTime) {
    g_testModule.m_runAsService = FALSE;
    std::string longText(300, 'x');
    ::testing::internal::CaptureStdout();
    g_testModule.LogServiceEvent(TEXT("%hs"), longText.c_str());
    g_testModule.LogServiceEvent(TEXT("Bad service request"));
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, std::string(255, 'x') + "\nBad service request\n");

    std::vector<nlohmann::json> events = EventLog(Root());
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["strings"][0], std::string(255, 'x'));
    EXPECT_EQ(events[1]["source"], "pellardservice");
    EXPECT_EQ(events[1]["type"], EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(events[1]["category"], 0);
    EXPECT_EQ(events[1]["id"], 0);
    EXPECT_EQ(events[1]["strings"], nlohmann::json::array({"Bad service request"}));
    EXPECT_EQ(Calls("RegisterEventSourceW"), 2u);
    EXPECT_EQ(Calls("DeregisterEventSource"), 2u);

    // As a service nothing goes to standard output; a source that cannot open drops the entry.
    g_testModule.m_runAsService = TRUE;
    hostwin::InjectFault("RegisterEventSourceW", 1, ERROR_ACCESS_DENIED);
    ::testing::internal::CaptureStdout();
    g_testModule.LogServiceEvent(TEXT("Service stopped"));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(EventLog(Root()).size(), 2u);
}

} // namespace
