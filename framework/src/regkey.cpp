#include "regkey.h"

#include "errors.h"
#include "trace.h"

namespace {

constexpr REGSAM kViewFlags = KEY_WOW64_64KEY | KEY_WOW64_32KEY;

typedef LONG(WINAPI* RegDeleteKeyExFunction)(HKEY, LPCWSTR, REGSAM, DWORD);

// RegDeleteKeyExW is looked up once per process, not linked, so the program still starts
// where Advapi32 lacks it; whether it was found is remembered too. Registry work happens on
// the main thread only.
RegDeleteKeyExFunction g_pfnRegDeleteKeyEx = NULL;
bool g_regDeleteKeyExLookedUp = false;

RegDeleteKeyExFunction LookUpRegDeleteKeyEx() {
    if (!g_regDeleteKeyExLookedUp) {
        HMODULE hAdvapi32 = GetModuleHandleW(TEXT("Advapi32.dll"));
        if (hAdvapi32 != NULL) {
            FARPROC pfn = GetProcAddress(hAdvapi32, "RegDeleteKeyExW");
            g_pfnRegDeleteKeyEx =
                reinterpret_cast<RegDeleteKeyExFunction>(reinterpret_cast<void (*)()>(pfn));
        }
        g_regDeleteKeyExLookedUp = true;
    }
    return g_pfnRegDeleteKeyEx;
}

} // namespace

CRegKey::CRegKey() noexcept : m_hKey(NULL), m_viewFlags(0) {}

CRegKey::~CRegKey() noexcept {
    CloseKey();
}

LONG CRegKey::OpenKey(HKEY hKeyParent, LPCWSTR lpszKeyName, REGSAM samDesired) noexcept {
    CHECK_OR_REPORT(hKeyParent != 0);
    HKEY hKey = NULL;
    LONG lRes = RegOpenKeyExW(hKeyParent, lpszKeyName, 0, samDesired, &hKey);
    if (lRes != ERROR_SUCCESS)
        return lRes;
    lRes = CloseKey();
    m_hKey = hKey;
    m_viewFlags = samDesired & kViewFlags;
    return lRes;
}

LONG CRegKey::CreateKey(HKEY hKeyParent, LPCWSTR lpszKeyName, LPWSTR lpszClass, DWORD dwOptions,
                        REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecAttr,
                        LPDWORD lpdwDisposition) noexcept {
    CHECK_OR_REPORT(hKeyParent != 0);
    HKEY hKey = NULL;
    DWORD dwDisposition = 0;
    LONG lRes = RegCreateKeyExW(hKeyParent, lpszKeyName, 0, lpszClass, dwOptions, samDesired,
                                lpSecAttr, &hKey, &dwDisposition);
    if (lRes != ERROR_SUCCESS)
        return lRes;
    if (lpdwDisposition != NULL)
        *lpdwDisposition = dwDisposition;
    lRes = CloseKey();
    m_hKey = hKey;
    m_viewFlags = samDesired & kViewFlags;
    return lRes;
}

LONG CRegKey::CloseKey() noexcept {
    LONG lRes = ERROR_SUCCESS;
    if (m_hKey != NULL) {
        lRes = RegCloseKey(m_hKey);
        m_hKey = NULL;
    }
    m_viewFlags = 0;
    return lRes;
}

void CRegKey::AttachHandle(HKEY hKey) noexcept {
    CHECK_OR_REPORT(m_hKey == 0);
    m_hKey = hKey;
    m_viewFlags = 0;
}

HKEY CRegKey::DetachHandle() noexcept {
    HKEY hKey = m_hKey;
    m_hKey = NULL;
    m_viewFlags = 0;
    return hKey;
}

LONG CRegKey::ReadStringValue(LPCWSTR pszValueName, LPWSTR pszValue, ULONG* pnChars) noexcept {
    CHECK_OR_REPORT(m_hKey != 0);
    if (!CHECK_OR_REPORT(pnChars != NULL))
        return ERROR_INVALID_PARAMETER;
    const ULONG nCapacity = *pnChars;
    DWORD dwType = 0;
    DWORD nBytes = static_cast<DWORD>(nCapacity * sizeof(WCHAR));
    *pnChars = 0;
    LONG lRes = RegQueryValueExW(m_hKey, pszValueName, NULL, &dwType,
                                 reinterpret_cast<LPBYTE>(pszValue), &nBytes);
    if (lRes != ERROR_SUCCESS)
        return lRes;
    if (dwType != REG_SZ && dwType != REG_EXPAND_SZ)
        return ERROR_INVALID_DATA;
    if (pszValue != NULL) {
        if (nBytes == 0) {
            // An empty value still reads as a text: it needs room for its NUL.
            if (nCapacity == 0)
                return ERROR_MORE_DATA;
            pszValue[0] = 0;
        } else if (nBytes % sizeof(WCHAR) != 0 || pszValue[nBytes / sizeof(WCHAR) - 1] != 0) {
            return ERROR_INVALID_DATA;
        }
    }
    *pnChars = nBytes / sizeof(WCHAR);
    return ERROR_SUCCESS;
}

LONG CRegKey::WriteStringValue(LPCWSTR pszValueName, LPCWSTR pszValue, DWORD dwType) noexcept {
    CHECK_OR_REPORT(m_hKey != 0);
    if (pszValue == NULL)
        return ERROR_INVALID_DATA;
    // Any other type would store a plain text under a type whose readers expect other data.
    if (!CHECK_OR_REPORT(dwType == REG_SZ || dwType == REG_EXPAND_SZ))
        return ERROR_INVALID_PARAMETER;
    DWORD nBytes = static_cast<DWORD>((lstrlenW(pszValue) + 1) * sizeof(WCHAR));
    return RegSetValueExW(m_hKey, pszValueName, 0, dwType, reinterpret_cast<const BYTE*>(pszValue),
                          nBytes);
}

LONG CRegKey::WriteDwordValue(LPCWSTR pszValueName, DWORD dwValue) noexcept {
    CHECK_OR_REPORT(m_hKey != 0);
    return RegSetValueExW(m_hKey, pszValueName, 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&dwValue), sizeof(DWORD));
}

LONG CRegKey::WriteMultiStringValue(LPCWSTR pszValueName, LPCWSTR pszValue) noexcept {
    CHECK_OR_REPORT(m_hKey != 0);
    if (pszValue == NULL)
        return ERROR_INVALID_DATA;
    DWORD nBytes = 0;
    LPCWSTR pszText = pszValue;
    int nLength = 0;
    do {
        nLength = lstrlenW(pszText) + 1;
        nBytes += static_cast<DWORD>(nLength * sizeof(WCHAR));
        pszText += nLength;
    } while (nLength != 1);
    return RegSetValueExW(m_hKey, pszValueName, 0, REG_MULTI_SZ,
                          reinterpret_cast<const BYTE*>(pszValue), nBytes);
}

LONG CRegKey::RemoveValue(LPCWSTR lpszValue) noexcept {
    CHECK_OR_REPORT(m_hKey != 0);
    return RegDeleteValueW(m_hKey, lpszValue);
}

LONG CRegKey::RemoveSubKey(LPCWSTR lpszSubKey) noexcept {
    CHECK_OR_REPORT(m_hKey != 0);
    if (RegDeleteKeyExFunction pfnRegDeleteKeyEx = LookUpRegDeleteKeyEx())
        return pfnRegDeleteKeyEx(m_hKey, lpszSubKey, m_viewFlags, 0);
    return RegDeleteKeyW(m_hKey, lpszSubKey);
}

LONG CRegKey::RecurseDeleteKey(LPCWSTR lpszKey) noexcept {
    CRegKey key;
    LONG lRes = key.OpenKey(m_hKey, lpszKey, KEY_READ | KEY_WRITE | m_viewFlags);
    if (lRes != ERROR_SUCCESS) {
        if (lRes != ERROR_FILE_NOT_FOUND && lRes != ERROR_PATH_NOT_FOUND)
            FRAMEWORK_TRACE(
                traceCOM, 0,
                TEXT("CRegKey::RecurseDeleteKey : Failed to Open Key %ls(Error = %d)\n"), lpszKey,
                static_cast<int>(lRes));
        return lRes;
    }
    // Index 0 always names the next remaining child, since each is gone before the next call.
    FILETIME time;
    WCHAR szBuffer[256];
    DWORD dwSize = 256;
    while (RegEnumKeyExW(key.m_hKey, 0, szBuffer, &dwSize, NULL, NULL, NULL, &time) ==
           ERROR_SUCCESS) {
        lRes = key.RecurseDeleteKey(szBuffer);
        if (lRes != ERROR_SUCCESS)
            return lRes; // the opened key closes as `key` goes
        dwSize = 256;
    }
    key.CloseKey();
    return RemoveSubKey(lpszKey);
}
