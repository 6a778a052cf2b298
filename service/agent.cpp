#include "agent.h"

#include "tollivarmodule.h"

#include <shlwapi.h>
#include <tlhelp32.h>

#include <exception>
#include <vector>

BOOL StartAgent() {
    PROCESS_INFORMATION piAgent = {};
    STARTUPINFOW siAgent = {};
    siAgent.cb = sizeof(siAgent);

    std::string filePath = g_agentDirectory + AGENT_FILE_NAME;
    // The path is plain ASCII: widening each byte gives the same path.
    std::basic_string<WCHAR> str(filePath.begin(), filePath.end());

    if (!CreateProcessW(str.c_str(), NULL, NULL, NULL, FALSE,
                        CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | NORMAL_PRIORITY_CLASS, NULL,
                        NULL, &siAgent, &piAgent))
        return FALSE;
    // The service never waits on or signals the agent: drop both handles at once.
    CloseHandle(piAgent.hProcess);
    CloseHandle(piAgent.hThread);
    return TRUE;
}

BOOL CtollivarModule::KillAgents() {
    std::vector<HANDLE> vTerminateHandle;
    PROCESSENTRY32W lppe = {};
    lppe.dwSize = sizeof(lppe);

    HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (hSnapshot == INVALID_HANDLE_VALUE)
        return FALSE;

    try {
        for (BOOL more = Process32FirstW(hSnapshot, &lppe); more;
             more = Process32NextW(hSnapshot, &lppe)) {
            if (StrCmpW(lppe.szExeFile, TEXT(AGENT_FILE_NAME)) != 0)
                continue;
            // Room first, so a handle is never held outside the list.
            if (vTerminateHandle.size() == vTerminateHandle.capacity())
                vTerminateHandle.reserve(vTerminateHandle.size() * 2 + 4);
            if (HANDLE hProcess = OpenProcess(PROCESS_TERMINATE, FALSE, lppe.th32ProcessID))
                vTerminateHandle.push_back(hProcess);
        }
    } catch (const std::exception&) {
        CloseHandle(hSnapshot);
        for (HANDLE hProcess : vTerminateHandle)
            CloseHandle(hProcess);
        return FALSE;
    }
    CloseHandle(hSnapshot);

    // Only after the whole walk, newest discovery first.
    for (auto it = vTerminateHandle.rbegin(); it != vTerminateHandle.rend(); ++it) {
        TerminateProcess(*it, 0);
        CloseHandle(*it);
    }
    return TRUE;
}
