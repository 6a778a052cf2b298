// What /proc tells about the processes of the host: their state, the environment they started
// with, and which of them belong to this machine.
#pragma once

#include <windows.h>

#include <sys/types.h>

#include <string>
#include <vector>

namespace hostwin {

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
// Whether a process that started with this environment belongs to this machine.
bool OfThisMachine(pid_t pid, const std::vector<std::string>& environment);

// One live process of this machine, as a snapshot lists it.
struct MachineProcess {
    DWORD pid;
    DWORD parent;
    DWORD threads;
    std::u16string image; // from the Windows image mark, else the executable's file name
};
// The live processes of this machine, this one among them; zombies are left out.
std::vector<MachineProcess> MachineProcesses();

// Host path of this process's executable.
std::string OwnExecutablePath();

} // namespace hostwin
