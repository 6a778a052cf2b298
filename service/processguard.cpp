#include "processguard.h"

#include "errors.h"
#include "eventids.h"
#include "resource.h"

#include <tchar.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <exception>

// Structured exceptions have no frame handler here. Handling one in the filter would end the
// process without a report; searching on lets the system record the crash (a local dump when
// configured, event 1000 in the Application log) and end the process with its code.
LONG WINAPI PassToCrashReporting(EXCEPTION_POINTERS*) {
    return EXCEPTION_CONTINUE_SEARCH;
}

namespace {

[[noreturn]] void EndProcess() noexcept {
    TerminateProcess(GetCurrentProcess(), kTerminateExitCode);
    // Only reached when the process could not end itself that way.
    ExitProcess(kTerminateExitCode);
}

// The crash line as the crash event under the service's name, read from this program's own
// string table: the module object may not be built yet, or may be half torn down.
void ReportCrashEvent(LPCWSTR pszLine) noexcept {
    WCHAR szSource[256];
    if (LoadStringW(GetModuleHandleW(NULL), IDS_SERVICENAME, szSource, 256) == 0)
        return;
    HANDLE hEventSource = RegisterEventSourceW(NULL, szSource);
    if (hEventSource == NULL)
        return;
    LPCWSTR lpszStrings[1] = {pszLine};
    ReportEventW(hEventSource, EVENTLOG_ERROR_TYPE, 0, kEventCrash, NULL, 1, 0, lpszStrings, NULL);
    DeregisterEventSource(hEventSource);
}

// Left alone, the runtime DLL ends the process on a bad argument to a secure function; with
// this handler the function returns its error code (EINVAL) to the caller.
void __cdecl IgnoreInvalidParameter(const WCHAR*, const WCHAR*, const WCHAR*, unsigned int,
                                    uintptr_t) {}

typedef void(__cdecl* InvalidParameterHandler)(const WCHAR*, const WCHAR*, const WCHAR*,
                                               unsigned int, uintptr_t);
typedef InvalidParameterHandler(__cdecl* SetInvalidParameterHandler)(InvalidParameterHandler);

// The static runtime's own _set_invalid_parameter_handler only stores a pointer that the
// runtime DLL never reads, so the DLL's function is looked up and called.
void InstallInvalidParameterHandler() {
    HMODULE hCrt = GetModuleHandleW(TEXT("msvcrt.dll"));
    if (hCrt == NULL)
        return;
    FARPROC pfn = GetProcAddress(hCrt, "_set_invalid_parameter_handler");
    if (pfn != NULL)
        reinterpret_cast<SetInvalidParameterHandler>(reinterpret_cast<void (*)()>(pfn))(
            IgnoreInvalidParameter);
}

} // namespace

void EndProcessOnTerminate() noexcept {
    // A second thread, or a failure while writing the line, comes straight to the end.
    static std::atomic<bool> s_ending{false};
    if (s_ending.exchange(true))
        EndProcess();
    // No allocation, no trace machinery: the process may be out of memory or half built.
    WCHAR line[96];
    swprintf_s(line, sizeof(line) / sizeof(line[0]),
               TEXT("std::terminate: exception hr = 0x%08X, exit code 0x%08X\n"),
               static_cast<unsigned>(HResultOfException(std::current_exception())),
               kTerminateExitCode);
    OutputDebugStringW(line);
    line[lstrlenW(line) - 1] = 0; // the event holds the line without its end
    ReportCrashEvent(line);
    EndProcess();
}

CProcessGuard::CProcessGuard() {
    SetUnhandledExceptionFilter(PassToCrashReporting);
    std::set_terminate(EndProcessOnTerminate);
    InstallInvalidParameterHandler();
#ifdef _WIN32
    // A GUI process's C runtime shows abort() and its own fatal errors in a message box.
    _set_error_mode(_OUT_TO_STDERR);
#endif
}

#ifdef _WIN32
// The runtime library's default terminate handler demangles and prints the exception's type,
// which links a demangler and a printf into the product. Ours takes its place at link time, so
// it is the handler from the first instruction on, before any constructor has run.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
    EndProcessOnTerminate();
}
} // namespace __gnu_cxx
#endif
