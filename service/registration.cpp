// tollivar's own registration steps: its AppID script and the service entry's settings.
#include "tollivarmodule.h"

#include "agent.h"
#include "handleowner.h"

#include <tchar.h>
#include <winsvc.h>

namespace {

const int kDescriptionCapacity = 1024;

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
            _putws(szReason);
            ReportAgentWarning(szReason);
        }
    }
    return FAILED(hr) ? hr : hrScm;
}
