// The service control manager's handles.
#include "scm/sc_handles.h"

namespace hostwin::scm {

namespace {

HANDLE FromScHandle(SC_HANDLE handle) {
    return reinterpret_cast<HANDLE>(handle);
}
SC_HANDLE ToScHandle(HANDLE handle) {
    return reinterpret_cast<SC_HANDLE>(handle);
}

DWORD Grants(DWORD held, DWORD access) {
    return (held & access) == access ? ERROR_SUCCESS : static_cast<DWORD>(ERROR_ACCESS_DENIED);
}

} // namespace

DWORD ManagerHandle::Require(DWORD access) const {
    return Grants(m_access, access);
}

DWORD ServiceHandle::Require(DWORD access) const {
    return Grants(m_access, access);
}

SC_HANDLE InsertManagerHandle(DWORD access) {
    return ToScHandle(InsertHandle(std::make_shared<ManagerHandle>(access)));
}

SC_HANDLE InsertServiceHandle(int64_t id, DWORD access) {
    return ToScHandle(InsertHandle(std::make_shared<ServiceHandle>(id, access)));
}

std::shared_ptr<KernelObject> RemoveScHandle(SC_HANDLE handle, HandleKind kind) {
    return RemoveHandle(FromScHandle(handle), kind);
}

DWORD OpenedManager(SC_HANDLE handle, DWORD access, std::shared_ptr<ManagerHandle>& manager) {
    manager = LookupHandleAs<ManagerHandle>(FromScHandle(handle), HandleKind::ServiceManager);
    if (!manager)
        return ERROR_INVALID_HANDLE;
    return manager->Require(access);
}

DWORD OpenedService(SC_HANDLE handle, std::shared_ptr<ServiceHandle>& service) {
    service = LookupHandleAs<ServiceHandle>(FromScHandle(handle), HandleKind::Service);
    return service ? ERROR_SUCCESS : static_cast<DWORD>(ERROR_INVALID_HANDLE);
}

DWORD OpenedService(SC_HANDLE handle, DWORD access, std::shared_ptr<ServiceHandle>& service) {
    if (DWORD error = OpenedService(handle, service))
        return error;
    return service->Require(access);
}

} // namespace hostwin::scm
