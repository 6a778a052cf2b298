// Handle table, last error, fault injection, call log and the machine root.
#include "core.h"

#include <unistd.h>

#include <cstdarg>
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
    unsigned calls = 0;
};
struct FaultTable {
    std::mutex lock;
    std::map<std::string, Fault> faults;
};

DWORD ParseNumber(const std::string& text) {
    return static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 0));
}

// HOSTWIN_FAULTS="Name@N=CODE,Name@*=CODE,Name@N=throw"
void LoadFaultsFromEnvironment(FaultTable& table) {
    const char* spec = std::getenv("HOSTWIN_FAULTS");
    if (!spec)
        return;
    std::string all(spec);
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find(',', start);
        if (end == std::string::npos)
            end = all.size();
        std::string item = all.substr(start, end - start);
        size_t at = item.find('@');
        size_t eq = item.find('=', at == std::string::npos ? 0 : at);
        if (at != std::string::npos && eq != std::string::npos) {
            std::string when = item.substr(at + 1, eq - at - 1);
            unsigned nth = when == "*" ? 0 : static_cast<unsigned>(ParseNumber(when));
            std::string what = item.substr(eq + 1);
            table.faults[item.substr(0, at)] =
                what == "throw" ? Fault{nth, 0, true} : Fault{nth, ParseNumber(what)};
        } else {
            std::fprintf(stderr, "hostwin: ignoring malformed HOSTWIN_FAULTS item '%s'\n",
                         item.c_str());
        }
        start = end + 1;
    }
}

FaultTable& Faults() {
    static FaultTable* table = [] {
        auto* t = new FaultTable;
        LoadFaultsFromEnvironment(*t);
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

std::string MachineRoot() {
    if (const char* root = std::getenv("HOSTWIN_ROOT"); root && *root)
        return root;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data)
        return std::string(data) + "/hostwin";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.local/share/hostwin";
}

DWORD InjectedFault(const char* function) {
    DWORD code = 0;
    bool throws = false;
    {
        FaultTable& table = Faults();
        std::lock_guard<std::mutex> guard(table.lock);
        auto it = table.faults.find(function);
        if (it == table.faults.end())
            return 0;
        Fault& fault = it->second;
        ++fault.calls;
        if (fault.nth == 0 || fault.calls == fault.nth) {
            code = fault.code;
            throws = fault.throws;
        }
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

void ClearFaults() {
    FaultTable& table = Faults();
    std::lock_guard<std::mutex> guard(table.lock);
    table.faults.clear();
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
    if (!state.file.empty()) {
        if (FILE* out = std::fopen(state.file.c_str(), "ae")) {
            std::fprintf(out, "%d %s(%s)\n", static_cast<int>(getpid()), function, buffer);
            std::fclose(out);
        }
    }
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

bool Elevated() {
    const char* elevated = std::getenv("HOSTWIN_ELEVATED");
    return !(elevated && std::strcmp(elevated, "0") == 0);
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
