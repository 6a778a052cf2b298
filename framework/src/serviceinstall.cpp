#include "serviceinstall.h"

#include "core.h"
#include "errors.h"
#include "eventids.h"
#include "handleowner.h"

#include <tchar.h>
#include <stdio.h>
#include <winsvc.h>

namespace {

const int kMessageCapacity = 1024;

// How long an install waits for an entry marked for deletion to go: the old service has this
// long to stop, in rounds of one stop request and a pause.
const int kMarkedEntryRounds = 120;
const DWORD kMarkedEntryPause = 250;
// Not a message id: the install fails without a box, its code telling why.
const UINT kNoMessage = 0xFFFFFFFF;

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

// False when the process's window station is not visible (a service, a scheduled task, a
// remote session without a desktop): a box there waits for ever for a person who cannot see it.
bool CanShowBox() {
    USEROBJECTFLAGS flags = {};
    DWORD dwNeeded = 0;
    HWINSTA hStation = GetProcessWindowStation();
    if (hStation == NULL ||
        !GetUserObjectInformationW(hStation, UOI_FLAGS, &flags, sizeof(flags), &dwNeeded))
        return true; // unknown: as before, the box is shown
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// One line "caption: text" on standard error, in the process's code page. Plain writes: the
// formatted ones would link a second printf into the product. Standard error is unbuffered.
void WriteToStandardError(LPCWSTR pszCaption, LPCWSTR pszText) {
    char szLine[2 * kMessageCapacity + 2];
    int nCaption =
        WideCharToMultiByte(CP_ACP, 0, pszCaption, -1, szLine, kMessageCapacity, NULL, NULL);
    if (nCaption == 0)
        return;
    szLine[nCaption - 1] = ':';
    szLine[nCaption] = ' ';
    int nText = WideCharToMultiByte(CP_ACP, 0, pszText, -1, szLine + nCaption + 1, kMessageCapacity,
                                    NULL, NULL);
    if (nText == 0)
        return;
    szLine[nCaption + nText] = '\n';
    fwrite(szLine, 1, static_cast<size_t>(nCaption + nText + 1), stderr);
}

// Where nobody can answer a box, its caption and text go to the Application log as an error
// under the service's source, and to standard error.
void ReportWithoutBox(LPCWSTR pszServiceName, LPCWSTR pszText) {
    LPCWSTR lpszStrings[2] = {pszServiceName, pszText};
    UniqueEventSource hEventSource(RegisterEventSourceW(NULL, pszServiceName));
    if (hEventSource)
        ReportEventW(hEventSource.get(), EVENTLOG_ERROR_TYPE, 0, kEventMessageBox, NULL, 2, 0,
                     lpszStrings, NULL);
    WriteToStandardError(pszServiceName, pszText);
}

void ShowServiceMessage(UINT nID, LPCWSTR pszServiceName) {
    WCHAR szText[kMessageCapacity];
    if (LoadStringFromInstances(nID, szText, kMessageCapacity) == 0)
        CheckCrtError(wcsncpy_s(szText, kMessageCapacity, FallbackText(nID), _TRUNCATE));
    if (CanShowBox())
        MessageBoxW(NULL, szText, pszServiceName, MB_OK);
    else
        ReportWithoutBox(pszServiceName, szText);
}

SC_HANDLE OpenManager(DWORD dwAccess) {
    return OpenSCManagerW(NULL, NULL, dwAccess);
}

// True when the entry stands but waits for its service to stop before it goes: every
// configuration change, even one of nothing, fails so.
bool IsEntryMarkedForDelete(LPCWSTR pszServiceName) {
    UniqueScHandle hSCM(OpenManager(SC_MANAGER_ALL_ACCESS));
    if (!hSCM)
        return false;
    UniqueScHandle hService(OpenServiceW(hSCM.get(), pszServiceName, SERVICE_CHANGE_CONFIG));
    if (!hService)
        return false;
    return !ChangeServiceConfigW(hService.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                 SERVICE_NO_CHANGE, NULL, NULL, NULL, NULL, NULL, NULL, NULL) &&
           GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
}

// A removal may have met the service starting, when it accepts no stop: asked again, it stops
// once it runs. The handle is closed at once, since the entry goes only with its last handle.
void StopMarkedService(SC_HANDLE hSCM, LPCWSTR pszServiceName) {
    UniqueScHandle hService(OpenServiceW(hSCM, pszServiceName, SERVICE_STOP));
    SERVICE_STATUS status = {};
    if (hService)
        ControlService(hService.get(), SERVICE_CONTROL_STOP, &status);
}

// The id of the message that tells the failure, 0 once the entry is created, or kNoMessage
// when an entry marked for deletion was still there after the wait.
UINT CreateServiceEntry(LPCWSTR pszServiceName, LPCWSTR pszQuotedPath) {
    UniqueScHandle hSCM(OpenManager(SC_MANAGER_ALL_ACCESS));
    if (!hSCM)
        return IDS_SERVICE_MANAGER_OPEN_FAILED;
    for (int round = 0;; ++round) {
        UniqueScHandle hService(
            CreateServiceW(hSCM.get(), pszServiceName, pszServiceName, SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           pszQuotedPath, NULL, NULL, TEXT("RPCSS\0"), NULL, NULL));
        if (hService)
            return 0;
        if (GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
            return IDS_SERVICE_START_FAILED;
        if (round == kMarkedEntryRounds)
            return kNoMessage;
        StopMarkedService(hSCM.get(), pszServiceName);
        Sleep(kMarkedEntryPause);
    }
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
    // An entry that a removal just marked still opens, but it goes once its service has
    // stopped: it is waited for and made again rather than taken for the new one.
    if (IsServiceEntryInstalled(pszServiceName) && !IsEntryMarkedForDelete(pszServiceName))
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
    if (nMessage == kNoMessage) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
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
