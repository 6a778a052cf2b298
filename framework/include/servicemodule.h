// The service layer: the service name and status, and the process's main course.
//
// The module contract. A module class T derives from CServiceModuleT<T, nServiceNameID> and the
// framework reaches these steps through T (static dispatch), so T's own version wins; one that
// replaces a step with a framework version calls that version explicitly where it needs it.
//
// Steps T must supply (no framework version; each is checked when T's module is built):
//   static HRESULT ApplyAppIdScript(BOOL bRegister)   the AppID registry script, either way
//   HRESULT SetUpSecurity()            the process-wide COM security step, as a service
//
// Steps with a framework version T may replace:
//   static LPCOLESTR GetAppIdOle(), static LPCTSTR GetAppIdText()
//                                                     the AppID (CModuleT's NULL pair stands for
//                                                     a module without one; a service names its
//                                                     own)
//   HRESULT BeforeLoop(int nShowCmd)                  the preparation before the message loop
//   void HandleStop(), HandlePause(), HandleContinue(), HandleInterrogate(), HandleShutdown(),
//        HandleUnknownControl(DWORD dwOpcode)        the controls, from Handler
//   HRESULT ConfigureServiceEntry(bool bService)      the registration switches' AppID step
//   HRESULT RegisterAppIdEntry(bool bService), UnregisterAppIdEntry()
//   HRESULT RegisterComServer(BOOL, const CLSID*), UnregisterComServer(BOOL, const CLSID*)
//                                                     (CExeModuleT, serverregistration.h)
//   bool ParseServiceSwitches(LPCWSTR, HRESULT*)      the command line (commandline.h)
//   int StartModule(int nShowCmd), void ServiceMain(DWORD, LPWSTR*), void Handler(DWORD),
//   void ReportStatus(DWORD dwState)                  the courses and the status report
#pragma once

#include "eventids.h"
#include "exemodule.h"
#include "handleowner.h"
#include "regkey.h"
#include "trace.h"

#include <windows.h>
#include <winsvc.h>
#include <tchar.h>

#include <cstdarg>
#include <new>
#include <type_traits>
#include <utility>

// Detection of the steps a module class must supply, for the checks in CServiceModuleT.
namespace module_contract {
template <class T, class = void> struct HasSetUpSecurity : std::false_type {};
template <class T>
struct HasSetUpSecurity<T, std::void_t<decltype(std::declval<T&>().SetUpSecurity())>>
    : std::is_same<decltype(std::declval<T&>().SetUpSecurity()), HRESULT> {};

template <class T, class = void> struct HasApplyAppIdScript : std::false_type {};
template <class T>
struct HasApplyAppIdScript<T, std::void_t<decltype(T::ApplyAppIdScript(TRUE))>>
    : std::is_same<decltype(T::ApplyAppIdScript(TRUE)), HRESULT> {};
} // namespace module_contract

template <class T, UINT nServiceNameID> class CServiceModuleT : public CExeModuleT<T> {
public:
    CServiceModuleT() {
        // T is complete here, where its module is built: the contract's required steps.
        static_assert(module_contract::HasApplyAppIdScript<T>::value,
                      "the module class must supply static HRESULT ApplyAppIdScript(BOOL)");
        static_assert(module_contract::HasSetUpSecurity<T>::value,
                      "the module class must supply HRESULT SetUpSecurity()");
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
    // switches are recognised wherever they stand. After a registration switch the process
    // does not run; its result is the exit code.
    int ModuleMain(int nShowCmd) {
        if (CBaseModuleRecord::m_initFailed) {
            REPORT_FAILED_CHECK("0");
            return -1;
        }
        HRESULT hr = S_OK;
        LPCWSTR lpCmdLine = GetCommandLineW();
        if (static_cast<T*>(this)->ParseServiceSwitches(lpCmdLine, &hr))
            hr = static_cast<T*>(this)->StartModule(nShowCmd);
        WindowModuleCleanup(&g_windowModule, g_baseModule.GetModuleInstance());
        if (!m_runAsService && this->m_comInitialized)
            UninitCom();
        return hr;
    }

    // The command line's switches (commandline.h): the server's four, then "Service". True
    // when the line holds none and the server is to start.
    bool ParseServiceSwitches(LPCWSTR lpCmdLine, HRESULT* pnRetCode);

    // The service entry and the AppID, on the registration switches (serviceinstall.h,
    // serverregistration.h). The module class may replace ConfigureServiceEntry, the step the
    // switches call; the framework's registers the AppID entry and nothing else.
    HRESULT ConfigureServiceEntry(bool bService) {
        return static_cast<T*>(this)->RegisterAppIdEntry(bService);
    }
    HRESULT RegisterAppIdEntry(bool bService);
    HRESULT UnregisterAppIdEntry();
    BOOL IsServiceInstalled();
    BOOL InstallService();
    BOOL RemoveService();

    // Chooses the course from the AppID key: with a readable "LocalService" value the main
    // thread goes to the service control manager, without it the server runs here. Returns
    // the exit code: the registry or dispatcher error, else the run's result.
    int StartModule(int nShowCmd) {
        LONG lRes = ReadServiceMark();
        if (lRes != ERROR_SUCCESS) {
            m_serviceStatus.dwWin32ExitCode = static_cast<DWORD>(lRes);
            return lRes;
        }
        if (m_runAsService) {
            SERVICE_TABLE_ENTRYW st[] = {{m_serviceName, StaticServiceMain}, {NULL, NULL}};
            if (!StartServiceCtrlDispatcherW(st))
                m_serviceStatus.dwWin32ExitCode = GetLastError();
            return static_cast<int>(m_serviceStatus.dwWin32ExitCode);
        }
        HRESULT hr = StartCom();
        if (FAILED(hr))
            return hr;
        m_serviceStatus.dwWin32ExitCode = static_cast<DWORD>(RunServer(nShowCmd));
        return static_cast<int>(m_serviceStatus.dwWin32ExitCode);
    }

    // Called by the dispatcher on the thread it creates for the service. Nothing may leave
    // it: an error ends the service with the error's code.
    static void WINAPI StaticServiceMain(DWORD dwArgc, LPWSTR* lpszArgv) noexcept {
        T* pT = static_cast<T*>(_pModule);
        try {
            pT->ServiceMain(dwArgc, lpszArgv);
        } catch (...) {
            HRESULT hr = CurrentExceptionCode();
            FRAMEWORK_TRACE(traceException, 0, TEXT("Service ended by an exception: 0x%08X\n"),
                            static_cast<unsigned>(hr));
            pT->m_serviceStatus.dwWin32ExitCode = static_cast<DWORD>(hr);
            if (pT->m_statusHandle != NULL)
                pT->ReportStatus(SERVICE_STOPPED);
        }
    }

    // Called by the dispatcher for each control; an error leaves the control without effect.
    static void WINAPI StaticHandler(DWORD dwOpcode) noexcept {
        try {
            static_cast<T*>(_pModule)->Handler(dwOpcode);
        } catch (...) {
            FRAMEWORK_TRACE(traceException, 0, TEXT("Control %u ended by an exception: 0x%08X\n"),
                            static_cast<unsigned>(dwOpcode),
                            static_cast<unsigned>(CurrentExceptionCode()));
        }
    }

    // The service's whole life, on the dispatcher's thread.
    void ServiceMain(DWORD dwArgc, LPWSTR* lpszArgv) {
        (void)dwArgc;
        (void)lpszArgv;
        // By default the platform swallows an exception in a timer callback and the loop goes
        // on with the tick half done; it is to end the process where it can be seen instead.
        // Older systems know no such setting, and nothing changes there.
        BOOL fFalse = FALSE;
        SetUserObjectInformationW(GetCurrentProcess(), UOI_TIMERPROC_EXCEPTION_SUPPRESSION, &fFalse,
                                  sizeof(fFalse));
        m_serviceStatus.dwCurrentState = SERVICE_START_PENDING;
        m_loopThreadId = GetCurrentThreadId();
        // A thread gets its message queue only when it first asks for messages. The stop may
        // post WM_QUIT here as soon as SERVICE_RUNNING is reported, before the loop's first
        // call; a post to a thread without a queue is lost and the service would never stop.
        MSG msg;
        PeekMessageW(&msg, NULL, 0, 0, PM_NOREMOVE);

        m_statusHandle = RegisterServiceCtrlHandlerW(m_serviceName, StaticHandler);
        if (m_statusHandle == NULL) {
            LogServiceEvent(TEXT("Handler not installed"));
            return;
        }
        ReportStatus(SERVICE_START_PENDING);
        m_serviceStatus.dwWin32ExitCode = 0;
        m_serviceStatus.dwCheckPoint = 0;
        m_serviceStatus.dwWaitHint = 0;

        HRESULT hr = StartCom();
        if (FAILED(hr)) {
            // Stopped with the reason, rather than start-pending until the manager gives up.
            m_serviceStatus.dwWin32ExitCode = static_cast<DWORD>(hr);
            ReportStatus(SERVICE_STOPPED);
            return;
        }
        // A service never waits for clients after its loop.
        this->m_delayShutdown = false;
        m_serviceStatus.dwWin32ExitCode = static_cast<DWORD>(RunServer(SW_HIDE));
        if (m_runAsService && this->m_comInitialized)
            UninitCom();
        // Logged first: once SERVICE_STOPPED is reported the process may end at any moment.
        LogServiceEvent(TEXT("Service stopped"));
        ReportStatus(SERVICE_STOPPED);
    }

    void Handler(DWORD dwOpcode) {
        T* pT = static_cast<T*>(this);
        switch (dwOpcode) {
        case SERVICE_CONTROL_STOP:
            pT->HandleStop();
            break;
        case SERVICE_CONTROL_PAUSE:
            pT->HandlePause();
            break;
        case SERVICE_CONTROL_CONTINUE:
            pT->HandleContinue();
            break;
        case SERVICE_CONTROL_INTERROGATE:
            pT->HandleInterrogate();
            break;
        case SERVICE_CONTROL_SHUTDOWN:
            pT->HandleShutdown();
            break;
        default:
            pT->HandleUnknownControl(dwOpcode);
            break;
        }
    }

    // The quit message is what ends the loop: a post that fails (a full queue) would leave the
    // service STOP_PENDING for ever, so it is tried again for a while (5 s in all).
    static constexpr int kQuitPostAttempts = 50;
    static constexpr DWORD kQuitPostPause = 100;
    void HandleStop() {
        ReportStatus(SERVICE_STOP_PENDING);
        for (int attempt = 1;
             !PostThreadMessageW(m_loopThreadId, WM_QUIT, 0, 0) && attempt < kQuitPostAttempts;
             ++attempt)
            Sleep(kQuitPostPause);
    }
    void HandlePause() {}
    void HandleContinue() {}
    void HandleInterrogate() {}
    void HandleShutdown() {}
    void HandleUnknownControl(DWORD dwOpcode) {
        (void)dwOpcode;
        LogServiceEvent(TEXT("Bad service request"));
    }

    // The state changes atomically: the control handler's thread and the service thread both
    // report. Check point and wait hint are left as they are.
    void ReportStatus(DWORD dwState) {
        InterlockedExchange(reinterpret_cast<LONG volatile*>(&m_serviceStatus.dwCurrentState),
                            static_cast<LONG>(dwState));
        SetServiceStatus(m_statusHandle, &m_serviceStatus);
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
                UniqueHandle thread(this->StartShutdownMonitor());
                if (!thread) {
                    hr = E_FAIL;
                } else {
                    hr = ResumeClassObjects();
                    if (FAILED(hr)) {
                        SetEvent(this->m_shutdownEvent);
                        WaitForSingleObject(thread.get(), this->m_shutdownTimeout * 2);
                    }
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
        UniqueEventSource hEventSource(RegisterEventSourceW(NULL, m_serviceName));
        if (!hEventSource)
            return;
        ReportEventW(hEventSource.get(), EVENTLOG_INFORMATION_TYPE, 0, kEventText, NULL, 1, 0,
                     lpszStrings, NULL);
    }

private:
    // Sets m_runAsService from the AppID key's "LocalService" value; the keys are closed
    // before the server runs. ERROR_SUCCESS, or the error of opening a key.
    LONG ReadServiceMark() {
        CRegKey keyAppID;
        LONG lRes = keyAppID.OpenKey(HKEY_CLASSES_ROOT, TEXT("AppID"), KEY_READ);
        if (lRes != ERROR_SUCCESS)
            return lRes;
        CRegKey key;
        lRes = key.OpenKey(keyAppID, T::GetAppIdText(), KEY_READ);
        if (lRes != ERROR_SUCCESS)
            return lRes;
        WCHAR szValue[MAX_PATH];
        ULONG nChars = MAX_PATH;
        m_runAsService =
            key.ReadStringValue(TEXT("LocalService"), szValue, &nChars) == ERROR_SUCCESS ? TRUE
                                                                                         : FALSE;
        return ERROR_SUCCESS;
    }

    // COM in the multithreaded apartment. A runtime that already set another apartment on
    // this thread ("Mscoree.dll" loaded) is accepted, and COM is then not this module's to
    // uninitialise. S_OK to go on, else the failure.
    HRESULT StartCom() {
        HRESULT hr = InitCom();
        if (SUCCEEDED(hr)) {
            this->m_comInitialized = true;
            return S_OK;
        }
        if (hr == RPC_E_CHANGED_MODE && GetModuleHandleW(TEXT("Mscoree.dll")) != NULL)
            return S_OK;
        return hr;
    }

    // The code an escaping exception stands for; called inside a catch block.
    static HRESULT CurrentExceptionCode() noexcept {
        try {
            throw;
        } catch (const CHResultException& e) {
            return e.m_errorCode;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_UNEXPECTED;
        }
    }

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
