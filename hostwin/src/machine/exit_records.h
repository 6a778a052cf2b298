// Exit codes given to TerminateProcess, kept under the machine root so that every process of
// the machine reports the same code, whoever ended the process. A record is named by the pid
// and the start time, which together name one process for good.
#pragma once

#include <windows.h>

#include <sys/types.h>

namespace hostwin::exit_records {

// Records `code` for the process unless it has a record already: the first end of a process
// is the one that counts, and no later call changes or removes it. 0 when this call wrote the
// record, ERROR_ALREADY_EXISTS when one was there, else the Win32 code of why it could not be
// written (nothing is left behind then, and the lost code is reported on the debug output).
DWORD Create(pid_t pid, unsigned long long startTime, DWORD code);
bool Read(pid_t pid, unsigned long long startTime, DWORD& code);

} // namespace hostwin::exit_records
