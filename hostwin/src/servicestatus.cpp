// Status reports of a service to the service control manager. Every report is logged, so
// tests can assert the order of states.
#include "core.h"

extern "C" BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus,
                                        LPSERVICE_STATUS lpServiceStatus) {
    HOSTWIN_FAULT_POINT(FALSE);
    if (lpServiceStatus == NULL)
        return hostwin::FailWith(ERROR_INVALID_ADDRESS, FALSE);
    hostwin::LogCall(__func__, "handle=%p state=%u exit=%u", static_cast<void*>(hServiceStatus),
                     lpServiceStatus->dwCurrentState, lpServiceStatus->dwWin32ExitCode);
    // Status handles come from a control handler registration, which only a service started
    // by the service control manager has; any other handle is invalid.
    return hostwin::FailWith(ERROR_INVALID_HANDLE, FALSE);
}
