// The out-of-process server layer: the main thread, delayed shutdown and COM initialisation.
#pragma once

#include "classobjects.h"
#include "modulebase.h"

// A build-time configuration check; carries no data and no behaviour.
class CValidateModuleConfiguration {};

template <class T> class CExeModuleT : public CModuleT<T>, public CValidateModuleConfiguration {
public:
    CExeModuleT() {
        m_mainThreadId = GetCurrentThreadId();
        m_shutdownEvent = NULL;
        m_shutdownTimeout = 5000;
        m_shutdownPause = 1000;
        m_delayShutdown = true;
        m_comInitialized = false;
        g_comModule.RunObjectMainHooks(true);
    }

    ~CExeModuleT() override {
        g_comModule.RunObjectMainHooks(false);
        this->TerminateModule();
        g_comModule.TerminateComModule();
    }

    // The last client's release ends the server: through the shutdown monitor when delayed
    // shutdown is on, else by quitting the main thread's loop at once.
    LONG ReleaseServerLock() override {
        LONG count = CoReleaseServerProcess();
        if (count != 0)
            return count;
        if (m_delayShutdown)
            SetEvent(m_shutdownEvent);
        else
            PostThreadMessageW(m_mainThreadId, WM_QUIT, 0, 0);
        return 0;
    }

    HRESULT RegisterAllClassObjects(DWORD context, DWORD flags) {
        return ::RegisterAllClassObjects(&g_comModule, context, flags);
    }
    HRESULT RevokeAllClassObjects() { return ::RevokeAllClassObjects(&g_comModule); }

    // Registration (serverregistration.h) and the server's switches (commandline.h).
    HRESULT RegisterComServer(BOOL bRegTypeLib, const CLSID* pCLSID = NULL);
    HRESULT UnregisterComServer(BOOL bUnRegTypeLib, const CLSID* pCLSID = NULL);
    bool ParseServerSwitches(LPCWSTR lpCmdLine, HRESULT* pnRetCode);

    // Starts the thread that ends the main thread's loop once the shutdown event is signalled.
    // The caller owns the returned thread handle; NULL when either could not be created.
    HANDLE StartShutdownMonitor() {
        m_shutdownEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
        if (m_shutdownEvent == NULL)
            return NULL;
        DWORD dwThreadID;
        HANDLE thread = CreateThread(NULL, 0, MonitorThreadProc, this, 0, &dwThreadID);
        if (thread == NULL) {
            CloseHandle(m_shutdownEvent);
            m_shutdownEvent = NULL;
        }
        return thread;
    }

    // The monitor thread's exit code is S_OK, or the HRESULT of an exception that ended the
    // watch (then the loop is not quit); its event is closed either way.
    static DWORD WINAPI MonitorThreadProc(LPVOID pv) noexcept {
        CExeModuleT* module = static_cast<CExeModuleT*>(pv);
        try {
            module->WatchForShutdown();
            return S_OK;
        } catch (...) {
            HRESULT hr = HResultFromCaughtException(TEXT("MonitorThreadProc"));
            module->CloseShutdownEvent();
            return static_cast<DWORD>(hr);
        }
    }

    // One signal is enough: the monitor quits the main thread's loop and ends.
    void WatchForShutdown() {
        WaitForSingleObject(m_shutdownEvent, INFINITE);
        CloseShutdownEvent();
        PostThreadMessageW(m_mainThreadId, WM_QUIT, 0, 0);
    }

    void CloseShutdownEvent() {
        if (m_shutdownEvent == NULL)
            return;
        CloseHandle(m_shutdownEvent);
        m_shutdownEvent = NULL;
    }

    DWORD m_mainThreadId;
    HANDLE m_shutdownEvent;
    DWORD m_shutdownTimeout;
    DWORD m_shutdownPause;
    bool m_delayShutdown;
    bool m_comInitialized;
};
