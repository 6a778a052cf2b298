#include "agent.h"

#include "eventids.h"
#include "handleowner.h"
#include "simplecoll.h"
#include "tollivarmodule.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlwapi.h>
#include <tchar.h>
#include <tlhelp32.h>

#include <cstring>

namespace {

// The launch path, widened: the path is plain ASCII, so each byte gives the same character.
const size_t kAgentPathLength = sizeof(AGENT_DIRECTORY) - 1 + sizeof(AGENT_FILE_NAME);
void BuildAgentPath(WCHAR (&str)[kAgentPathLength]) {
    // Folder and file name side by side; the file name brings the terminating zero.
    char filePath[kAgentPathLength];
    std::memcpy(filePath, g_agentDirectory, sizeof(g_agentDirectory) - 1);
    std::memcpy(filePath + sizeof(g_agentDirectory) - 1, AGENT_FILE_NAME, sizeof(AGENT_FILE_NAME));
    for (size_t i = 0; i < kAgentPathLength; ++i)
        str[i] = static_cast<unsigned char>(filePath[i]);
}

// Calls `step` with each folder below the drive root ("C:\pellard", "C:\pellard\bin"), and
// then, when `withFile`, with the agent file; stops at the first step that returns false.
template <class Step> bool ForEachAgentPart(bool withFile, Step step) {
    WCHAR str[kAgentPathLength];
    BuildAgentPath(str);
    // The drive root ("C:\") is the platform's to guard.
    for (size_t i = 3; str[i] != 0; ++i) {
        if (str[i] != '\\')
            continue;
        str[i] = 0;
        const bool more = step(static_cast<LPCWSTR>(str));
        str[i] = '\\';
        if (!more)
            return false;
    }
    return !withFile || step(static_cast<LPCWSTR>(str));
}

// Well-known SIDs in their SID layout, with the number of sub-authorities each has.
template <int N> struct KnownSid {
    BYTE Revision;
    BYTE SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    DWORD SubAuthority[N];
};
const KnownSid<1> kLocalSystem = {SID_REVISION, 1, {{0, 0, 0, 0, 0, 5}}, {18}};
const KnownSid<2> kAdministrators = {SID_REVISION, 2, {{0, 0, 0, 0, 0, 5}}, {32, 544}};
const KnownSid<6> kTrustedInstaller = {
    SID_REVISION,
    6,
    {{0, 0, 0, 0, 0, 5}},
    {80, 956008885, 3418522649u, 1831038044, 1853292631, 2271478464u}};

bool IsTrustedSid(PSID pSid) {
    return EqualSid(pSid, const_cast<KnownSid<1>*>(&kLocalSystem)) ||
           EqualSid(pSid, const_cast<KnownSid<2>*>(&kAdministrators)) ||
           EqualSid(pSid, const_cast<KnownSid<6>*>(&kTrustedInstaller));
}

// Any of these lets an account replace the file, put another file in the folder, or give
// itself that right.
const ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE |
                                  WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// The security of one part of the agent path; AGENT_TRUSTED also when the part does not exist.
AgentTrust CheckAgentPart(LPCWSTR pszPath, DWORD& dwError) {
    PSID pOwner = NULL;
    PACL pDacl = NULL;
    PSECURITY_DESCRIPTOR pSD = NULL;
    dwError = GetNamedSecurityInfoW(pszPath, SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &pOwner,
                                    NULL, &pDacl, NULL, &pSD);
    if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND)
        return AGENT_TRUSTED;
    if (dwError != ERROR_SUCCESS)
        return AGENT_UNREADABLE;
    const AgentTrust trust = JudgeAgentSecurity(pOwner, pDacl);
    LocalFree(pSD);
    return trust;
}

// The last warning written, so that a tick repeats none; empty when none stands.
WCHAR g_szAgentWarning[kAgentReasonCapacity];

} // namespace

AgentTrust JudgeAgentSecurity(PSID pOwner, PACL pDacl) {
    if (pDacl == NULL)
        return AGENT_NO_DACL;
    if (pOwner == NULL || !IsTrustedSid(pOwner))
        return AGENT_FOREIGN_OWNER;
    for (DWORD i = 0; i < pDacl->AceCount; ++i) {
        LPVOID pAce = NULL;
        if (!GetAce(pDacl, i, &pAce))
            return AGENT_UNREADABLE;
        const ACCESS_ALLOWED_ACE* pAllowed = static_cast<const ACCESS_ALLOWED_ACE*>(pAce);
        if (pAllowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
            (pAllowed->Header.AceFlags & INHERIT_ONLY_ACE))
            continue;
        if ((pAllowed->Mask & kChangeRights) &&
            !IsTrustedSid(const_cast<DWORD*>(&pAllowed->SidStart)))
            return AGENT_OTHERS_MAY_WRITE;
    }
    return AGENT_TRUSTED;
}

BOOL CheckAgentTrust(LPWSTR pszReason, int cchReason) {
    return ForEachAgentPart(true, [&](LPCWSTR pszPath) {
        DWORD dwError = ERROR_SUCCESS;
        LPCWSTR pszFormat = NULL;
        switch (CheckAgentPart(pszPath, dwError)) {
        case AGENT_TRUSTED:
            return true;
        case AGENT_NO_DACL:
            pszFormat = TEXT("%ls has no access control list");
            break;
        case AGENT_FOREIGN_OWNER:
            pszFormat = TEXT("%ls is owned by an account other than SYSTEM, Administrators or "
                             "TrustedInstaller");
            break;
        case AGENT_OTHERS_MAY_WRITE:
            pszFormat = TEXT("accounts other than SYSTEM, Administrators and TrustedInstaller "
                             "may change %ls");
            break;
        case AGENT_UNREADABLE:
            pszFormat = TEXT("the security of %ls cannot be read (error %u)");
            break;
        }
        _snwprintf_s(pszReason, cchReason, _TRUNCATE, pszFormat, pszPath, dwError);
        return false;
    });
}

void ReportAgentWarning(LPCWSTR pszReason) {
    if (pszReason == NULL) {
        g_szAgentWarning[0] = 0;
        return;
    }
    if (lstrcmpW(g_szAgentWarning, pszReason) == 0)
        return;
    lstrcpynW(g_szAgentWarning, pszReason, kAgentReasonCapacity);
    UniqueEventSource hEventSource(RegisterEventSourceW(NULL, g_module.m_serviceName));
    if (!hEventSource)
        return;
    WCHAR szLaunch[kAgentPathLength];
    BuildAgentPath(szLaunch);
    LPCWSTR lpszStrings[2] = {szLaunch, pszReason};
    ReportEventW(hEventSource.get(), EVENTLOG_WARNING_TYPE, 0, kEventUntrustedAgent, NULL, 2, 0,
                 lpszStrings, NULL);
}

void PrintAgentWarning(LPCWSTR pszReason) {
    WCHAR szLaunch[kAgentPathLength];
    BuildAgentPath(szLaunch);
    WCHAR szLine[kAgentPathLength + kAgentReasonCapacity + 32];
    _snwprintf_s(szLine, sizeof(szLine) / sizeof(szLine[0]), _TRUNCATE,
                 TEXT("The agent %ls is not launched: %ls"), szLaunch, pszReason);
    _putws(szLine);
}

void CreateAgentFolders() {
    PSECURITY_DESCRIPTOR pSD = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            TEXT("O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"), SDDL_REVISION_1,
            &pSD, NULL))
        return;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), pSD, FALSE};
    ForEachAgentPart(false, [&](LPCWSTR pszPath) {
        CreateDirectoryW(pszPath, &sa); // an existing folder is left as it is
        return true;
    });
    LocalFree(pSD);
}

BOOL StartAgent() {
    PROCESS_INFORMATION piAgent = {};
    STARTUPINFOW siAgent = {};
    siAgent.cb = sizeof(siAgent);

    WCHAR szReason[kAgentReasonCapacity];
    if (!CheckAgentTrust(szReason, kAgentReasonCapacity)) {
        ReportAgentWarning(szReason);
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    ReportAgentWarning(NULL);

    WCHAR str[kAgentPathLength];
    BuildAgentPath(str);
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
