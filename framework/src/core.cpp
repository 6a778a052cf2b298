#include "core.h"

#include "errors.h"

#include <cstring>

namespace {

// Identifies the framework build that created the base module record.
const GUID kFrameworkVersionGuid = {
    0xD3492828, 0x4138, 0x4FD4, {0xB3, 0xEC, 0xDB, 0x99, 0x13, 0x5E, 0xAE, 0x86}};

// RAII hold of a raw critical section for the resource-instance operations.
class CSectionHold {
public:
    explicit CSectionHold(CRITICAL_SECTION& section) : m_section(section) {
        EnterCriticalSection(&m_section);
    }
    ~CSectionHold() { LeaveCriticalSection(&m_section); }
    CSectionHold(const CSectionHold&) = delete;
    CSectionHold& operator=(const CSectionHold&) = delete;

private:
    CRITICAL_SECTION& m_section;
};

} // namespace

CCritSec::CCritSec() {
    std::memset(&m_sec, 0, sizeof(m_sec));
}

HRESULT CCritSec::Initialize() {
    if (!InitializeCriticalSectionEx(&m_sec, 0, 0))
        return HResultFromLastError();
    return S_OK;
}

HRESULT CCritSec::Enter() {
    EnterCriticalSection(&m_sec);
    return S_OK;
}

HRESULT CCritSec::Leave() {
    LeaveCriticalSection(&m_sec);
    return S_OK;
}

HRESULT CCritSec::Delete() {
    DeleteCriticalSection(&m_sec);
    return S_OK;
}

HRESULT CCheckedCritSec::Initialize() {
    // Initialising a live section again would orphan its lock (and any thread holding it).
    if (!CHECK_OR_REPORT(!m_bInitialized))
        return S_OK;
    HRESULT hr = CCritSec::Initialize();
    if (SUCCEEDED(hr))
        m_bInitialized = true;
    return hr;
}

// Entering or leaving a section that never initialised would touch no lock at all: refuse.
HRESULT CCheckedCritSec::Enter() {
    if (!CHECK_OR_REPORT(m_bInitialized))
        return E_UNEXPECTED;
    return CCritSec::Enter();
}

HRESULT CCheckedCritSec::Leave() {
    if (!CHECK_OR_REPORT(m_bInitialized))
        return E_UNEXPECTED;
    return CCritSec::Leave();
}

HRESULT CCheckedCritSec::Delete() {
    if (m_bInitialized) {
        m_bInitialized = false;
        CCritSec::Delete();
    }
    return S_OK;
}

bool CBaseModuleRecord::m_initFailed = false;

CBaseModuleRecord::CBaseModuleRecord() {
    std::memset(&m_resourceLock, 0, sizeof(m_resourceLock));
    m_structSize = 56;
    m_hInstance = m_hResourceInstance = GetModuleHandleW(NULL);
    m_frameworkVersion = 0x0E00;
    m_pVersionGuid = &kFrameworkVersionGuid;
    if (InitializeCriticalSectionEx(&m_resourceLock, 0, 0)) {
        m_resourceLockReady = true;
    } else {
        if (IsDebuggerPresent())
            OutputDebugStringW(
                TEXT("ERROR : Unable to initialize critical section in CBaseModuleRecord\n"));
        m_initFailed = true;
    }
}

CBaseModuleRecord::~CBaseModuleRecord() {
    if (m_resourceLockReady)
        DeleteCriticalSection(&m_resourceLock);
    m_resourceInstances.RemoveAll();
}

HINSTANCE CBaseModuleRecord::GetResourceInstanceAt(int index) {
    CSectionHold hold(m_resourceLock);
    int count = m_resourceInstances.GetSize();
    if (index == count)
        return m_hResourceInstance;
    if (index < 0 || index > count)
        return NULL;
    return m_resourceInstances[index];
}

bool CBaseModuleRecord::AddResourceInstance(HINSTANCE instance) {
    CSectionHold hold(m_resourceLock);
    return m_resourceInstances.Add(instance);
}

bool CBaseModuleRecord::RemoveResourceInstance(HINSTANCE instance) {
    CSectionHold hold(m_resourceLock);
    return m_resourceInstances.Remove(instance);
}

int LoadStringFromInstances(UINT id, LPWSTR buffer, int capacity) {
    int result = 0;
    for (int index = 0; result == 0; ++index) {
        HINSTANCE h = g_baseModule.GetResourceInstanceAt(index);
        if (h == NULL)
            break;
        result = LoadStringW(h, id, buffer, capacity);
    }
    return result;
}

namespace {
bool s_perUserRegistration = false;
} // namespace

HRESULT SetPerUserRegistration(bool bEnable) {
    s_perUserRegistration = bEnable;
    return S_OK;
}

HRESULT GetPerUserRegistration(bool* pbEnabled) {
    if (pbEnabled == NULL)
        return E_POINTER;
    *pbEnabled = s_perUserRegistration;
    return S_OK;
}
