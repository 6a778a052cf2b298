// Process handles and the marks a process of this machine carries, shared by the units that
// start, list and serve processes.
#pragma once

#include "base/core.h"

#include <string>
#include <vector>

namespace hostwin {

// Environment marks a process of this machine carries from its start.
constexpr const char kRootVariable[] = "HOSTWIN_ROOT";       // the machine root
constexpr const char kServiceVariable[] = "HOSTWIN_SERVICE"; // the service it was started as

// CreateProcessW's work: resolves the module from the application name or the command line,
// starts it with this process's environment plus `extraEnvironment` (NAME=value items) and
// fills `started` with new handles. A detached child has its standard streams on /dev/null and
// a session of its own. 0 or the Win32 error.
DWORD StartProcess(LPCWSTR applicationName, const std::u16string& commandLine,
                   const std::vector<std::string>& extraEnvironment, bool detached,
                   PROCESS_INFORMATION& started);

// HOSTWIN_PROCESS_LEDGER=FILE, a record for whoever checks how processes ended: each host
// program appends "start<TAB>image<TAB>pid" when it starts and "end<TAB>image<TAB>pid<TAB>0xCODE
// <TAB>kind=n,..." (the handles still open) when it ends by itself; TerminateProcess appends
// "killed<TAB>pid<TAB>0xCODE<TAB>killer image". A start with neither an end nor a kill is a
// process that a signal ended: a crash. Appends one line of tab-separated fields.
void WriteProcessLedger(const std::string& fields);
// The "killed" line of an end this process caused with `code`.
void WriteKillToLedger(pid_t pid, DWORD code);

} // namespace hostwin
