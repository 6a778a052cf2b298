#include "agent.h"

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
