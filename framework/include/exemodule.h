// The out-of-process server layer: the main thread, delayed shutdown and COM initialisation.
#pragma once

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

    DWORD m_mainThreadId;
    HANDLE m_shutdownEvent;
    DWORD m_shutdownTimeout;
    DWORD m_shutdownPause;
    bool m_delayShutdown;
    bool m_comInitialized;
};
