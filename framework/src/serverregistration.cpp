#include "serverregistration.h"

#include "regkey.h"

#include <comcat.h>
#include <objbase.h>
#include <tchar.h>

namespace {

bool Selected(const ClassTableEntry* entry, const CLSID* pCLSID) {
    return entry != NULL && (pCLSID == NULL || IsEqualGUID(*pCLSID, *entry->pclsid));
}

const CategoryMapEntry* CategoriesOf(const ClassTableEntry* entry) {
    return entry->pfnGetCategoryMap != NULL ? entry->pfnGetCategoryMap() : NULL;
}

// Deletes HKCR\CLSID\{clsid}\<pszSubKey> when it exists and has no sub-keys.
void RemoveEmptyCategoryKey(LPCWSTR pszClsid, LPCWSTR pszSubKey) {
    WCHAR szKey[128];
    if (swprintf_s(szKey, 128, TEXT("CLSID\\%ls\\%ls"), pszClsid, pszSubKey) < 0)
        return;
    DWORD dwSubKeys = 0;
    {
        CRegKey key;
        if (key.OpenKey(HKEY_CLASSES_ROOT, szKey, KEY_READ) != ERROR_SUCCESS)
            return;
        if (RegQueryInfoKeyW(key, NULL, NULL, NULL, &dwSubKeys, NULL, NULL, NULL, NULL, NULL, NULL,
                             NULL) != ERROR_SUCCESS)
            return;
    }
    if (dwSubKeys == 0)
        RegDeleteKeyW(HKEY_CLASSES_ROOT, szKey);
}

HRESULT CallManager(ICatRegister* pManager, REFCLSID clsid, const CategoryMapEntry& category,
                    bool bRegister) {
    CATID catid = *category.pcatid;
    CLSID classId = clsid;
    if (category.iType == kCategoryImplemented)
        return bRegister ? pManager->RegisterClassImplCategories(classId, 1, &catid)
                         : pManager->UnRegisterClassImplCategories(classId, 1, &catid);
    if (category.iType == kCategoryRequired)
        return bRegister ? pManager->RegisterClassReqCategories(classId, 1, &catid)
                         : pManager->UnRegisterClassReqCategories(classId, 1, &catid);
    return S_OK;
}

} // namespace

HRESULT UpdateClassCategories(REFCLSID clsid, const CategoryMapEntry* pCategories, bool bRegister) {
    if (pCategories == NULL || IsEqualGUID(clsid, GUID_NULL))
        return S_OK;
    ICatRegister* pManager = NULL;
    if (FAILED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, NULL, CLSCTX_INPROC_SERVER,
                                IID_ICatRegister, reinterpret_cast<void**>(&pManager))))
        return S_OK;
    HRESULT hr = S_OK;
    for (const CategoryMapEntry* category = pCategories; category->iType != kCategoryEnd;
         ++category) {
        HRESULT hrCall = CallManager(pManager, clsid, *category, bRegister);
        if (bRegister && FAILED(hrCall)) {
            hr = hrCall;
            break;
        }
    }
    pManager->Release();
    if (!bRegister) {
        WCHAR szClsid[64];
        if (StringFromGUID2(clsid, szClsid, 64) != 0) {
            RemoveEmptyCategoryKey(szClsid, TEXT("Required Categories"));
            RemoveEmptyCategoryKey(szClsid, TEXT("Implemented Categories"));
        }
    }
    return hr;
}

HRESULT RegisterComServer(CComModuleRecord* pComModule, BOOL bRegTypeLib, const CLSID* pCLSID) {
    HRESULT hr = S_OK;
    for (ClassTableEntry** slot = pComModule->m_classTableFirst; slot < pComModule->m_classTableEnd;
         ++slot) {
        ClassTableEntry* entry = *slot;
        if (!Selected(entry, pCLSID))
            continue;
        hr = entry->pfnUpdateRegistry(TRUE);
        if (FAILED(hr))
            return hr;
        hr = UpdateClassCategories(*entry->pclsid, CategoriesOf(entry), true);
        if (FAILED(hr))
            return hr;
    }
    if (bRegTypeLib)
        hr = RegisterServerTypeLib(pComModule->m_hInstTypeLib);
    return hr;
}

HRESULT UnregisterComServer(CComModuleRecord* pComModule, BOOL bUnRegTypeLib, const CLSID* pCLSID) {
    HRESULT hr = S_OK;
    for (ClassTableEntry** slot = pComModule->m_classTableFirst; slot < pComModule->m_classTableEnd;
         ++slot) {
        ClassTableEntry* entry = *slot;
        if (!Selected(entry, pCLSID))
            continue;
        hr = UpdateClassCategories(*entry->pclsid, CategoriesOf(entry), false);
        if (FAILED(hr))
            return hr;
        hr = entry->pfnUpdateRegistry(FALSE);
        if (FAILED(hr))
            return hr;
    }
    if (bUnRegTypeLib)
        hr = UnregisterServerTypeLib(pComModule->m_hInstTypeLib);
    return hr;
}

HRESULT WriteAppIdEntry(LPCWSTR pszAppId, LPCWSTR pszLocalService) {
    CRegKey keyAppID;
    LONG lRes = keyAppID.OpenKey(HKEY_CLASSES_ROOT, TEXT("AppID"), KEY_WRITE);
    if (lRes != ERROR_SUCCESS)
        return HResultFromWin32(lRes);
    CRegKey key;
    lRes = key.CreateKey(keyAppID, pszAppId, NULL, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                         NULL, NULL);
    if (lRes != ERROR_SUCCESS)
        return HResultFromWin32(lRes);
    key.RemoveValue(TEXT("LocalService"));
    if (pszLocalService != NULL)
        key.WriteStringValue(TEXT("LocalService"), pszLocalService);
    return S_OK;
}

HRESULT ClearAppIdEntry(LPCWSTR pszAppId) {
    CRegKey keyAppID;
    LONG lRes = keyAppID.OpenKey(HKEY_CLASSES_ROOT, TEXT("AppID"), KEY_WRITE);
    if (lRes != ERROR_SUCCESS)
        return HResultFromWin32(lRes);
    CRegKey key;
    lRes = key.OpenKey(keyAppID, pszAppId, KEY_WRITE);
    if (lRes != ERROR_SUCCESS)
        return HResultFromWin32(lRes);
    key.RemoveValue(TEXT("LocalService"));
    return S_OK;
}
