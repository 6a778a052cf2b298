// tollivar's own registration steps: its AppID script, the service entry's settings and the
// event source that names the service's message file.
#include "tollivarmodule.h"

#include "agent.h"
#include "handleowner.h"

#include <tchar.h>
#include <winsvc.h>

namespace {

const int kDescriptionCapacity = 1024;

// The event log finds a source's message file under this key, followed by the source name.
const WCHAR kEventSourceParent[] =
    TEXT("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application");
const WCHAR kMessageFileName[] = TEXT("tollivarmsg.dll");
// Error, warning and information entries.
const DWORD kTypesSupported = 7;

// Starts automatically, ignores start errors, and says what it is for. The SCM result: an
// error of opening the manager or the service; the changes' own results do not count.
HRESULT SetAutomaticStart(LPCWSTR pszServiceName) {
    UniqueScHandle hSCM(OpenSCManagerW(NULL, NULL, SC_MANAGER_CREATE_SERVICE));
    if (!hSCM)
        return HResultFromLastError();
    UniqueScHandle hService(OpenServiceW(hSCM.get(), pszServiceName, SERVICE_CHANGE_CONFIG));
    if (!hService)
        return HResultFromLastError();
    ChangeServiceConfigW(hService.get(), SERVICE_NO_CHANGE, SERVICE_AUTO_START,
                         SERVICE_ERROR_IGNORE, NULL, NULL, NULL, NULL, NULL, NULL, pszServiceName);

    WCHAR szDescription[kDescriptionCapacity] = {};
    CheckCrtError(wcscpy_s(szDescription, kDescriptionCapacity, TEXT("pellard")));
    SERVICE_DESCRIPTIONW description = {};
    description.lpDescription = szDescription;
    ChangeServiceConfig2W(hService.get(), SERVICE_CONFIG_DESCRIPTION, &description);
    return S_OK;
}

// The full path of the message file beside the executable into `szPath`: S_OK when it is
// there, S_FALSE when it is not (also when its path would not fit), or the error of asking.
HRESULT FindMessageFile(WCHAR (&szPath)[MAX_PATH]) {
    DWORD cch = GetModuleFileNameW(NULL, szPath, MAX_PATH);
    if (cch == 0)
        return HResultFromLastError();
    if (cch >= MAX_PATH)
        return S_FALSE; // a cut path names no file
    DWORD cchFolder = cch;
    while (cchFolder > 0 && szPath[cchFolder - 1] != TEXT('\\'))
        --cchFolder;
    // Measured first: the secure copy treats a buffer too small as an invalid parameter.
    const DWORD cchName = sizeof kMessageFileName / sizeof kMessageFileName[0];
    if (cchFolder + cchName > MAX_PATH)
        return S_FALSE;
    CheckCrtError(wcscpy_s(szPath + cchFolder, MAX_PATH - cchFolder, kMessageFileName));
    DWORD dwAttributes = GetFileAttributesW(szPath);
    if (dwAttributes == INVALID_FILE_ATTRIBUTES) {
        DWORD dwError = GetLastError();
        if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND)
            return S_FALSE;
        return HResultFromWin32(static_cast<LONG>(dwError));
    }
    return (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) ? S_FALSE : S_OK;
}

// Removes the service's event source key; a key that is not there is no failure. Without a
// service name there is no source: the log's own key and its other sources stay untouched.
HRESULT RemoveEventSource(LPCWSTR pszServiceName) {
    if (*pszServiceName == 0)
        return S_OK;
    CRegKey parent;
    LONG lRes = parent.OpenKey(HKEY_LOCAL_MACHINE, kEventSourceParent, KEY_READ | KEY_WRITE);
    if (lRes == ERROR_SUCCESS)
        lRes = parent.RecurseDeleteKey(pszServiceName);
    return lRes == ERROR_FILE_NOT_FOUND ? S_OK : HResultFromWin32(lRes);
}

// Names the message file beside the executable as the event source's, so that the event log
// shows the entries' texts; without that file the source is removed instead. Nothing is
// changed when the file's presence cannot be told.
HRESULT WriteEventSource(LPCWSTR pszServiceName) {
    if (*pszServiceName == 0)
        return S_OK;
    WCHAR szMessageFile[MAX_PATH] = {};
    HRESULT hr = FindMessageFile(szMessageFile);
    if (hr != S_OK)
        return FAILED(hr) ? hr : RemoveEventSource(pszServiceName);
    CRegKey parent;
    LONG lRes = parent.CreateKey(HKEY_LOCAL_MACHINE, kEventSourceParent, NULL,
                                 REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, NULL, NULL);
    CRegKey source;
    if (lRes == ERROR_SUCCESS)
        lRes = source.CreateKey(parent, pszServiceName, NULL, REG_OPTION_NON_VOLATILE,
                                KEY_READ | KEY_WRITE, NULL, NULL);
    // Plain REG_SZ, as the installer package writes it: both routes leave the same value.
    if (lRes == ERROR_SUCCESS)
        lRes = source.WriteStringValue(TEXT("EventMessageFile"), szMessageFile);
    if (lRes == ERROR_SUCCESS)
        lRes = source.WriteDwordValue(TEXT("TypesSupported"), kTypesSupported);
    return HResultFromWin32(lRes);
}

// The first failure of a switch's steps is its result.
HRESULT FirstFailure(HRESULT hrEarlier, HRESULT hrLater) {
    return FAILED(hrEarlier) ? hrEarlier : hrLater;
}

} // namespace

HRESULT CtollivarModule::ApplyAppIdScript(BOOL bRegister) {
    const ReplacementEntry regMapEntries[] = {{OLESTR("APPID"), GetAppIdOle()}, {NULL, NULL}};
    return _pModule->UpdateRegistryFromScript(IDR_TOLLIVAR, bRegister, regMapEntries);
}

HRESULT CtollivarModule::ConfigureServiceEntry(bool bService) {
    HRESULT hr = RegisterAppIdEntry(bService);
    HRESULT hrScm = S_OK;
    if (bService && IsServiceInstalled())
        hrScm = SetAutomaticStart(m_serviceName);
    if (bService) {
        // The agent runs as LocalSystem: its folders are made safe now, and one that someone
        // else made unsafe is named, without failing the installation.
        CreateAgentFolders();
        WCHAR szReason[kAgentReasonCapacity];
        if (!CheckAgentTrust(szReason, kAgentReasonCapacity)) {
            PrintAgentWarning(szReason);
            ReportAgentWarning(szReason);
        }
    }
    HRESULT hrSource =
        bService ? WriteEventSource(m_serviceName) : RemoveEventSource(m_serviceName);
    return FirstFailure(FirstFailure(hr, hrScm), hrSource);
}

HRESULT CtollivarModule::UnregisterAppIdEntry() {
    HRESULT hr = CServiceModuleT::UnregisterAppIdEntry();
    return FirstFailure(hr, RemoveEventSource(m_serviceName));
}
