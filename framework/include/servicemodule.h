// The service layer: the service name and status, and the process's main course.
#pragma once

#include "exemodule.h"

#include <windows.h>
#include <winsvc.h>
#include <tchar.h>

#include <cstdarg>

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

    // The process's main course: refuse to run on broken module records, act on the command
    // line, clean up, and return the exit code. The whole line is read, program path included:
    // switches are recognised wherever they stand. Registration switches and the server start
    // are not wired in yet, so a line without them ends here with S_OK.
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

    // The server's life on the calling thread: prepare, pump messages until WM_QUIT, clean up.
    HRESULT RunServer(int nShowCmd) {
        HRESULT hr = static_cast<T*>(this)->BeforeLoop(nShowCmd);
        if (hr == S_OK)
            PumpMessages();
        if (SUCCEEDED(hr))
            hr = AfterLoop();
        return hr;
    }

    // The framework's preparation: security (as a service), class objects in suspended form,
    // the shutdown monitor, then the class objects made live. The module class's SetUpSecurity
    // is required: a service must say what process security it wants.
    HRESULT BeforeLoop(int nShowCmd) {
        (void)nShowCmd;
        HRESULT hr = S_OK;
        if (m_runAsService) {
            hr = static_cast<T*>(this)->SetUpSecurity();
            if (FAILED(hr))
                return hr;
        }
        HRESULT hrRegister = this->RegisterAllClassObjects(CLSCTX_LOCAL_SERVER,
                                                           REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED);
        if (FAILED(hrRegister))
            return hrRegister;
        hr = hrRegister;
        if (hrRegister == S_OK) {
            if (this->m_delayShutdown) {
                HANDLE thread = this->StartShutdownMonitor();
                if (thread == NULL) {
                    hr = E_FAIL;
                } else {
                    hr = ResumeClassObjects();
                    if (FAILED(hr)) {
                        SetEvent(this->m_shutdownEvent);
                        WaitForSingleObject(thread, this->m_shutdownTimeout * 2);
                    }
                    CloseHandle(thread);
                }
            } else {
                hr = ResumeClassObjects();
            }
            if (FAILED(hr))
                this->RevokeAllClassObjects();
        } else {
            // Nothing registered: no client can hold the server, so nothing to wait for.
            this->m_delayShutdown = false;
        }
        if (FAILED(hr))
            REPORT_FAILED_CHECK("(((HRESULT)(hr)) >= 0)");
        return hr;
    }

    void PumpMessages() {
        MSG msg;
        while (GetMessageW(&msg, NULL, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }

    HRESULT AfterLoop() {
        HRESULT hr = this->RevokeAllClassObjects();
        if (this->m_delayShutdown)
            Sleep(this->m_shutdownPause);
        return hr;
    }

    // Writes one informational event under the service name, and to standard output when
    // not running as a service. Messages are cut to 255 characters.
    void LogServiceEvent(LPCWSTR pszFormat, ...) {
        WCHAR chMsg[256];
        chMsg[0] = 0;
        va_list args;
        va_start(args, pszFormat);
        _vsnwprintf_s(chMsg, 256, 255, pszFormat, args);
        va_end(args);
        chMsg[255] = 0;
        LPCWSTR lpszStrings[1] = {chMsg};

        if (!m_runAsService)
            _putws(chMsg);
        HANDLE hEventSource = RegisterEventSourceW(NULL, m_serviceName);
        if (hEventSource == NULL)
            return;
        ReportEventW(hEventSource, EVENTLOG_INFORMATION_TYPE, 0, 0, NULL, 1, 0, lpszStrings, NULL);
        DeregisterEventSource(hEventSource);
    }

private:
    // Reports the service running (once, from start-pending) and makes the class objects live.
    HRESULT ResumeClassObjects() {
        if (m_runAsService &&
            InterlockedCompareExchange(
                reinterpret_cast<LONG volatile*>(&m_serviceStatus.dwCurrentState), SERVICE_RUNNING,
                SERVICE_START_PENDING) == SERVICE_START_PENDING) {
            LogServiceEvent(TEXT("Service started/resumed"));
            SetServiceStatus(m_statusHandle, &m_serviceStatus);
        }
        HRESULT hr = CoResumeClassObjects();
        if (FAILED(hr))
            REPORT_FAILED_CHECK("(((HRESULT)(hr)) >= 0)");
        return hr;
    }

public:
    WCHAR m_serviceName[256];
    SERVICE_STATUS_HANDLE m_statusHandle;
    SERVICE_STATUS m_serviceStatus;
    BOOL m_runAsService;
    DWORD m_loopThreadId;
};
