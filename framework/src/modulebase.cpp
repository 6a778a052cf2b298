#include "modulebase.h"

#include "registrar.h"
#include "trace.h"

#include <tchar.h>

#include <cstdlib>
#include <cstring>

CModuleBase* _pModule = NULL;

CModuleBase::CModuleBase() {
    std::memset(&m_staticDataLock.m_sec, 0, sizeof(m_staticDataLock.m_sec));
    CHECK_OR_REPORT(_pModule == 0);
    m_structSize = 0;
    m_termCallbacks = NULL;
    m_lockCount = 0;
    _pModule = this;
    m_pGIT = NULL;
    if (SUCCEEDED(m_staticDataLock.Initialize())) {
        m_structSize = 36;
    } else {
        FRAMEWORK_TRACE(traceGeneral, 0,
                        TEXT("ERROR : Unable to initialize critical section in CModuleBase\n"));
        REPORT_FAILED_CHECK("0");
        CBaseModuleRecord::m_initFailed = true;
    }
}

CModuleBase::~CModuleBase() {
    TerminateModule();
    // Static callbacks must never reach a module that is gone.
    if (_pModule == this)
        _pModule = NULL;
}

LONG CModuleBase::AddServerLock() {
    return CoAddRefServerProcess();
}

LONG CModuleBase::ReleaseServerLock() {
    return InterlockedDecrement(&m_lockCount);
}

LONG CModuleBase::GetServerLockCount() {
    return m_lockCount;
}

HRESULT CModuleBase::GetGlobalInterfaceTable(IGlobalInterfaceTable** ppGIT) {
    if (!CHECK_OR_REPORT(ppGIT != 0))
        return E_POINTER;
    HRESULT hr = S_OK;
    if (m_pGIT == NULL) {
        hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, NULL, CLSCTX_INPROC_SERVER,
                              IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&m_pGIT));
        if (FAILED(hr)) {
            m_pGIT = NULL;
            return hr;
        }
    }
    if (!CHECK_OR_REPORT(m_pGIT != 0))
        return E_UNEXPECTED;
    *ppGIT = m_pGIT;
    m_pGIT->AddRef();
    return hr;
}

void CModuleBase::TerminateModule() {
    if (m_structSize == 0)
        return;
    for (TermCallbackEntry* entry = m_termCallbacks; entry != NULL;) {
        entry->pfn(entry->dw);
        TermCallbackEntry* next = entry->pNext;
        delete entry;
        entry = next;
    }
    m_termCallbacks = NULL;
    if (m_pGIT != NULL)
        m_pGIT->Release();
    m_staticDataLock.Delete();
    m_structSize = 0;
}

HRESULT CModuleBase::UpdateRegistryFromScript(UINT nResID, BOOL bRegister,
                                              const ReplacementEntry* pMapEntries) {
    CRegObject ro;
    HRESULT hr = ro.Initialize();
    if (FAILED(hr))
        return hr;
    // Results ignored: a bad entry must not stop the others.
    for (const ReplacementEntry* entry = pMapEntries; entry != NULL && entry->szName != NULL;
         ++entry)
        ro.DefineReplacement(entry->szName, entry->szData);
    hr = AddCommonScriptReplacements(&ro);
    if (FAILED(hr))
        return hr;

    HINSTANCE hInstance = g_baseModule.GetModuleInstance();
    OLECHAR szModule[MAX_PATH];
    DWORD dwLen = GetModuleFileNameW(hInstance, szModule, MAX_PATH);
    if (dwLen == 0)
        return HResultFromLastError();
    if (dwLen == MAX_PATH)
        return HResultFromWin32(ERROR_INSUFFICIENT_BUFFER); // the path was cut

    hr = DefineModuleReplacements(&ro, szModule,
                                  hInstance == NULL || hInstance == GetModuleHandleW(NULL));
    if (FAILED(hr))
        return hr;
    return bRegister ? ro.RegisterScriptResource(szModule, nResID, OLESTR("REGISTRY"))
                     : ro.UnregisterScriptResource(szModule, nResID, OLESTR("REGISTRY"));
}

CComModuleRecord::CComModuleRecord(ClassTableEntry** classTableFirst,
                                   ClassTableEntry** classTableEnd) {
    m_structSize = 0;
    m_hInstTypeLib = GetModuleHandleW(NULL);
    m_classTableFirst = classTableFirst;
    m_classTableEnd = classTableEnd;
    if (SUCCEEDED(m_classTableLock.Initialize())) {
        m_structSize = 40;
    } else {
        FRAMEWORK_TRACE(
            traceCOM, 0,
            TEXT("ERROR : Unable to initialize critical section in CComModuleRecord\n"));
        REPORT_FAILED_CHECK("0");
        CBaseModuleRecord::m_initFailed = true;
    }
}

CComModuleRecord::~CComModuleRecord() {
    TerminateComModule();
}

void CComModuleRecord::RunObjectMainHooks(bool starting) {
    for (ClassTableEntry** slot = m_classTableFirst; slot < m_classTableEnd; ++slot)
        if (*slot != NULL && (*slot)->pfnObjectMain != NULL)
            (*slot)->pfnObjectMain(starting);
}

void CComModuleRecord::TerminateComModule() {
    if (m_structSize == 0)
        return;
    for (ClassTableEntry** slot = m_classTableFirst; slot < m_classTableEnd; ++slot) {
        ClassTableEntry* entry = *slot;
        if (entry == NULL || entry->pCache == NULL || entry->pCache->pClassObject == NULL)
            continue;
        static_cast<IUnknown*>(DecodePointer(entry->pCache->pClassObject))->Release();
        entry->pCache->pClassObject = NULL;
    }
    m_classTableLock.Delete();
    m_structSize = 0;
}

CWindowModuleRecord::CWindowModuleRecord() {
    m_createWindowList = NULL;
    m_structSize = 44;
    if (FAILED(WindowModuleInit(this))) {
        REPORT_FAILED_CHECK("0");
        CBaseModuleRecord::m_initFailed = true;
        m_structSize = 0;
    }
}

CWindowModuleRecord::~CWindowModuleRecord() {
    WindowModuleCleanup(this, g_baseModule.GetModuleInstance());
}

HRESULT WindowModuleInit(CWindowModuleRecord* record) {
    if (record == NULL || record->m_structSize != 44)
        return E_INVALIDARG;
    record->m_createWindowList = NULL;
    HRESULT hr = record->m_createLock.Initialize();
    if (FAILED(hr)) {
        FRAMEWORK_TRACE(
            traceWindowing, 0,
            TEXT("ERROR : Unable to initialize critical section in WindowModuleInit\n"));
        REPORT_FAILED_CHECK("0");
        return hr;
    }
    return S_OK;
}

HRESULT WindowModuleCleanup(CWindowModuleRecord* record, HINSTANCE instance) {
    if (record == NULL)
        return E_INVALIDARG;
    if (record->m_structSize == 0)
        return S_OK;
    if (record->m_structSize != 44)
        return E_INVALIDARG;
    for (int i = 0; i < record->m_classAtoms.GetSize(); ++i)
        UnregisterClassW(MAKEINTRESOURCEW(record->m_classAtoms[i]), instance);
    record->m_classAtoms.RemoveAll();
    record->m_createLock.Delete();
    record->m_structSize = 0;
    return S_OK;
}
