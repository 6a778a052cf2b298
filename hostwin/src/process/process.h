// What the process, snapshot and program areas share: reading /proc, machine membership and
// the Windows view of host paths.
#pragma once

#include "base/core.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace hostwin {

// Environment marks a process of this machine carries from its start.
constexpr const char kRootVariable[] = "HOSTWIN_ROOT";       // the machine root
constexpr const char kServiceVariable[] = "HOSTWIN_SERVICE"; // the service it was started as

// What /proc/<pid>/stat tells about one process.
struct ProcStat {
    char state = 0; // 'R', 'S', 'Z' (zombie), 'X' (dead) ...
    pid_t parent = 0;
    unsigned threads = 0;
    // Clock ticks after boot: together with the pid it names one process for good.
    unsigned long long startTime = 0;
    int exitStatus = 0;  // wait status; meaningful only for a zombie
    std::string command; // the kernel's short name, a last resort for the image name
};
bool ReadProcStat(pid_t pid, ProcStat& stat);
inline bool HasEnded(const ProcStat& stat) {
    return stat.state == 'Z' || stat.state == 'X';
}

// The environment a process started with (later setenv calls do not show), NAME=value items.
bool ReadStartEnvironment(pid_t pid, std::vector<std::string>& environment);
// The items of a NUL-separated list, as /proc gives command lines and environments.
std::vector<std::string> SplitNulSeparated(const std::string& text);
// Value of the first NAME= item; false when there is none.
bool FindEnvironmentValue(const std::vector<std::string>& environment, const char* name,
                          std::string& value);
// Whether a process that started with this environment belongs to this machine.
bool OfThisMachine(pid_t pid, const std::vector<std::string>& environment);

// The file name a snapshot shows: that of the file the process executes.
std::u16string ImageFileName(pid_t pid, const ProcStat& stat);

// CreateProcessW's work: resolves the module from the application name or the command line,
// starts it with this process's environment plus `extraEnvironment` (NAME=value items) and
// fills `started` with new handles. A detached child has its standard streams on /dev/null and
// a session of its own. 0 or the Win32 error.
DWORD StartProcess(LPCWSTR applicationName, const std::u16string& commandLine,
                   const std::vector<std::string>& extraEnvironment, bool detached,
                   PROCESS_INFORMATION& started);

// Host path of this process's executable.
std::string OwnExecutablePath();
// Its file name ("tollivar.exe"): what fault entries and the process ledger name it by.
const std::string& OwnImageName();
// HOSTWIN_PROCESS_LEDGER=FILE, a record for whoever checks how processes ended: each host
// program appends "start<TAB>image<TAB>pid" when it starts and "end<TAB>image<TAB>pid<TAB>0xCODE
// <TAB>kind=n,..." (the handles still open) when it ends by itself; TerminateProcess appends
// "killed<TAB>pid<TAB>0xCODE<TAB>killer image". A start with neither an end nor a kill is a
// process that a signal ended: a crash. Appends one line of tab-separated fields.
void WriteProcessLedger(const std::string& fields);

// Wait status of a process that ended, as a Windows exit code: the exit status, or 128 plus
// the signal for a process that a signal ended.
DWORD ExitCodeFromWaitStatus(int status);

// The program's argv as main received it. Without it the command line comes from /proc.
void RecordProgramArguments(int argc, char** argv);
// The command line after the program name and the blanks that follow it: wWinMain's lpCmdLine.
LPWSTR CommandLineTail();

} // namespace hostwin
