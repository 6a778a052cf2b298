// Starting a child process from a Windows application name and command line, for the process
// handles built on it.
#pragma once

#include <windows.h>

#include <sys/types.h>

#include <string>
#include <vector>

namespace hostwin {

// Finds the module the application name or command line names, by the Windows rules, and
// starts it with the arguments the C runtime would split from the command line and this
// process's environment, marked for the machine, plus `extraEnvironment`. A detached child has
// its standard streams on /dev/null and a session of its own. 0 with the child's `pid`, or the
// Win32 error.
DWORD SpawnProcess(LPCWSTR applicationName, const std::u16string& commandLine,
                   const std::vector<std::string>& extraEnvironment, bool detached, pid_t& pid);

// The Win32 error for an errno of process creation.
DWORD SpawnErrorFromErrno(int error);

} // namespace hostwin
