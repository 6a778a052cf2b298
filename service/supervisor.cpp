// The hooks that bind agent supervision into the service's life, and the watchdog.
#include "agent.h"
#include "handleowner.h"
#include "tollivarmodule.h"

#include <shlwapi.h>
#include <tlhelp32.h>

namespace {

// The watchdog's period: an agent that dies is replaced within this time.
const UINT kWatchdogPeriod = 30000;
// At stop, how many times the agents are ended while some are still seen, and the pause
// between two times (ended processes take a moment to leave the process list).
const int kStopKillRounds = 3;
const DWORD kStopKillPause = 100;
// How long a stop waits for a tick that is launching an agent (5 s in all): a launch takes a
// moment, but a tick that never finishes must not hold the stop for ever.
const int kLaunchWaitRounds = 500;
const DWORD kLaunchWaitPause = 10;

// Agents running on the machine, or -1 when the process list cannot be read.
int CountAgents() {
    PROCESSENTRY32W lppe = {};
    lppe.dwSize = sizeof(lppe);
    UniqueSnapshot hSnapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!hSnapshot)
        return -1;
    int count = 0;
    for (BOOL more = Process32FirstW(hSnapshot.get(), &lppe); more;
         more = Process32NextW(hSnapshot.get(), &lppe)) {
        if (StrCmpW(lppe.szExeFile, TEXT(AGENT_FILE_NAME)) == 0)
            ++count;
    }
    return count;
}

bool IsSet(LONG volatile* flag) {
    return InterlockedCompareExchange(flag, 0, 0) != 0;
}

} // namespace

HRESULT CtollivarModule::BeforeLoop(int nShowCmd) {
    CServiceModuleT<CtollivarModule, IDS_SERVICENAME>::BeforeLoop(nShowCmd);
    CreateAgentFolders();
    KillAgents();
    StartAgent();
    ReportStatus(SERVICE_RUNNING);
    SetTimer(NULL, 1, kWatchdogPeriod, TimerProc);
    return S_OK;
}

void CtollivarModule::HandleStop() {
    ReportStatus(SERVICE_STOP_PENDING);
    // A tick that counted no agent may be launching one right now. From here on no tick
    // launches; one that already decided to is waited for, so its agent is ended below. One
    // that outlasts the wait ends its agent itself.
    InterlockedExchange(&m_stopRequested, 1);
    for (int round = 0; IsSet(&m_tickLaunching) && round < kLaunchWaitRounds; ++round)
        Sleep(kLaunchWaitPause);
    // One failed call (the snapshot, an open, a termination) must not leave an agent running
    // once the service has stopped: nothing would end it until the next start.
    for (int round = 1;; ++round) {
        const BOOL walked = KillAgents();
        if ((walked && CountAgents() == 0) || round == kStopKillRounds)
            break;
        Sleep(kStopKillPause);
    }
    CServiceModuleT<CtollivarModule, IDS_SERVICENAME>::HandleStop();
}

void CtollivarModule::Tick() {
    if (CountAgents() != 0)
        return;
    // Between the count and the flag a stop may begin: it is seen below, after the flag.
    InterlockedExchange(&m_tickLaunching, 1);
    if (!IsSet(&m_stopRequested)) {
        StartAgent();
        // A stop that gave up waiting for this launch has ended the agents already.
        if (IsSet(&m_stopRequested))
            KillAgents();
    }
    InterlockedExchange(&m_tickLaunching, 0);
}

void CALLBACK TimerProc(HWND, UINT, UINT_PTR, DWORD) noexcept {
    try {
        g_module.Tick();
    } catch (...) {
        InterlockedExchange(&g_module.m_tickLaunching, 0);
        FRAMEWORK_TRACE(traceException, 0, TEXT("Watchdog tick skipped after an exception\n"));
    }
}
