// Every file and folder of a host machine, named in one place. A machine is the folder
// $HOSTWIN_ROOT, taken in its canonical form, so that any spelling of one folder (trailing
// slash, "." or "..", a symlink, a relative path) is one machine. docs/machine.md shows the
// tree and what writes each file.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace hostwin::layout {

// The canonical machine root: HOSTWIN_ROOT (a relative one taken from the folder this process
// started in), else ${XDG_DATA_HOME:-$HOME/.local/share}/hostwin.
std::string Root();
// The canonical form of a root as another process spelled it; `startFolder` resolves a
// relative spelling.
std::string CanonicalRoot(const std::string& spelling, const std::string& startFolder);

std::string DriveC(); // C:\ of the machine
std::string RegistryFolder();
std::string RegistryStore();
std::string ScmFolder(); // the service control manager's database and control channels
std::string ScmDatabase();
std::string ScmChangeMark(); // rewritten after each committed change, watched by waiters
std::string ScmControlFolder();
std::string ScmControlSocket(pid_t pid); // where a live service process listens for controls
std::string ProcessesFolder();
std::string ExitRecordsFolder(); // exit codes given by TerminateProcess
std::string ExitRecord(pid_t pid, unsigned long long startTime);
std::string EventLogFolder();
std::string ApplicationEventLog();
std::string SystemEventLog();
std::string DebugLog();
std::string MessageBoxLog();

// The keys a fresh machine holds, as a fresh Windows holds them where this system looks.
struct FreshKey {
    bool machineHive; // HKEY_LOCAL_MACHINE, else HKEY_CURRENT_USER
    std::vector<const char16_t*> path;
};
const std::vector<FreshKey>& FreshMachineKeys();

} // namespace hostwin::layout
