// What the registration switches write: the AppID entry (with the value that marks the server
// as a service), the classes of the class table with their categories, and the type library.
// Registration runs the AppID first and the classes second; unregistration the other way round.
#pragma once

#include "modulebase.h"
#include "serviceinstall.h"
#include "servicemodule.h"
#include "typelib.h"

#include <windows.h>

// Registers each class of the table (or only the one whose CLSID is given), then its
// categories, stopping at the first failure; then, when asked, the type library of
// m_hInstTypeLib, whose result it returns. S_OK for an empty table.
HRESULT RegisterComServer(CComModuleRecord* pComModule, BOOL bRegTypeLib, const CLSID* pCLSID);
// The reverse: each class's categories, then the class; then the type library.
HRESULT UnregisterComServer(CComModuleRecord* pComModule, BOOL bUnRegTypeLib, const CLSID* pCLSID);

// Registers or unregisters the categories of one class through the component categories
// manager, one call per category in list order. Nothing to do, and success, for a null list,
// a class whose CLSID is GUID_NULL, or when the manager is not available. Registration stops at the
// first failing call; unregistration goes through the whole list and then removes the class's
// "Required Categories" and "Implemented Categories" keys if they have no sub-keys left.
HRESULT UpdateClassCategories(REFCLSID clsid, const CategoryMapEntry* pCategories, bool bRegister);

// Creates HKCR\AppID\<pszAppId> (HKCR\AppID must exist and be writable) without its
// "LocalService" value, then writes that value when a service name is given. The registry
// error of opening or creating a key, as an HRESULT; the value's own results do not count.
HRESULT WriteAppIdEntry(LPCWSTR pszAppId, LPCWSTR pszLocalService);
// Removes "LocalService" from an existing HKCR\AppID\<pszAppId>; the key itself stays.
// 0x80070002 when the key does not exist.
HRESULT ClearAppIdEntry(LPCWSTR pszAppId);

template <class T>
HRESULT CExeModuleT<T>::RegisterComServer(BOOL bRegTypeLib, const CLSID* pCLSID) {
    return ::RegisterComServer(&g_comModule, bRegTypeLib, pCLSID);
}

template <class T>
HRESULT CExeModuleT<T>::UnregisterComServer(BOOL bUnRegTypeLib, const CLSID* pCLSID) {
    return ::UnregisterComServer(&g_comModule, bUnRegTypeLib, pCLSID);
}

// Any earlier service entry goes first; with `bService` the entry is created last, after the
// AppID names it.
template <class T, UINT nServiceNameID>
HRESULT CServiceModuleT<T, nServiceNameID>::RegisterAppIdEntry(bool bService) {
    if (!RemoveService())
        return E_FAIL;
    HRESULT hr = T::ApplyAppIdScript(TRUE);
    if (FAILED(hr))
        return hr;
    hr = WriteAppIdEntry(T::GetAppIdText(), bService ? m_serviceName : NULL);
    if (FAILED(hr) || !bService)
        return hr;
    if (InstallService())
        return S_OK;
    // An old entry that outlived the wait for its service to stop has no box: its code tells.
    return GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE
               ? HRESULT_FROM_WIN32(ERROR_SERVICE_MARKED_FOR_DELETE)
               : E_FAIL;
}

// The service entry goes first, also when the AppID key then turns out to be missing.
template <class T, UINT nServiceNameID>
HRESULT CServiceModuleT<T, nServiceNameID>::UnregisterAppIdEntry() {
    if (!RemoveService())
        return E_FAIL;
    HRESULT hr = ClearAppIdEntry(T::GetAppIdText());
    if (FAILED(hr))
        return hr;
    return T::ApplyAppIdScript(FALSE);
}
