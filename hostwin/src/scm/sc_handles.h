// The service control manager's two kinds of handle and the checks each call starts with:
// the handle is of the kind the call takes (ERROR_INVALID_HANDLE otherwise), then it grants
// the right the call needs (ERROR_ACCESS_DENIED otherwise). A call that checks something in
// between (a control code, an information level) takes the two steps apart, in its own order.
#pragma once

#include "base/core.h"

#include <winsvc.h>

#include <cstdint>
#include <memory>

namespace hostwin::scm {

class ManagerHandle : public KernelObject {
public:
    explicit ManagerHandle(DWORD access)
        : KernelObject(HandleKind::ServiceManager), m_access(access) {}
    // ERROR_SUCCESS when the handle grants every right in `access`, ERROR_ACCESS_DENIED if not.
    DWORD Require(DWORD access) const;

private:
    const DWORD m_access;
};

class ServiceHandle : public KernelObject {
public:
    ServiceHandle(int64_t id, DWORD access)
        : KernelObject(HandleKind::Service), m_id(id), m_access(access) {}
    int64_t Id() const { return m_id; }
    DWORD Require(DWORD access) const;

private:
    const int64_t m_id; // the service's row in the database
    const DWORD m_access;
};

// A new handle in the process's handle table.
SC_HANDLE InsertManagerHandle(DWORD access);
SC_HANDLE InsertServiceHandle(int64_t id, DWORD access);

// Removes `handle` if it is of `kind`; the object, or null when the handle is not of that kind.
std::shared_ptr<KernelObject> RemoveScHandle(SC_HANDLE handle, HandleKind kind);

// The manager behind `handle`, granting `access`.
DWORD OpenedManager(SC_HANDLE handle, DWORD access, std::shared_ptr<ManagerHandle>& manager);
// The service behind `handle`, whatever it grants.
DWORD OpenedService(SC_HANDLE handle, std::shared_ptr<ServiceHandle>& service);
// The service behind `handle`, granting `access`.
DWORD OpenedService(SC_HANDLE handle, DWORD access, std::shared_ptr<ServiceHandle>& service);

// The one place a service call sets the last error: on failure only, as the platform does.
inline BOOL Finish(DWORD error) {
    return error ? FailWith(error, FALSE) : TRUE;
}
inline SC_HANDLE Finish(DWORD error, SC_HANDLE handle) {
    return error ? FailWith(error, static_cast<SC_HANDLE>(NULL)) : handle;
}

} // namespace hostwin::scm
