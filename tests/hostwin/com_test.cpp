// COM on the host: apartments, the global interface table, class objects, the server process
// count, task memory and GUID text.
#include "machine.h"

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using testing_support::MachineTest;

namespace {

class ComTest : public MachineTest {};

// {6A0E3C51-2B7D-4E19-9F08-3D5C1A7B9E42}
const IID IID_ITestThing = {
    0x6A0E3C51, 0x2B7D, 0x4E19, {0x9F, 0x08, 0x3D, 0x5C, 0x1A, 0x7B, 0x9E, 0x42}};
// {5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}
const CLSID CLSID_Sample = {
    0x5c0d7a21, 0x4b9e, 0x4f3a, {0x9d, 0x62, 0x1e, 0x8b, 0x7c, 0x3f, 0x0a, 0x54}};

// An object that counts its references and answers for IUnknown and IID_ITestThing only.
class CountedObject : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid != IID_IUnknown && riid != IID_ITestThing) {
            *ppv = NULL;
            return E_NOINTERFACE;
        }
        *ppv = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_references; }
    ULONG References() const { return m_references; }

private:
    std::atomic<ULONG> m_references{1}; // the test's own reference, never dropped
};

// Runs `body` on a new thread, which starts outside any apartment.
template <class Body> void OnFreshThread(Body body) {
    std::thread(body).join();
}

IGlobalInterfaceTable* CreateTable() {
    IGlobalInterfaceTable* table = NULL;
    EXPECT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, NULL, CLSCTX_INPROC_SERVER,
                               IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&table)),
              S_OK);
    return table;
}

TEST_F(ComTest, ApartmentsCountBalancedInitialisationsPerThread) {
    enum Op { MTA, STA, Uninit };
    struct Step {
        Op op;
        HRESULT expected; // unused for Uninit
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"same model again, other model refused",
         {{MTA, S_OK},
          {MTA, S_FALSE},
          {STA, RPC_E_CHANGED_MODE},
          {Uninit},
          {STA, RPC_E_CHANGED_MODE},
          {Uninit},
          {STA, S_OK},
          {Uninit}}},
        {"single-threaded first",
         {{STA, S_OK},
          {MTA, RPC_E_CHANGED_MODE},
          {STA, S_FALSE},
          {Uninit},
          {Uninit},
          {MTA, S_OK},
          {Uninit}}},
        {"unbalanced uninitialise is ignored",
         {{Uninit}, {MTA, S_OK}, {Uninit}, {Uninit}, {STA, S_OK}, {Uninit}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OnFreshThread([&] {
            for (size_t i = 0; i < c.steps.size(); ++i) {
                SCOPED_TRACE("step " + std::to_string(i));
                const Step& step = c.steps[i];
                if (step.op == Uninit)
                    CoUninitialize();
                else
                    EXPECT_EQ(CoInitializeEx(NULL, step.op == STA ? COINIT_APARTMENTTHREADED
                                                                  : COINIT_MULTITHREADED),
                              step.expected);
            }
        });
    }
}

TEST_F(ComTest, InitialisationRejectsReservedPointerAndUnknownFlags) {
    int reserved = 0;
    OnFreshThread([&] {
        EXPECT_EQ(CoInitializeEx(&reserved, COINIT_MULTITHREADED), E_INVALIDARG);
        EXPECT_EQ(CoInitializeEx(NULL, 0x1), E_INVALIDARG);
        EXPECT_EQ(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE), S_OK)
            << "the rejected calls left no apartment behind";
        CoUninitialize();
    });
}

TEST_F(ComTest, EachThreadChoosesItsOwnModel) {
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    OnFreshThread([] {
        EXPECT_EQ(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED), S_OK);
        CoUninitialize();
    });
    CoUninitialize();
}

TEST_F(ComTest, CreationNeedsAnApartmentOrTheProcessMultithreadedOne) {
    OnFreshThread([] {
        IUnknown* object = reinterpret_cast<IUnknown*>(0x1);
        EXPECT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, NULL, CLSCTX_INPROC_SERVER,
                                   IID_IUnknown, reinterpret_cast<void**>(&object)),
                  CO_E_NOTINITIALIZED);
        EXPECT_EQ(object, nullptr);
    });
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    OnFreshThread([] {
        // A thread without an apartment of its own joins the existing multithreaded one.
        IGlobalInterfaceTable* table = CreateTable();
        ASSERT_NE(table, nullptr);
        table->Release();
    });
    CoUninitialize();
}

TEST_F(ComTest, OnlyTheGlobalInterfaceTableCanBeCreated) {
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    CountedObject outer;
    struct Case {
        const char* name;
        const CLSID& clsid;
        IUnknown* outer;
        DWORD context;
        const IID& iid;
        HRESULT expected;
    } cases[] = {
        {"table", CLSID_StdGlobalInterfaceTable, NULL, CLSCTX_INPROC_SERVER,
         IID_IGlobalInterfaceTable, S_OK},
        {"table as IUnknown", CLSID_StdGlobalInterfaceTable, NULL,
         CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IUnknown, S_OK},
        {"table out of process", CLSID_StdGlobalInterfaceTable, NULL, CLSCTX_LOCAL_SERVER,
         IID_IGlobalInterfaceTable, REGDB_E_CLASSNOTREG},
        {"other class", CLSID_Sample, NULL, CLSCTX_INPROC_SERVER, IID_IUnknown,
         REGDB_E_CLASSNOTREG},
        {"other interface", CLSID_StdGlobalInterfaceTable, NULL, CLSCTX_INPROC_SERVER,
         IID_ITestThing, E_NOINTERFACE},
        {"aggregated", CLSID_StdGlobalInterfaceTable, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
         CLASS_E_NOAGGREGATION},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        void* object = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(CoCreateInstance(c.clsid, c.outer, c.context, c.iid, &object), c.expected);
        if (SUCCEEDED(c.expected)) {
            ASSERT_NE(object, nullptr);
            static_cast<IUnknown*>(object)->Release();
        } else {
            EXPECT_EQ(object, nullptr);
        }
    }
    EXPECT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, NULL, CLSCTX_INPROC_SERVER,
                               IID_IUnknown, NULL),
              E_POINTER);
    EXPECT_EQ(outer.References(), 1u);
    CoUninitialize();
}

TEST_F(ComTest, GlobalInterfaceTableIsOneObjectWithItsOwnCount) {
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    IGlobalInterfaceTable* first = CreateTable();
    IGlobalInterfaceTable* second = CreateTable();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    ULONG afterAddRef = first->AddRef();
    EXPECT_EQ(first->Release(), afterAddRef - 1);
    EXPECT_EQ(second->Release(), afterAddRef - 2);
    EXPECT_EQ(first->Release(), afterAddRef - 3);
    CoUninitialize();
}

TEST_F(ComTest, GlobalInterfaceTableHoldsOneReferencePerEntry) {
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    IGlobalInterfaceTable* table = CreateTable();
    ASSERT_NE(table, nullptr);
    CountedObject object;

    DWORD cookie = 0, again = 0;
    ASSERT_EQ(table->RegisterInterfaceInGlobal(&object, IID_ITestThing, &cookie), S_OK);
    ASSERT_EQ(table->RegisterInterfaceInGlobal(&object, IID_IUnknown, &again), S_OK);
    EXPECT_NE(cookie, 0u);
    EXPECT_NE(cookie, again);
    EXPECT_EQ(object.References(), 3u);

    void* fetched = NULL;
    ASSERT_EQ(table->GetInterfaceFromGlobal(cookie, IID_IUnknown, &fetched), S_OK);
    EXPECT_EQ(fetched, &object);
    EXPECT_EQ(object.References(), 4u) << "the caller owns one more reference";
    static_cast<IUnknown*>(fetched)->Release();

    fetched = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(table->GetInterfaceFromGlobal(cookie, IID_IClassFactory, &fetched), E_NOINTERFACE);
    EXPECT_EQ(fetched, nullptr);
    EXPECT_EQ(object.References(), 3u);

    EXPECT_EQ(table->RevokeInterfaceFromGlobal(cookie), S_OK);
    EXPECT_EQ(object.References(), 2u);
    EXPECT_EQ(table->RevokeInterfaceFromGlobal(cookie), E_INVALIDARG);
    EXPECT_EQ(table->GetInterfaceFromGlobal(cookie, IID_IUnknown, &fetched), E_INVALIDARG);
    EXPECT_EQ(fetched, nullptr);
    EXPECT_EQ(object.References(), 2u);
    EXPECT_EQ(table->RevokeInterfaceFromGlobal(again), S_OK);
    EXPECT_EQ(object.References(), 1u);

    DWORD refused = 0xDEAD;
    EXPECT_EQ(table->RegisterInterfaceInGlobal(&object, IID_IClassFactory, &refused),
              E_NOINTERFACE);
    EXPECT_EQ(refused, 0u);
    EXPECT_EQ(table->RegisterInterfaceInGlobal(NULL, IID_IUnknown, &refused), E_INVALIDARG);
    EXPECT_EQ(table->RegisterInterfaceInGlobal(&object, IID_IUnknown, NULL), E_INVALIDARG);
    EXPECT_EQ(table->GetInterfaceFromGlobal(again, IID_IUnknown, NULL), E_INVALIDARG);
    EXPECT_EQ(object.References(), 1u);
    table->Release();
    CoUninitialize();
}

TEST_F(ComTest, EndingAnApartmentReleasesWhatItRegistered) {
    CountedObject inTable, classObject;
    DWORD cookie = 0, classCookie = 0;
    OnFreshThread([&] {
        ASSERT_EQ(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED), S_OK);
        IGlobalInterfaceTable* table = CreateTable();
        ASSERT_NE(table, nullptr);
        EXPECT_EQ(table->RegisterInterfaceInGlobal(&inTable, IID_IUnknown, &cookie), S_OK);
        EXPECT_EQ(CoRegisterClassObject(CLSID_Sample, &classObject, CLSCTX_LOCAL_SERVER,
                                        REGCLS_MULTIPLEUSE, &classCookie),
                  S_OK);
        table->Release();
        EXPECT_EQ(inTable.References(), 2u);
        EXPECT_EQ(classObject.References(), 2u);
        CoUninitialize();
    });
    EXPECT_EQ(inTable.References(), 1u);
    EXPECT_EQ(classObject.References(), 1u);

    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    IGlobalInterfaceTable* table = CreateTable();
    void* fetched = NULL;
    EXPECT_EQ(table->GetInterfaceFromGlobal(cookie, IID_IUnknown, &fetched), E_INVALIDARG);
    EXPECT_EQ(CoRevokeClassObject(classCookie), CO_E_OBJNOTREG);
    table->Release();
    CoUninitialize();
}

TEST_F(ComTest, MultithreadedApartmentEndsWithItsLastThread) {
    CountedObject object;
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    OnFreshThread([&] {
        ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
        DWORD cookie = 0;
        EXPECT_EQ(CoRegisterClassObject(CLSID_Sample, &object, CLSCTX_LOCAL_SERVER,
                                        REGCLS_MULTIPLEUSE, &cookie),
                  S_OK);
        CoUninitialize();
    });
    EXPECT_EQ(object.References(), 2u) << "the apartment lives on in this thread";
    CoUninitialize();
    EXPECT_EQ(object.References(), 1u);
}

TEST_F(ComTest, ClassObjectsAreRegisteredSuspendedResumedAndRevoked) {
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    hostwin::EnableCallLog(true);
    CountedObject factory;
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_Sample, &factory, CLSCTX_LOCAL_SERVER,
                                    REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie),
              S_OK);
    EXPECT_NE(cookie, 0u);
    EXPECT_EQ(factory.References(), 2u);
    auto registered = hostwin::ClassObjectRegistrations();
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_EQ(registered[0].clsid, u"{5C0D7A21-4B9E-4F3A-9D62-1E8B7C3F0A54}");
    EXPECT_EQ(registered[0].context, static_cast<DWORD>(CLSCTX_LOCAL_SERVER));
    EXPECT_EQ(registered[0].flags, 5u);
    EXPECT_TRUE(registered[0].suspended);

    EXPECT_EQ(CoResumeClassObjects(), S_OK);
    registered = hostwin::ClassObjectRegistrations();
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_FALSE(registered[0].suspended);

    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_EQ(factory.References(), 1u);
    EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
    EXPECT_EQ(CoRevokeClassObject(12345), CO_E_OBJNOTREG);
    EXPECT_TRUE(hostwin::ClassObjectRegistrations().empty());
    hostwin::EnableCallLog(false);

    std::vector<std::string> order;
    for (const hostwin::CallRecord& record : hostwin::CallLog())
        if (record.function.rfind("Co", 0) == 0 && record.function != "CoCreateInstance")
            order.push_back(record.function);
    std::vector<std::string> expected = {"CoRegisterClassObject", "CoResumeClassObjects",
                                         "CoRevokeClassObject", "CoRevokeClassObject",
                                         "CoRevokeClassObject"};
    EXPECT_EQ(order, expected);
    auto registers = hostwin::CallLog("CoRegisterClassObject");
    ASSERT_EQ(registers.size(), 1u);
    EXPECT_NE(registers[0].args.find("cookie=" + std::to_string(cookie)), std::string::npos);
    CoUninitialize();
}

TEST_F(ComTest, ClassObjectRegistrationRefusals) {
    CountedObject factory;
    DWORD cookie = 0xDEAD;
    OnFreshThread([&] {
        EXPECT_EQ(CoRegisterClassObject(CLSID_Sample, &factory, CLSCTX_LOCAL_SERVER,
                                        REGCLS_MULTIPLEUSE, &cookie),
                  CO_E_NOTINITIALIZED);
        EXPECT_EQ(CoResumeClassObjects(), CO_E_NOTINITIALIZED);
    });
    EXPECT_EQ(cookie, 0u);

    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    struct Case {
        const char* name;
        IUnknown* object;
        DWORD flags;
        LPDWORD cookie;
        HRESULT expected;
    } cases[] = {
        {"no object", NULL, REGCLS_MULTIPLEUSE, &cookie, E_INVALIDARG},
        {"no cookie", &factory, REGCLS_MULTIPLEUSE, NULL, E_INVALIDARG},
        {"surrogate", &factory, REGCLS_SURROGATE, &cookie, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(
            CoRegisterClassObject(CLSID_Sample, c.object, CLSCTX_LOCAL_SERVER, c.flags, c.cookie),
            c.expected);
    }
    EXPECT_EQ(factory.References(), 1u);
    EXPECT_TRUE(hostwin::ClassObjectRegistrations().empty());
    CoUninitialize();
}

TEST_F(ComTest, ServerProcessCountNeverWrapsAndSuspendsClassObjectsAtZero) {
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    CountedObject factory;
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_Sample, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                    &cookie),
              S_OK);

    EXPECT_EQ(CoAddRefServerProcess(), 1u);
    EXPECT_EQ(CoAddRefServerProcess(), 2u);
    EXPECT_EQ(CoReleaseServerProcess(), 1u);
    EXPECT_FALSE(hostwin::ClassObjectRegistrations().at(0).suspended);
    EXPECT_EQ(CoReleaseServerProcess(), 0u);
    EXPECT_TRUE(hostwin::ClassObjectRegistrations().at(0).suspended)
        << "an ending server takes no new activations";
    EXPECT_EQ(CoReleaseServerProcess(), 0u) << "an extra release does not wrap";
    EXPECT_EQ(CoAddRefServerProcess(), 1u);
    EXPECT_EQ(CoReleaseServerProcess(), 0u);

    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    CoUninitialize();
}

TEST_F(ComTest, ConcurrentUseKeepsCountsExact) {
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    CountedObject object;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&object] {
            IGlobalInterfaceTable* table = CreateTable();
            ASSERT_NE(table, nullptr);
            for (int i = 0; i < 200; ++i) {
                CoAddRefServerProcess();
                DWORD cookie = 0;
                ASSERT_EQ(table->RegisterInterfaceInGlobal(&object, IID_IUnknown, &cookie), S_OK);
                void* fetched = NULL;
                ASSERT_EQ(table->GetInterfaceFromGlobal(cookie, IID_ITestThing, &fetched), S_OK);
                static_cast<IUnknown*>(fetched)->Release();
                ASSERT_EQ(table->RevokeInterfaceFromGlobal(cookie), S_OK);
                CoReleaseServerProcess();
            }
            table->Release();
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(object.References(), 1u);
    EXPECT_EQ(CoAddRefServerProcess(), 1u);
    EXPECT_EQ(CoReleaseServerProcess(), 0u);
    CoUninitialize();
}

TEST_F(ComTest, GuidTextIsBracedUpperCaseAndNeedsRoomForItsTerminator) {
    struct Case {
        int capacity;
        int expected;
    } cases[] = {{39, 39}, {64, 39}, {38, 0}, {0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capacity);
        std::u16string buffer(64, u'#');
        EXPECT_EQ(StringFromGUID2(CLSID_Sample, buffer.data(), c.capacity), c.expected);
        if (c.expected) {
            EXPECT_EQ(std::u16string(buffer.c_str()), u"{5C0D7A21-4B9E-4F3A-9D62-1E8B7C3F0A54}");
        }
    }
    EXPECT_EQ(StringFromGUID2(CLSID_Sample, NULL, 39), 0);
    WCHAR text[39];
    EXPECT_EQ(StringFromGUID2(IID_IGlobalInterfaceTable, text, 39), 39);
    EXPECT_EQ(std::u16string(text), u"{00000146-0000-0000-C000-000000000046}");
}

} // namespace
