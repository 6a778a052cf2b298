// Listing the services as EnumServicesStatusExW does, and the status a caller sees of one.
#pragma once

#include "scm/scm_store.h"

#include <winsvc.h>

namespace hostwin::scm {

// The status a caller sees; a stopped service names no process.
SERVICE_STATUS_PROCESS StatusOf(const ServiceRow& row);

} // namespace hostwin::scm
