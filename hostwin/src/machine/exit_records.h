// Exit codes given to TerminateProcess, kept under the machine root so that every process of
// the machine reports the same code, whoever ended the process. A record is named by the pid
// and the start time, which together name one process for good.
#pragma once

#include <windows.h>

#include <sys/types.h>

namespace hostwin::exit_records {

// 0, or the Win32 code of why the record could not be written (nothing is left behind then).
DWORD Write(pid_t pid, unsigned long long startTime, DWORD code);
bool Read(pid_t pid, unsigned long long startTime, DWORD& code);
void Remove(pid_t pid, unsigned long long startTime);

} // namespace hostwin::exit_records
