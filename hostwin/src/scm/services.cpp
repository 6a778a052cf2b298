// The service control manager's calls for everyone but the service itself: the service
// database (create, open, change, query, delete) and starting and controlling services. There
// is no manager process: each call acts on the machine's service database, and what only a
// live service can answer goes to its process over its control socket.
#include "base/core.h"
#include "process/process.h"
#include "process/procfs.h"
#include "machine/machine_layout.h"
#include "scm/scm_store.h"
#include "base/threads.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace hostwin {

namespace {

using scm::RunTransaction;
using scm::ServiceRow;
using scm::ServiceTimeout;
using scm::Transaction;

constexpr size_t kMaxServiceNameLength = 256;
constexpr DWORD kDeleteAccess = 0x00010000;
constexpr DWORD kReadControl = 0x00020000;
constexpr DWORD kGenericRead = 0x80000000;
constexpr DWORD kGenericWrite = 0x40000000;
constexpr DWORD kGenericExecute = 0x20000000;
constexpr DWORD kGenericAll = 0x10000000;

// What a standard user may ask for: reading and querying.
constexpr DWORD kUserManagerAccess =
    SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS | kReadControl;
constexpr DWORD kUserServiceAccess = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                     SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE |
                                     SERVICE_USER_DEFINED_CONTROL | kReadControl;

DWORD MapManagerAccess(DWORD access) {
    if (access & kGenericRead)
        access |= kReadControl | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    if (access & kGenericWrite)
        access |= SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    if (access & kGenericExecute)
        access |= SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    if (access & kGenericAll)
        access |= SC_MANAGER_ALL_ACCESS;
    return access & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll);
}

DWORD MapServiceAccess(DWORD access) {
    if (access & kGenericRead)
        access |= kReadControl | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                  SERVICE_ENUMERATE_DEPENDENTS;
    if (access & kGenericWrite)
        access |= kReadControl | SERVICE_CHANGE_CONFIG;
    if (access & kGenericExecute)
        access |= kReadControl | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                  SERVICE_USER_DEFINED_CONTROL;
    if (access & kGenericAll)
        access |= SERVICE_ALL_ACCESS;
    return access & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll);
}

class ManagerHandle : public KernelObject {
public:
    explicit ManagerHandle(DWORD access)
        : KernelObject(HandleKind::ServiceManager), m_access(access) {}
    bool Allows(DWORD access) const { return (m_access & access) == access; }

private:
    const DWORD m_access;
};

class ServiceHandle : public KernelObject {
public:
    ServiceHandle(int64_t id, DWORD access)
        : KernelObject(HandleKind::Service), m_id(id), m_access(access) {}
    int64_t Id() const { return m_id; }
    bool Allows(DWORD access) const { return (m_access & access) == access; }

private:
    const int64_t m_id;
    const DWORD m_access;
};

SC_HANDLE ToScHandle(HANDLE handle) {
    return reinterpret_cast<SC_HANDLE>(handle);
}
HANDLE FromScHandle(SC_HANDLE handle) {
    return reinterpret_cast<HANDLE>(handle);
}

std::shared_ptr<ManagerHandle> LookupManager(SC_HANDLE handle) {
    return LookupHandleAs<ManagerHandle>(FromScHandle(handle), HandleKind::ServiceManager);
}
std::shared_ptr<ServiceHandle> LookupService(SC_HANDLE handle) {
    return LookupHandleAs<ServiceHandle>(FromScHandle(handle), HandleKind::Service);
}

// The service behind `handle` when the handle grants `access`; null with the last error set
// (6 for no service handle, 5 for too little access) otherwise.
std::shared_ptr<ServiceHandle> ServiceWithAccess(SC_HANDLE handle, DWORD access) {
    std::shared_ptr<ServiceHandle> service = LookupService(handle);
    if (!service)
        return FailWith(ERROR_INVALID_HANDLE, std::shared_ptr<ServiceHandle>());
    if (!service->Allows(access))
        return FailWith(ERROR_ACCESS_DENIED, std::shared_ptr<ServiceHandle>());
    return service;
}

bool ValidServiceName(LPCWSTR name) {
    if (name == NULL || name[0] == 0)
        return false;
    std::u16string text(name);
    return text.size() <= kMaxServiceNameLength &&
           text.find_first_of(u"/\\") == std::u16string::npos;
}

bool ValidServiceType(DWORD type) {
    DWORD base = type & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS);
    return base == SERVICE_WIN32_OWN_PROCESS || base == SERVICE_WIN32_SHARE_PROCESS;
}

// Start types a process service can have (boot and system start are for drivers).
bool ValidStartType(DWORD start) {
    return start == SERVICE_AUTO_START || start == SERVICE_DEMAND_START ||
           start == SERVICE_DISABLED;
}

bool ValidErrorControl(DWORD error) {
    return error <= SERVICE_ERROR_CRITICAL;
}

// A list of NUL-ended names, ended by an empty name.
std::vector<std::u16string> SplitMultiString(LPCWSTR list) {
    std::vector<std::u16string> names;
    for (LPCWSTR item = list; item && *item; item += std::char_traits<char16_t>::length(item) + 1)
        names.emplace_back(item);
    return names;
}

// The status a caller sees; a stopped service names no process.
SERVICE_STATUS_PROCESS StatusOf(const ServiceRow& row) {
    SERVICE_STATUS_PROCESS status{};
    status.dwServiceType = row.type;
    status.dwCurrentState = row.status.dwCurrentState;
    // A stopped service takes no control, whatever it last reported.
    status.dwControlsAccepted =
        row.status.dwCurrentState == SERVICE_STOPPED ? 0 : row.status.dwControlsAccepted;
    status.dwWin32ExitCode = row.status.dwWin32ExitCode;
    status.dwServiceSpecificExitCode = row.status.dwServiceSpecificExitCode;
    status.dwCheckPoint = row.status.dwCheckPoint;
    status.dwWaitHint = row.status.dwWaitHint;
    status.dwProcessId =
        row.status.dwCurrentState == SERVICE_STOPPED ? 0 : static_cast<DWORD>(row.pid);
    return status;
}

void CopyStatus(const SERVICE_STATUS_PROCESS& from, LPSERVICE_STATUS to) {
    std::memcpy(to, &from, sizeof(SERVICE_STATUS));
}

// Reads the service behind a handle with crashes noticed; ERROR_INVALID_HANDLE when gone.
DWORD Load(Transaction& t, int64_t id, ServiceRow& row) {
    std::optional<ServiceRow> found = t.FindById(id);
    if (!found)
        return ERROR_INVALID_HANDLE;
    row = *found;
    t.Refresh(row);
    return ERROR_SUCCESS;
}

// Reads the service behind a handle with crashes noticed, in a read transaction that never
// holds up the service's own reports; a write only when its process is found gone.
DWORD LoadFresh(int64_t id, ServiceRow& row) {
    DWORD error = RunTransaction(false, [&](Transaction& t) -> DWORD {
        std::optional<ServiceRow> found = t.FindById(id);
        if (!found)
            return ERROR_INVALID_HANDLE;
        row = *found;
        return ERROR_SUCCESS;
    });
    if (error || row.status.dwCurrentState == SERVICE_STOPPED || row.pid == 0 ||
        scm::ProcessAlive(row.pid, row.pidStart))
        return error;
    return RunTransaction(true, [&](Transaction& t) { return Load(t, id, row); });
}

// Connects to the control socket of a live service process; -1 when it cannot be reached.
int ConnectControl(pid_t pid) {
    const std::string path = layout::ScmControlSocket(pid);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path))
        return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends one control to the service process and waits until its handler has returned.
DWORD DeliverControl(pid_t pid, DWORD control) {
    int fd = ConnectControl(pid);
    if (fd < 0)
        return ERROR_SERVICE_NOT_ACTIVE;
    DWORD reply = ERROR_SERVICE_REQUEST_TIMEOUT;
    if (send(fd, &control, sizeof control, MSG_NOSIGNAL) == sizeof control) {
        const WaitDeadline deadline = DeadlineAfter(ServiceTimeout());
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline.at - std::chrono::steady_clock::now());
            pollfd watched{fd, POLLIN, 0};
            int ready = poll(&watched, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready > 0) {
                DWORD answer = 0;
                reply = recv(fd, &answer, sizeof answer, MSG_WAITALL) == sizeof answer
                            ? answer
                            : static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE);
            }
            break;
        }
    }
    close(fd);
    return reply;
}

bool DefinedControl(DWORD control) {
    return (control >= SERVICE_CONTROL_STOP && control <= SERVICE_CONTROL_INTERROGATE) ||
           (control >= SERVICE_CONTROL_PARAMCHANGE && control <= SERVICE_CONTROL_NETBINDDISABLE) ||
           (control >= 128 && control <= 255);
}

DWORD AccessForControl(DWORD control) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
        return SERVICE_STOP;
    case SERVICE_CONTROL_INTERROGATE:
        return SERVICE_INTERROGATE;
    default:
        return control >= 128 ? SERVICE_USER_DEFINED_CONTROL : SERVICE_PAUSE_CONTINUE;
    }
}

// Whether a standard control reaches a service that accepts `accepted`; interrogate and the
// user-defined codes always do.
bool Accepts(DWORD accepted, DWORD control) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
        return accepted & SERVICE_ACCEPT_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
        return accepted & SERVICE_ACCEPT_PAUSE_CONTINUE;
    case SERVICE_CONTROL_PARAMCHANGE:
        return accepted & SERVICE_ACCEPT_PARAMCHANGE;
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE:
        return accepted & SERVICE_ACCEPT_NETBINDCHANGE;
    default:
        return true;
    }
}

bool Pending(DWORD state) {
    return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
           state == SERVICE_CONTINUE_PENDING || state == SERVICE_PAUSE_PENDING;
}

DWORD StartService(int64_t id, int depth);

// Polls the service until `reached` holds for it; ERROR_SUCCESS, the exit code of a service
// that stopped instead, or ERROR_SERVICE_REQUEST_TIMEOUT.
template <class Reached> DWORD AwaitService(int64_t id, Reached reached) {
    const WaitDeadline deadline = DeadlineAfter(ServiceTimeout());
    for (;;) {
        ServiceRow row;
        if (DWORD error = LoadFresh(id, row))
            return error;
        if (reached(row))
            return ERROR_SUCCESS;
        if (row.status.dwCurrentState == SERVICE_STOPPED)
            return row.status.dwWin32ExitCode ? row.status.dwWin32ExitCode
                                              : static_cast<DWORD>(ERROR_PROCESS_ABORTED);
        if (std::chrono::steady_clock::now() >= deadline.at)
            return ERROR_SERVICE_REQUEST_TIMEOUT;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// A dependent starts only once its dependency runs.
DWORD AwaitRunning(int64_t id) {
    return AwaitService(
        id, [](const ServiceRow& row) { return row.status.dwCurrentState == SERVICE_RUNNING; });
}

// Every dependency must exist and run; a stopped one is started first, as the platform does.
DWORD StartDependencies(const std::vector<std::u16string>& dependencies, int depth) {
    for (const std::u16string& name : dependencies) {
        std::optional<ServiceRow> dependency;
        DWORD error = RunTransaction(true, [&](Transaction& t) -> DWORD {
            dependency = t.FindByName(name);
            if (dependency && !t.Refresh(*dependency))
                dependency.reset();
            return ERROR_SUCCESS;
        });
        if (error)
            return error;
        if (!dependency || dependency->deletePending)
            return ERROR_SERVICE_DEPENDENCY_DELETED;
        if (dependency->status.dwCurrentState == SERVICE_RUNNING)
            continue;
        // A dependency loop would start for ever: the platform refuses it at configuration,
        // here it simply fails the start.
        if (depth > 16)
            return ERROR_SERVICE_DEPENDENCY_FAIL;
        DWORD started = StartService(dependency->id, depth + 1);
        if (started != ERROR_SUCCESS && started != ERROR_SERVICE_ALREADY_RUNNING)
            return ERROR_SERVICE_DEPENDENCY_FAIL;
        if (AwaitRunning(dependency->id) != ERROR_SUCCESS)
            return ERROR_SERVICE_DEPENDENCY_FAIL;
    }
    return ERROR_SUCCESS;
}

// Marks the service stopped after a start that did not come through.
void EndFailedStart(int64_t id, DWORD code) {
    RunTransaction(true, [&](Transaction& t) -> DWORD {
        std::optional<ServiceRow> row = t.FindById(id);
        if (!row)
            return ERROR_SUCCESS;
        row->status.dwCurrentState = SERVICE_STOPPED;
        row->status.dwControlsAccepted = 0;
        row->status.dwWin32ExitCode = code;
        row->status.dwCheckPoint = 0;
        row->status.dwWaitHint = 0;
        row->dispatcherReady = false;
        t.Update(*row);
        t.Refresh(*row);
        return ERROR_SUCCESS;
    });
}

// Waits for the new process's dispatcher to run ServiceMain.
DWORD AwaitDispatcher(int64_t id) {
    return AwaitService(id, [](const ServiceRow& row) { return row.dispatcherReady; });
}

DWORD StartService(int64_t id, int depth) {
    ServiceRow row;
    DWORD error = RunTransaction(true, [&](Transaction& t) -> DWORD {
        if (DWORD loaded = Load(t, id, row))
            return loaded;
        if (row.deletePending)
            return ERROR_SERVICE_MARKED_FOR_DELETE;
        if (row.startType == SERVICE_DISABLED)
            return ERROR_SERVICE_DISABLED;
        if (row.status.dwCurrentState != SERVICE_STOPPED)
            return ERROR_SERVICE_ALREADY_RUNNING;
        return ERROR_SUCCESS;
    });
    if (error)
        return error;
    if (DWORD dependencies = StartDependencies(row.dependencies, depth))
        return dependencies;

    // Claimed as start-pending in one step, so that of two concurrent starts one wins.
    error = RunTransaction(true, [&](Transaction& t) -> DWORD {
        if (DWORD loaded = Load(t, id, row))
            return loaded;
        if (row.status.dwCurrentState != SERVICE_STOPPED)
            return ERROR_SERVICE_ALREADY_RUNNING;
        row.status = SERVICE_STATUS{row.type, SERVICE_START_PENDING, 0, 0, 0, 0, 2000};
        row.pid = 0;
        row.pidStart = 0;
        row.dispatcherReady = false;
        t.Update(row);
        return ERROR_SUCCESS;
    });
    if (error)
        return error;

    PROCESS_INFORMATION process{};
    error = StartProcess(NULL, row.binaryPath,
                         {std::string(kServiceVariable) + "=" + ToUtf8(row.name)}, true, process);
    if (error) {
        EndFailedStart(id, error);
        return error;
    }
    CloseHandle(process.hThread);
    ProcStat stat;
    ReadProcStat(static_cast<pid_t>(process.dwProcessId), stat);
    // The new process may reach its dispatcher before this record is written: a named point,
    // so that tests can hold the manager here (HOSTWIN_DELAYS=RecordServiceProcess@1=MS).
    HOSTWIN_FAULT_POINT_NAME(kRecordPoint, "RecordServiceProcess");
    error = InjectedFault("RecordServiceProcess");
    if (!error)
        error = RunTransaction(true, [&](Transaction& t) -> DWORD {
            if (DWORD loaded = Load(t, id, row))
                return loaded;
            row.pid = static_cast<pid_t>(process.dwProcessId);
            row.pidStart = stat.startTime;
            t.Update(row);
            return ERROR_SUCCESS;
        });
    if (error) {
        // Unrecorded, the process could never connect: it is ended at once.
        TerminateProcess(process.hProcess, error);
        EndFailedStart(id, error);
    } else if ((error = AwaitDispatcher(id)) == ERROR_SERVICE_REQUEST_TIMEOUT) {
        // A process that never connected is ended, as the platform ends it.
        TerminateProcess(process.hProcess, ERROR_SERVICE_REQUEST_TIMEOUT);
        EndFailedStart(id, ERROR_SERVICE_REQUEST_TIMEOUT);
    }
    CloseHandle(process.hProcess);
    return error;
}

// Strings of QUERY_SERVICE_CONFIGW, in the order they are packed behind the record.
struct ConfigStrings {
    std::u16string binaryPath, group, dependencies, startName, displayName;
};

} // namespace

std::vector<ServiceStatusReport> ServiceStatusHistory(const std::u16string& serviceName) {
    std::vector<ServiceStatusReport> reports;
    RunTransaction(false, [&](Transaction& t) -> DWORD {
        reports = t.History(serviceName);
        return ERROR_SUCCESS;
    });
    return reports;
}

std::vector<std::u16string> InstalledServices() {
    std::vector<std::u16string> names;
    RunTransaction(true, [&](Transaction& t) -> DWORD {
        for (ServiceRow& row : t.All())
            if (t.Refresh(row))
                names.push_back(row.name);
        return ERROR_SUCCESS;
    });
    return names;
}

} // namespace hostwin

using namespace hostwin;

extern "C" {

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName,
                                DWORD dwDesiredAccess) {
    HOSTWIN_FAULT_POINT(static_cast<SC_HANDLE>(NULL));
    LogCall(__func__, "access=0x%08X", dwDesiredAccess);
    if (lpMachineName != NULL && lpMachineName[0] != 0)
        return NotSupported(__func__, "remote computer", static_cast<SC_HANDLE>(NULL));
    if (lpDatabaseName != NULL && ToU16(lpDatabaseName) != u"ServicesActive")
        return FailWith(ERROR_INVALID_NAME, static_cast<SC_HANDLE>(NULL));
    DWORD access = MapManagerAccess(dwDesiredAccess) | SC_MANAGER_CONNECT;
    if (!Elevated() && (access & ~kUserManagerAccess) != 0)
        return FailWith(ERROR_ACCESS_DENIED, static_cast<SC_HANDLE>(NULL));
    return ToScHandle(InsertHandle(std::make_shared<ManagerHandle>(access)));
}

SC_HANDLE WINAPI CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                                DWORD dwErrorControl, LPCWSTR lpBinaryPathName,
                                LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCWSTR lpDependencies,
                                LPCWSTR lpServiceStartName, LPCWSTR lpPassword) {
    HOSTWIN_FAULT_POINT(static_cast<SC_HANDLE>(NULL));
    (void)lpPassword;
    LogCall(__func__, "name=%s type=0x%X start=%u error=%u path=%s",
            ToUtf8(ToU16(lpServiceName)).c_str(), dwServiceType, dwStartType, dwErrorControl,
            ToUtf8(ToU16(lpBinaryPathName)).c_str());
    std::shared_ptr<ManagerHandle> manager = LookupManager(hSCManager);
    if (!manager)
        return FailWith(ERROR_INVALID_HANDLE, static_cast<SC_HANDLE>(NULL));
    if (!manager->Allows(SC_MANAGER_CREATE_SERVICE))
        return FailWith(ERROR_ACCESS_DENIED, static_cast<SC_HANDLE>(NULL));
    if (!ValidServiceName(lpServiceName) ||
        (lpDisplayName && std::u16string(lpDisplayName).size() > kMaxServiceNameLength))
        return FailWith(ERROR_INVALID_NAME, static_cast<SC_HANDLE>(NULL));
    if (!ValidServiceType(dwServiceType) || !ValidStartType(dwStartType) ||
        !ValidErrorControl(dwErrorControl) || lpBinaryPathName == NULL ||
        lpBinaryPathName[0] == 0 || (lpdwTagId != NULL))
        return FailWith(ERROR_INVALID_PARAMETER, static_cast<SC_HANDLE>(NULL));

    ServiceRow row;
    row.name = lpServiceName;
    row.displayName = lpDisplayName && lpDisplayName[0] ? ToU16(lpDisplayName) : row.name;
    row.type = dwServiceType;
    row.startType = dwStartType;
    row.errorControl = dwErrorControl;
    row.binaryPath = lpBinaryPathName;
    row.loadOrderGroup = ToU16(lpLoadOrderGroup);
    row.dependencies = SplitMultiString(lpDependencies);
    row.startName = lpServiceStartName ? ToU16(lpServiceStartName) : u"LocalSystem";
    row.status.dwServiceType = dwServiceType;
    row.status.dwCurrentState = SERVICE_STOPPED;
    DWORD access = MapServiceAccess(dwDesiredAccess);
    DWORD error = RunTransaction(true, [&](Transaction& t) -> DWORD {
        if (std::optional<ServiceRow> existing = t.FindByName(row.name)) {
            if (t.Refresh(*existing))
                return existing->deletePending ? ERROR_SERVICE_MARKED_FOR_DELETE
                                               : ERROR_SERVICE_EXISTS;
        }
        if (t.DisplayNameTaken(row.displayName, 0))
            return ERROR_DUPLICATE_SERVICE_NAME;
        row.id = t.Insert(row);
        t.AddHandle(row.id, 1);
        return ERROR_SUCCESS;
    });
    if (error)
        return FailWith(error, static_cast<SC_HANDLE>(NULL));
    return ToScHandle(InsertHandle(std::make_shared<ServiceHandle>(row.id, access)));
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
    HOSTWIN_FAULT_POINT(static_cast<SC_HANDLE>(NULL));
    LogCall(__func__, "name=%s access=0x%08X", ToUtf8(ToU16(lpServiceName)).c_str(),
            dwDesiredAccess);
    if (!LookupManager(hSCManager))
        return FailWith(ERROR_INVALID_HANDLE, static_cast<SC_HANDLE>(NULL));
    if (lpServiceName == NULL)
        return FailWith(ERROR_INVALID_ADDRESS, static_cast<SC_HANDLE>(NULL));
    if (!ValidServiceName(lpServiceName))
        return FailWith(ERROR_INVALID_NAME, static_cast<SC_HANDLE>(NULL));
    DWORD access = MapServiceAccess(dwDesiredAccess);
    if (!Elevated() && (access & ~kUserServiceAccess) != 0)
        return FailWith(ERROR_ACCESS_DENIED, static_cast<SC_HANDLE>(NULL));
    int64_t id = 0;
    DWORD error = RunTransaction(true, [&](Transaction& t) -> DWORD {
        std::optional<ServiceRow> row = t.FindByName(lpServiceName);
        if (!row || !t.Refresh(*row))
            return ERROR_SERVICE_DOES_NOT_EXIST;
        id = row->id;
        t.AddHandle(id, 1);
        return ERROR_SUCCESS;
    });
    if (error)
        return FailWith(error, static_cast<SC_HANDLE>(NULL));
    return ToScHandle(InsertHandle(std::make_shared<ServiceHandle>(id, access)));
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
    HOSTWIN_FAULT_POINT(FALSE);
    if (RemoveHandle(FromScHandle(hSCObject), HandleKind::ServiceManager)) {
        LogCall(__func__, "manager");
        return TRUE;
    }
    auto service = std::static_pointer_cast<ServiceHandle>(
        RemoveHandle(FromScHandle(hSCObject), HandleKind::Service));
    if (!service)
        return FailWith(ERROR_INVALID_HANDLE, FALSE);
    LogCall(__func__, "service");
    // The last handle of a service marked for deletion takes it away once it has stopped.
    RunTransaction(true, [&](Transaction& t) -> DWORD {
        t.AddHandle(service->Id(), -1);
        if (std::optional<ServiceRow> row = t.FindById(service->Id()))
            t.Refresh(*row);
        return ERROR_SUCCESS;
    });
    return TRUE;
}

BOOL WINAPI ChangeServiceConfigW(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType,
                                 DWORD dwErrorControl, LPCWSTR lpBinaryPathName,
                                 LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                 LPCWSTR lpDependencies, LPCWSTR lpServiceStartName,
                                 LPCWSTR lpPassword, LPCWSTR lpDisplayName) {
    HOSTWIN_FAULT_POINT(FALSE);
    (void)lpPassword;
    LogCall(__func__, "type=0x%X start=0x%X error=0x%X", dwServiceType, dwStartType,
            dwErrorControl);
    std::shared_ptr<ServiceHandle> service = ServiceWithAccess(hService, SERVICE_CHANGE_CONFIG);
    if (!service)
        return FALSE;
    if ((dwServiceType != SERVICE_NO_CHANGE && !ValidServiceType(dwServiceType)) ||
        (dwStartType != SERVICE_NO_CHANGE && !ValidStartType(dwStartType)) ||
        (dwErrorControl != SERVICE_NO_CHANGE && !ValidErrorControl(dwErrorControl)) ||
        (lpBinaryPathName && lpBinaryPathName[0] == 0) || lpdwTagId != NULL)
        return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    if (lpDisplayName && std::u16string(lpDisplayName).size() > kMaxServiceNameLength)
        return FailWith(ERROR_INVALID_NAME, FALSE);
    DWORD error = RunTransaction(true, [&](Transaction& t) -> DWORD {
        ServiceRow row;
        if (DWORD loaded = Load(t, service->Id(), row))
            return loaded;
        if (row.deletePending)
            return ERROR_SERVICE_MARKED_FOR_DELETE;
        if (dwServiceType != SERVICE_NO_CHANGE)
            row.type = dwServiceType;
        if (dwStartType != SERVICE_NO_CHANGE)
            row.startType = dwStartType;
        if (dwErrorControl != SERVICE_NO_CHANGE)
            row.errorControl = dwErrorControl;
        if (lpBinaryPathName)
            row.binaryPath = lpBinaryPathName;
        if (lpLoadOrderGroup)
            row.loadOrderGroup = lpLoadOrderGroup;
        if (lpDependencies)
            row.dependencies = SplitMultiString(lpDependencies);
        if (lpServiceStartName)
            row.startName = lpServiceStartName;
        if (lpDisplayName && lpDisplayName[0]) {
            if (t.DisplayNameTaken(lpDisplayName, row.id))
                return ERROR_DUPLICATE_SERVICE_NAME;
            row.displayName = lpDisplayName;
        }
        t.Update(row);
        return ERROR_SUCCESS;
    });
    return error ? FailWith(error, FALSE) : TRUE;
}

BOOL WINAPI ChangeServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo) {
    HOSTWIN_FAULT_POINT(FALSE);
    LogCall(__func__, "level=%u", dwInfoLevel);
    std::shared_ptr<ServiceHandle> service = LookupService(hService);
    if (!service)
        return FailWith(ERROR_INVALID_HANDLE, FALSE);
    if (dwInfoLevel != SERVICE_CONFIG_DESCRIPTION)
        return NotSupported(__func__, "information levels other than the description", FALSE);
    if (!service->Allows(SERVICE_CHANGE_CONFIG))
        return FailWith(ERROR_ACCESS_DENIED, FALSE);
    if (lpInfo == NULL)
        return FailWith(ERROR_INVALID_ADDRESS, FALSE);
    LPCWSTR description = static_cast<SERVICE_DESCRIPTIONW*>(lpInfo)->lpDescription;
    DWORD error = RunTransaction(true, [&](Transaction& t) -> DWORD {
        ServiceRow row;
        if (DWORD loaded = Load(t, service->Id(), row))
            return loaded;
        if (row.deletePending)
            return ERROR_SERVICE_MARKED_FOR_DELETE;
        // No text leaves the description as it is; an empty one removes it.
        if (description == NULL)
            return ERROR_SUCCESS;
        if (description[0] == 0)
            row.description.reset();
        else
            row.description = ToU16(description);
        t.Update(row);
        return ERROR_SUCCESS;
    });
    return error ? FailWith(error, FALSE) : TRUE;
}

BOOL WINAPI QueryServiceConfigW(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGW lpServiceConfig,
                                DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
    HOSTWIN_FAULT_POINT(FALSE);
    std::shared_ptr<ServiceHandle> service = ServiceWithAccess(hService, SERVICE_QUERY_CONFIG);
    if (!service)
        return FALSE;
    if (pcbBytesNeeded == NULL)
        return FailWith(ERROR_INVALID_ADDRESS, FALSE);
    ServiceRow row;
    if (DWORD error = LoadFresh(service->Id(), row))
        return FailWith(error, FALSE);

    std::u16string dependencies;
    for (const std::u16string& name : row.dependencies)
        dependencies += name + u'\0';
    dependencies += u'\0';
    const std::u16string* texts[] = {&row.binaryPath, &row.loadOrderGroup, &dependencies,
                                     &row.startName, &row.displayName};
    DWORD needed = sizeof(QUERY_SERVICE_CONFIGW);
    for (const std::u16string* text : texts)
        needed += static_cast<DWORD>((text->size() + 1) * sizeof(WCHAR));
    *pcbBytesNeeded = needed;
    if (lpServiceConfig == NULL || cbBufSize < needed)
        return FailWith(ERROR_INSUFFICIENT_BUFFER, FALSE);

    auto* cursor = reinterpret_cast<WCHAR*>(lpServiceConfig + 1);
    LPWSTR placed[5];
    for (size_t i = 0; i < 5; ++i) {
        placed[i] = cursor;
        std::copy(texts[i]->begin(), texts[i]->end(), cursor);
        cursor += texts[i]->size();
        *cursor++ = 0;
    }
    lpServiceConfig->dwServiceType = row.type;
    lpServiceConfig->dwStartType = row.startType;
    lpServiceConfig->dwErrorControl = row.errorControl;
    lpServiceConfig->lpBinaryPathName = placed[0];
    lpServiceConfig->lpLoadOrderGroup = placed[1];
    lpServiceConfig->dwTagId = 0;
    lpServiceConfig->lpDependencies = placed[2];
    lpServiceConfig->lpServiceStartName = placed[3];
    lpServiceConfig->lpDisplayName = placed[4];
    return TRUE;
}

BOOL WINAPI QueryServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPBYTE lpBuffer,
                                 DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
    HOSTWIN_FAULT_POINT(FALSE);
    std::shared_ptr<ServiceHandle> service = LookupService(hService);
    if (!service)
        return FailWith(ERROR_INVALID_HANDLE, FALSE);
    if (dwInfoLevel != SERVICE_CONFIG_DESCRIPTION)
        return NotSupported(__func__, "information levels other than the description", FALSE);
    if (!service->Allows(SERVICE_QUERY_CONFIG))
        return FailWith(ERROR_ACCESS_DENIED, FALSE);
    if (pcbBytesNeeded == NULL)
        return FailWith(ERROR_INVALID_ADDRESS, FALSE);
    ServiceRow row;
    if (DWORD error = LoadFresh(service->Id(), row))
        return FailWith(error, FALSE);
    DWORD needed = sizeof(SERVICE_DESCRIPTIONW);
    if (row.description)
        needed += static_cast<DWORD>((row.description->size() + 1) * sizeof(WCHAR));
    *pcbBytesNeeded = needed;
    if (lpBuffer == NULL || cbBufSize < needed)
        return FailWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
    auto* record = reinterpret_cast<SERVICE_DESCRIPTIONW*>(lpBuffer);
    record->lpDescription = NULL;
    if (row.description) {
        auto* text = reinterpret_cast<WCHAR*>(record + 1);
        std::copy(row.description->begin(), row.description->end(), text);
        text[row.description->size()] = 0;
        record->lpDescription = text;
    }
    return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE hService) {
    HOSTWIN_FAULT_POINT(FALSE);
    LogCall(__func__, "%s", "");
    std::shared_ptr<ServiceHandle> service = ServiceWithAccess(hService, kDeleteAccess);
    if (!service)
        return FALSE;
    DWORD error = RunTransaction(true, [&](Transaction& t) -> DWORD {
        ServiceRow row;
        if (DWORD loaded = Load(t, service->Id(), row))
            return loaded;
        if (row.deletePending)
            return ERROR_SERVICE_MARKED_FOR_DELETE;
        // Gone once it has stopped and its last handle is closed.
        row.deletePending = true;
        t.Update(row);
        t.Refresh(row);
        return ERROR_SUCCESS;
    });
    return error ? FailWith(error, FALSE) : TRUE;
}

BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs,
                          LPCWSTR* lpServiceArgVectors) {
    HOSTWIN_FAULT_POINT(FALSE);
    LogCall(__func__, "args=%u", dwNumServiceArgs);
    std::shared_ptr<ServiceHandle> service = ServiceWithAccess(hService, SERVICE_START);
    if (!service)
        return FALSE;
    if (dwNumServiceArgs != 0 || lpServiceArgVectors != NULL)
        return NotSupported(__func__, "service arguments", FALSE);
    DWORD error = StartService(service->Id(), 0);
    return error ? FailWith(error, FALSE) : TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    HOSTWIN_FAULT_POINT(FALSE);
    LogCall(__func__, "control=%u", dwControl);
    std::shared_ptr<ServiceHandle> service = LookupService(hService);
    if (!service)
        return FailWith(ERROR_INVALID_HANDLE, FALSE);
    if (!DefinedControl(dwControl))
        return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    if (!service->Allows(AccessForControl(dwControl)))
        return FailWith(ERROR_ACCESS_DENIED, FALSE);
    if (lpServiceStatus == NULL)
        return FailWith(ERROR_INVALID_ADDRESS, FALSE);

    ServiceRow row;
    DWORD error = RunTransaction(true, [&](Transaction& t) -> DWORD {
        if (DWORD loaded = Load(t, service->Id(), row))
            return loaded;
        if (row.status.dwCurrentState == SERVICE_STOPPED)
            return ERROR_SERVICE_NOT_ACTIVE;
        if (Pending(row.status.dwCurrentState))
            return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        if (!Accepts(row.status.dwControlsAccepted, dwControl))
            return ERROR_INVALID_SERVICE_CONTROL;
        return ERROR_SUCCESS;
    });
    if (error == ERROR_INVALID_HANDLE)
        return FailWith(error, FALSE);
    // Callers read the current state from the record also when the control is refused.
    if (error) {
        CopyStatus(StatusOf(row), lpServiceStatus);
        return FailWith(error, FALSE);
    }
    // A built-in service has no process; it answers from its record.
    if (row.pid != 0) {
        error = DeliverControl(row.pid, dwControl);
        if (error == ERROR_SERVICE_NOT_ACTIVE) {
            LoadFresh(service->Id(), row);
            CopyStatus(StatusOf(row), lpServiceStatus);
            return FailWith(error, FALSE);
        }
        if (error)
            return FailWith(error, FALSE);
    }
    LoadFresh(service->Id(), row);
    CopyStatus(StatusOf(row), lpServiceStatus);
    return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    HOSTWIN_FAULT_POINT(FALSE);
    std::shared_ptr<ServiceHandle> service = ServiceWithAccess(hService, SERVICE_QUERY_STATUS);
    if (!service)
        return FALSE;
    if (lpServiceStatus == NULL)
        return FailWith(ERROR_INVALID_ADDRESS, FALSE);
    ServiceRow row;
    if (DWORD error = LoadFresh(service->Id(), row))
        return FailWith(error, FALSE);
    CopyStatus(StatusOf(row), lpServiceStatus);
    return TRUE;
}

BOOL WINAPI QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, LPBYTE lpBuffer,
                                 DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
    HOSTWIN_FAULT_POINT(FALSE);
    std::shared_ptr<ServiceHandle> service = LookupService(hService);
    if (!service)
        return FailWith(ERROR_INVALID_HANDLE, FALSE);
    if (InfoLevel != SC_STATUS_PROCESS_INFO)
        return FailWith(ERROR_INVALID_LEVEL, FALSE);
    if (!service->Allows(SERVICE_QUERY_STATUS))
        return FailWith(ERROR_ACCESS_DENIED, FALSE);
    if (pcbBytesNeeded == NULL)
        return FailWith(ERROR_INVALID_ADDRESS, FALSE);
    *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
    if (lpBuffer == NULL || cbBufSize < sizeof(SERVICE_STATUS_PROCESS))
        return FailWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
    ServiceRow row;
    if (DWORD error = LoadFresh(service->Id(), row))
        return FailWith(error, FALSE);
    SERVICE_STATUS_PROCESS status = StatusOf(row);
    std::memcpy(lpBuffer, &status, sizeof status);
    return TRUE;
}

} // extern "C"
