// What the manager notes about a service beyond its own reports, kept above the store (which
// only reads and writes rows):
// - a crash: a service not stopped whose process ended without reporting SERVICE_STOPPED turns
//   STOPPED with ERROR_PROCESS_ABORTED, its crash count goes up and the System log gets the
//   platform's entry 7034 (the display name and the count);
// - a deletion that is due: a service marked for deletion goes once it is stopped and no handle
//   of any live process is open on it.
// Every call that acts on what it reads of a service reads it through here.
#pragma once

#include "scm/scm_store.h"

#include <cstdint>
#include <optional>
#include <string>

namespace hostwin::scm {

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
