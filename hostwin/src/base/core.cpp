// Handle table, last error, fault injection, call log and the machine root.
#include "base/core.h"
#include "process/procfs.h"

#include <hostwin/owner.h>
#include <hostwin/text.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <unordered_map>

namespace hostwin {

namespace {

thread_local DWORD t_lastError = 0;

// Allocated on first use: the frame sets it before ordinary static initialisers run.
// Known from the first fault point on, also one that a constructor of the same priority as the
// program frame's hand-down reaches first (a process guard's).
std::string& ImageNameSlot() {
    static std::string* name = [] {
        const std::string path = OwnExecutablePath();
        return new std::string(path.substr(path.rfind('/') + 1));
    }();
    return *name;
}

struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
    HandleCounts counts{};
    uintptr_t next = 0x100; // handles are multiples of 4, never reused in one process
};
HandleTable& Handles() {
    static HandleTable* table = new HandleTable; // outlives every static destructor
    return *table;
}

struct Fault {
    unsigned nth; // 0: every call
    DWORD code;
    bool throws = false; // std::bad_alloc instead of a failure code
    bool kills = false;  // SIGKILL on this process instead of a failure code
    unsigned calls = 0;
};
struct Delay {
    unsigned nth; // 0: every call
    DWORD milliseconds;
    unsigned calls = 0;
};
struct FaultTable {
    std::mutex lock;
    std::map<std::string, Fault> faults;
    std::map<std::string, Delay> delays;
    // HOSTWIN_FAULT_POINT_LOG: every call of every fault point, numbered per function.
    std::string pointLog;
    std::map<std::string, unsigned> pointCalls;
};

// One item of HOSTWIN_FAULTS or HOSTWIN_DELAYS: "Name@N=NUMBER" (N from 1) or "Name@*=NUMBER",
// optionally scoped to one program as "image.exe:Name@N=NUMBER".
struct ControlEntry {
    std::string image; // empty: every program
    std::string function;
    unsigned nth = 0;
    DWORD number = 0;
    bool throws = false; // HOSTWIN_FAULTS only: "Name@N=throw"
    bool kills = false;  // HOSTWIN_FAULTS only: "Name@N=kill"
};

// Whether an entry names this program, or no program: the image compares as a file name does.
bool AppliesHere(const ControlEntry& entry) {
    return entry.image.empty() ||
           FoldName(FromUtf8(entry.image)) == FoldName(FromUtf8(ProgramImageName()));
}

bool ParseUnsigned(const std::string& text, int base, unsigned long long limit,
                   unsigned long long* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || std::isspace(text[0]))
        return false;
    errno = 0;
    char* end = nullptr;
    *value = std::strtoull(text.c_str(), &end, base);
    return errno == 0 && *end == 0 && *value <= limit;
}

// Parses one entry; false with `problem` saying what is wrong. The number is decimal or 0x hex.
bool ParseControlEntry(const std::string& item, bool allowWords, ControlEntry* entry,
                       std::string* problem) {
    const size_t at = item.find('@');
    const size_t eq = item.find('=', at == std::string::npos ? 0 : at);
    const size_t colon = item.substr(0, at).find(':');
    const size_t nameStart = colon == std::string::npos ? 0 : colon + 1;
    if (at == std::string::npos || eq == std::string::npos || at == nameStart || colon == 0) {
        *problem = "expected [image:]Name@N=NUMBER or [image:]Name@*=NUMBER";
        return false;
    }
    if (colon != std::string::npos)
        entry->image = item.substr(0, colon);
    entry->function = item.substr(nameStart, at - nameStart);
    const std::string when = item.substr(at + 1, eq - at - 1);
    unsigned long long nth = 0, number = 0;
    if (when == "*") {
        entry->nth = 0;
    } else if (!ParseUnsigned(when, 10, UINT_MAX, &nth) || nth == 0) {
        *problem = "the call number must be * or a count from 1";
        return false;
    } else {
        entry->nth = static_cast<unsigned>(nth);
    }
    const std::string what = item.substr(eq + 1);
    if (allowWords && what == "throw") {
        entry->throws = true;
    } else if (allowWords && what == "kill") {
        entry->kills = true;
    } else if (!ParseUnsigned(what, 0, UINT32_MAX, &number)) {
        *problem = allowWords
                       ? "the value after = must be throw, kill or a 32-bit decimal or 0x hex "
                         "number"
                       : "the number after = must be a 32-bit decimal or 0x hex number";
        return false;
    }
    entry->number = static_cast<DWORD>(number);
    // Another program's points are its own to check: children inherit the environment.
    if (!AppliesHere(*entry))
        return true;
    if (!IsFaultPoint(entry->function)) {
        *problem = "this program has no fault point named " + entry->function;
        return false;
    }
    return true;
}

// Reads a comma-separated list of entries from `variable`. A bad entry stops the program with
// one line naming it: a test control that silently did nothing would let a test pass for the
// wrong reason.
std::vector<ControlEntry> LoadControlEntries(const char* variable, bool allowWords) {
    std::vector<ControlEntry> entries;
    const char* text = std::getenv(variable);
    if (!text || !*text)
        return entries;
    const std::string all(text);
    for (size_t start = 0; start <= all.size();) {
        size_t end = all.find(',', start);
        if (end == std::string::npos)
            end = all.size();
        const std::string item = all.substr(start, end - start);
        ControlEntry entry;
        std::string problem;
        if (!ParseControlEntry(item, allowWords, &entry, &problem)) {
            std::fprintf(stderr, "hostwin: bad %s entry '%s': %s\n", variable, item.c_str(),
                         problem.c_str());
            std::fflush(stderr);
            _exit(ERROR_INVALID_PARAMETER);
        }
        if (AppliesHere(entry))
            entries.push_back(entry);
        start = end + 1;
    }
    return entries;
}

FaultTable& Faults() {
    static FaultTable* table = [] {
        auto* t = new FaultTable;
        for (const ControlEntry& entry : LoadControlEntries("HOSTWIN_FAULTS", true))
            t->faults[entry.function] = Fault{entry.nth, entry.number, entry.throws, entry.kills};
        for (const ControlEntry& entry : LoadControlEntries("HOSTWIN_DELAYS", false))
            t->delays[entry.function] = Delay{entry.nth, entry.number};
        if (const char* log = std::getenv("HOSTWIN_FAULT_POINT_LOG"))
            t->pointLog = log;
        return t;
    }();
    return *table;
}

struct CallLogState {
    std::mutex lock;
    bool enabled = false;
    std::vector<CallRecord> records;
    std::string file; // HOSTWIN_CALL_LOG
};
CallLogState& CallLogs() {
    static CallLogState* state = [] {
        auto* s = new CallLogState;
        if (const char* file = std::getenv("HOSTWIN_CALL_LOG"))
            s->file = file;
        return s;
    }();
    return *state;
}

} // namespace

DWORD KernelObject::Wait(DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> guard(table.lock);
    uintptr_t value = table.next;
    table.next += 4;
    table.counts[static_cast<size_t>(object->Kind())]++;
    table.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle, HandleKind kind) {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.objects.end() || it->second->Kind() != kind)
        return nullptr;
    return it->second;
}

std::shared_ptr<KernelObject> LookupWaitable(HANDLE handle) {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.objects.end())
        return nullptr;
    HandleKind kind = it->second->Kind();
    if (kind != HandleKind::Process && kind != HandleKind::Thread && kind != HandleKind::Event)
        return nullptr;
    return it->second;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle, HandleKind kind) {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.objects.end() || it->second->Kind() != kind)
        return nullptr;
    std::shared_ptr<KernelObject> object = std::move(it->second);
    table.objects.erase(it);
    table.counts[static_cast<size_t>(kind)]--;
    return object;
}

const char* HandleKindName(HandleKind kind) {
    static const char* const names[] = {"process", "thread",       "snapshot",
                                        "event",   "registry key", "SCM",
                                        "service", "event source", "module"};
    static_assert(sizeof(names) / sizeof(names[0]) == kHandleKindCount, "one name per kind");
    return names[static_cast<size_t>(kind)];
}

HandleCounts OpenHandleCounts() {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> guard(table.lock);
    return table.counts;
}

size_t OpenHandleCount(HandleKind kind) {
    return OpenHandleCounts()[static_cast<size_t>(kind)];
}

DWORD InjectedFault(const char* function) {
    DWORD code = 0;
    bool throws = false;
    bool kills = false;
    DWORD delay = 0;
    std::string pointLine;
    {
        FaultTable& table = Faults();
        std::lock_guard<std::mutex> guard(table.lock);
        if (!table.pointLog.empty())
            pointLine = ProgramImageName() + "\t" + std::to_string(getpid()) + "\t" + function +
                        "\t" + std::to_string(++table.pointCalls[function]) + "\n";
        if (auto it = table.delays.find(function); it != table.delays.end()) {
            Delay& entry = it->second;
            ++entry.calls;
            if (entry.nth == 0 || entry.calls == entry.nth)
                delay = entry.milliseconds;
        }
        if (auto it = table.faults.find(function); it != table.faults.end()) {
            Fault& fault = it->second;
            ++fault.calls;
            if (fault.nth == 0 || fault.calls == fault.nth) {
                code = fault.code;
                throws = fault.throws;
                kills = fault.kills;
            }
        }
    }
    if (!pointLine.empty())
        AppendLine(Faults().pointLog, pointLine);
    // Held outside the lock, so that other threads' calls go on meanwhile.
    if (delay != 0) {
        LogCall(function, "delayed %u ms", delay);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
    // Ended where it stands, as a crash or a kill from outside would end it: no handler, no
    // destructor, no exit record. The point-log line above says where.
    if (kills) {
        LogCall(function, "injected kill");
        kill(getpid(), SIGKILL);
    }
    if (throws) {
        LogCall(function, "injected throw");
        throw std::bad_alloc();
    }
    // A failed call is still a call: it keeps its place in the call log.
    if (code != 0)
        LogCall(function, "injected fault %u (0x%08X)", code, code);
    return code;
}

void InjectFault(const std::string& function, unsigned nth, DWORD code) {
    FaultTable& table = Faults();
    std::lock_guard<std::mutex> guard(table.lock);
    table.faults[function] = Fault{nth, code};
}

void InjectThrow(const std::string& function, unsigned nth) {
    FaultTable& table = Faults();
    std::lock_guard<std::mutex> guard(table.lock);
    table.faults[function] = Fault{nth, 0, true};
}

void DelayCall(const std::string& function, unsigned nth, DWORD milliseconds) {
    FaultTable& table = Faults();
    std::lock_guard<std::mutex> guard(table.lock);
    table.delays[function] = Delay{nth, milliseconds};
}

void ClearFaults() {
    FaultTable& table = Faults();
    std::lock_guard<std::mutex> guard(table.lock);
    table.faults.clear();
    table.delays.clear();
}

void LoadTestControls() {
    Faults();
}

bool IsFaultPoint(const std::string& function) {
    for (const char* const* name = __start_hostwin_fault_points;
         name && name < __stop_hostwin_fault_points; ++name)
        if (function == *name)
            return true;
    return false;
}

bool CallLogEnabled() {
    CallLogState& state = CallLogs();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.enabled || !state.file.empty();
}

void LogCall(const char* function, const char* format, ...) {
    CallLogState& state = CallLogs();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (!state.enabled && state.file.empty())
            return;
    }
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.enabled)
        state.records.push_back(CallRecord{function, buffer});
    if (!state.file.empty())
        AppendLine(state.file, std::to_string(getpid()) + " " + function + "(" + buffer + ")\n");
}

void AppendLine(const std::string& path, const std::string& line) {
    const UniqueFd fd(open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!fd)
        return;
    // One write: lines of processes that share the file never interleave.
    [[maybe_unused]] const ssize_t written = write(fd.get(), line.data(), line.size());
}

void EnableCallLog(bool on) {
    CallLogState& state = CallLogs();
    std::lock_guard<std::mutex> guard(state.lock);
    state.enabled = on;
}

std::vector<CallRecord> CallLog() {
    CallLogState& state = CallLogs();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.records;
}

std::vector<CallRecord> CallLog(const std::string& function) {
    std::vector<CallRecord> matching;
    for (CallRecord& record : CallLog())
        if (record.function == function)
            matching.push_back(std::move(record));
    return matching;
}

void ClearCallLog() {
    CallLogState& state = CallLogs();
    std::lock_guard<std::mutex> guard(state.lock);
    state.records.clear();
}

DWORD ScaleMilliseconds(DWORD milliseconds) {
    static const double scale = [] {
        const char* text = std::getenv("HOSTWIN_TIME_SCALE");
        double value = text ? std::strtod(text, nullptr) : 1.0;
        return value > 0 ? value : 1.0;
    }();
    if (milliseconds == INFINITE)
        return INFINITE;
    double scaled = milliseconds * scale;
    return scaled >= static_cast<double>(INFINITE - 1) ? INFINITE - 1 : static_cast<DWORD>(scaled);
}

void ResetForTest() {
    ClearFaults();
    EnableCallLog(false);
    ClearCallLog();
    ClearDebugReports();
}

DWORD WriteErrorFromErrno(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    default:
        return ERROR_CANTWRITE;
    }
}

bool Elevated() {
    const char* elevated = std::getenv("HOSTWIN_ELEVATED");
    return !(elevated && std::strcmp(elevated, "0") == 0);
}

void SetProgramImageName(const std::string& name) {
    ImageNameSlot() = name;
}

const std::string& ProgramImageName() {
    return ImageNameSlot();
}

std::u16string ToU16(const WCHAR* text) {
    return text ? std::u16string(text) : std::u16string();
}

} // namespace hostwin

using namespace hostwin;

extern "C" {

DWORD WINAPI GetLastError() {
    return t_lastError;
}

void WINAPI SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    HOSTWIN_FAULT_POINT(FALSE);
    // Kernel objects only: registry keys, SCM handles and event sources have their own close.
    for (HandleKind kind :
         {HandleKind::Process, HandleKind::Thread, HandleKind::Snapshot, HandleKind::Event}) {
        if (std::shared_ptr<KernelObject> object = RemoveHandle(hObject, kind)) {
            LogCall(__func__, "%s", HandleKindName(kind));
            object.reset();
            return TRUE;
        }
    }
    return FailWith(ERROR_INVALID_HANDLE, FALSE);
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    HOSTWIN_FAULT_POINT(WAIT_FAILED);
    std::shared_ptr<KernelObject> object = LookupWaitable(hHandle);
    if (!object)
        return FailWith(ERROR_INVALID_HANDLE, static_cast<DWORD>(WAIT_FAILED));
    return object->Wait(dwMilliseconds);
}

} // extern "C"
