// Starting a service: the handshake between StartServiceW and the new process's dispatcher,
// kept as the state of the service's row. Every change of that state is one of the functions
// below, each inside one write transaction of whoever makes it.
//
//   Stopped --ClaimStart--> Claimed --RecordProcess--> Recorded --MarkReady--> Ready
//      ^                       |                          |                     |
//      +--- MarkStopped (a failed start, a crash), ApplyReport(SERVICE_STOPPED) -+
//
// Stopped   the service reported SERVICE_STOPPED, never ran, or its start failed.
// Claimed   StartServiceW turned it START_PENDING with no process, in one step, so that of two
//           concurrent starts one wins; the manager is now creating the process. The claim names
//           its claimer (pid and start time): a claim whose claimer ended before the dispatcher
//           connected, here or in Recorded, is ended by whoever finds it (service_ledger). A
//           dispatcher that gets this far first waits for the record rather than be refused as a
//           stranger.
// Recorded  the process (pid and start time) is on the row; only that process may connect as
//           the service. The manager waits for its dispatcher and ends it after ServiceTimeout.
// Ready     the dispatcher runs ServiceMain and takes controls; StartServiceW returns. The
//           dispatcher may get here after its service already reported SERVICE_STOPPED: the
//           start still counts as done, as it does on the platform once the dispatcher connects.
//           A built-in service, running without a process, counts as ready.
#pragma once

#include "scm/scm_store.h"

#include <cstdint>

namespace hostwin::scm {

enum class StartState { Stopped, Claimed, Recorded, Ready };

StartState StartStateOf(const ServiceRow& row);

// Stopped -> Claimed by this process.
void ClaimStart(ServiceRow& row);
// Claimed -> Recorded: the process the manager created for the service.
void RecordProcess(ServiceRow& row, pid_t pid, unsigned long long startTime);
// Recorded -> Ready: called by the dispatcher of that very process.
void MarkReady(ServiceRow& row);
// Any -> Stopped with `exitCode`, taking no control (the service-specific code stays).
void MarkStopped(ServiceRow& row, DWORD exitCode);
// A status the service reported; SERVICE_STOPPED ends the handshake (any -> Stopped).
void ApplyReport(ServiceRow& row, const SERVICE_STATUS& status);

// StartServiceW's work for the service `id`: its dependencies first (a stopped one is started
// and waited for), then its process, then the wait for that process's dispatcher.
DWORD StartService(int64_t id);

} // namespace hostwin::scm
