#include "agent.h"

#include "simplecoll.h"
#include "tollivarmodule.h"

#include <shlwapi.h>
#include <tlhelp32.h>

#include <initializer_list>

BOOL StartAgent() {
    PROCESS_INFORMATION piAgent = {};
    STARTUPINFOW siAgent = {};
    siAgent.cb = sizeof(siAgent);

    // The path is plain ASCII: widening each byte gives the same path. Both parts are fixed
    // and far shorter than the buffer; the bound only keeps the copy inside it.
    WCHAR str[MAX_PATH];
    size_t n = 0;
    for (const char* part : {g_agentDirectory, AGENT_FILE_NAME})
        for (const char* p = part; *p != 0 && n + 1 < MAX_PATH; ++p)
            str[n++] = static_cast<unsigned char>(*p);
    str[n] = 0;

    if (!CreateProcessW(str, NULL, NULL, NULL, FALSE,
                        CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | NORMAL_PRIORITY_CLASS, NULL,
                        NULL, &siAgent, &piAgent))
        return FALSE;
    // The service never waits on or signals the agent: drop both handles at once.
    CloseHandle(piAgent.hProcess);
    CloseHandle(piAgent.hThread);
    return TRUE;
}

BOOL CtollivarModule::KillAgents() {
    CSimpleArray<HANDLE> vTerminateHandle;
    PROCESSENTRY32W lppe = {};
    lppe.dwSize = sizeof(lppe);

    HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (hSnapshot == INVALID_HANDLE_VALUE)
        return FALSE;

    bool bComplete = true;
    for (BOOL more = Process32FirstW(hSnapshot, &lppe); more;
         more = Process32NextW(hSnapshot, &lppe)) {
        if (StrCmpW(lppe.szExeFile, TEXT(AGENT_FILE_NAME)) != 0)
            continue;
        HANDLE hProcess = OpenProcess(PROCESS_TERMINATE, FALSE, lppe.th32ProcessID);
        if (hProcess == NULL)
            continue;
        // A list that cannot grow ends the walk, and nothing is ended.
        if (!vTerminateHandle.Add(hProcess)) {
            CloseHandle(hProcess);
            bComplete = false;
            break;
        }
    }
    CloseHandle(hSnapshot);

    // Only after the whole walk, newest discovery first.
    for (int i = vTerminateHandle.GetSize(); i-- > 0;) {
        if (bComplete)
            TerminateProcess(vTerminateHandle[i], 0);
        CloseHandle(vTerminateHandle[i]);
    }
    return bComplete ? TRUE : FALSE;
}
