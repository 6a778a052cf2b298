// The COM subset of the host: apartments, class-object registrations, the server process
// reference count, the global interface table, task memory and GUID text.
//
// Everything runs in-process, so "marshalling" an interface is holding a reference to it. What
// the platform ties to an apartment (class objects and table entries registered from it) is
// released when that apartment ends.
#include "base/core.h"
#include "com/com.h"

#include <comcat.h>
#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IGlobalInterfaceTable = {0x00000146, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const CLSID CLSID_StdGlobalInterfaceTable = {
    0x00000323, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
// The component categories manager is not installed on the host: creating it fails as for
// any class that is not registered.
const CLSID CLSID_StdComponentCategoriesMgr = {
    0x0002E005, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_ICatRegister = {0x0002E012, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_ITypeLib = {0x00020402, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
}

namespace hostwin {

namespace {

using ApartmentId = unsigned long; // 0: none

struct ThreadApartment {
    int inits = 0; // balanced CoInitializeEx calls still open
    DWORD model = COINIT_MULTITHREADED;
    ApartmentId id = 0;
};
thread_local ThreadApartment t_apartment;

struct ClassRegistration {
    DWORD cookie;
    CLSID clsid;
    IUnknown* object;
    DWORD context;
    DWORD flags;
    bool suspended;
    ApartmentId apartment;
};

struct TableEntry {
    DWORD cookie;
    IUnknown* object; // the registered interface, one reference held
    ApartmentId apartment;
};

struct ComState {
    std::mutex lock;
    ApartmentId nextApartment = 1;
    ApartmentId mta = 0; // the process's multithreaded apartment while it has members
    int mtaMembers = 0;
    DWORD nextCookie = 0x100; // class-object and table cookies, never reused
    ULONG serverReferences = 0;
    std::vector<ClassRegistration> classObjects;
    std::vector<TableEntry> tableEntries;
};
ComState& Com() {
    static ComState* state = new ComState; // outlives every thread's clean-up
    return *state;
}

// The global interface table's entry for `cookie`; the caller holds the lock.
std::vector<TableEntry>::iterator FindEntry(ComState& com, DWORD cookie) {
    return std::find_if(com.tableEntries.begin(), com.tableEntries.end(),
                        [cookie](const TableEntry& e) { return e.cookie == cookie; });
}

// The apartment the calling thread works in: its own, or the process's multithreaded
// apartment, which every thread without one joins implicitly while it exists.
ApartmentId CurrentApartment() {
    if (t_apartment.inits > 0)
        return t_apartment.id;
    ComState& com = Com();
    std::lock_guard<std::mutex> guard(com.lock);
    return com.mta;
}

void ReleaseAll(const std::vector<IUnknown*>& objects) {
    for (IUnknown* object : objects)
        object->Release();
}

// Drops what the ending apartment registered. The objects are released outside the lock:
// a release may well call back into COM.
void EndApartment(ApartmentId apartment) {
    std::vector<IUnknown*> released;
    {
        ComState& com = Com();
        std::lock_guard<std::mutex> guard(com.lock);
        auto classEnd = std::stable_partition(
            com.classObjects.begin(), com.classObjects.end(),
            [apartment](const ClassRegistration& r) { return r.apartment != apartment; });
        for (auto it = classEnd; it != com.classObjects.end(); ++it)
            released.push_back(it->object);
        com.classObjects.erase(classEnd, com.classObjects.end());
        auto tableEnd = std::stable_partition(
            com.tableEntries.begin(), com.tableEntries.end(),
            [apartment](const TableEntry& e) { return e.apartment != apartment; });
        for (auto it = tableEnd; it != com.tableEntries.end(); ++it)
            released.push_back(it->object);
        com.tableEntries.erase(tableEnd, com.tableEntries.end());
    }
    ReleaseAll(released);
}

// The process's one global interface table. Its reference count is kept for its callers'
// sake, but the object itself lives as long as the process.
class GlobalInterfaceTable final : public IGlobalInterfaceTable {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == NULL)
            return E_POINTER;
        if (riid != IID_IUnknown && riid != IID_IGlobalInterfaceTable) {
            *ppvObject = NULL;
            return E_NOINTERFACE;
        }
        *ppvObject = static_cast<IGlobalInterfaceTable*>(this);
        AddRef();
        return S_OK;
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }

    ULONG STDMETHODCALLTYPE Release() override {
        // An extra release must not wrap the count around.
        ULONG current = m_references.load();
        while (current > 0 && !m_references.compare_exchange_weak(current, current - 1)) {
        }
        return current > 0 ? current - 1 : 0;
    }

    HRESULT STDMETHODCALLTYPE RegisterInterfaceInGlobal(IUnknown* pUnk, REFIID riid,
                                                        DWORD* pdwCookie) override {
        if (pdwCookie != NULL)
            *pdwCookie = 0;
        if (pUnk == NULL || pdwCookie == NULL)
            return E_INVALIDARG;
        ApartmentId apartment = CurrentApartment();
        if (apartment == 0)
            return CO_E_NOTINITIALIZED;
        IUnknown* registered = NULL;
        HRESULT hr = pUnk->QueryInterface(riid, reinterpret_cast<void**>(&registered));
        if (FAILED(hr))
            return hr;
        ComState& com = Com();
        std::lock_guard<std::mutex> guard(com.lock);
        DWORD cookie = com.nextCookie++;
        com.tableEntries.push_back(TableEntry{cookie, registered, apartment});
        *pdwCookie = cookie;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE RevokeInterfaceFromGlobal(DWORD dwCookie) override {
        IUnknown* released = NULL;
        {
            ComState& com = Com();
            std::lock_guard<std::mutex> guard(com.lock);
            auto it = FindEntry(com, dwCookie);
            if (it == com.tableEntries.end())
                return E_INVALIDARG;
            released = it->object;
            com.tableEntries.erase(it);
        }
        released->Release();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetInterfaceFromGlobal(DWORD dwCookie, REFIID riid,
                                                     void** ppv) override {
        if (ppv == NULL)
            return E_INVALIDARG;
        *ppv = NULL;
        if (CurrentApartment() == 0)
            return CO_E_NOTINITIALIZED;
        IUnknown* held = NULL;
        {
            ComState& com = Com();
            std::lock_guard<std::mutex> guard(com.lock);
            auto it = FindEntry(com, dwCookie);
            if (it == com.tableEntries.end())
                return E_INVALIDARG;
            held = it->object;
            held->AddRef(); // a concurrent revoke must not free it under us
        }
        HRESULT hr = held->QueryInterface(riid, ppv);
        held->Release();
        return hr;
    }

private:
    std::atomic<ULONG> m_references{0};
};

GlobalInterfaceTable& TheGlobalInterfaceTable() {
    static GlobalInterfaceTable* table = new GlobalInterfaceTable;
    return *table;
}

constexpr DWORD kKnownInitFlags =
    COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;
constexpr DWORD kKnownContexts =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD kKnownRegistrationFlags =
    REGCLS_MULTIPLEUSE | REGCLS_MULTI_SEPARATE | REGCLS_SUSPENDED;

} // namespace

std::u16string GuidText(const GUID& guid) {
    static const char16_t hex[] = u"0123456789ABCDEF";
    std::u16string text = u"{";
    auto put = [&](uint32_t value, int digits) {
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
            text += hex[(value >> shift) & 0xF];
    };
    put(guid.Data1, 8);
    text += u'-';
    put(guid.Data2, 4);
    text += u'-';
    put(guid.Data3, 4);
    text += u'-';
    put(guid.Data4[0], 2);
    put(guid.Data4[1], 2);
    text += u'-';
    for (int i = 2; i < 8; ++i)
        put(guid.Data4[i], 2);
    text += u'}';
    return text;
}

std::vector<ClassObjectRegistration> ClassObjectRegistrations() {
    ComState& com = Com();
    std::lock_guard<std::mutex> guard(com.lock);
    std::vector<ClassObjectRegistration> registrations;
    for (const ClassRegistration& r : com.classObjects)
        registrations.push_back(
            ClassObjectRegistration{GuidText(r.clsid), r.context, r.flags, r.suspended});
    return registrations;
}

} // namespace hostwin

using namespace hostwin;

extern "C" {

HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(HRESULT);
    if (pvReserved != NULL || (dwCoInit & ~kKnownInitFlags) != 0)
        return E_INVALIDARG;
    DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
    LogCall(__func__, "model=%s", model == COINIT_APARTMENTTHREADED ? "sta" : "mta");
    if (t_apartment.inits > 0) {
        if (t_apartment.model != model)
            return RPC_E_CHANGED_MODE;
        ++t_apartment.inits;
        return S_FALSE;
    }
    ComState& com = Com();
    std::lock_guard<std::mutex> guard(com.lock);
    if (model == COINIT_MULTITHREADED) {
        if (com.mtaMembers++ == 0)
            com.mta = com.nextApartment++;
        t_apartment.id = com.mta;
    } else {
        t_apartment.id = com.nextApartment++;
    }
    t_apartment.model = model;
    t_apartment.inits = 1;
    return S_OK;
}

void WINAPI CoUninitialize() {
    // An unbalanced call is ignored, as on the platform.
    if (t_apartment.inits == 0 || --t_apartment.inits > 0)
        return;
    LogCall(__func__, "%s", "apartment ends");
    ApartmentId ending = t_apartment.id;
    t_apartment.id = 0;
    if (t_apartment.model == COINIT_MULTITHREADED) {
        ComState& com = Com();
        std::lock_guard<std::mutex> guard(com.lock);
        if (--com.mtaMembers > 0)
            return; // the multithreaded apartment lives on in its other threads
        com.mta = 0;
    }
    EndApartment(ending);
}

HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                REFIID riid, LPVOID* ppv) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(HRESULT);
    if (ppv == NULL)
        return E_POINTER;
    *ppv = NULL;
    LogCall(__func__, "clsid=%s context=0x%X", ToUtf8(GuidText(rclsid)).c_str(), dwClsContext);
    if (CurrentApartment() == 0)
        return CO_E_NOTINITIALIZED;
    // The only class the host serves in-process is the global interface table.
    if (rclsid != CLSID_StdGlobalInterfaceTable || (dwClsContext & CLSCTX_INPROC_SERVER) == 0)
        return REGDB_E_CLASSNOTREG;
    if (pUnkOuter != NULL)
        return CLASS_E_NOAGGREGATION;
    return TheGlobalInterfaceTable().QueryInterface(riid, ppv);
}

HRESULT WINAPI CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext,
                                     DWORD flags, LPDWORD lpdwRegister) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(HRESULT);
    if (pUnk == NULL || lpdwRegister == NULL)
        return E_INVALIDARG;
    *lpdwRegister = 0;
    if ((dwClsContext & ~kKnownContexts) != 0)
        return NotSupportedCode(__func__, "class context", HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
    if ((flags & ~kKnownRegistrationFlags) != 0)
        return NotSupportedCode(__func__, "registration flags",
                                HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
    ApartmentId apartment = CurrentApartment();
    if (apartment == 0)
        return CO_E_NOTINITIALIZED;
    pUnk->AddRef();
    DWORD cookie = 0;
    {
        ComState& com = Com();
        std::lock_guard<std::mutex> guard(com.lock);
        cookie = com.nextCookie++;
        com.classObjects.push_back(ClassRegistration{cookie, rclsid, pUnk, dwClsContext, flags,
                                                     (flags & REGCLS_SUSPENDED) != 0, apartment});
    }
    *lpdwRegister = cookie;
    LogCall(__func__, "clsid=%s context=0x%X flags=0x%X cookie=%u",
            ToUtf8(GuidText(rclsid)).c_str(), dwClsContext, flags, cookie);
    return S_OK;
}

HRESULT WINAPI CoRevokeClassObject(DWORD dwRegister) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(HRESULT);
    LogCall(__func__, "cookie=%u", dwRegister);
    if (CurrentApartment() == 0)
        return CO_E_NOTINITIALIZED;
    IUnknown* released = NULL;
    {
        ComState& com = Com();
        std::lock_guard<std::mutex> guard(com.lock);
        auto it = std::find_if(
            com.classObjects.begin(), com.classObjects.end(),
            [dwRegister](const ClassRegistration& r) { return r.cookie == dwRegister; });
        if (it == com.classObjects.end())
            return CO_E_OBJNOTREG;
        released = it->object;
        com.classObjects.erase(it);
    }
    released->Release();
    return S_OK;
}

HRESULT WINAPI CoResumeClassObjects() {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(HRESULT);
    LogCall(__func__, "%s", "");
    if (CurrentApartment() == 0)
        return CO_E_NOTINITIALIZED;
    ComState& com = Com();
    std::lock_guard<std::mutex> guard(com.lock);
    for (ClassRegistration& r : com.classObjects)
        r.suspended = false;
    return S_OK;
}

ULONG WINAPI CoAddRefServerProcess() {
    ComState& com = Com();
    std::lock_guard<std::mutex> guard(com.lock);
    ULONG count = ++com.serverReferences;
    LogCall(__func__, "count=%u", count);
    return count;
}

ULONG WINAPI CoReleaseServerProcess() {
    ComState& com = Com();
    std::lock_guard<std::mutex> guard(com.lock);
    // An unbalanced release stays at zero instead of wrapping to a huge count that would keep
    // the server alive for ever.
    if (com.serverReferences == 0) {
        LogCall(__func__, "count=0 (unbalanced)");
        return 0;
    }
    ULONG count = --com.serverReferences;
    // The last reference gone, no new activation may reach the ending server.
    if (count == 0)
        for (ClassRegistration& r : com.classObjects)
            r.suspended = true;
    LogCall(__func__, "count=%u", count);
    return count;
}

LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb) {
    HOSTWIN_FAULT_POINT(static_cast<LPVOID>(NULL));
    // A zero-byte block is still a distinct, freeable block.
    return std::malloc(cb != 0 ? cb : 1);
}

LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
    HOSTWIN_FAULT_POINT(static_cast<LPVOID>(NULL));
    if (pv != NULL && cb == 0) {
        std::free(pv);
        return NULL;
    }
    return std::realloc(pv, cb != 0 ? cb : 1);
}

void WINAPI CoTaskMemFree(LPVOID pv) {
    std::free(pv);
}

int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    HOSTWIN_FAULT_POINT(0);
    std::u16string text = GuidText(rguid);
    int needed = static_cast<int>(text.size()) + 1;
    if (lpsz == NULL || cchMax < needed)
        return 0;
    std::copy(text.begin(), text.end(), lpsz);
    lpsz[text.size()] = 0;
    return needed;
}

} // extern "C"
