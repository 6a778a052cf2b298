// The service control manager's calls for everyone but the service itself: the service
// database (create, open, change, query, delete) and starting and controlling services. There
// is no manager process: each call acts on the machine's service database, and what only a
// live service can answer goes to its process over its control channel.
//
// Each call is a thin public function (fault point, call log, the last error set in one place)
// over an internal one that returns the code.
#include "base/core.h"
#include "scm/control_channel.h"
#include "scm/sc_handles.h"
#include "process/procfs.h"
#include "scm/scm_store.h"
#include "scm/service_access.h"
#include "scm/service_ledger.h"
#include "scm/service_listing.h"
#include "scm/service_start.h"

#include <hostwin/text.h>

#include <algorithm>
#include <cstring>

namespace hostwin {

namespace {

using namespace scm;

constexpr size_t kMaxServiceNameLength = 256;

DWORD Unsupported(const char* function, const char* what) {
    return NotSupportedCode(function, what, static_cast<DWORD>(ERROR_NOT_SUPPORTED));
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

void CopyStatus(const SERVICE_STATUS_PROCESS& from, LPSERVICE_STATUS to) {
    std::memcpy(to, &from, sizeof(SERVICE_STATUS));
}

bool DefinedControl(DWORD control) {
    return (control >= SERVICE_CONTROL_STOP && control <= SERVICE_CONTROL_INTERROGATE) ||
           (control >= SERVICE_CONTROL_PARAMCHANGE && control <= SERVICE_CONTROL_NETBINDDISABLE) ||
           (control >= 128 && control <= 255);
}

DWORD InternalOpenSCManager(LPCWSTR machine, LPCWSTR database, DWORD requested, SC_HANDLE& handle) {
    if (machine != NULL && machine[0] != 0)
        return Unsupported("OpenSCManagerW", "remote computer");
    if (database != NULL && ToU16(database) != u"ServicesActive")
        return ERROR_INVALID_NAME;
    DWORD access = 0;
    if (DWORD error = GrantManagerAccess(requested, access))
        return error;
    handle = InsertManagerHandle(access);
    return ERROR_SUCCESS;
}

DWORD InternalCreateService(SC_HANDLE managerHandle, LPCWSTR name, LPCWSTR displayName,
                            DWORD requested, DWORD type, DWORD startType, DWORD errorControl,
                            LPCWSTR binaryPath, LPCWSTR group, LPDWORD tagId, LPCWSTR dependencies,
                            LPCWSTR startName, SC_HANDLE& handle) {
    std::shared_ptr<ManagerHandle> manager;
    if (DWORD error = OpenedManager(managerHandle, SC_MANAGER_CREATE_SERVICE, manager))
        return error;
    if (!ValidServiceName(name) ||
        (displayName && std::u16string(displayName).size() > kMaxServiceNameLength))
        return ERROR_INVALID_NAME;
    if (!ValidServiceType(type) || !ValidStartType(startType) || !ValidErrorControl(errorControl) ||
        binaryPath == NULL || binaryPath[0] == 0 || tagId != NULL)
        return ERROR_INVALID_PARAMETER;

    ServiceRow row;
    row.name = name;
    row.displayName = displayName && displayName[0] ? ToU16(displayName) : row.name;
    row.type = type;
    row.startType = startType;
    row.errorControl = errorControl;
    row.binaryPath = binaryPath;
    row.loadOrderGroup = ToU16(group);
    row.dependencies = SplitMultiString(dependencies);
    row.startName = startName ? ToU16(startName) : u"LocalSystem";
    row.status.dwServiceType = type;
    row.status.dwCurrentState = SERVICE_STOPPED;
    DWORD access = MapServiceAccess(requested);
    DWORD error = RunTransaction(true, [&](Transaction& t) -> DWORD {
        if (std::optional<ServiceRow> existing = FindReconciled(t, row.name))
            return existing->deletePending ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS;
        if (t.DisplayNameTaken(row.displayName, 0))
            return ERROR_DUPLICATE_SERVICE_NAME;
        row.id = t.Insert(row);
        t.AddHandle(row.id, 1);
        NoteInstalled(row);
        return ERROR_SUCCESS;
    });
    if (error)
        return error;
    handle = InsertServiceHandle(row.id, access);
    return ERROR_SUCCESS;
}

DWORD InternalOpenService(SC_HANDLE managerHandle, LPCWSTR name, DWORD requested,
                          SC_HANDLE& handle) {
    std::shared_ptr<ManagerHandle> manager;
    if (DWORD error = OpenedManager(managerHandle, 0, manager))
        return error;
    if (name == NULL)
        return ERROR_INVALID_ADDRESS;
    if (!ValidServiceName(name))
        return ERROR_INVALID_NAME;
    DWORD access = 0;
    if (DWORD error = GrantServiceAccess(requested, access))
        return error;
    int64_t id = 0;
    DWORD error = RunTransaction(true, [&](Transaction& t) -> DWORD {
        std::optional<ServiceRow> row = FindReconciled(t, name);
        if (!row)
            return ERROR_SERVICE_DOES_NOT_EXIST;
        id = row->id;
        t.AddHandle(id, 1);
        return ERROR_SUCCESS;
    });
    if (error)
        return error;
    handle = InsertServiceHandle(id, access);
    return ERROR_SUCCESS;
}

DWORD InternalCloseServiceHandle(SC_HANDLE handle) {
    if (RemoveScHandle(handle, HandleKind::ServiceManager)) {
        LogCall("CloseServiceHandle", "manager");
        return ERROR_SUCCESS;
    }
    auto service =
        std::static_pointer_cast<ServiceHandle>(RemoveScHandle(handle, HandleKind::Service));
    if (!service)
        return ERROR_INVALID_HANDLE;
    LogCall("CloseServiceHandle", "service");
    // The last handle of a service marked for deletion takes it away once it has stopped.
    RunTransaction(true, [&](Transaction& t) -> DWORD {
        t.AddHandle(service->Id(), -1);
        if (std::optional<ServiceRow> row = t.FindById(service->Id()))
            Reconcile(t, *row);
        return ERROR_SUCCESS;
    });
    return ERROR_SUCCESS;
}

// ChangeServiceConfigW's arguments, NULL or SERVICE_NO_CHANGE where nothing changes.
struct ConfigChange {
    DWORD type, startType, errorControl;
    LPCWSTR binaryPath, group;
    LPDWORD tagId;
    LPCWSTR dependencies, startName, displayName;
};

DWORD InternalChangeServiceConfig(SC_HANDLE handle, const ConfigChange& change) {
    std::shared_ptr<ServiceHandle> service;
    if (DWORD error = OpenedService(handle, SERVICE_CHANGE_CONFIG, service))
        return error;
    if ((change.type != SERVICE_NO_CHANGE && !ValidServiceType(change.type)) ||
        (change.startType != SERVICE_NO_CHANGE && !ValidStartType(change.startType)) ||
        (change.errorControl != SERVICE_NO_CHANGE && !ValidErrorControl(change.errorControl)) ||
        (change.binaryPath && change.binaryPath[0] == 0) || change.tagId != NULL)
        return ERROR_INVALID_PARAMETER;
    if (change.displayName && std::u16string(change.displayName).size() > kMaxServiceNameLength)
        return ERROR_INVALID_NAME;
    return RunTransaction(true, [&](Transaction& t) -> DWORD {
        ServiceRow row;
        if (DWORD loaded = LoadReconciled(t, service->Id(), row))
            return loaded;
        if (row.deletePending)
            return ERROR_SERVICE_MARKED_FOR_DELETE;
        if (change.type != SERVICE_NO_CHANGE)
            row.type = change.type;
        if (change.startType != SERVICE_NO_CHANGE)
            row.startType = change.startType;
        if (change.errorControl != SERVICE_NO_CHANGE)
            row.errorControl = change.errorControl;
        if (change.binaryPath)
            row.binaryPath = change.binaryPath;
        if (change.group)
            row.loadOrderGroup = change.group;
        if (change.dependencies)
            row.dependencies = SplitMultiString(change.dependencies);
        if (change.startName)
            row.startName = change.startName;
        if (change.displayName && change.displayName[0]) {
            if (t.DisplayNameTaken(change.displayName, row.id))
                return ERROR_DUPLICATE_SERVICE_NAME;
            row.displayName = change.displayName;
        }
        t.Update(row);
        return ERROR_SUCCESS;
    });
}

// The configuration calls check the information level before the access.
DWORD InternalChangeServiceConfig2(SC_HANDLE handle, DWORD level, LPVOID info) {
    std::shared_ptr<ServiceHandle> service;
    if (DWORD error = OpenedService(handle, service))
        return error;
    if (level != SERVICE_CONFIG_DESCRIPTION)
        return Unsupported("ChangeServiceConfig2W",
                           "information levels other than the description");
    if (DWORD error = service->Require(SERVICE_CHANGE_CONFIG))
        return error;
    if (info == NULL)
        return ERROR_INVALID_ADDRESS;
    LPCWSTR description = static_cast<SERVICE_DESCRIPTIONW*>(info)->lpDescription;
    return RunTransaction(true, [&](Transaction& t) -> DWORD {
        ServiceRow row;
        if (DWORD loaded = LoadReconciled(t, service->Id(), row))
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
}

DWORD InternalQueryServiceConfig(SC_HANDLE handle, LPQUERY_SERVICE_CONFIGW config, DWORD size,
                                 LPDWORD needed) {
    std::shared_ptr<ServiceHandle> service;
    if (DWORD error = OpenedService(handle, SERVICE_QUERY_CONFIG, service))
        return error;
    if (needed == NULL)
        return ERROR_INVALID_ADDRESS;
    ServiceRow row;
    if (DWORD error = LoadFresh(service->Id(), row))
        return error;

    std::u16string dependencies;
    for (const std::u16string& name : row.dependencies)
        dependencies += name + u'\0';
    dependencies += u'\0';
    // The strings in the order they are packed behind the record.
    const std::u16string* texts[] = {&row.binaryPath, &row.loadOrderGroup, &dependencies,
                                     &row.startName, &row.displayName};
    DWORD total = sizeof(QUERY_SERVICE_CONFIGW);
    for (const std::u16string* text : texts)
        total += static_cast<DWORD>((text->size() + 1) * sizeof(WCHAR));
    *needed = total;
    if (config == NULL || size < total)
        return ERROR_INSUFFICIENT_BUFFER;

    auto* cursor = reinterpret_cast<WCHAR*>(config + 1);
    LPWSTR placed[5];
    for (size_t i = 0; i < 5; ++i) {
        placed[i] = cursor;
        std::copy(texts[i]->begin(), texts[i]->end(), cursor);
        cursor += texts[i]->size();
        *cursor++ = 0;
    }
    config->dwServiceType = row.type;
    config->dwStartType = row.startType;
    config->dwErrorControl = row.errorControl;
    config->lpBinaryPathName = placed[0];
    config->lpLoadOrderGroup = placed[1];
    config->dwTagId = 0;
    config->lpDependencies = placed[2];
    config->lpServiceStartName = placed[3];
    config->lpDisplayName = placed[4];
    return ERROR_SUCCESS;
}

DWORD InternalQueryServiceConfig2(SC_HANDLE handle, DWORD level, LPBYTE buffer, DWORD size,
                                  LPDWORD needed) {
    std::shared_ptr<ServiceHandle> service;
    if (DWORD error = OpenedService(handle, service))
        return error;
    if (level != SERVICE_CONFIG_DESCRIPTION)
        return Unsupported("QueryServiceConfig2W", "information levels other than the description");
    if (DWORD error = service->Require(SERVICE_QUERY_CONFIG))
        return error;
    if (needed == NULL)
        return ERROR_INVALID_ADDRESS;
    ServiceRow row;
    if (DWORD error = LoadFresh(service->Id(), row))
        return error;
    DWORD total = sizeof(SERVICE_DESCRIPTIONW);
    if (row.description)
        total += static_cast<DWORD>((row.description->size() + 1) * sizeof(WCHAR));
    *needed = total;
    if (buffer == NULL || size < total)
        return ERROR_INSUFFICIENT_BUFFER;
    auto* record = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer);
    record->lpDescription = NULL;
    if (row.description) {
        auto* text = reinterpret_cast<WCHAR*>(record + 1);
        std::copy(row.description->begin(), row.description->end(), text);
        text[row.description->size()] = 0;
        record->lpDescription = text;
    }
    return ERROR_SUCCESS;
}

DWORD InternalDeleteService(SC_HANDLE handle) {
    std::shared_ptr<ServiceHandle> service;
    if (DWORD error = OpenedService(handle, DELETE, service))
        return error;
    return RunTransaction(true, [&](Transaction& t) -> DWORD {
        ServiceRow row;
        if (DWORD loaded = LoadReconciled(t, service->Id(), row))
            return loaded;
        if (row.deletePending)
            return ERROR_SERVICE_MARKED_FOR_DELETE;
        // Gone once it has stopped and its last handle is closed.
        row.deletePending = true;
        t.Update(row);
        Reconcile(t, row);
        return ERROR_SUCCESS;
    });
}

DWORD InternalStartService(SC_HANDLE handle, DWORD argc, LPCWSTR* argv) {
    std::shared_ptr<ServiceHandle> service;
    if (DWORD error = OpenedService(handle, SERVICE_START, service))
        return error;
    if (argc != 0 || argv != NULL)
        return Unsupported("StartServiceW", "service arguments");
    return StartService(service->Id());
}

// ControlService checks the control code before the access.
DWORD InternalControlService(SC_HANDLE handle, DWORD control, LPSERVICE_STATUS status) {
    std::shared_ptr<ServiceHandle> service;
    if (DWORD error = OpenedService(handle, service))
        return error;
    if (!DefinedControl(control))
        return ERROR_INVALID_PARAMETER;
    if (DWORD error = service->Require(AccessForControl(control)))
        return error;
    if (status == NULL)
        return ERROR_INVALID_ADDRESS;

    ServiceRow row;
    DWORD error = RunTransaction(true, [&](Transaction& t) -> DWORD {
        if (DWORD loaded = LoadReconciled(t, service->Id(), row))
            return loaded;
        return RefusedControl(row.status, control);
    });
    if (error == ERROR_INVALID_HANDLE)
        return error;
    // Callers read the current state from the record also when the control is refused.
    if (error) {
        CopyStatus(StatusOf(row), status);
        return error;
    }
    // A built-in service has no process; it answers from its record. The record may be behind:
    // the dispatcher checks the control again against the service's latest report, in the same
    // step as it delivers it, and refuses it with the same codes.
    if (row.pid != 0) {
        error = SendControl(row.pid, control);
        if (error == ERROR_SERVICE_NOT_ACTIVE || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ||
            error == ERROR_INVALID_SERVICE_CONTROL) {
            LoadFresh(service->Id(), row);
            CopyStatus(StatusOf(row), status);
            // A dispatcher gone mid-control was stopping: the record says whether it still is.
            if (error == ERROR_SERVICE_NOT_ACTIVE)
                if (DWORD refused = RefusedControl(row.status, control))
                    return refused;
            return error;
        }
        if (error)
            return error;
    }
    LoadFresh(service->Id(), row);
    CopyStatus(StatusOf(row), status);
    return ERROR_SUCCESS;
}

DWORD InternalQueryServiceStatus(SC_HANDLE handle, LPSERVICE_STATUS status) {
    std::shared_ptr<ServiceHandle> service;
    if (DWORD error = OpenedService(handle, SERVICE_QUERY_STATUS, service))
        return error;
    if (status == NULL)
        return ERROR_INVALID_ADDRESS;
    ServiceRow row;
    if (DWORD error = LoadFresh(service->Id(), row))
        return error;
    CopyStatus(StatusOf(row), status);
    return ERROR_SUCCESS;
}

// The query calls with a level check it before the access.
DWORD InternalQueryServiceStatusEx(SC_HANDLE handle, SC_STATUS_TYPE level, LPBYTE buffer,
                                   DWORD size, LPDWORD needed) {
    std::shared_ptr<ServiceHandle> service;
    if (DWORD error = OpenedService(handle, service))
        return error;
    if (level != SC_STATUS_PROCESS_INFO)
        return ERROR_INVALID_LEVEL;
    if (DWORD error = service->Require(SERVICE_QUERY_STATUS))
        return error;
    if (needed == NULL)
        return ERROR_INVALID_ADDRESS;
    *needed = sizeof(SERVICE_STATUS_PROCESS);
    if (buffer == NULL || size < sizeof(SERVICE_STATUS_PROCESS))
        return ERROR_INSUFFICIENT_BUFFER;
    ServiceRow row;
    if (DWORD error = LoadFresh(service->Id(), row))
        return error;
    SERVICE_STATUS_PROCESS processStatus = StatusOf(row);
    std::memcpy(buffer, &processStatus, sizeof processStatus);
    return ERROR_SUCCESS;
}

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
            if (Reconcile(t, row))
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
    SC_HANDLE handle = NULL;
    DWORD error = InternalOpenSCManager(lpMachineName, lpDatabaseName, dwDesiredAccess, handle);
    return Finish(error, handle);
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
    SC_HANDLE handle = NULL;
    DWORD error = InternalCreateService(hSCManager, lpServiceName, lpDisplayName, dwDesiredAccess,
                                        dwServiceType, dwStartType, dwErrorControl,
                                        lpBinaryPathName, lpLoadOrderGroup, lpdwTagId,
                                        lpDependencies, lpServiceStartName, handle);
    return Finish(error, handle);
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
    HOSTWIN_FAULT_POINT(static_cast<SC_HANDLE>(NULL));
    LogCall(__func__, "name=%s access=0x%08X", ToUtf8(ToU16(lpServiceName)).c_str(),
            dwDesiredAccess);
    SC_HANDLE handle = NULL;
    DWORD error = InternalOpenService(hSCManager, lpServiceName, dwDesiredAccess, handle);
    return Finish(error, handle);
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
    HOSTWIN_FAULT_POINT(FALSE);
    return Finish(InternalCloseServiceHandle(hSCObject));
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
    return Finish(InternalChangeServiceConfig(
        hService, {dwServiceType, dwStartType, dwErrorControl, lpBinaryPathName, lpLoadOrderGroup,
                   lpdwTagId, lpDependencies, lpServiceStartName, lpDisplayName}));
}

BOOL WINAPI ChangeServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo) {
    HOSTWIN_FAULT_POINT(FALSE);
    LogCall(__func__, "level=%u", dwInfoLevel);
    return Finish(InternalChangeServiceConfig2(hService, dwInfoLevel, lpInfo));
}

BOOL WINAPI QueryServiceConfigW(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGW lpServiceConfig,
                                DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
    HOSTWIN_FAULT_POINT(FALSE);
    return Finish(InternalQueryServiceConfig(hService, lpServiceConfig, cbBufSize, pcbBytesNeeded));
}

BOOL WINAPI QueryServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPBYTE lpBuffer,
                                 DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
    HOSTWIN_FAULT_POINT(FALSE);
    return Finish(
        InternalQueryServiceConfig2(hService, dwInfoLevel, lpBuffer, cbBufSize, pcbBytesNeeded));
}

BOOL WINAPI DeleteService(SC_HANDLE hService) {
    HOSTWIN_FAULT_POINT(FALSE);
    LogCall(__func__, "%s", "");
    return Finish(InternalDeleteService(hService));
}

BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs,
                          LPCWSTR* lpServiceArgVectors) {
    HOSTWIN_FAULT_POINT(FALSE);
    LogCall(__func__, "args=%u", dwNumServiceArgs);
    return Finish(InternalStartService(hService, dwNumServiceArgs, lpServiceArgVectors));
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    HOSTWIN_FAULT_POINT(FALSE);
    LogCall(__func__, "control=%u", dwControl);
    return Finish(InternalControlService(hService, dwControl, lpServiceStatus));
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    HOSTWIN_FAULT_POINT(FALSE);
    return Finish(InternalQueryServiceStatus(hService, lpServiceStatus));
}

BOOL WINAPI QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, LPBYTE lpBuffer,
                                 DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
    HOSTWIN_FAULT_POINT(FALSE);
    return Finish(
        InternalQueryServiceStatusEx(hService, InfoLevel, lpBuffer, cbBufSize, pcbBytesNeeded));
}

} // extern "C"
