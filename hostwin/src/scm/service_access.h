// The rights of the service control manager's two kinds of handle: what the generic rights
// stand for on each, what a standard user may hold, and the right each control needs.
#pragma once

#include <windows.h>

namespace hostwin::scm {

// What a standard user may ask for: reading and querying.
constexpr DWORD kUserManagerAccess =
    SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL;
constexpr DWORD kUserServiceAccess = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                     SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE |
                                     SERVICE_USER_DEFINED_CONTROL | READ_CONTROL;

// `requested` with the generic rights replaced by the manager's (the service's) own.
DWORD MapManagerAccess(DWORD requested);
DWORD MapServiceAccess(DWORD requested);

// The rights a new manager (service) handle holds for `requested`; ERROR_ACCESS_DENIED when
// a standard user asks for more than reading and querying. A manager handle always connects.
DWORD GrantManagerAccess(DWORD requested, DWORD& granted);
DWORD GrantServiceAccess(DWORD requested, DWORD& granted);

// The right ControlService needs for a defined control code.
DWORD AccessForControl(DWORD control);

} // namespace hostwin::scm
