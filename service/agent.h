// Launching the agent. Agents are recognised by file name alone; no handle or id is kept.
// The service runs the agent as itself (LocalSystem), so it launches only an agent that no
// other account can have put or changed there.
#pragma once

#include <windows.h>

// The agent's folder, with its trailing backslash. Fixed at build time.
#define AGENT_DIRECTORY "C:\\pellard\\bin\\"
extern const char g_agentDirectory[sizeof(AGENT_DIRECTORY)];

// The agent's file name, as launched and as compared with process entries.
#define AGENT_FILE_NAME "pellard.exe"

// Launches one agent without arguments or window; TRUE when the process was created. An agent
// that fails the trust check is not launched: the warning event says why, once per reason.
BOOL StartAgent();

// What the security of the agent file or of a folder above it says about who may change it.
enum AgentTrust {
    AGENT_TRUSTED,
    AGENT_NO_DACL,       // no access control list: anyone may do anything
    AGENT_FOREIGN_OWNER, // owned by an account other than SYSTEM, Administrators, TrustedInstaller
    AGENT_OTHERS_MAY_WRITE, // an entry lets another account write, delete or re-permission it
    AGENT_UNREADABLE,       // its security could not be read
};

// The rule on plain data: the owner and the DACL (NULL: none) of one file or folder. Entries
// that only pass to children (inherit-only) and deny entries do not count.
AgentTrust JudgeAgentSecurity(PSID pOwner, PACL pDacl);

// Room for one reason of CheckAgentTrust.
const int kAgentReasonCapacity = 256;
// Checks every folder between the drive root and the agent, then the agent file. FALSE with
// the reason in pszReason ("C:\pellard has no access control list") when one is not trusted;
// TRUE when all are, or when one does not exist (there is then nothing to launch: the launch
// itself fails).
BOOL CheckAgentTrust(LPWSTR pszReason, int cchReason);

// Writes the warning event for `pszReason` (kEventUntrustedAgent, with the launch path and the
// reason as its strings) unless it is the one written last; NULL forgets the last one, so that
// the next problem is reported again. Loop thread only.
void ReportAgentWarning(LPCWSTR pszReason);
// Writes "The agent <launch path> is not launched: <reason>" to standard output.
void PrintAgentWarning(LPCWSTR pszReason);

// Creates the missing folders of the agent path, owned by Administrators, full control for
// SYSTEM and Administrators, read and execute for Users, nothing inherited from the drive. A
// folder that exists is left as it is.
void CreateAgentFolders();
