// Process snapshots: the live processes of this machine, as procfs finds them. A process
// belongs to the machine whose root it started with in HOSTWIN_ROOT; processes of other
// machines and zombies are never listed.
#include "base/core.h"
#include "process/procfs.h"

#include <tlhelp32.h>

#include <algorithm>
#include <mutex>

namespace hostwin {

namespace {

class SnapshotObject : public KernelObject {
public:
    explicit SnapshotObject(std::vector<MachineProcess> entries)
        : KernelObject(HandleKind::Snapshot), m_entries(std::move(entries)) {}

    // Stores entry `m_next` (from the first when `rewind`) and moves on; false at the end.
    bool Next(bool rewind, PROCESSENTRY32W& entry) {
        std::lock_guard<std::mutex> guard(m_lock);
        if (rewind)
            m_next = 0;
        if (m_next >= m_entries.size())
            return false;
        const MachineProcess& item = m_entries[m_next++];
        const DWORD size = entry.dwSize;
        entry = PROCESSENTRY32W{};
        entry.dwSize = size;
        entry.th32ProcessID = item.pid;
        entry.cntThreads = item.threads;
        entry.th32ParentProcessID = item.parent;
        entry.pcPriClassBase = 8; // normal priority
        size_t length = std::min<size_t>(item.image.size(), MAX_PATH - 1);
        std::copy(item.image.begin(), item.image.begin() + static_cast<std::ptrdiff_t>(length),
                  entry.szExeFile);
        entry.szExeFile[length] = 0;
        return true;
    }

private:
    std::mutex m_lock;
    const std::vector<MachineProcess> m_entries;
    size_t m_next = 0;
};
// The end of a walk: the caller has seen every entry and is about to act on what it counted.
// A named point, so that tests can hold it there (HOSTWIN_DELAYS=SnapshotWalkEnd@N=MS).
DWORD WalkEnd() {
    HOSTWIN_FAULT_POINT_NAME(kWalkEndPoint, "SnapshotWalkEnd");
    DWORD error = InjectedFault(kWalkEndPoint);
    return error ? error : ERROR_NO_MORE_FILES;
}

BOOL StoreEntry(HANDLE hSnapshot, LPPROCESSENTRY32W lppe, bool rewind) {
    auto snapshot =
        std::dynamic_pointer_cast<SnapshotObject>(LookupHandle(hSnapshot, HandleKind::Snapshot));
    if (!snapshot)
        return FailWith(ERROR_INVALID_HANDLE, FALSE);
    if (lppe == NULL)
        return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    if (lppe->dwSize < sizeof(PROCESSENTRY32W))
        return FailWith(ERROR_BAD_LENGTH, FALSE);
    if (!snapshot->Next(rewind, *lppe))
        return FailWith(WalkEnd(), FALSE);
    return TRUE;
}
} // namespace

} // namespace hostwin

using namespace hostwin;

extern "C" {

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID) {
    HOSTWIN_FAULT_POINT(INVALID_HANDLE_VALUE);
    LogCall(__func__, "flags=0x%08X", dwFlags);
    if (dwFlags != TH32CS_SNAPPROCESS)
        return NotSupported(__func__, "snapshot of anything but processes", INVALID_HANDLE_VALUE);
    // The process id is ignored for a process snapshot, as on Windows.
    return InsertHandle(std::make_shared<SnapshotObject>(MachineProcesses()));
}

BOOL WINAPI Process32FirstW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe) {
    HOSTWIN_FAULT_POINT(FALSE);
    return StoreEntry(hSnapshot, lppe, true);
}

BOOL WINAPI Process32NextW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe) {
    HOSTWIN_FAULT_POINT(FALSE);
    return StoreEntry(hSnapshot, lppe, false);
}

} // extern "C"
