// The service control manager's access rights.
#include "scm/service_access.h"

#include "base/core.h"

namespace hostwin::scm {

DWORD MapManagerAccess(DWORD requested) {
    GENERIC_MAPPING mapping = {READ_CONTROL | SC_MANAGER_ENUMERATE_SERVICE |
                                   SC_MANAGER_QUERY_LOCK_STATUS,
                               SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG,
                               SC_MANAGER_CONNECT | SC_MANAGER_LOCK, SC_MANAGER_ALL_ACCESS};
    MapGenericMask(&requested, &mapping);
    return requested;
}

DWORD MapServiceAccess(DWORD requested) {
    GENERIC_MAPPING mapping = {READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                   SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS,
                               READ_CONTROL | SERVICE_CHANGE_CONFIG,
                               READ_CONTROL | SERVICE_START | SERVICE_STOP |
                                   SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL,
                               SERVICE_ALL_ACCESS};
    MapGenericMask(&requested, &mapping);
    return requested;
}

DWORD GrantManagerAccess(DWORD requested, DWORD& granted) {
    DWORD access = MapManagerAccess(requested) | SC_MANAGER_CONNECT;
    if (!Elevated() && (access & ~kUserManagerAccess) != 0)
        return ERROR_ACCESS_DENIED;
    granted = access;
    return ERROR_SUCCESS;
}

DWORD GrantServiceAccess(DWORD requested, DWORD& granted) {
    DWORD access = MapServiceAccess(requested);
    if (!Elevated() && (access & ~kUserServiceAccess) != 0)
        return ERROR_ACCESS_DENIED;
    granted = access;
    return ERROR_SUCCESS;
}

DWORD AccessForControl(DWORD control) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
        return SERVICE_STOP;
    case SERVICE_CONTROL_INTERROGATE:
        return SERVICE_INTERROGATE;
    default:
        return control >= 128 ? SERVICE_USER_DEFINED_CONTROL : SERVICE_PAUSE_CONTINUE;
    }
}

} // namespace hostwin::scm
