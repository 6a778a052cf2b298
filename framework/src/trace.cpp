#include "trace.h"

#include "errors.h"

#include <tchar.h>
#include <crtdbg.h>

#include <new>

TraceCategoryEntry g_traceCategories[kMaxTraceCategories];
unsigned g_traceCategoryCount = 0;
DWORD g_traceLevel = 0;
DWORD g_traceCategoryMask = 0xFFFFFFFF;

void RegisterTraceCategory(LPCWSTR name, DWORD flag) {
    if (name == NULL)
        return;
    if (g_traceCategoryCount >= kMaxTraceCategories) {
        REPORT_FAILED_CHECK("false && \"Too many categories defined\"");
        return;
    }
    TraceCategoryEntry& entry = g_traceCategories[g_traceCategoryCount];
    entry.flag = flag;
    // One less than the field holds; longer names are cut rather than refused.
    wcsncpy_s(entry.name, 127, name, _TRUNCATE);
    ++g_traceCategoryCount;
}

LPCWSTR FindTraceCategoryName(DWORD flag) {
    for (unsigned i = 0; i < g_traceCategoryCount; ++i)
        if (g_traceCategories[i].flag == flag)
            return g_traceCategories[i].name;
    return NULL;
}

void TraceMessage(const TraceLocation& location, DWORD category, UINT level, LPCWSTR format, ...) {
    DWORD savedError = GetLastError();
    va_list args;
    va_start(args, format);
    TraceMessageV(location.file, location.line, category, level, format, args);
    va_end(args);
    SetLastError(savedError);
}

void TraceMessageV(const char* file, int line, DWORD category, UINT level, LPCWSTR format,
                   va_list args) {
    va_list countArgs;
    va_copy(countArgs, args);
    int count = _vscwprintf(format, countArgs);
    va_end(countArgs);
    if (count < 0)
        return;
    WCHAR* wszBuf = new (std::nothrow) WCHAR[static_cast<size_t>(count) + 1];
    if (wszBuf == NULL)
        return;
    wszBuf[0] = 0;
    va_list formatArgs;
    va_copy(formatArgs, args);
    int written = _vsnwprintf_s(wszBuf, static_cast<size_t>(count) + 1, count, format, formatArgs);
    va_end(formatArgs);
    if (written >= 0)
        EmitTrace(file, line, category, level, wszBuf);
    delete[] wszBuf;
}

void EmitTrace(const char* file, int line, DWORD category, UINT level, LPCWSTR text) {
    if (g_traceLevel == 0xFFFFFFFF || g_traceLevel < level || (category & g_traceCategoryMask) == 0)
        return;

    WCHAR wszCategory[1024] = {};
    LPCWSTR name = FindTraceCategoryName(category);
    int prefixed = name ? _snwprintf_s(wszCategory, 1024, 1023, TEXT("%ls - "), name)
                        : _snwprintf_s(wszCategory, 1024, 1023, TEXT("%u - "), category);
    if (prefixed < 0)
        return;

    size_t size =
        static_cast<size_t>(lstrlenW(text)) + static_cast<size_t>(lstrlenW(wszCategory)) + 1;
    WCHAR* wszBuf = new (std::nothrow) WCHAR[size];
    if (wszBuf == NULL)
        return;
    wszBuf[0] = 0;
    WCHAR fileName[MAX_PATH] = {};
    if (_snwprintf_s(wszBuf, size, size - 1, TEXT("%ls%ls"), wszCategory, text) >= 0 &&
        _snwprintf_s(fileName, MAX_PATH, MAX_PATH - 1, TEXT("%hs"), file) >= 0)
        _CrtDbgReportW(_CRT_WARN, fileName, line, NULL, TEXT("%ls"), wszBuf);
    delete[] wszBuf;
}
