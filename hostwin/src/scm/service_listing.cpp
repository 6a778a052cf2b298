// EnumServicesStatusExW: every service in one read, filtered by type, state and group, packed
// into the caller's buffer as the platform packs it, with a resume point for what did not fit.
#include "scm/service_listing.h"

#include "base/core.h"
#include "scm/sc_handles.h"
#include "scm/service_ledger.h"

#include <hostwin/text.h>

#include <cstring>
#include <vector>

namespace hostwin::scm {

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

namespace {

// Whether a listing of `type` and `state` (each as EnumServicesStatusExW takes it) shows `row`.
bool Listed(const ServiceRow& row, DWORD type, DWORD state, LPCWSTR group) {
    const bool active = row.status.dwCurrentState != SERVICE_STOPPED;
    return (row.type & type & SERVICE_TYPE_ALL &
            ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS)) &&
           (state & (active ? SERVICE_ACTIVE : SERVICE_INACTIVE)) &&
           (group == NULL || FoldName(ToU16(group)) == FoldName(row.loadOrderGroup));
}

// Every service in one read; only a row whose process is gone or whose deletion may be due is
// settled, each in a write of its own, so a listing of live services writes nothing.
DWORD ReadListing(std::vector<ServiceRow>& rows) {
    if (DWORD error = RunTransaction(false, [&](Transaction& t) -> DWORD {
            rows = t.All();
            return ERROR_SUCCESS;
        }))
        return error;
    std::vector<ServiceRow> settled;
    for (ServiceRow& row : rows) {
        const bool stopped = row.status.dwCurrentState == SERVICE_STOPPED;
        if ((stopped && !row.deletePending) ||
            (!stopped && (row.pid == 0 || ProcessAlive(row.pid, row.pidStart)))) {
            settled.push_back(std::move(row));
            continue;
        }
        bool kept = false;
        if (DWORD error = RunTransaction(true, [&](Transaction& t) -> DWORD {
                std::optional<ServiceRow> found = t.FindById(row.id);
                kept = found && Reconcile(t, *found);
                if (kept)
                    row = std::move(*found);
                return ERROR_SUCCESS;
            }))
            return error;
        if (kept)
            settled.push_back(std::move(row));
    }
    rows = std::move(settled);
    return ERROR_SUCCESS;
}

struct EnumRequest {
    DWORD type, state;
    LPBYTE buffer;
    DWORD size;
    LPDWORD needed, returned, resume;
    LPCWSTR group;
};

// Records at the front of the buffer, their strings packed from its end; what does not fit is
// counted in `needed` and resumes at its place in the listing.
DWORD InternalEnumServicesStatusEx(SC_HANDLE managerHandle, SC_ENUM_TYPE level,
                                   const EnumRequest& r) {
    std::shared_ptr<ManagerHandle> manager;
    if (DWORD error = OpenedManager(managerHandle, 0, manager))
        return error;
    if (level != SC_ENUM_PROCESS_INFO)
        return ERROR_INVALID_LEVEL;
    if (DWORD error = manager->Require(SC_MANAGER_ENUMERATE_SERVICE))
        return error;
    if ((r.type & SERVICE_TYPE_ALL & ~static_cast<DWORD>(SERVICE_INTERACTIVE_PROCESS)) == 0 ||
        (r.type & ~static_cast<DWORD>(SERVICE_TYPE_ALL)) != 0 || r.state == 0 ||
        (r.state & ~static_cast<DWORD>(SERVICE_STATE_ALL)) != 0)
        return ERROR_INVALID_PARAMETER;
    if (r.needed == NULL || r.returned == NULL || (r.buffer == NULL && r.size != 0))
        return ERROR_INVALID_ADDRESS;
    std::vector<ServiceRow> rows;
    if (DWORD error = ReadListing(rows))
        return error;
    *r.needed = 0;
    *r.returned = 0;
    DWORD index = 0;
    const DWORD first = r.resume ? *r.resume : 0;
    // Strings are WCHARs: the packing from the end keeps them on even offsets.
    size_t front = 0, back = r.size & ~static_cast<size_t>(1);
    for (const ServiceRow& row : rows) {
        if (!Listed(row, r.type, r.state, r.group))
            continue;
        const DWORD at = index++;
        if (at < first)
            continue;
        const size_t nameBytes = (row.name.size() + 1) * sizeof(WCHAR);
        const size_t displayBytes = (row.displayName.size() + 1) * sizeof(WCHAR);
        const size_t entry = sizeof(ENUM_SERVICE_STATUS_PROCESSW) + nameBytes + displayBytes;
        if (*r.needed != 0 || back < front + entry) {
            if (*r.needed == 0 && r.resume)
                *r.resume = at;
            *r.needed += static_cast<DWORD>(entry);
            continue;
        }
        back -= nameBytes + displayBytes;
        auto* name = reinterpret_cast<WCHAR*>(r.buffer + back);
        std::memcpy(name, row.name.c_str(), nameBytes);
        auto* display = reinterpret_cast<WCHAR*>(r.buffer + back + nameBytes);
        std::memcpy(display, row.displayName.c_str(), displayBytes);
        ENUM_SERVICE_STATUS_PROCESSW record{name, display, StatusOf(row)};
        std::memcpy(r.buffer + front, &record, sizeof record);
        front += sizeof record;
        ++*r.returned;
    }
    if (*r.needed != 0)
        return ERROR_MORE_DATA;
    if (r.resume)
        *r.resume = 0;
    return ERROR_SUCCESS;
}

} // namespace

} // namespace hostwin::scm

using namespace hostwin;
using namespace hostwin::scm;

extern "C" {

BOOL WINAPI EnumServicesStatusExW(SC_HANDLE hSCManager, SC_ENUM_TYPE InfoLevel, DWORD dwServiceType,
                                  DWORD dwServiceState, LPBYTE lpServices, DWORD cbBufSize,
                                  LPDWORD pcbBytesNeeded, LPDWORD lpServicesReturned,
                                  LPDWORD lpResumeHandle, LPCWSTR pszGroupName) {
    HOSTWIN_FAULT_POINT(FALSE);
    LogCall(__func__, "type=0x%X state=%u size=%u", dwServiceType, dwServiceState, cbBufSize);
    return Finish(InternalEnumServicesStatusEx(hSCManager, InfoLevel,
                                               {dwServiceType, dwServiceState, lpServices,
                                                cbBufSize, pcbBytesNeeded, lpServicesReturned,
                                                lpResumeHandle, pszGroupName}));
}

} // extern "C"
