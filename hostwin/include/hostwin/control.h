// Host-only control of the hostwin machine, for tests and the sample tools.
// Nothing in the framework or the service includes this header.
#pragma once

#include <windows.h>
#include <hostwin/text.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace hostwin {

// Kinds of objects in the one handle table; every open handle counts against its kind.
enum class HandleKind {
    Process,
    Thread,
    Snapshot,
    Event,
    RegistryKey,
    ServiceManager,
    Service,
    EventSource,
    Module,
    Count
};
constexpr size_t kHandleKindCount = static_cast<size_t>(HandleKind::Count);
const char* HandleKindName(HandleKind kind);

using HandleCounts = std::array<size_t, kHandleKindCount>;
// Open handles of this process, per kind.
HandleCounts OpenHandleCounts();
size_t OpenHandleCount(HandleKind kind);

// The machine this process belongs to: $HOSTWIN_ROOT, or the per-user default.
std::string MachineRoot();

// Fault injection: the nth call (1-based, counted from now) of `function` fails with `code`
// (a Win32 code, or an HRESULT for functions that return one). nth = 0 fails every call.
// HOSTWIN_FAULTS="Name@N=CODE,Name@*=CODE" sets the same from the environment at start-up.
// An entry "image.exe:Name@N=CODE" applies only in the program of that file name (compared
// without case): children inherit the environment, and a fault meant for one program must not
// fire in the others. An entry that cannot be parsed, or names no fault point of the program
// it applies to, stops the program with a one-line error.
// HOSTWIN_FAULT_POINT_LOG=FILE appends "image<TAB>pid<TAB>function<TAB>n" for every call of
// every fault point (n counts the calls of that function in that process), the list a sweep
// fails one by one.
void InjectFault(const std::string& function, unsigned nth, DWORD code);
// The nth call of `function` throws std::bad_alloc instead, as a C++ allocation inside the
// platform call would; "Name@N=throw" in HOSTWIN_FAULTS.
void InjectThrow(const std::string& function, unsigned nth);
// Call delays, a test control beside faults: the nth call (0: every call) of `function` waits
// `milliseconds` (real time, not scaled) before it does anything, so a test can hold a thread
// inside a window it needs to hit. HOSTWIN_DELAYS="CreateProcessW@1=200" sets the same from
// the environment, with the same checks as HOSTWIN_FAULTS.
void DelayCall(const std::string& function, unsigned nth, DWORD milliseconds);
// Clears faults and delays.
void ClearFaults();
// Reads HOSTWIN_FAULTS and HOSTWIN_DELAYS now, rather than at the first fault point.
void LoadTestControls();

// Call log of platform calls and their arguments, in call order. Off unless enabled here or
// by HOSTWIN_CALL_LOG=FILE, which appends "pid function(args)" lines to FILE.
struct CallRecord {
    std::string function;
    std::string args;
};
void EnableCallLog(bool on);
std::vector<CallRecord> CallLog();
// Only the records of `function`, in order.
std::vector<CallRecord> CallLog(const std::string& function);
void ClearCallLog();

// Debug reports (_CrtDbgReportW, OutputDebugStringW) captured in this process.
struct DebugReport {
    int reportType; // _CRT_WARN 0, _CRT_ERROR 1, _CRT_ASSERT 2, or -1 for OutputDebugStringW
    std::string file;
    int line;
    std::u16string text;
};
std::vector<DebugReport> DebugReports();
void ClearDebugReports();
// What _CrtDbgReportW answers for assertion-level reports (0 by default; 1 asks to debug).
void SetAssertReportAnswer(int answer);

// The class objects registered with COM in this process, in registration order.
struct ClassObjectRegistration {
    std::u16string clsid; // braced upper-case form
    DWORD context;
    DWORD flags;
    bool suspended; // registered with REGCLS_SUSPENDED and not resumed yet
};
std::vector<ClassObjectRegistration> ClassObjectRegistrations();

// Registry: marks the key `path` below `root` read-only for this machine's user, elevated or
// not: it can no longer be opened for writing, created under or deleted. False when the key
// does not exist. The mark is stored with the key, so other processes see it too.
bool MarkKeyReadOnly(HKEY root, const std::u16string& path, bool readOnly = true);
// The registry store file of this machine (below $HOSTWIN_ROOT/registry/).
std::string RegistryStorePath();
// Registry: while it lives, every registry call of the calling thread reads from one snapshot
// of the store, so a walk over a tree sees it whole even while other processes change it.
// Writes from that thread fail with ERROR_ACCESS_DENIED, and other threads of the process
// wait for their registry calls until it ends. Status() is the code it could not start with.
class RegistrySnapshot {
public:
    RegistrySnapshot();
    ~RegistrySnapshot();
    RegistrySnapshot(const RegistrySnapshot&) = delete;
    RegistrySnapshot& operator=(const RegistrySnapshot&) = delete;
    LONG Status() const { return m_status; }

private:
    LONG m_status;
};
// Registry: while it lives, the registry calls of the calling thread form one write
// transaction: Commit() applies all their changes at once, and without it none is applied.
// Writers of other processes wait for it (as long as for any lock), other threads of the
// process wait for their registry calls. Status() is the code it could not start with.
class RegistryBatch {
public:
    RegistryBatch();
    ~RegistryBatch();
    RegistryBatch(const RegistryBatch&) = delete;
    RegistryBatch& operator=(const RegistryBatch&) = delete;
    LONG Status() const { return m_status; }
    LONG Commit();

private:
    LONG m_status;
    bool m_ended = false;
};

// The frame of every host program, tools included: records argv, reads the test controls of
// the environment (a bad HOSTWIN_FAULTS or HOSTWIN_DELAYS entry stops the program), runs
// `body`, then reports the end: "exit code 0x%08X" on stderr under HOSTWIN_SHOW_EXIT_CODE=1,
// and the handles still open, one "kind<TAB>count" line per kind, to HOSTWIN_HANDLE_REPORT=FILE.
int RunHostProgram(int argc, char** argv, int (*body)(int argc, char** argv));
// The index of the first argument that is not UTF-8 (the host's ANSI code page), or -1.
int FirstNonUtf8Argument(int argc, char** argv);

// Service control manager: every status a service reported, in order, with the time of the
// report (UTC, as the event log writes it). Read from the machine's service database.
struct ServiceStatusReport {
    SERVICE_STATUS status;
    std::string time;
};
std::vector<ServiceStatusReport> ServiceStatusHistory(const std::u16string& serviceName);
// The names of the installed services, in the order the manager lists them.
std::vector<std::u16string> InstalledServices();

// Makes this process the service `serviceName` as if the manager had started it, without a
// dispatcher or control channel: RegisterServiceCtrlHandlerW answers for that name and
// SetServiceStatus keeps its reports in this process only. An empty name ends the pretence.
void ActAsServiceForTest(const std::u16string& serviceName);
// The reports kept while acting as a service, in order.
std::vector<SERVICE_STATUS> InProcessStatusReports();
// Called after each accepted status report of this process, on the reporting thread.
void SetStatusReportObserver(std::function<void(const SERVICE_STATUS&)> observer);

// Event log: the file of the machine's log named `logName` ("Application" or "System", in any
// letter case) with the log's own spelling of its name, or false for a log the machine does
// not have. The file may not exist yet: a log nobody wrote to is empty.
bool FindEventLog(const std::u16string& logName, std::u16string* name, std::string* file);

// Makes GetModuleHandleW find a module of this name (say, "Mscoree.dll") as if it were loaded.
// HOSTWIN_LOADED_MODULES="a.dll,b.dll" does the same from the environment.
void PretendModuleLoaded(const std::u16string& moduleName, bool loaded = true);

// Clears faults, call log (and turns it off) and debug capture: a fresh start for one test.
void ResetForTest();

// Windows path <-> host path of this machine: C:\ is $HOSTWIN_ROOT/drive_c/, Z:\ is /.
std::string HostPath(const std::u16string& windowsPath);
std::u16string WindowsPath(const std::string& hostPath);

// Windows command lines: the C runtime's split of a line into argv (the program name first,
// by its own simpler rule), and the line built from argv that splits back into the same argv.
std::vector<std::u16string> SplitCommandLine(const std::u16string& commandLine);
std::u16string BuildCommandLine(const std::vector<std::u16string>& argv);

} // namespace hostwin
