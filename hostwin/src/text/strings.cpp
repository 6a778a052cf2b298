// UTF-16 strings: conversions, comparisons and case.
#include "base/core.h"

#include <hostwin/text.h>

#include <shlwapi.h>
#include <tchar.h>

#include <algorithm>
#include <cstring>

namespace hostwin {

namespace {

struct CharRange {
    WCHAR low;
    WCHAR high;
};
const CharRange kCombiningMarks[] = {
#include "text/combiningmarks.inc"
};

bool IsCombiningMark(WCHAR c) {
    const CharRange* end = kCombiningMarks + sizeof kCombiningMarks / sizeof kCombiningMarks[0];
    const CharRange* range = std::upper_bound(
        kCombiningMarks, end, c, [](WCHAR value, const CharRange& r) { return value < r.low; });
    return range != kCombiningMarks && c <= range[-1].high;
}

} // namespace

} // namespace hostwin

using namespace hostwin;

extern "C" {

int WINAPI lstrlenW(LPCWSTR lpString) {
    if (lpString == NULL)
        return 0;
    int length = 0;
    while (lpString[length])
        ++length;
    return length;
}

int WINAPI lstrcmpW(LPCWSTR a, LPCWSTR b) {
    a = a ? a : u"";
    b = b ? b : u"";
    for (; *a == *b; ++a, ++b)
        if (*a == 0)
            return 0;
    return *a < *b ? -1 : 1;
}
int WINAPI lstrcmpiW(LPCWSTR a, LPCWSTR b) {
    return CompareFolded(a, b);
}
int WINAPI StrCmpW(LPCWSTR a, LPCWSTR b) {
    return lstrcmpW(a, b);
}
int WINAPI StrCmpIW(LPCWSTR a, LPCWSTR b) {
    return CompareFolded(a, b);
}

LPWSTR WINAPI lstrcpynW(LPWSTR dest, LPCWSTR src, int iMaxLength) {
    if (dest == NULL || iMaxLength <= 0)
        return dest;
    int i = 0;
    for (; i < iMaxLength - 1 && src && src[i]; ++i)
        dest[i] = src[i];
    dest[i] = 0;
    return dest;
}

LPWSTR WINAPI CharNextW(LPCWSTR lpsz) {
    // One character as a reader sees it: a unit with the combining marks that follow it
    // (a + U+030A is one character). Surrogate halves step one unit each.
    if (*lpsz == 0)
        return const_cast<LPWSTR>(lpsz);
    ++lpsz;
    while (*lpsz != 0 && IsCombiningMark(*lpsz))
        ++lpsz;
    return const_cast<LPWSTR>(lpsz);
}

LPWSTR WINAPI CharUpperW(LPWSTR lpsz) {
    // A pointer value below 0x10000 is one character to convert, returned the same way.
    if (IS_INTRESOURCE(lpsz))
        return reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(FoldChar(LOWORD(lpsz))));
    for (LPWSTR p = lpsz; *p; ++p)
        *p = FoldChar(*p);
    return lpsz;
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    HOSTWIN_FAULT_POINT(0);
    // The host's ANSI code page is UTF-8.
    if (CodePage != CP_ACP && CodePage != CP_THREAD_ACP && CodePage != CP_UTF8)
        return NotSupported(__func__, "code page other than CP_ACP/CP_THREAD_ACP/CP_UTF8", 0);
    if (dwFlags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS))
        return NotSupported(__func__, "flags", 0);
    if (lpMultiByteStr == NULL || cbMultiByte == 0 || cchWideChar < 0)
        return FailWith(ERROR_INVALID_PARAMETER, 0);
    size_t length =
        cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    const std::string narrow(lpMultiByteStr, length);
    // Only an explicit UTF-8 request without MB_ERR_INVALID_CHARS replaces invalid bytes, as
    // Windows does; the ANSI code pages refuse them rather than guess.
    std::optional<std::u16string> strict = Utf8ToUtf16(narrow);
    if (!strict && (CodePage != CP_UTF8 || (dwFlags & MB_ERR_INVALID_CHARS)))
        return FailWith(ERROR_NO_UNICODE_TRANSLATION, 0);
    const std::u16string wide = strict ? *strict : FromUtf8(narrow);
    if (cchWideChar == 0)
        return static_cast<int>(wide.size());
    if (wide.size() > static_cast<size_t>(cchWideChar))
        return FailWith(ERROR_INSUFFICIENT_BUFFER, 0);
    std::memcpy(lpWideCharStr, wide.data(), wide.size() * sizeof(WCHAR));
    return static_cast<int>(wide.size());
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                               BOOL* lpUsedDefaultChar) {
    HOSTWIN_FAULT_POINT(0);
    if (CodePage != CP_ACP && CodePage != CP_THREAD_ACP && CodePage != CP_UTF8)
        return NotSupported(__func__, "code page other than CP_ACP/CP_THREAD_ACP/CP_UTF8", 0);
    if (dwFlags != 0 || lpDefaultChar != NULL || lpUsedDefaultChar != NULL)
        return NotSupported(__func__, "flags or default character", 0);
    if (lpWideCharStr == NULL || cchWideChar == 0 || cbMultiByte < 0)
        return FailWith(ERROR_INVALID_PARAMETER, 0);
    size_t length = cchWideChar < 0 ? static_cast<size_t>(lstrlenW(lpWideCharStr)) + 1
                                    : static_cast<size_t>(cchWideChar);
    std::string narrow = ToUtf8(std::u16string(lpWideCharStr, length));
    if (cbMultiByte == 0)
        return static_cast<int>(narrow.size());
    if (narrow.size() > static_cast<size_t>(cbMultiByte))
        return FailWith(ERROR_INSUFFICIENT_BUFFER, 0);
    std::memcpy(lpMultiByteStr, narrow.data(), narrow.size());
    return static_cast<int>(narrow.size());
}

errno_t __cdecl wcscpy_s(WCHAR* dest, rsize_t destSize, const WCHAR* src) {
    return wcsncpy_s(dest, destSize, src, static_cast<rsize_t>(lstrlenW(src)));
}

errno_t __cdecl wcsncpy_s(WCHAR* dest, rsize_t destSize, const WCHAR* src, rsize_t count) {
    if (dest == NULL || destSize == 0)
        return EINVAL;
    if (src == NULL) {
        dest[0] = 0;
        return EINVAL;
    }
    size_t length = 0;
    while (length < count && src[length])
        ++length;
    if (count == _TRUNCATE && length + 1 > destSize) {
        std::memcpy(dest, src, (destSize - 1) * sizeof(WCHAR));
        dest[destSize - 1] = 0;
        return STRUNCATE;
    }
    if (length + 1 > destSize) {
        dest[0] = 0;
        return ERANGE;
    }
    std::memcpy(dest, src, length * sizeof(WCHAR));
    dest[length] = 0;
    return 0;
}

errno_t __cdecl wcscat_s(WCHAR* dest, rsize_t destSize, const WCHAR* src) {
    if (dest == NULL || destSize == 0)
        return EINVAL;
    size_t used = 0;
    while (used < destSize && dest[used])
        ++used;
    if (used == destSize || src == NULL) {
        dest[0] = 0;
        return EINVAL;
    }
    errno_t result = wcscpy_s(dest + used, destSize - used, src);
    if (result != 0)
        dest[0] = 0;
    return result;
}

errno_t __cdecl memcpy_s(void* dest, rsize_t destSize, const void* src, rsize_t count) {
    if (count == 0)
        return 0;
    if (dest == NULL)
        return EINVAL;
    if (src == NULL || destSize < count) {
        std::memset(dest, 0, destSize);
        return src == NULL ? EINVAL : ERANGE;
    }
    std::memcpy(dest, src, count);
    return 0;
}

errno_t __cdecl memmove_s(void* dest, rsize_t destSize, const void* src, rsize_t count) {
    if (count == 0)
        return 0;
    if (dest == NULL || src == NULL)
        return EINVAL;
    if (destSize < count)
        return ERANGE;
    std::memmove(dest, src, count);
    return 0;
}

} // extern "C"
