// Critical-section wrappers and the base module record: the module instance and the resource
// instances searched for strings and other resources.
#pragma once

#include "simplecoll.h"

#include <windows.h>

class CCritSec {
public:
    CCritSec();
    HRESULT Initialize();
    HRESULT Enter();
    HRESULT Leave();
    HRESULT Delete();

    CRITICAL_SECTION m_sec;
};

// A critical section that knows whether it was initialised, so it is never entered or deleted
// in the wrong state.
class CCheckedCritSec : public CCritSec {
public:
    HRESULT Initialize();
    HRESULT Enter();
    HRESULT Leave();
    HRESULT Delete();

    bool m_bInitialized = false;
};

class CBaseModuleRecord {
public:
    CBaseModuleRecord();
    ~CBaseModuleRecord();
    CBaseModuleRecord(const CBaseModuleRecord&) = delete;
    CBaseModuleRecord& operator=(const CBaseModuleRecord&) = delete;

    HINSTANCE GetModuleInstance() const { return m_hInstance; }
    // Extra instances in the order added, then the default one; NULL past the end.
    HINSTANCE GetResourceInstanceAt(int index);
    bool AddResourceInstance(HINSTANCE instance);
    bool RemoveResourceInstance(HINSTANCE instance);

    DWORD m_structSize;
    HINSTANCE m_hInstance;
    HINSTANCE m_hResourceInstance;
    DWORD m_frameworkVersion;
    const GUID* m_pVersionGuid;
    CRITICAL_SECTION m_resourceLock;
    CSimpleArray<HINSTANCE> m_resourceInstances;

    // Set by any module record whose initialisation failed; the entry then refuses to run.
    static bool m_initFailed;

private:
    bool m_resourceLockReady = false; // a lock that never initialised is never deleted
};

extern CBaseModuleRecord g_baseModule;

// The string `id` from the first resource instance that has it; 0 when none has.
int LoadStringFromInstances(UINT id, LPWSTR buffer, int capacity);

// Whether registration goes to the current user instead of the machine: false at start, set
// only by the per-user registration switches, read by the registrar and the type library.
HRESULT SetPerUserRegistration(bool bEnable);
// E_POINTER when given no place to store the flag.
HRESULT GetPerUserRegistration(bool* pbEnabled);
