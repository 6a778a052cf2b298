// The service's entry in the service control manager: created, found and removed on the
// registration switches, on the main thread of a process a person started. Failures are shown
// in message boxes captioned with the service name; the system's resources carry none of the
// message ids, so the built-in texts are what is shown. Where the process's window station is
// not visible nobody could answer a box: its caption and text go to the Application log as an
// error under the service's name (event kEventMessageBox) and to standard error instead.
#pragma once

#include "servicemodule.h"

#include <windows.h>

// Message ids; a resource instance that carries one replaces the built-in text.
constexpr UINT IDS_SERVICE_MANAGER_OPEN_FAILED = 55306;
constexpr UINT IDS_SERVICE_START_FAILED = 55307;
constexpr UINT IDS_SERVICE_OPEN_FAILED = 55308;
constexpr UINT IDS_SERVICE_DELETE_FAILED = 55309;
constexpr UINT IDS_SERVICE_STOP_FAILED = 55310;

// TRUE when the manager, opened with full access, can open the service. A person without the
// right to open it so is told FALSE, without a message.
BOOL IsServiceEntryInstalled(LPCWSTR pszServiceName);
// TRUE when the service exists afterwards; an existing entry is left as it is, unless it is
// marked for deletion: then its service is asked to stop (again, once it accepts a stop) and the
// entry waited for, 30 s at most, before it is made anew; one still there fails with the last
// error ERROR_SERVICE_MARKED_FOR_DELETE and no message. A new entry
// starts on demand, reports errors normally, runs the quoted path of this program with nothing
// after it and depends on RPCSS. FALSE without a message when that path cannot be read or is
// 260 characters or more.
BOOL InstallServiceEntry(LPCWSTR pszServiceName);
// TRUE when no entry is left to delete. A running service is sent one stop request and is not
// waited for: the manager removes it once it has stopped. A stop request that fails is shown
// (unless the service was stopped or stopping already) and the deletion still decides.
BOOL RemoveServiceEntry(LPCWSTR pszServiceName);

template <class T, UINT nServiceNameID>
BOOL CServiceModuleT<T, nServiceNameID>::IsServiceInstalled() {
    return IsServiceEntryInstalled(m_serviceName);
}

template <class T, UINT nServiceNameID> BOOL CServiceModuleT<T, nServiceNameID>::InstallService() {
    return InstallServiceEntry(m_serviceName);
}

template <class T, UINT nServiceNameID> BOOL CServiceModuleT<T, nServiceNameID>::RemoveService() {
    return RemoveServiceEntry(m_serviceName);
}
