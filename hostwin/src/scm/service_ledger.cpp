// Crash accounting and due deletions.
#include "scm/service_ledger.h"

#include "machine/eventlog.h"
#include "scm/service_start.h"

#include <hostwin/text.h>

namespace hostwin::scm {

bool Reconcile(Transaction& t, ServiceRow& row) {
    if (row.status.dwCurrentState != SERVICE_STOPPED && row.pid != 0 &&
        !ProcessAlive(row.pid, row.pidStart)) {
        MarkStopped(row, ERROR_PROCESS_ABORTED);
        row.status.dwServiceSpecificExitCode = 0;
        ++row.crashes;
        t.Update(row);
        AppendEvent(EventLogName::System, "Service Control Manager", EVENTLOG_ERROR_TYPE, 0, 7034,
                    {ToUtf8(row.displayName), std::to_string(row.crashes)});
    }
    if (row.deletePending && row.status.dwCurrentState == SERVICE_STOPPED &&
        t.OpenHandles(row.id) == 0) {
        t.Delete(row.id);
        return false;
    }
    return true;
}

std::optional<ServiceRow> FindReconciled(Transaction& t, const std::u16string& name) {
    std::optional<ServiceRow> row = t.FindByName(name);
    if (row && !Reconcile(t, *row))
        row.reset();
    return row;
}

DWORD LoadReconciled(Transaction& t, int64_t id, ServiceRow& row) {
    std::optional<ServiceRow> found = t.FindById(id);
    if (!found)
        return ERROR_INVALID_HANDLE;
    row = *found;
    Reconcile(t, row);
    return ERROR_SUCCESS;
}

DWORD LoadFresh(int64_t id, ServiceRow& row) {
    DWORD error = RunTransaction(false, [&](Transaction& t) -> DWORD {
        std::optional<ServiceRow> found = t.FindById(id);
        if (!found)
            return ERROR_INVALID_HANDLE;
        row = *found;
        return ERROR_SUCCESS;
    });
    if (error || row.status.dwCurrentState == SERVICE_STOPPED || row.pid == 0 ||
        ProcessAlive(row.pid, row.pidStart))
        return error;
    return RunTransaction(true, [&](Transaction& t) { return LoadReconciled(t, id, row); });
}

} // namespace hostwin::scm
