#include "processguard.h"

#include "errors.h"

#include <tchar.h>

#include <atomic>
#include <cstdlib>
#include <exception>

// Structured exceptions have no frame handler here: the process ends with the exception code.
LONG WINAPI EndProcessWithExceptionCode(EXCEPTION_POINTERS*) {
    return EXCEPTION_EXECUTE_HANDLER;
}

namespace {

[[noreturn]] void EndProcess() noexcept {
    TerminateProcess(GetCurrentProcess(), kTerminateExitCode);
    // Only reached when the process could not end itself that way.
    ExitProcess(kTerminateExitCode);
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
    EndProcess();
}

CProcessGuard::CProcessGuard() {
    SetUnhandledExceptionFilter(EndProcessWithExceptionCode);
    std::set_terminate(EndProcessOnTerminate);
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
