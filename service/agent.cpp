#include "agent.h"

#include "handleowner.h"
#include "simplecoll.h"
#include "tollivarmodule.h"

#include <shlwapi.h>
#include <tlhelp32.h>

#include <cstring>

BOOL StartAgent() {
    PROCESS_INFORMATION piAgent = {};
    STARTUPINFOW siAgent = {};
    siAgent.cb = sizeof(siAgent);

    // Folder and file name side by side; the file name brings the terminating zero.
    char filePath[sizeof(g_agentDirectory) - 1 + sizeof(AGENT_FILE_NAME)];
    std::memcpy(filePath, g_agentDirectory, sizeof(g_agentDirectory) - 1);
    std::memcpy(filePath + sizeof(g_agentDirectory) - 1, AGENT_FILE_NAME, sizeof(AGENT_FILE_NAME));
    // The path is plain ASCII: widening each byte gives the same path.
    WCHAR str[sizeof(filePath)];
    for (size_t i = 0; i < sizeof(filePath); ++i)
        str[i] = static_cast<unsigned char>(filePath[i]);

    if (!CreateProcessW(str, NULL, NULL, NULL, FALSE,
                        CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | NORMAL_PRIORITY_CLASS, NULL,
                        NULL, &siAgent, &piAgent))
        return FALSE;
    // The service never waits on or signals the agent: both handles go at once, the process's
    // first (owners close in the reverse order of their declaration).
    UniqueHandle hThread(piAgent.hThread);
    UniqueHandle hProcess(piAgent.hProcess);
    return TRUE;
}

BOOL CtollivarModule::KillAgents() {
    CSimpleArray<HANDLE> vTerminateHandle;
    PROCESSENTRY32W lppe = {};
    lppe.dwSize = sizeof(lppe);

    UniqueSnapshot hSnapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!hSnapshot)
        return FALSE;

    for (BOOL more = Process32FirstW(hSnapshot.get(), &lppe); more;
         more = Process32NextW(hSnapshot.get(), &lppe)) {
        if (StrCmpW(lppe.szExeFile, TEXT(AGENT_FILE_NAME)) != 0)
            continue;
        UniqueHandle hProcess(OpenProcess(PROCESS_TERMINATE, FALSE, lppe.th32ProcessID));
        if (!hProcess)
            continue;
        if (vTerminateHandle.Add(hProcess.get())) {
            hProcess.release(); // the list holds it now
            continue;
        }
        // The list cannot grow: end nothing, keep no handle.
        hProcess.reset();
        hSnapshot.reset();
        for (int i = 0; i < vTerminateHandle.GetSize(); ++i)
            CloseHandle(vTerminateHandle[i]);
        return FALSE;
    }
    hSnapshot.reset();

    // Only after the whole walk, newest discovery first.
    for (int i = vTerminateHandle.GetSize() - 1; i >= 0; --i) {
        TerminateProcess(vTerminateHandle[i], 0);
        CloseHandle(vTerminateHandle[i]);
    }
    return TRUE;
}
