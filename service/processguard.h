// The process's last lines of defence. A service runs where nobody can dismiss a message box,
// so whatever goes wrong must end the process, leaving evidence an administrator can find.
#pragma once

#include <windows.h>

// The platform's fail-fast status: the exit code after std::terminate.
constexpr UINT kTerminateExitCode = 0xC0000409;

// Installs, once the first process-wide object is built, before any other constructor runs:
// - the top-level filter: a structured exception nobody handles goes on to the system's crash
//   reporting (error report, local dump, "Application Error" event) and ends the process
//   with the exception's code;
// - the terminate handler: one debug-output line and one Application event with the same
//   line, then the process ends with kTerminateExitCode (an exception that escapes a function
//   Windows calls, a process-wide constructor or a noexcept function ends here);
// - the C runtime's invalid-parameter handler, in the runtime DLL itself: a bad argument to a
//   secure string function comes back as its error code (CheckCrtError turns it into an
//   HRESULT) instead of ending the process unreported;
// - the C runtime's error mode: its own errors go to standard error, never to a message box.
class CProcessGuard {
public:
    CProcessGuard();
};

LONG WINAPI PassToCrashReporting(EXCEPTION_POINTERS* pointers);
[[noreturn]] void EndProcessOnTerminate() noexcept;
