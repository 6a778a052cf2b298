// The start handshake's transitions and StartServiceW's work.
#include "scm/service_start.h"

#include "base/threads.h"
#include "process/process.h"
#include "process/procfs.h"
#include "scm/service_ledger.h"
#include "scm/store_changes.h"

#include <hostwin/text.h>

#include <unistd.h>

#include <chrono>

namespace hostwin::scm {

StartState StartStateOf(const ServiceRow& row) {
    if (row.dispatcherReady)
        return StartState::Ready;
    if (row.status.dwCurrentState == SERVICE_STOPPED)
        return StartState::Stopped;
    if (row.pid != 0)
        return StartState::Recorded;
    return row.status.dwCurrentState == SERVICE_START_PENDING ? StartState::Claimed
                                                              : StartState::Ready;
}

void ClaimStart(ServiceRow& row) {
    ProcStat self;
    ReadProcStat(getpid(), self);
    row.status = SERVICE_STATUS{row.type, SERVICE_START_PENDING, 0, 0, 0, 0, 2000};
    row.pid = 0;
    row.pidStart = 0;
    row.dispatcherReady = false;
    row.claimPid = getpid();
    row.claimStart = self.startTime;
}

void RecordProcess(ServiceRow& row, pid_t pid, unsigned long long startTime) {
    row.pid = pid;
    row.pidStart = startTime;
}

void MarkReady(ServiceRow& row) {
    row.dispatcherReady = true;
}

void MarkStopped(ServiceRow& row, DWORD exitCode) {
    row.status.dwCurrentState = SERVICE_STOPPED;
    row.status.dwControlsAccepted = 0;
    row.status.dwWin32ExitCode = exitCode;
    row.status.dwCheckPoint = 0;
    row.status.dwWaitHint = 0;
    row.dispatcherReady = false;
}

void ApplyReport(ServiceRow& row, const SERVICE_STATUS& status) {
    row.status = status;
    row.status.dwServiceType = row.type;
    if (status.dwCurrentState == SERVICE_STOPPED)
        row.dispatcherReady = false;
}

namespace {

// A dependency loop would start for ever: the platform refuses it at configuration, here the
// start simply fails past this depth.
constexpr int kMaxDependencyDepth = 16;

DWORD StartAtDepth(int64_t id, int depth);

// Waits until `reached` holds for the service, re-reading it on each change of the database;
// ERROR_SUCCESS, the exit code of a service that stopped instead, or
// ERROR_SERVICE_REQUEST_TIMEOUT.
template <class Reached> DWORD AwaitService(int64_t id, Reached reached) {
    const WaitDeadline deadline = DeadlineAfter(ServiceTimeout());
    StoreChanges changes;
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
        changes.Wait(deadline.at);
    }
}

// A dependent starts only once its dependency runs.
DWORD AwaitRunning(int64_t id) {
    return AwaitService(
        id, [](const ServiceRow& row) { return row.status.dwCurrentState == SERVICE_RUNNING; });
}

DWORD AwaitDispatcher(int64_t id) {
    return AwaitService(
        id, [](const ServiceRow& row) { return StartStateOf(row) == StartState::Ready; });
}

// Every dependency must exist and run; a stopped one is started first, as the platform does.
DWORD StartDependencies(const std::vector<std::u16string>& dependencies, int depth) {
    for (const std::u16string& name : dependencies) {
        std::optional<ServiceRow> dependency;
        DWORD error = RunTransaction(true, [&](Transaction& t) -> DWORD {
            dependency = FindReconciled(t, name);
            return ERROR_SUCCESS;
        });
        if (error)
            return error;
        if (!dependency || dependency->deletePending)
            return ERROR_SERVICE_DEPENDENCY_DELETED;
        if (dependency->status.dwCurrentState == SERVICE_RUNNING)
            continue;
        if (depth > kMaxDependencyDepth)
            return ERROR_SERVICE_DEPENDENCY_FAIL;
        DWORD started = StartAtDepth(dependency->id, depth + 1);
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
        MarkStopped(*row, code);
        t.Update(*row);
        if (code == ERROR_SERVICE_REQUEST_TIMEOUT)
            NoteStartTimedOut(*row, ServiceTimeout());
        NoteStartFailed(*row, code);
        Reconcile(t, *row);
        return ERROR_SUCCESS;
    });
}

DWORD StartAtDepth(int64_t id, int depth) {
    ServiceRow row;
    DWORD error = RunTransaction(true, [&](Transaction& t) -> DWORD {
        if (DWORD loaded = LoadReconciled(t, id, row))
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

    // Between the look above and the claim below another starter may claim the service: the
    // claim looks again. A named point, so that tests can hold two starters here at once.
    HOSTWIN_FAULT_POINT_NAME(kClaimPoint, "ClaimServiceStart");
    if ((error = InjectedFault(kClaimPoint)))
        return error;
    error = RunTransaction(true, [&](Transaction& t) -> DWORD {
        if (DWORD loaded = LoadReconciled(t, id, row))
            return loaded;
        if (row.status.dwCurrentState != SERVICE_STOPPED)
            return ERROR_SERVICE_ALREADY_RUNNING;
        ClaimStart(row);
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
    error = InjectedFault(kRecordPoint);
    if (!error)
        error = RunTransaction(true, [&](Transaction& t) -> DWORD {
            if (DWORD loaded = LoadReconciled(t, id, row))
                return loaded;
            RecordProcess(row, static_cast<pid_t>(process.dwProcessId), stat.startTime);
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

} // namespace

DWORD StartService(int64_t id) {
    return StartAtDepth(id, 0);
}

} // namespace hostwin::scm
