// UTF-16 strings: conversions, comparisons, case, paths between the Windows and host views.
#include "core.h"

#include <shlwapi.h>
#include <tchar.h>

#include <algorithm>
#include <cstring>

namespace hostwin {

namespace {

// Simple case mapping: ASCII and Latin-1, which is all the system's names use.
WCHAR UpperChar(WCHAR c) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return static_cast<WCHAR>(c - 0x20);
    if (c == 0xFF)
        return 0x178;
    return c;
}

int CompareOrdinal(LPCWSTR a, LPCWSTR b, bool ignoreCase) {
    a = a ? a : u"";
    b = b ? b : u"";
    for (;; ++a, ++b) {
        WCHAR ca = ignoreCase ? UpperChar(*a) : *a;
        WCHAR cb = ignoreCase ? UpperChar(*b) : *b;
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (ca == 0)
            return 0;
    }
}

struct CharRange {
    WCHAR low;
    WCHAR high;
};
const CharRange kCombiningMarks[] = {
#include "combiningmarks.inc"
};

bool IsCombiningMark(WCHAR c) {
    const CharRange* end = kCombiningMarks + sizeof kCombiningMarks / sizeof kCombiningMarks[0];
    const CharRange* range = std::upper_bound(
        kCombiningMarks, end, c, [](WCHAR value, const CharRange& r) { return value < r.low; });
    return range != kCombiningMarks && c <= range[-1].high;
}

bool IsDriveLetter(WCHAR c, WCHAR letter) {
    return UpperChar(c) == letter;
}

} // namespace

std::string ToUtf8(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD; // a lone surrogate has no UTF-8 form
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string ToUtf8(const WCHAR* text) {
    return ToUtf8(ToU16(text));
}

std::u16string FromUtf8(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        int extra = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
        char32_t c = extra == 0   ? lead
                     : extra == 1 ? lead & 0x1F
                     : extra == 2 ? lead & 0x0F
                                  : lead & 0x07;
        bool valid = extra >= 0 && i + static_cast<size_t>(extra) < text.size() + (extra == 0);
        for (int k = 1; valid && k <= extra; ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
            if ((next & 0xC0) != 0x80)
                valid = false;
            else
                c = (c << 6) | (next & 0x3F);
        }
        if (!valid) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        i += static_cast<size_t>(extra) + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::string HostPath(const std::u16string& windowsPath) {
    std::u16string path = windowsPath;
    for (char16_t& c : path)
        if (c == u'\\')
            c = u'/';
    if (path.size() >= 2 && path[1] == u':') {
        std::u16string rest = path.substr(2);
        if (IsDriveLetter(path[0], u'C'))
            return MachineRoot() + "/drive_c" + (rest.empty() || rest[0] != u'/' ? "/" : "") +
                   ToUtf8(rest);
        if (IsDriveLetter(path[0], u'Z'))
            return rest.empty() ? "/" : ToUtf8(rest);
    }
    return ToUtf8(path);
}

std::u16string WindowsPath(const std::string& hostPath) {
    const std::string driveC = MachineRoot() + "/drive_c";
    std::string rest;
    std::u16string drive;
    if (hostPath.compare(0, driveC.size(), driveC) == 0 &&
        (hostPath.size() == driveC.size() || hostPath[driveC.size()] == '/')) {
        drive = u"C:";
        rest = hostPath.substr(driveC.size());
    } else {
        drive = u"Z:";
        rest = hostPath;
    }
    if (rest.empty())
        rest = "/";
    std::u16string path = drive + FromUtf8(rest);
    for (char16_t& c : path)
        if (c == u'/')
            c = u'\\';
    return path;
}

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
    return CompareOrdinal(a, b, false);
}
int WINAPI lstrcmpiW(LPCWSTR a, LPCWSTR b) {
    return CompareOrdinal(a, b, true);
}
int WINAPI StrCmpW(LPCWSTR a, LPCWSTR b) {
    return CompareOrdinal(a, b, false);
}
int WINAPI StrCmpIW(LPCWSTR a, LPCWSTR b) {
    return CompareOrdinal(a, b, true);
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
        return reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(UpperChar(LOWORD(lpsz))));
    for (LPWSTR p = lpsz; *p; ++p)
        *p = UpperChar(*p);
    return lpsz;
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    HOSTWIN_FAULT_POINT(0);
    // The thread's ANSI code page is the process's: UTF-8 on the host.
    if (CodePage != CP_ACP && CodePage != CP_THREAD_ACP && CodePage != CP_UTF8)
        return NotSupported(__func__, "code page other than CP_ACP/CP_THREAD_ACP/CP_UTF8", 0);
    if (dwFlags != 0)
        return NotSupported(__func__, "flags", 0);
    if (lpMultiByteStr == NULL || cbMultiByte == 0 || cchWideChar < 0)
        return FailWith(ERROR_INVALID_PARAMETER, 0);
    size_t length =
        cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    std::u16string wide = FromUtf8(std::string(lpMultiByteStr, length));
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
    if (CodePage != CP_ACP && CodePage != CP_UTF8)
        return NotSupported(__func__, "code page other than CP_ACP/CP_UTF8", 0);
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
