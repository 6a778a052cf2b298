// The registration switches of the command line: "-" or "/" followed by a switch word, in any
// letter case. The whole line is scanned, program path included, and unknown words are
// skipped without complaint.
#pragma once

#include "core.h"
#include "exemodule.h"
#include "servicemodule.h"

#include <windows.h>

// The switch characters; either one starts a switch word.
extern const WCHAR szTokens[3];

// The position just after the first character of `p1` that belongs to the set `p2`, or NULL
// when none does.
LPCWSTR FindSwitchStart(LPCWSTR p1, LPCWSTR p2);

// 0 when the candidate holds the switch word, compared without regard to case and ended by
// the end of the text, a blank or a tab; otherwise -1 or 1, from the first characters that
// differ (in upper case, as unsigned 16-bit values). Anything else right after the word (a
// colon, an equals sign, a letter) makes it a different word.
int CompareSwitchWord(LPCWSTR pszCandidate, LPCWSTR pszWord);

// The index in `ppszWords` of the first switch of the line: switch starts are taken from
// left to right, and at each one the words in table order. -1 when the line holds none.
int FindFirstSwitch(LPCWSTR pszCommandLine, const LPCWSTR* ppszWords, int nWords);

// The server's switches; each stops at its first failure, whose result it leaves.
template <class T> bool CExeModuleT<T>::ParseServerSwitches(LPCWSTR lpCmdLine, HRESULT* pnRetCode) {
    // In the order they are tried at each switch start.
    enum { kUnregServer, kRegServer, kUnregServerPerUser, kRegServerPerUser, kWords };
    static const LPCWSTR s_words[kWords] = {TEXT("UnregServer"), TEXT("RegServer"),
                                            TEXT("UnregServerPerUser"), TEXT("RegServerPerUser")};
    *pnRetCode = S_OK;
    T* pT = static_cast<T*>(this);
    const int iSwitch = FindFirstSwitch(lpCmdLine, s_words, kWords);
    // The per-user switches send what the registrar and the type library write after them to
    // the current user's classes, and then do what the machine-wide ones do.
    if (iSwitch == kUnregServerPerUser || iSwitch == kRegServerPerUser) {
        *pnRetCode = SetPerUserRegistration(true);
        if (FAILED(*pnRetCode))
            return false;
    }
    switch (iSwitch) {
    case kUnregServer:
    case kUnregServerPerUser:
        *pnRetCode = pT->UnregisterComServer(TRUE);
        if (SUCCEEDED(*pnRetCode))
            *pnRetCode = pT->UnregisterAppIdEntry();
        return false;
    case kRegServer:
    case kRegServerPerUser:
        *pnRetCode = pT->ConfigureServiceEntry(false);
        if (SUCCEEDED(*pnRetCode))
            *pnRetCode = pT->RegisterComServer(TRUE);
        return false;
    default:
        return true;
    }
}

// Any server switch, wherever it stands, goes before "Service".
template <class T, UINT nServiceNameID>
bool CServiceModuleT<T, nServiceNameID>::ParseServiceSwitches(LPCWSTR lpCmdLine,
                                                              HRESULT* pnRetCode) {
    if (!this->ParseServerSwitches(lpCmdLine, pnRetCode))
        return false;
    *pnRetCode = S_OK;
    static const LPCWSTR s_words[] = {TEXT("Service")};
    if (FindFirstSwitch(lpCmdLine, s_words, 1) < 0)
        return true;
    T* pT = static_cast<T*>(this);
    *pnRetCode = pT->ConfigureServiceEntry(true);
    if (SUCCEEDED(*pnRetCode))
        *pnRetCode = pT->RegisterComServer(TRUE);
    return false;
}
