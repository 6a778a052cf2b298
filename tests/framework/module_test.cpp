// The module base and the process-wide records: lifecycle markers, lock counting, the global
// interface table and the resource-instance search order.
#include "machine.h"
#include "test_module.h"

#include <crtdbg.h>

#include <string>
#include <vector>

using testing_support::MachineTest;

namespace {

class ModuleTest : public MachineTest {
protected:
    static std::vector<std::string> AssertTexts() {
        return testing_support::DebugReportTexts(_CRT_ASSERT);
    }
};

TEST_F(ModuleTest, RecordsAreLiveAfterStaticInitialisation) {
    EXPECT_FALSE(CBaseModuleRecord::m_initFailed);
    EXPECT_EQ(g_baseModule.m_structSize, 56u);
    EXPECT_EQ(g_comModule.m_structSize, 40u);
    EXPECT_EQ(g_windowModule.m_structSize, 44u);
    EXPECT_EQ(g_testModule.m_structSize, 36u);
    EXPECT_EQ(_pModule, static_cast<CModuleBase*>(&g_testModule));
    EXPECT_EQ(g_baseModule.m_hInstance, GetModuleHandleW(nullptr));
    EXPECT_EQ(g_baseModule.m_frameworkVersion, 0x0E00u);
    EXPECT_EQ(std::u16string(g_testModule.m_serviceName), u"pellardservice");
    EXPECT_EQ(g_testModule.m_serviceStatus.dwServiceType,
              static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(g_testModule.m_serviceStatus.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(g_testModule.m_serviceStatus.dwControlsAccepted,
              static_cast<DWORD>(SERVICE_ACCEPT_STOP));
    EXPECT_EQ(g_testModule.m_mainThreadId, GetCurrentThreadId());
    EXPECT_EQ(g_testModule.m_shutdownTimeout, 5000u);
    EXPECT_EQ(g_testModule.m_shutdownPause, 1000u);
    EXPECT_TRUE(g_testModule.m_delayShutdown);
    EXPECT_FALSE(g_testModule.m_comInitialized);
}

TEST_F(ModuleTest, ResourceInstancesAreSearchedInOrderThenTheDefault) {
    HINSTANCE defaultInstance = g_baseModule.m_hResourceInstance;
    HINSTANCE a = reinterpret_cast<HINSTANCE>(0x1000);
    HINSTANCE b = reinterpret_cast<HINSTANCE>(0x2000);
    EXPECT_EQ(g_baseModule.GetResourceInstanceAt(0), defaultInstance);
    EXPECT_EQ(g_baseModule.GetResourceInstanceAt(1), nullptr);
    EXPECT_EQ(g_baseModule.GetResourceInstanceAt(-1), nullptr);

    ASSERT_TRUE(g_baseModule.AddResourceInstance(a));
    ASSERT_TRUE(g_baseModule.AddResourceInstance(b));
    ASSERT_TRUE(g_baseModule.AddResourceInstance(a));
    EXPECT_TRUE(g_baseModule.RemoveResourceInstance(a)); // the first copy only
    HINSTANCE want[] = {b, a, defaultInstance, nullptr};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(g_baseModule.GetResourceInstanceAt(i), want[i]) << "index " << i;
    EXPECT_TRUE(g_baseModule.RemoveResourceInstance(a));
    EXPECT_TRUE(g_baseModule.RemoveResourceInstance(b));
    EXPECT_FALSE(g_baseModule.RemoveResourceInstance(b));
}

TEST_F(ModuleTest, LoadStringFromInstancesTriesEachInstanceOnce) {
    WCHAR buffer[64] = {};
    EXPECT_EQ(LoadStringFromInstances(100, buffer, 64), 14);
    EXPECT_EQ(std::u16string(buffer), u"pellardservice");

    HINSTANCE self = GetModuleHandleW(nullptr);
    ASSERT_TRUE(g_baseModule.AddResourceInstance(self));
    hostwin::EnableCallLog(true);
    EXPECT_EQ(LoadStringFromInstances(54321, buffer, 64), 0);
    EXPECT_EQ(hostwin::CallLog("LoadStringW").size(), 2u);
    g_baseModule.RemoveResourceInstance(self);
}

TEST_F(ModuleTest, TerminationIsIdempotent) {
    CComModuleRecord record(g_testClassTable, g_testClassTable + kTestClassTableSlots);
    ASSERT_EQ(record.m_structSize, 40u);
    record.TerminateComModule();
    EXPECT_EQ(record.m_structSize, 0u);
    record.TerminateComModule(); // the destructor's call comes on top; nothing may happen

    CWindowModuleRecord window;
    ASSERT_EQ(window.m_structSize, 44u);
    EXPECT_EQ(WindowModuleCleanup(&window, nullptr), S_OK);
    EXPECT_EQ(window.m_structSize, 0u);
    EXPECT_EQ(WindowModuleCleanup(&window, nullptr), S_OK);
    EXPECT_EQ(WindowModuleCleanup(nullptr, nullptr), E_INVALIDARG);
    window.m_structSize = 7;
    EXPECT_EQ(WindowModuleCleanup(&window, nullptr), E_INVALIDARG);
    EXPECT_EQ(WindowModuleInit(&window), E_INVALIDARG);
    EXPECT_EQ(WindowModuleInit(nullptr), E_INVALIDARG);
    window.m_structSize = 0;
    EXPECT_TRUE(AssertTexts().empty());
}

TEST_F(ModuleTest, ASecondModuleIsReportedAndTakesOverThePointer) {
    {
        CTestModule second;
        EXPECT_EQ(AssertTexts(), std::vector<std::string>{"_pModule == 0"});
        EXPECT_EQ(_pModule, static_cast<CModuleBase*>(&second));
    }
    // The one that goes away no longer stands for the process; the first comes back.
    EXPECT_EQ(_pModule, nullptr);
    _pModule = &g_testModule;
}

TEST_F(ModuleTest, ReleaseServerLockDependsOnTheMode) {
    hostwin::EnableCallLog(true);
    g_testModule.m_runAsService = TRUE;
    g_testModule.m_lockCount = 2;
    EXPECT_EQ(g_testModule.ReleaseServerLock(), 1);
    EXPECT_EQ(g_testModule.GetServerLockCount(), 1);
    g_testModule.m_lockCount = 0;

    // Outside service mode: the process count decides, and references remain.
    g_testModule.m_runAsService = FALSE;
    EXPECT_EQ(g_testModule.AddServerLock(), 1);
    EXPECT_EQ(g_testModule.AddServerLock(), 2);
    EXPECT_EQ(g_testModule.ReleaseServerLock(), 1);
    EXPECT_TRUE(hostwin::CallLog("PostThreadMessageW").empty());
    EXPECT_TRUE(hostwin::CallLog("SetEvent").empty());
    EXPECT_EQ(g_testModule.GetServerLockCount(), 0) << "the module's own count is not touched";

    // The last release without delayed shutdown quits the main thread's loop at once.
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE); // the main thread's queue
    g_testModule.m_delayShutdown = false;
    EXPECT_EQ(g_testModule.ReleaseServerLock(), 0);
    std::vector<hostwin::CallRecord> posts = hostwin::CallLog("PostThreadMessageW");
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_NE(posts[0].args.find("msg=0x0012"), std::string::npos) << posts[0].args;
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), FALSE) << "WM_QUIT is waiting";
    g_testModule.m_delayShutdown = true;
    g_testModule.m_runAsService = TRUE;
}

TEST_F(ModuleTest, GlobalInterfaceTableIsCreatedOnceAndReferencedPerCall) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(g_testModule.GetGlobalInterfaceTable(nullptr), E_POINTER);
    EXPECT_EQ(AssertTexts(), std::vector<std::string>{"ppGIT != 0"});

    hostwin::InjectFault("CoCreateInstance", 1, static_cast<DWORD>(E_OUTOFMEMORY));
    IGlobalInterfaceTable* git = nullptr;
    EXPECT_EQ(g_testModule.GetGlobalInterfaceTable(&git), E_OUTOFMEMORY);
    EXPECT_EQ(g_testModule.m_pGIT, nullptr) << "a failed creation is tried again next time";

    hostwin::EnableCallLog(true);
    hostwin::ClearCallLog();
    IGlobalInterfaceTable* first = nullptr;
    IGlobalInterfaceTable* second = nullptr;
    ASSERT_EQ(g_testModule.GetGlobalInterfaceTable(&first), S_OK);
    ASSERT_EQ(g_testModule.GetGlobalInterfaceTable(&second), S_OK);
    EXPECT_EQ(first, second);
    EXPECT_EQ(hostwin::CallLog("CoCreateInstance").size(), 1u);
    // The module holds one reference, each caller one more.
    EXPECT_EQ(first->Release(), 2u);
    EXPECT_EQ(second->Release(), 1u);
    g_testModule.m_pGIT->Release();
    g_testModule.m_pGIT = nullptr;
    CoUninitialize();
}

struct HookLog {
    static std::vector<std::pair<int, bool>>& Calls() {
        static std::vector<std::pair<int, bool>> calls;
        return calls;
    }
    template <int Id> static void WINAPI Hook(bool starting) { Calls().push_back({Id, starting}); }
};

TEST_F(ModuleTest, ObjectMainHooksRunInTableOrderSkippingEmptySlots) {
    ClassTableEntry first{};
    first.pfnObjectMain = &HookLog::Hook<1>;
    ClassTableEntry second{};
    second.pfnObjectMain = &HookLog::Hook<2>;
    g_testClassTable[0] = &first;
    g_testClassTable[2] = &second;
    HookLog::Calls().clear();
    g_comModule.RunObjectMainHooks(true);
    g_comModule.RunObjectMainHooks(false);
    g_testClassTable[0] = g_testClassTable[2] = nullptr;
    std::vector<std::pair<int, bool>> want = {{1, true}, {2, true}, {1, false}, {2, false}};
    EXPECT_EQ(HookLog::Calls(), want);
}

struct CountedObject : IUnknown {
    ULONG refs = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
};

TEST_F(ModuleTest, TerminatingTheComRecordReleasesCachedClassObjects) {
    CountedObject object;
    ClassObjectCache cache{static_cast<IUnknown*>(EncodePointer(&object)), 17};
    ClassTableEntry entry{};
    entry.pCache = &cache;
    ClassTableEntry* table[] = {nullptr, &entry};
    CComModuleRecord record(table, table + 2);
    record.TerminateComModule();
    EXPECT_EQ(object.refs, 0u);
    EXPECT_EQ(cache.pClassObject, nullptr);
    EXPECT_EQ(record.m_structSize, 0u);
}

TEST_F(ModuleTest, CheckedCriticalSectionGuardsItsState) {
    CCheckedCritSec section;
    EXPECT_EQ(section.Enter(), E_UNEXPECTED);
    EXPECT_EQ(section.Leave(), E_UNEXPECTED);
    EXPECT_EQ(section.Delete(), S_OK); // never initialised: nothing to delete
    EXPECT_EQ(AssertTexts(), (std::vector<std::string>{"m_bInitialized", "m_bInitialized"}));

    hostwin::ClearDebugReports();
    ASSERT_EQ(section.Initialize(), S_OK);
    EXPECT_EQ(section.Enter(), S_OK);
    EXPECT_EQ(section.Leave(), S_OK);
    EXPECT_TRUE(AssertTexts().empty());
    section.Delete();
    EXPECT_FALSE(section.m_bInitialized);

    hostwin::InjectFault("InitializeCriticalSectionEx", 1, ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_EQ(section.Initialize(), HResultFromWin32(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_FALSE(section.m_bInitialized);
    ASSERT_EQ(section.Initialize(), S_OK);
    section.Initialize(); // a second initialisation is reported
    EXPECT_EQ(AssertTexts(), std::vector<std::string>{"!m_bInitialized"});
    section.Delete();
}

} // namespace
