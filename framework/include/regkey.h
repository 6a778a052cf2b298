// CRegKey: the owner of one open registry key.
//
// Every operation returns the Win32 code of the registry call (ERROR_SUCCESS is 0) and never
// throws. A failed open or create leaves the object exactly as it was: the key it held before
// stays held and usable. The object closes its key when it is destroyed.
#pragma once

#include <windows.h>

class CRegKey {
public:
    CRegKey() noexcept;
    ~CRegKey() noexcept;
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    // The held key, or NULL; ownership stays with the object.
    operator HKEY() const noexcept { return m_hKey; }

    // Opens (or creates) the sub-key of a non-null parent and holds it in place of the old
    // key, which is closed only once the new one is open. Returns the open's code on failure,
    // otherwise the code of closing the old key (the new key is held either way).
    LONG OpenKey(HKEY hKeyParent, LPCWSTR lpszKeyName, REGSAM samDesired) noexcept;
    LONG CreateKey(HKEY hKeyParent, LPCWSTR lpszKeyName, LPWSTR lpszClass, DWORD dwOptions,
                   REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecAttr,
                   LPDWORD lpdwDisposition) noexcept;
    // 0 when nothing was held.
    LONG CloseKey() noexcept;
    // Takes ownership of an open key; the object must hold none.
    void AttachHandle(HKEY hKey) noexcept;
    // Hands the held key (or NULL) over to the caller.
    HKEY DetachHandle() noexcept;

    // *pnChars is the buffer's capacity in characters on entry and, on success, the number
    // of characters read including the final NUL (0 for a value stored with no bytes). With
    // a null buffer it only asks for that number. On failure it is 0. Data that is not a
    // REG_SZ or REG_EXPAND_SZ, or not a NUL-ended text, gives ERROR_INVALID_DATA; a buffer
    // too small for the text and its NUL (an empty value needs one character) gives
    // ERROR_MORE_DATA.
    LONG ReadStringValue(LPCWSTR pszValueName, LPWSTR pszValue, ULONG* pnChars) noexcept;
    // Writes the text with its final NUL, as REG_SZ or REG_EXPAND_SZ.
    LONG WriteStringValue(LPCWSTR pszValueName, LPCWSTR pszValue, DWORD dwType = REG_SZ) noexcept;
    LONG WriteDwordValue(LPCWSTR pszValueName, DWORD dwValue) noexcept;
    // The texts are NUL-ended one after another, the list ended by an empty text.
    LONG WriteMultiStringValue(LPCWSTR pszValueName, LPCWSTR pszValue) noexcept;
    LONG RemoveValue(LPCWSTR lpszValue) noexcept;
    // Deletes a direct sub-key that has no sub-keys, in the registry view the held key was
    // opened in.
    LONG RemoveSubKey(LPCWSTR lpszSubKey) noexcept;
    // Deletes the sub-key with everything below it, children first; stops at the first
    // failure and leaves the rest in place.
    LONG RecurseDeleteKey(LPCWSTR lpszKey) noexcept;

    HKEY m_hKey;
    // KEY_WOW64_64KEY / KEY_WOW64_32KEY of the access the held key was opened or created
    // with; 0 when none is held or the key was attached.
    REGSAM m_viewFlags;
};
