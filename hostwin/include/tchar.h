// Wide secure-CRT string and formatting functions of the host build, for WCHAR.
// Formats: %ls wide string, %hs narrow string, %lc wide character, %d %u %x %%,
// with width and precision, rendered exactly as the Windows C runtime renders them.
#pragma once

#include "windef.h"

#include <cerrno>

#ifndef STRUNCATE
#define STRUNCATE 80
#endif
#define _TRUNCATE ((size_t)-1)
#define _T(x) __TEXT(x)

extern "C" {
errno_t __cdecl wcscpy_s(WCHAR* dest, rsize_t destSize, const WCHAR* src);
errno_t __cdecl wcsncpy_s(WCHAR* dest, rsize_t destSize, const WCHAR* src, rsize_t count);
errno_t __cdecl wcscat_s(WCHAR* dest, rsize_t destSize, const WCHAR* src);
errno_t __cdecl memcpy_s(void* dest, rsize_t destSize, const void* src, rsize_t count);
errno_t __cdecl memmove_s(void* dest, rsize_t destSize, const void* src, rsize_t count);
int __cdecl _vsnwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format,
                          va_list argptr);
int __cdecl _snwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format,
                         ...);
int __cdecl swprintf_s(WCHAR* buffer, size_t sizeOfBuffer, const WCHAR* format, ...);
int __cdecl _vscwprintf(const WCHAR* format, va_list argptr);
int __cdecl _scwprintf(const WCHAR* format, ...);
int __cdecl _putws(const WCHAR* str);
}
