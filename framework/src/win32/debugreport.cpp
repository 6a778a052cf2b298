// Debug reports of the Windows target: formatted and sent to the debugger's output, as the
// debug C runtime does with its default report mode. Nobody is asked whether to break.
#include "debugreport.h"

#include <crtdbg.h>
#include <tchar.h>

#include <memory>
#include <new>

namespace {

typedef std::unique_ptr<WCHAR[]> TextBuffer;

// Formats into a fresh buffer; empty when the format is bad or memory is short.
TextBuffer FormatTextV(const WCHAR* format, va_list args) {
    va_list countArgs;
    va_copy(countArgs, args);
    int count = _vscwprintf(format, countArgs);
    va_end(countArgs);
    if (count < 0)
        return TextBuffer();
    size_t size = static_cast<size_t>(count) + 1;
    TextBuffer text(new (std::nothrow) WCHAR[size]);
    if (!text)
        return TextBuffer();
    va_list formatArgs;
    va_copy(formatArgs, args);
    int written = _vsnwprintf_s(text.get(), size, _TRUNCATE, format, formatArgs);
    va_end(formatArgs);
    return written < 0 ? TextBuffer() : std::move(text);
}

TextBuffer FormatText(const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    TextBuffer text = FormatTextV(format, args);
    va_end(args);
    return text;
}

} // namespace

extern "C" int __cdecl _CrtDbgReportW(int reportType, const WCHAR* filename, int linenumber,
                                      const WCHAR* moduleName, const WCHAR* format, ...) {
    if (reportType < _CRT_WARN || reportType > _CRT_ASSERT || format == NULL)
        return -1;
    va_list args;
    va_start(args, format);
    TextBuffer text = FormatTextV(format, args);
    va_end(args);
    if (!text)
        return -1;

    // "FILE(LINE) : [MODULE : ]TEXT"; an assertion says so and ends its line.
    TextBuffer location = filename != NULL ? FormatText(TEXT("%ls(%d) : "), filename, linenumber)
                                           : FormatText(TEXT(""));
    if (!location)
        return -1;
    bool assertion = reportType == _CRT_ASSERT;
    TextBuffer report = FormatText(TEXT("%ls%ls%ls%ls%ls%ls"), location.get(),
                                   moduleName != NULL ? moduleName : TEXT(""),
                                   moduleName != NULL ? TEXT(" : ") : TEXT(""),
                                   assertion ? TEXT("Assertion failed: ") : TEXT(""), text.get(),
                                   assertion ? TEXT("\n") : TEXT(""));
    if (!report)
        return -1;
    OutputDebugStringW(report.get());
    return 0;
}
