// COM on the host: apartments, the global interface table, class objects, the server process
// count and GUID text.
#include "machine.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using testing_support::MachineTest;

namespace {

class ComTest : public MachineTest {};

const IID IID_ITestThing = {
    0x6A0E3C51, 0x2B7D, 0x4E19, {0x9F, 0x08, 0x3D, 0x5C, 0x1A, 0x7B, 0x9E, 0x42}};
const CLSID CLSID_Sample = {
    0x5c0d7a21, 0x4b9e, 0x4f3a, {0x9d, 0x62, 0x1e, 0x8b, 0x7c, 0x3f, 0x0a, 0x54}};
const char16_t kSampleText[] = u"{5C0D7A21-4B9E-4F3A-9D62-1E8B7C3F0A54}";

// Counts its references (the test's own one is never dropped); answers for IUnknown and
// IID_ITestThing only.
class CountedObject : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = riid == IID_IUnknown || riid == IID_ITestThing ? this : NULL;
        if (*ppv == NULL)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    std::atomic<ULONG> references{1};
};

IGlobalInterfaceTable* CreateTable() {
    IGlobalInterfaceTable* table = NULL;
    EXPECT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, NULL, CLSCTX_INPROC_SERVER,
                               IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&table)),
              S_OK);
    return table;
}

// Creates and releases an instance; the out pointer is set exactly when the call succeeds.
HRESULT Create(DWORD context, const IID& iid, const CLSID& clsid = CLSID_StdGlobalInterfaceTable,
               IUnknown* outer = NULL) {
    void* object = reinterpret_cast<void*>(0x1);
    HRESULT hr = CoCreateInstance(clsid, outer, context, iid, &object);
    EXPECT_EQ(object == nullptr, FAILED(hr));
    if (SUCCEEDED(hr) && object)
        static_cast<IUnknown*>(object)->Release();
    return hr;
}

HRESULT RegisterSample(IUnknown* object, DWORD* cookie, DWORD flags = REGCLS_MULTIPLEUSE) {
    return CoRegisterClassObject(CLSID_Sample, object, CLSCTX_LOCAL_SERVER, flags, cookie);
}

// Each thread has its own model and count of initialisations, each of which needs its
// CoUninitialize; this thread is single-threaded while another one works through the steps.
TEST_F(ComTest, ApartmentsCountBalancedInitialisationsPerThread) {
    constexpr DWORD MTA = COINIT_MULTITHREADED, STA = COINIT_APARTMENTTHREADED;
    ASSERT_EQ(CoInitializeEx(NULL, STA), S_OK);
    std::thread([] {
        int reserved = 0;
        EXPECT_EQ(CoInitializeEx(&reserved, MTA), E_INVALIDARG);
        EXPECT_EQ(CoInitializeEx(NULL, MTA), S_OK);
        EXPECT_EQ(CoInitializeEx(NULL, MTA), S_FALSE);
        EXPECT_EQ(CoInitializeEx(NULL, STA), RPC_E_CHANGED_MODE);
        CoUninitialize();
        EXPECT_EQ(CoInitializeEx(NULL, STA), RPC_E_CHANGED_MODE) << "one initialisation is open";
        CoUninitialize();
        EXPECT_EQ(CoInitializeEx(NULL, 0x1), E_INVALIDARG) << "an unknown flag";
        EXPECT_EQ(CoInitializeEx(NULL, STA | COINIT_DISABLE_OLE1DDE), S_OK);
        EXPECT_EQ(CoInitializeEx(NULL, MTA), RPC_E_CHANGED_MODE);
        CoUninitialize();
        CoUninitialize(); // unbalanced, and ignored
        EXPECT_EQ(CoInitializeEx(NULL, MTA), S_OK);
        CoUninitialize();
    }).join();
    CoUninitialize();
}

TEST_F(ComTest, OnlyTheGlobalInterfaceTableIsCreatedAndOnlyInAnApartment) {
    std::thread([] {
        EXPECT_EQ(Create(CLSCTX_INPROC_SERVER, IID_IUnknown), CO_E_NOTINITIALIZED);
    }).join();
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    std::thread([] {
        // A thread without an apartment of its own joins the existing multithreaded one.
        EXPECT_EQ(Create(CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable), S_OK);
    }).join();
    CountedObject outer;
    EXPECT_EQ(Create(CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IUnknown), S_OK);
    EXPECT_EQ(Create(CLSCTX_LOCAL_SERVER, IID_IGlobalInterfaceTable), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(Create(CLSCTX_INPROC_SERVER, IID_IUnknown, CLSID_Sample), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(Create(CLSCTX_INPROC_SERVER, IID_ITestThing), E_NOINTERFACE);
    EXPECT_EQ(Create(CLSCTX_INPROC_SERVER, IID_IUnknown, CLSID_StdGlobalInterfaceTable, &outer),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(outer.references, 1u);
    EXPECT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, NULL, CLSCTX_INPROC_SERVER,
                               IID_IUnknown, NULL),
              E_POINTER);
    CoUninitialize();
}

TEST_F(ComTest, GlobalInterfaceTableHoldsOneReferencePerEntry) {
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    IGlobalInterfaceTable* table = CreateTable();
    ASSERT_NE(table, nullptr);
    ULONG held = table->AddRef();
    EXPECT_EQ(CreateTable(), table) << "one table per process";
    EXPECT_EQ(table->Release(), held);
    EXPECT_EQ(table->Release(), held - 1);

    CountedObject object;
    DWORD cookie = 0, other = 0;
    ASSERT_EQ(table->RegisterInterfaceInGlobal(&object, IID_ITestThing, &cookie), S_OK);
    ASSERT_EQ(table->RegisterInterfaceInGlobal(&object, IID_IUnknown, &other), S_OK);
    EXPECT_NE(cookie, 0u);
    EXPECT_NE(cookie, other);
    EXPECT_EQ(object.references, 3u);
    void* fetched = NULL;
    ASSERT_EQ(table->GetInterfaceFromGlobal(cookie, IID_IUnknown, &fetched), S_OK);
    EXPECT_EQ(fetched, &object);
    EXPECT_EQ(object.references, 4u) << "the caller owns one more reference";
    object.Release();
    EXPECT_EQ(table->GetInterfaceFromGlobal(cookie, IID_IClassFactory, &fetched), E_NOINTERFACE);
    EXPECT_EQ(fetched, nullptr);

    EXPECT_EQ(table->RevokeInterfaceFromGlobal(cookie), S_OK);
    EXPECT_EQ(object.references, 2u);
    EXPECT_EQ(table->RevokeInterfaceFromGlobal(cookie), E_INVALIDARG);
    EXPECT_EQ(table->GetInterfaceFromGlobal(cookie, IID_IUnknown, &fetched), E_INVALIDARG);
    EXPECT_EQ(table->RevokeInterfaceFromGlobal(other), S_OK);

    DWORD refused = 0xDEAD;
    EXPECT_EQ(table->RegisterInterfaceInGlobal(&object, IID_IClassFactory, &refused),
              E_NOINTERFACE);
    EXPECT_EQ(refused, 0u);
    EXPECT_EQ(table->RegisterInterfaceInGlobal(NULL, IID_IUnknown, &refused), E_INVALIDARG);
    EXPECT_EQ(table->RegisterInterfaceInGlobal(&object, IID_IUnknown, NULL), E_INVALIDARG);
    EXPECT_EQ(table->GetInterfaceFromGlobal(other, IID_IUnknown, NULL), E_INVALIDARG);
    EXPECT_EQ(object.references, 1u);
    table->Release();
    CoUninitialize();
}

TEST_F(ComTest, EndingAnApartmentReleasesWhatItRegistered) {
    CountedObject inTable, classObject, inMta;
    DWORD cookie = 0, classCookie = 0;
    std::thread([&] {
        ASSERT_EQ(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED), S_OK);
        IGlobalInterfaceTable* table = CreateTable();
        ASSERT_NE(table, nullptr);
        EXPECT_EQ(table->RegisterInterfaceInGlobal(&inTable, IID_IUnknown, &cookie), S_OK);
        EXPECT_EQ(RegisterSample(&classObject, &classCookie), S_OK);
        table->Release();
        CoUninitialize();
    }).join();
    EXPECT_EQ(inTable.references, 1u);
    EXPECT_EQ(classObject.references, 1u);

    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    IGlobalInterfaceTable* table = CreateTable();
    void* fetched = NULL;
    EXPECT_EQ(table->GetInterfaceFromGlobal(cookie, IID_IUnknown, &fetched), E_INVALIDARG);
    EXPECT_EQ(CoRevokeClassObject(classCookie), CO_E_OBJNOTREG);
    table->Release();
    std::thread([&] {
        ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
        EXPECT_EQ(RegisterSample(&inMta, &classCookie), S_OK);
        CoUninitialize();
    }).join();
    EXPECT_EQ(inMta.references, 2u) << "the multithreaded apartment lives on in this thread";
    CoUninitialize();
    EXPECT_EQ(inMta.references, 1u);
}

TEST_F(ComTest, ClassObjectsAreRegisteredResumedSuspendedAtServerCountZeroAndRevoked) {
    CountedObject factory;
    DWORD cookie = 0xDEAD;
    std::thread([&] {
        EXPECT_EQ(RegisterSample(&factory, &cookie), CO_E_NOTINITIALIZED);
        EXPECT_EQ(CoResumeClassObjects(), CO_E_NOTINITIALIZED);
    }).join();
    EXPECT_EQ(cookie, 0u);
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(RegisterSample(NULL, &cookie), E_INVALIDARG);
    EXPECT_EQ(RegisterSample(&factory, NULL), E_INVALIDARG);
    EXPECT_EQ(RegisterSample(&factory, &cookie, REGCLS_SURROGATE),
              HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(factory.references, 1u);

    ASSERT_EQ(RegisterSample(&factory, &cookie, REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED), S_OK);
    EXPECT_NE(cookie, 0u);
    EXPECT_EQ(factory.references, 2u);
    auto registered = hostwin::ClassObjectRegistrations();
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_EQ(registered[0].clsid, kSampleText);
    EXPECT_TRUE(registered[0].suspended);
    EXPECT_EQ(CoResumeClassObjects(), S_OK);
    EXPECT_FALSE(hostwin::ClassObjectRegistrations().at(0).suspended);

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
    EXPECT_EQ(factory.references, 1u);
    EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
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
    EXPECT_EQ(object.references, 1u);
    EXPECT_EQ(CoAddRefServerProcess(), 1u);
    EXPECT_EQ(CoReleaseServerProcess(), 0u);
    CoUninitialize();
}

TEST_F(ComTest, GuidTextIsBracedUpperCaseAndNeedsRoomForItsTerminator) {
    std::u16string buffer(64, u'#');
    EXPECT_EQ(StringFromGUID2(CLSID_Sample, buffer.data(), 38), 0);
    EXPECT_EQ(buffer, std::u16string(64, u'#')) << "a buffer too small is left alone";
    EXPECT_EQ(StringFromGUID2(CLSID_Sample, buffer.data(), 64), 39);
    EXPECT_EQ(std::u16string(buffer.c_str()), kSampleText);
    WCHAR exact[39];
    EXPECT_EQ(StringFromGUID2(IID_IGlobalInterfaceTable, exact, 39), 39);
    EXPECT_EQ(std::u16string(exact), u"{00000146-0000-0000-C000-000000000046}");
    EXPECT_EQ(StringFromGUID2(CLSID_Sample, NULL, 39), 0);
}

} // namespace

namespace {

TEST_F(ComTest, TaskMemoryGrowsKeepingItsContentAndFreesNull) {
    auto* block = static_cast<BYTE*>(CoTaskMemAlloc(4));
    ASSERT_NE(block, nullptr);
    std::memcpy(block, "abcd", 4);
    block = static_cast<BYTE*>(CoTaskMemRealloc(block, 4096));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::memcmp(block, "abcd", 4), 0);
    hostwin::InjectFault("CoTaskMemRealloc", 1, ERROR_OUTOFMEMORY);
    EXPECT_EQ(CoTaskMemRealloc(block, 8192), nullptr) << "the old block stays the caller's";
    EXPECT_EQ(std::memcmp(block, "abcd", 4), 0);
    CoTaskMemFree(block);
    CoTaskMemFree(NULL);
    void* zero = CoTaskMemAlloc(0);
    EXPECT_NE(zero, nullptr) << "a zero-byte block is a block";
    CoTaskMemFree(zero);
}

} // namespace
