// Crash accounting and due deletions.
#include "scm/service_ledger.h"

#include "machine/eventlog.h"
#include "machine/exit_records.h"
#include "process/process.h"
#include "scm/service_start.h"

#include <hostwin/text.h>

#include <signal.h>

namespace hostwin::scm {

namespace {

constexpr char kSource[] = "Service Control Manager";

// The text the platform's log shows for a start error (it stores a reference to it).
std::string StartErrorText(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        return "The system cannot find the file specified.";
    case ERROR_PATH_NOT_FOUND:
        return "The system cannot find the path specified.";
    case ERROR_ACCESS_DENIED:
        return "Access is denied.";
    case ERROR_PROCESS_ABORTED:
        return "The process terminated unexpectedly.";
    case ERROR_SERVICE_REQUEST_TIMEOUT:
        return "The service did not respond to the start or control request in a timely "
               "fashion.";
    case ERROR_FAILED_SERVICE_CONTROLLER_CONNECT:
        return "The service process could not connect to the service controller.";
    default:
        return "%%" + std::to_string(error);
    }
}

std::string StartTypeText(DWORD startType) {
    switch (startType) {
    case SERVICE_AUTO_START:
        return "auto start";
    case SERVICE_DISABLED:
        return "disabled";
    default:
        return "demand start";
    }
}

// A start whose claimer (the StartServiceW caller) ended before the service's dispatcher
// connected: nobody else would ever end it.
bool Abandoned(const ServiceRow& row) {
    StartState state = StartStateOf(row);
    return (state == StartState::Claimed || state == StartState::Recorded) && row.claimPid != 0 &&
           !ProcessAlive(row.claimPid, row.claimStart);
}

} // namespace

void NoteInstalled(const ServiceRow& row) {
    AppendEvent(EventLogName::System, kSource, EVENTLOG_INFORMATION_TYPE, 0, 7045,
                {ToUtf8(row.displayName), ToUtf8(row.binaryPath), "user mode service",
                 StartTypeText(row.startType), ToUtf8(row.startName)});
}

void NoteStateEntered(const ServiceRow& row, DWORD state) {
    const char* text = state == SERVICE_RUNNING   ? "running"
                       : state == SERVICE_STOPPED ? "stopped"
                       : state == SERVICE_PAUSED  ? "paused"
                                                  : nullptr;
    if (text)
        AppendEvent(EventLogName::System, kSource, EVENTLOG_INFORMATION_TYPE, 0, 7036,
                    {ToUtf8(row.displayName), text});
}

void NoteStartFailed(const ServiceRow& row, DWORD error) {
    AppendEvent(EventLogName::System, kSource, EVENTLOG_ERROR_TYPE, 0, 7000,
                {ToUtf8(row.displayName), StartErrorText(error)});
}

void NoteStartTimedOut(const ServiceRow& row, DWORD waitMs) {
    AppendEvent(EventLogName::System, kSource, EVENTLOG_ERROR_TYPE, 0, 7009,
                {std::to_string(waitMs), ToUtf8(row.displayName)});
}

bool Reconcile(Transaction& t, ServiceRow& row) {
    if (Abandoned(row)) {
        // Its process, if one was started, is ended as a start that timed out ends it.
        if (row.pid != 0 && ProcessAlive(row.pid, row.pidStart)) {
            // Recorded as TerminateProcess records an end, so that the kill reads as the
            // manager's (1053), not as a crash; an earlier end's record and line stand.
            const DWORD recorded =
                exit_records::Create(row.pid, row.pidStart, ERROR_SERVICE_REQUEST_TIMEOUT);
            kill(row.pid, SIGKILL);
            if (recorded != ERROR_ALREADY_EXISTS)
                WriteKillToLedger(row.pid, ERROR_SERVICE_REQUEST_TIMEOUT);
        }
        MarkStopped(row, ERROR_SERVICE_REQUEST_TIMEOUT);
        row.status.dwServiceSpecificExitCode = 0;
        t.Update(row);
        NoteStartFailed(row, ERROR_SERVICE_REQUEST_TIMEOUT);
    }
    if (row.status.dwCurrentState != SERVICE_STOPPED && row.pid != 0 &&
        !ProcessAlive(row.pid, row.pidStart)) {
        MarkStopped(row, ERROR_PROCESS_ABORTED);
        row.status.dwServiceSpecificExitCode = 0;
        ++row.crashes;
        t.Update(row);
        AppendEvent(EventLogName::System, kSource, EVENTLOG_ERROR_TYPE, 0, 7034,
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
    if (error || row.status.dwCurrentState == SERVICE_STOPPED ||
        ((row.pid == 0 || ProcessAlive(row.pid, row.pidStart)) && !Abandoned(row)))
        return error;
    return RunTransaction(true, [&](Transaction& t) { return LoadReconciled(t, id, row); });
}

} // namespace hostwin::scm
