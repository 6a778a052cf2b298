#include "commandline.h"

const WCHAR szTokens[3] = {TEXT('-'), TEXT('/'), 0};

namespace {

bool EndsSwitchWord(WCHAR ch) {
    return ch == 0 || ch == TEXT(' ') || ch == TEXT('\t');
}

// The platform's upper case of one character, without touching any text around it.
WCHAR UpperCase(WCHAR ch) {
    return static_cast<WCHAR>(reinterpret_cast<UINT_PTR>(
        CharUpperW(reinterpret_cast<LPWSTR>(static_cast<UINT_PTR>(ch)))));
}

} // namespace

LPCWSTR FindSwitchStart(LPCWSTR p1, LPCWSTR p2) {
    for (; p1 != NULL && *p1 != 0; p1 = CharNextW(p1)) {
        for (LPCWSTR p = p2; *p != 0; p = CharNextW(p)) {
            if (*p1 == *p)
                return CharNextW(p1);
        }
    }
    return NULL;
}

int CompareSwitchWord(LPCWSTR pszCandidate, LPCWSTR pszWord) {
    WCHAR chCandidate = UpperCase(*pszCandidate);
    WCHAR chWord = UpperCase(*pszWord);
    while (!EndsSwitchWord(chCandidate) && chCandidate == chWord) {
        pszCandidate = CharNextW(pszCandidate);
        pszWord = CharNextW(pszWord);
        chCandidate = UpperCase(*pszCandidate);
        chWord = UpperCase(*pszWord);
    }
    if (EndsSwitchWord(chCandidate) && EndsSwitchWord(chWord))
        return 0;
    return chCandidate < chWord ? -1 : 1;
}

int FindFirstSwitch(LPCWSTR pszCommandLine, const LPCWSTR* ppszWords, int nWords) {
    for (LPCWSTR p = FindSwitchStart(pszCommandLine, szTokens); p != NULL;
         p = FindSwitchStart(p, szTokens)) {
        for (int i = 0; i < nWords; ++i) {
            if (CompareSwitchWord(p, ppszWords[i]) == 0)
                return i;
        }
    }
    return -1;
}
