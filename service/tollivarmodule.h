// tollivar's module class: the framework's service module with the steps tollivar replaces.
#pragma once

#include "resource.h"
#include "servermodule.h"

#include <windows.h>

class CtollivarModule : public CServiceModuleT<CtollivarModule, IDS_SERVICENAME> {
public:
    static LPCOLESTR GetAppIdOle() { return OLESTR("{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}"); }
    static LPCTSTR GetAppIdText() { return TEXT("{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}"); }

    // No process-wide security setup: COM's default security applies.
    HRESULT SetUpSecurity() { return S_OK; }

    // Ends every process on the machine whose file name is the agent's; FALSE when the
    // process list could not be walked.
    BOOL KillAgents();
};

extern CtollivarModule g_module;
