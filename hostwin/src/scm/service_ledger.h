// What the manager notes about a service beyond its own reports, kept above the store (which
// only reads and writes rows):
// - a crash: a service not stopped whose process ended without reporting SERVICE_STOPPED turns
//   STOPPED with ERROR_PROCESS_ABORTED, its crash count goes up and the System log gets the
//   platform's entry 7034 (the display name and the count);
// - a start left by its claimer: a start whose StartServiceW process ended before the service's
//   dispatcher connected ends as one that timed out: STOPPED with ERROR_SERVICE_REQUEST_TIMEOUT,
//   its process (if it has one) ended, and System entry 7000;
// - a deletion that is due: a service marked for deletion goes once it is stopped and no handle
//   of any live process is open on it.
// Every call that acts on what it reads of a service reads it through here.
#pragma once

#include "scm/scm_store.h"

#include <cstdint>
#include <optional>
#include <string>

namespace hostwin::scm {

// The System log entries the platform's manager writes (source "Service Control Manager"):
// 7045 a service was installed, 7036 it entered the running, paused or stopped state, 7000 its
// start failed with `error`, 7009 its process did not connect within `waitMs`.
void NoteInstalled(const ServiceRow& row);
void NoteStateEntered(const ServiceRow& row, DWORD state);
void NoteStartFailed(const ServiceRow& row, DWORD error);
void NoteStartTimedOut(const ServiceRow& row, DWORD waitMs);

// Notes a crash and removes a service whose deletion is due, for `row` as read in `t`.
// False when the service is gone.
bool Reconcile(Transaction& t, ServiceRow& row);

// The service of that name, reconciled; nothing when there is none (any longer).
std::optional<ServiceRow> FindReconciled(Transaction& t, const std::u16string& name);

// The service behind a handle's id, reconciled; ERROR_INVALID_HANDLE when it is gone.
DWORD LoadReconciled(Transaction& t, int64_t id, ServiceRow& row);

// The same in a transaction of its own: a read that never holds up the service's own reports,
// and a write only when the service's process is found gone.
DWORD LoadFresh(int64_t id, ServiceRow& row);

} // namespace hostwin::scm
