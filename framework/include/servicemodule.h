// The service layer: the service name and status, and the process's main course.
#pragma once

#include "exemodule.h"

#include <windows.h>
#include <winsvc.h>

template <class T, UINT nServiceNameID> class CServiceModuleT : public CExeModuleT<T> {
public:
    CServiceModuleT() {
        m_serviceName[0] = 0;
        LoadStringW(g_baseModule.GetModuleInstance(), nServiceNameID, m_serviceName,
                    sizeof(m_serviceName) / sizeof(m_serviceName[0]));
        m_statusHandle = NULL;
        m_serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        m_serviceStatus.dwCurrentState = SERVICE_STOPPED;
        m_serviceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP;
        m_serviceStatus.dwWin32ExitCode = 0;
        m_serviceStatus.dwServiceSpecificExitCode = 0;
        m_serviceStatus.dwCheckPoint = 0;
        m_serviceStatus.dwWaitHint = 0;
        m_runAsService = TRUE;
        m_loopThreadId = 0;
    }

    // As a service the module counts its own locks; otherwise the server layer decides.
    LONG ReleaseServerLock() override {
        if (m_runAsService)
            return CModuleBase::ReleaseServerLock();
        return CExeModuleT<T>::ReleaseServerLock();
    }

    int ModuleMain(int nShowCmd) {
        (void)nShowCmd;
        if (CBaseModuleRecord::m_initFailed) {
            REPORT_FAILED_CHECK("0");
            return -1;
        }
        HRESULT hr = S_OK;
        LPWSTR commandLine = GetCommandLineW();
        (void)commandLine;
        WindowModuleCleanup(&g_windowModule, g_baseModule.GetModuleInstance());
        if (!m_runAsService && this->m_comInitialized)
            UninitCom();
        return hr;
    }

    HRESULT InitCom() { return CoInitializeEx(NULL, COINIT_MULTITHREADED); }
    void UninitCom() { CoUninitialize(); }

    WCHAR m_serviceName[256];
    SERVICE_STATUS_HANDLE m_statusHandle;
    SERVICE_STATUS m_serviceStatus;
    BOOL m_runAsService;
    DWORD m_loopThreadId;
};
