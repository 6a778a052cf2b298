#include "serviceinstall.h"

#include "core.h"
#include "errors.h"

#include <tchar.h>
#include <winsvc.h>

namespace {

const int kMessageCapacity = 1024;

// Owns one manager or service handle.
class CServiceHandle {
public:
    explicit CServiceHandle(SC_HANDLE handle) : m_handle(handle) {}
    ~CServiceHandle() {
        if (m_handle != NULL)
            CloseServiceHandle(m_handle);
    }
    CServiceHandle(const CServiceHandle&) = delete;
    CServiceHandle& operator=(const CServiceHandle&) = delete;
    operator SC_HANDLE() const { return m_handle; }

private:
    SC_HANDLE m_handle;
};

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
    CServiceHandle hSCM(OpenManager(SC_MANAGER_ALL_ACCESS));
    if (hSCM == NULL)
        return IDS_SERVICE_MANAGER_OPEN_FAILED;
    CServiceHandle hService(CreateServiceW(hSCM, pszServiceName, pszServiceName, SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                           SERVICE_ERROR_NORMAL, pszQuotedPath, NULL, NULL,
                                           TEXT("RPCSS\0"), NULL, NULL));
    return hService == NULL ? IDS_SERVICE_START_FAILED : 0;
}

// The id of the message that tells the failure, or 0 once the entry is marked for deletion.
// Every handle is closed before the caller shows the message.
UINT DeleteServiceEntry(LPCWSTR pszServiceName) {
    CServiceHandle hSCM(OpenManager(SC_MANAGER_ALL_ACCESS));
    if (hSCM == NULL)
        return IDS_SERVICE_MANAGER_OPEN_FAILED;
    CServiceHandle hService(OpenServiceW(hSCM, pszServiceName, SERVICE_STOP | DELETE));
    if (hService == NULL)
        return IDS_SERVICE_OPEN_FAILED;
    SERVICE_STATUS status = {};
    if (!ControlService(hService, SERVICE_CONTROL_STOP, &status)) {
        DWORD dwError = GetLastError();
        // Stopped, or on its way there: nothing to tell. Either way the deletion goes on at
        // once; the manager completes it when the service has stopped.
        bool bStopping =
            dwError == ERROR_SERVICE_NOT_ACTIVE || (dwError == ERROR_SERVICE_CANNOT_ACCEPT_CTRL &&
                                                    status.dwCurrentState == SERVICE_STOP_PENDING);
        if (!bStopping)
            ShowServiceMessage(IDS_SERVICE_STOP_FAILED, pszServiceName);
    }
    return DeleteService(hService) ? 0 : IDS_SERVICE_DELETE_FAILED;
}

} // namespace

BOOL IsServiceEntryInstalled(LPCWSTR pszServiceName) {
    CServiceHandle hSCM(OpenManager(SC_MANAGER_ALL_ACCESS));
    if (hSCM == NULL)
        return FALSE;
    CServiceHandle hService(OpenServiceW(hSCM, pszServiceName, SERVICE_QUERY_CONFIG));
    return hService != NULL ? TRUE : FALSE;
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
