// Debug reports, debugger queries and structured exceptions of the host.
// Reports go to $HOSTWIN_ROOT/debug.log (or stderr with HOSTWIN_DEBUG_OUTPUT=stderr) and to
// an in-process capture that tests read.
#include "base/core.h"
#include "machine/eventlog.h"
#include "machine/machine_layout.h"

#include <hostwin/owner.h>
#include <crtdbg.h>
#include <tchar.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

namespace hostwin {

namespace {

struct DebugCapture {
    std::mutex lock;
    std::vector<DebugReport> reports;
    int assertAnswer = 0;
};
DebugCapture& Capture() {
    static DebugCapture* capture = new DebugCapture;
    return *capture;
}

std::atomic<LPTOP_LEVEL_EXCEPTION_FILTER> g_topLevelFilter{nullptr};

void WriteDebugOutput(const std::string& text) {
    // Windows' debug output changes the last error when no debugger listens (it looks for
    // one and finds none); doing the same here lets tests catch a caller that does not keep it.
    SetLastError(ERROR_FILE_NOT_FOUND);
    const char* target = std::getenv("HOSTWIN_DEBUG_OUTPUT");
    if (target && std::strcmp(target, "stderr") == 0) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        return;
    }
    mkdir(layout::Root().c_str(), 0755);
    if (UniqueFile out{std::fopen(layout::DebugLog().c_str(), "ae")})
        std::fwrite(text.data(), 1, text.size(), out.get());
}

void Record(int reportType, const std::string& file, int line, const std::u16string& text) {
    DebugCapture& capture = Capture();
    std::lock_guard<std::mutex> guard(capture.lock);
    capture.reports.push_back(DebugReport{reportType, file, line, text});
}

} // namespace

std::vector<DebugReport> DebugReports() {
    DebugCapture& capture = Capture();
    std::lock_guard<std::mutex> guard(capture.lock);
    return capture.reports;
}

void ClearDebugReports() {
    DebugCapture& capture = Capture();
    std::lock_guard<std::mutex> guard(capture.lock);
    capture.reports.clear();
}

void SetAssertReportAnswer(int answer) {
    DebugCapture& capture = Capture();
    std::lock_guard<std::mutex> guard(capture.lock);
    capture.assertAnswer = answer;
}

} // namespace hostwin

using namespace hostwin;

extern "C" {

int __cdecl _CrtDbgReportW(int reportType, const WCHAR* filename, int linenumber,
                           const WCHAR* moduleName, const WCHAR* format, ...) {
    if (reportType < _CRT_WARN || reportType > _CRT_ASSERT)
        return -1;
    std::u16string text;
    va_list args;
    va_start(args, format);
    int count = _vscwprintf(format, args);
    va_end(args);
    if (count < 0)
        return -1;
    text.resize(static_cast<size_t>(count) + 1);
    va_start(args, format);
    _vsnwprintf_s(text.data(), text.size(), _TRUNCATE, format, args);
    va_end(args);
    text.resize(static_cast<size_t>(count));

    std::string file = ToUtf8(filename);
    Record(reportType, file, linenumber, text);
    std::string where = filename ? file + "(" + std::to_string(linenumber) + ") : " : "";
    if (moduleName)
        where += ToUtf8(moduleName) + " : ";
    if (reportType == _CRT_ASSERT)
        WriteDebugOutput(where + "Assertion failed: " + ToUtf8(text) + "\n");
    else
        WriteDebugOutput(where + ToUtf8(text));
    if (reportType != _CRT_ASSERT)
        return 0;
    DebugCapture& capture = Capture();
    std::lock_guard<std::mutex> guard(capture.lock);
    return capture.assertAnswer;
}

void WINAPI OutputDebugStringW(LPCWSTR lpOutputString) {
    std::u16string text = ToU16(lpOutputString);
    Record(-1, "", 0, text);
    WriteDebugOutput(ToUtf8(text));
}

BOOL WINAPI IsDebuggerPresent() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("TracerPid:", 0) == 0)
            return std::atoi(line.c_str() + 10) != 0;
    return FALSE;
}

void WINAPI DebugBreak() {
    LogCall(__func__, "%s", "");
    // Under a debugger, stop in it; without one the breakpoint is an exception, as on Windows:
    // the top-level filter sees it, and unhandled it ends the process with its code.
    if (IsDebuggerPresent())
        __builtin_trap();
    else
        RaiseException(EXCEPTION_BREAKPOINT, 0, 0, NULL);
}

// The host has no frame-based handlers, so a raised exception goes straight to the
// top-level filter, as an unhandled one does on Windows.
PVOID WINAPI EncodePointer(PVOID Ptr) {
    return reinterpret_cast<PVOID>(reinterpret_cast<uintptr_t>(Ptr) ^ 0x5A5A5A5Au);
}

PVOID WINAPI DecodePointer(PVOID Ptr) {
    return EncodePointer(Ptr);
}

LPTOP_LEVEL_EXCEPTION_FILTER WINAPI
SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER lpTopLevelExceptionFilter) {
    return g_topLevelFilter.exchange(lpTopLevelExceptionFilter);
}

void WINAPI RaiseException(DWORD dwExceptionCode, DWORD dwExceptionFlags, DWORD nNumberOfArguments,
                           const ULONG_PTR* lpArguments) {
    LogCall(__func__, "code=0x%08X flags=%u", dwExceptionCode, dwExceptionFlags);
    EXCEPTION_RECORD record{};
    record.ExceptionCode = dwExceptionCode;
    record.ExceptionFlags = dwExceptionFlags & EXCEPTION_NONCONTINUABLE;
    record.NumberParameters = nNumberOfArguments < EXCEPTION_MAXIMUM_PARAMETERS
                                  ? nNumberOfArguments
                                  : EXCEPTION_MAXIMUM_PARAMETERS;
    for (DWORD i = 0; lpArguments && i < record.NumberParameters; ++i)
        record.ExceptionInformation[i] = lpArguments[i];
    EXCEPTION_POINTERS pointers{&record, nullptr};

    LONG verdict = EXCEPTION_CONTINUE_SEARCH;
    if (LPTOP_LEVEL_EXCEPTION_FILTER filter = g_topLevelFilter.load())
        verdict = filter(&pointers);
    if (verdict == EXCEPTION_CONTINUE_EXECUTION) {
        if (!(record.ExceptionFlags & EXCEPTION_NONCONTINUABLE))
            return;
        RaiseException(EXCEPTION_NONCONTINUABLE_EXCEPTION, EXCEPTION_NONCONTINUABLE, 0, NULL);
    }
    if (verdict != EXCEPTION_EXECUTE_HANDLER) {
        // Left to the system, the crash is reported as Windows Error Reporting records it:
        // "Application Error" 1000 in the Application log, naming the program and the code.
        std::fprintf(stderr, "hostwin: unhandled exception 0x%08X\n", dwExceptionCode);
        char code[16];
        std::snprintf(code, sizeof(code), "0x%08x", dwExceptionCode);
        AppendEvent(EventLogName::Application, "Application Error", EVENTLOG_ERROR_TYPE, 100, 1000,
                    {ProgramImageName(), code});
    }
    ExitProcess(dwExceptionCode);
}

} // extern "C"
