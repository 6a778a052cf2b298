// tollivar's module class: the framework's service module with the steps tollivar replaces.
#pragma once

#include "resource.h"
#include "servermodule.h"

#include <windows.h>

class CtollivarModule : public CServiceModuleT<CtollivarModule, IDS_SERVICENAME> {
public:
    static LPCOLESTR GetAppIdOle() { return OLESTR("{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}"); }
    static LPCTSTR GetAppIdText() { return TEXT("{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}"); }

    // The AppID registry script (resource IDR_TOLLIVAR) in the direction given, with the
    // AppID as its "APPID" replacement. Static: reached by the framework without an object.
    static HRESULT ApplyAppIdScript(BOOL bRegister);
    // The framework's AppID registration; then, as a service, the installed entry is made to
    // start automatically, ignore start errors and carry its description, and the agent's
    // folders are created (an untrusted one is reported on standard output and in the event
    // log). Only failures to open the manager or the service count from that second step, and
    // a failed AppID step still wins. Last, the event source follows the service entry: as a
    // service it names the message file beside the executable (removed when there is none),
    // otherwise it is removed; it is done whatever came before, and its failure counts only
    // when nothing before failed.
    HRESULT ConfigureServiceEntry(bool bService);
    // The framework's AppID unregistration, then the event source removed as above.
    HRESULT UnregisterAppIdEntry();

    // No process-wide security setup: COM's default security applies.
    HRESULT SetUpSecurity() { return S_OK; }

    // Before the loop: create the agent's missing folders, end stale agents, launch one,
    // report running, arm the watchdog.
    // Always S_OK, so the loop runs whatever the framework's step returned.
    HRESULT BeforeLoop(int nShowCmd);
    // A stop: every agent ended before the framework ends the loop.
    void HandleStop();
    // One watchdog tick: launches an agent when none runs, unless a stop has begun.
    void Tick();

    // Ends every process on the machine whose file name is the agent's; FALSE when the
    // process list could not be walked.
    BOOL KillAgents();

    // The two sides of the one window the loop and the stop share: a tick that decided to
    // launch, and a stop that is about to end the agents. Written by interlocked operations
    // only.
    LONG volatile m_stopRequested = 0;
    LONG volatile m_tickLaunching = 0;
};

// The watchdog timer's callback, on the loop thread. Nothing leaves it: an error skips the
// tick.
void CALLBACK TimerProc(HWND hWnd, UINT uMsg, UINT_PTR idEvent, DWORD dwTime) noexcept;

extern CtollivarModule g_module;
