#include "serviceinstall.h"

#include "core.h"
#include "errors.h"
#include "handleowner.h"

#include <tchar.h>
#include <winsvc.h>

namespace {

const int kMessageCapacity = 1024;

LPCWSTR FallbackText(UINT nID) {
    switch (nID) {
    case IDS_SERVICE_MANAGER_OPEN_FAILED:
        return TEXT("Could not open Service Manager");
    case IDS_SERVICE_START_FAILED:
        return TEXT("Could not start service");
    case IDS_SERVICE_OPEN_FAILED:
        return TEXT("Could not open service");
    case IDS_SERVICE_DELETE_FAILED:
        return TEXT("Could not delete service");
    default:
        return TEXT("Could not stop service");
    }
}

void ShowServiceMessage(UINT nID, LPCWSTR pszServiceName) {
    WCHAR szText[kMessageCapacity];
    if (LoadStringFromInstances(nID, szText, kMessageCapacity) == 0)
        CheckCrtError(wcsncpy_s(szText, kMessageCapacity, FallbackText(nID), _TRUNCATE));
    MessageBoxW(NULL, szText, pszServiceName, MB_OK);
}

SC_HANDLE OpenManager(DWORD dwAccess) {
    return OpenSCManagerW(NULL, NULL, dwAccess);
}

// The id of the message that tells the failure, or 0 once the entry is created.
UINT CreateServiceEntry(LPCWSTR pszServiceName, LPCWSTR pszQuotedPath) {
    UniqueScHandle hSCM(OpenManager(SC_MANAGER_ALL_ACCESS));
    if (!hSCM)
        return IDS_SERVICE_MANAGER_OPEN_FAILED;
    UniqueScHandle hService(CreateServiceW(hSCM.get(), pszServiceName, pszServiceName,
                                           SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                           pszQuotedPath, NULL, NULL, TEXT("RPCSS\0"), NULL, NULL));
    return hService ? 0 : IDS_SERVICE_START_FAILED;
}

// The id of the message that tells the failure, or 0 once the entry is marked for deletion.
// Every handle is closed before the caller shows the message.
UINT DeleteServiceEntry(LPCWSTR pszServiceName) {
    UniqueScHandle hSCM(OpenManager(SC_MANAGER_ALL_ACCESS));
    if (!hSCM)
        return IDS_SERVICE_MANAGER_OPEN_FAILED;
    UniqueScHandle hService(OpenServiceW(hSCM.get(), pszServiceName, SERVICE_STOP | DELETE));
    if (!hService)
        return IDS_SERVICE_OPEN_FAILED;
    SERVICE_STATUS status = {};
    if (!ControlService(hService.get(), SERVICE_CONTROL_STOP, &status)) {
        DWORD dwError = GetLastError();
        // Stopped, or on its way there: nothing to tell. Either way the deletion goes on at
        // once; the manager completes it when the service has stopped.
        bool bStopping =
            dwError == ERROR_SERVICE_NOT_ACTIVE || (dwError == ERROR_SERVICE_CANNOT_ACCEPT_CTRL &&
                                                    status.dwCurrentState == SERVICE_STOP_PENDING);
        if (!bStopping)
            ShowServiceMessage(IDS_SERVICE_STOP_FAILED, pszServiceName);
    }
    return DeleteService(hService.get()) ? 0 : IDS_SERVICE_DELETE_FAILED;
}

} // namespace

BOOL IsServiceEntryInstalled(LPCWSTR pszServiceName) {
    UniqueScHandle hSCM(OpenManager(SC_MANAGER_ALL_ACCESS));
    if (!hSCM)
        return FALSE;
    UniqueScHandle hService(OpenServiceW(hSCM.get(), pszServiceName, SERVICE_QUERY_CONFIG));
    return hService ? TRUE : FALSE;
}

BOOL InstallServiceEntry(LPCWSTR pszServiceName) {
    if (IsServiceEntryInstalled(pszServiceName))
        return TRUE;

    // Two more than the longest path, for the quotes.
    WCHAR szFilePath[MAX_PATH + 2];
    DWORD dwLen = GetModuleFileNameW(NULL, szFilePath + 1, MAX_PATH);
    if (dwLen == 0 || dwLen == MAX_PATH)
        return FALSE; // no path, or one that may have been cut
    szFilePath[0] = TEXT('"');
    szFilePath[dwLen + 1] = TEXT('"');
    szFilePath[dwLen + 2] = 0;

    UINT nMessage = CreateServiceEntry(pszServiceName, szFilePath);
    if (nMessage == 0)
        return TRUE;
    ShowServiceMessage(nMessage, pszServiceName);
    return FALSE;
}

BOOL RemoveServiceEntry(LPCWSTR pszServiceName) {
    if (!IsServiceEntryInstalled(pszServiceName))
        return TRUE;
    UINT nMessage = DeleteServiceEntry(pszServiceName);
    if (nMessage == 0)
        return TRUE;
    ShowServiceMessage(nMessage, pszServiceName);
    return FALSE;
}
