// The process's last lines of defence. A service runs where nobody can dismiss a message box,
// so whatever goes wrong must end the process with a code the service manager sees.
#pragma once

#include <windows.h>

// The platform's fail-fast status: the exit code after std::terminate.
constexpr UINT kTerminateExitCode = 0xC0000409;

// Installs, once the first process-wide object is built, before any other constructor runs:
// - the top-level filter: a structured exception nobody handles ends the process with the
//   exception's code;
// - the terminate handler: one debug-output line, then the process ends with
//   kTerminateExitCode (an exception that escapes a function Windows calls, a process-wide
//   constructor or a noexcept function ends here);
// - the C runtime's error mode: its own errors go to standard error, never to a message box.
class CProcessGuard {
public:
    CProcessGuard();
};

LONG WINAPI EndProcessWithExceptionCode(EXCEPTION_POINTERS* pointers);
[[noreturn]] void EndProcessOnTerminate() noexcept;
