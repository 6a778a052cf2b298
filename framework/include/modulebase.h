// The module base and the process-wide module records: lock count, termination list, global
// interface table, the class table, and the window-module record.
#pragma once

#include "core.h"
#include "errors.h"
#include "registrarbase.h"

#include <windows.h>
#include <objbase.h>

// The class object of one exposed class, kept encoded, and its registration cookie.
struct ClassObjectCache {
    IUnknown* pClassObject;
    DWORD dwRegister;
};

// One category of a class's category list; the list ends with an entry of kind
// kCategoryEnd.
struct CategoryMapEntry {
    int iType;
    const GUID* pcatid;
};
enum : int { kCategoryEnd = 0, kCategoryImplemented = 1, kCategoryRequired = 2 };

// One exposed COM class.
struct ClassTableEntry {
    const CLSID* pclsid;
    HRESULT(WINAPI* pfnUpdateRegistry)(BOOL bRegister);
    HRESULT(WINAPI* pfnGetClassObject)(void* pfnCreateInstance, REFIID riid, LPVOID* ppv);
    void* pfnCreateInstance;
    ClassObjectCache* pCache;
    LPCWSTR(WINAPI* pfnGetObjectDescription)();
    const CategoryMapEntry*(WINAPI* pfnGetCategoryMap)();
    void(WINAPI* pfnObjectMain)(bool bStarting);
};

struct TermCallbackEntry {
    void(WINAPI* pfn)(DWORD_PTR dw);
    DWORD_PTR dw;
    TermCallbackEntry* pNext;
};

struct ModuleBaseRecord {
    DWORD m_structSize;
    LONG m_lockCount;
    TermCallbackEntry* m_termCallbacks;
    CCritSec m_staticDataLock;
    IGlobalInterfaceTable* m_pGIT;
};

class CModuleBase : public ModuleBaseRecord {
public:
    CModuleBase();
    virtual ~CModuleBase();
    CModuleBase(const CModuleBase&) = delete;
    CModuleBase& operator=(const CModuleBase&) = delete;

    virtual LONG AddServerLock();
    // Base version: the module's own count, used while running as a service.
    virtual LONG ReleaseServerLock();
    virtual LONG GetServerLockCount();
    virtual HRESULT GetGlobalInterfaceTable(IGlobalInterfaceTable** ppGIT);
    virtual HRESULT AddCommonScriptReplacements(IRegistrarBase* pRegistrar) = 0;

    void TerminateModule();

    // Applies the "REGISTRY" resource `nResID` of this program's own file in register or
    // unregister mode, with the caller's replacements (taking precedence), the common ones,
    // and "Module" / "Module_Raw" naming the file.
    HRESULT UpdateRegistryFromScript(UINT nResID, BOOL bRegister,
                                     const ReplacementEntry* pMapEntries = NULL);
};

// The one module object, for static callbacks.
extern CModuleBase* _pModule;

class CComModuleRecord {
public:
    CComModuleRecord(ClassTableEntry** classTableFirst, ClassTableEntry** classTableEnd);
    ~CComModuleRecord();
    CComModuleRecord(const CComModuleRecord&) = delete;
    CComModuleRecord& operator=(const CComModuleRecord&) = delete;

    void RunObjectMainHooks(bool starting);
    void TerminateComModule();

    DWORD m_structSize;
    HINSTANCE m_hInstTypeLib;
    ClassTableEntry** m_classTableFirst;
    ClassTableEntry** m_classTableEnd;
    CCritSec m_classTableLock;
};

extern CComModuleRecord g_comModule;

class CWindowModuleRecord {
public:
    CWindowModuleRecord();
    ~CWindowModuleRecord();
    CWindowModuleRecord(const CWindowModuleRecord&) = delete;
    CWindowModuleRecord& operator=(const CWindowModuleRecord&) = delete;

    DWORD m_structSize;
    CCritSec m_createLock;
    void* m_createWindowList;
    CSimpleArray<ATOM> m_classAtoms;
};

extern CWindowModuleRecord g_windowModule;

HRESULT WindowModuleInit(CWindowModuleRecord* record);
HRESULT WindowModuleCleanup(CWindowModuleRecord* record, HINSTANCE instance);

// The module template layer: static dispatch to the most-derived class T.
template <class T> class CModuleT : public CModuleBase {
public:
    // A module without an AppID; the program's module class replaces both.
    static LPCOLESTR GetAppIdOle() { return NULL; }
    static LPCTSTR GetAppIdText() { return NULL; }

    HRESULT AddCommonScriptReplacements(IRegistrarBase* pRegistrar) override {
        return pRegistrar->DefineReplacement(OLESTR("APPID"), T::GetAppIdOle());
    }
};
