#include "classobjects.h"

HRESULT RegisterAllClassObjects(CComModuleRecord* pComModule, DWORD context, DWORD flags) {
    if (!CHECK_OR_REPORT(pComModule != 0))
        return E_INVALIDARG;
    HRESULT hr = S_FALSE;
    for (ClassTableEntry** slot = pComModule->m_classTableFirst;
         slot < pComModule->m_classTableEnd && SUCCEEDED(hr); ++slot)
        if (*slot != NULL)
            hr = RegisterEntryClassObject(*slot, context, flags);
    return hr;
}

HRESULT RevokeAllClassObjects(CComModuleRecord* pComModule) {
    if (!CHECK_OR_REPORT(pComModule != 0))
        return E_INVALIDARG;
    HRESULT hr = S_OK;
    for (ClassTableEntry** slot = pComModule->m_classTableFirst;
         slot < pComModule->m_classTableEnd && hr == S_OK; ++slot)
        if (*slot != NULL)
            hr = RevokeEntryClassObject(*slot);
    return hr;
}

HRESULT RegisterEntryClassObject(ClassTableEntry* entry, DWORD context, DWORD flags) {
    ClassObjectCache* pCache = entry->pCache;
    // Without a cache the registration could never be revoked: report and go on without it.
    if (!CHECK_OR_REPORT(pCache != 0))
        return S_OK;
    if (entry->pfnGetClassObject == NULL)
        return S_OK;
    IUnknown* factory = NULL;
    HRESULT hr = entry->pfnGetClassObject(entry->pfnCreateInstance, IID_IUnknown,
                                          reinterpret_cast<LPVOID*>(&factory));
    if (SUCCEEDED(hr))
        hr = CoRegisterClassObject(*entry->pclsid, factory, context, flags, &pCache->dwRegister);
    if (factory != NULL)
        factory->Release();
    return hr;
}

HRESULT RevokeEntryClassObject(ClassTableEntry* entry) {
    ClassObjectCache* pCache = entry->pCache;
    if (!CHECK_OR_REPORT(pCache != 0))
        return S_OK;
    if (pCache->dwRegister == 0)
        return S_OK;
    return CoRevokeClassObject(pCache->dwRegister);
}
