// The service control manager's database: one SQLite file per machine, shared by every process
// of the machine. There is no manager process: each call acts on this shared state inside one
// transaction, so concurrent callers never see half a change.
#pragma once

#include "base/core.h"
#include "sqlite/transaction.h"

#include <winsvc.h>

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace hostwin::scm {

struct ServiceRow {
    int64_t id = 0;
    std::u16string name;
    std::u16string displayName;
    DWORD type = SERVICE_WIN32_OWN_PROCESS;
    DWORD startType = SERVICE_DEMAND_START;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
    std::u16string binaryPath;
    std::u16string loadOrderGroup;
    std::vector<std::u16string> dependencies;
    std::u16string startName;
    std::optional<std::u16string> description;
    SERVICE_STATUS status{};
    pid_t pid = 0;                   // the live service process, 0 for none or built in
    unsigned long long pidStart = 0; // its start time, so a reused pid is never taken for it
    bool dispatcherReady = false;    // its dispatcher runs ServiceMain and takes controls
    bool deletePending = false;
    int64_t crashes = 0;
    pid_t claimPid = 0;                // the process that claimed the start (StartServiceW)
    unsigned long long claimStart = 0; // its start time
};

// One transaction on this machine's service database. Holds the process-wide connection lock
// for its life; rolls back unless Commit() was reached. Failures inside throw sqlite::Error.
class Transaction {
public:
    explicit Transaction(bool write);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // Wakes the machine's waiters (StoreChanges) when the transaction changed a row.
    void Commit();

    std::optional<ServiceRow> FindByName(const std::u16string& name);
    std::optional<ServiceRow> FindById(int64_t id);
    // Whether another service has this display name or a name equal to it.
    bool DisplayNameTaken(const std::u16string& displayName, int64_t exceptId);
    std::vector<ServiceRow> All();
    int64_t Insert(const ServiceRow& row);
    void Update(const ServiceRow& row);
    void Delete(int64_t id);
    void AppendHistory(const ServiceRow& row);

    // Handles open on a service, per process; rows of ended processes are dropped first.
    void AddHandle(int64_t id, int delta);
    int64_t OpenHandles(int64_t id);

    // Every status report of the service, in order.
    std::vector<ServiceStatusReport> History(const std::u16string& name);

private:
    std::unique_lock<std::mutex> m_lock;
    sqlite3* m_db = nullptr;
    bool m_open = false;
    bool m_readOnly = false;
    int64_t m_changesBefore = 0; // SQLite's count of changed rows at BEGIN
};

// The Win32 code of a database failure, said once per process on stderr with the file's path
// and SQLite's text (a service's own standard streams go nowhere, but sc's do):
// ERROR_ACCESS_DENIED for a write this user may not make (the database then opens read-only,
// and reads are served), ERROR_DISK_FULL, ERROR_CANTOPEN when it cannot be opened,
// ERROR_CANTREAD when it is empty, cut short, damaged or not a service database (it is never
// replaced), ERROR_CANTWRITE for any other.
DWORD StoreCode(const sqlite::Error& error);

// A call that answers with an error still commits what it did: a crash it noticed (Refresh) stays
// noticed, with its System log entry written once. Out of memory is ERROR_NOT_ENOUGH_MEMORY, as the
// host's other kernel calls (CreateThread, CreateProcessW) report it.
inline constexpr sqlite::Rules<DWORD> kStoreRules{sqlite::OnFailure::Commit,
                                                  ERROR_NOT_ENOUGH_MEMORY, StoreCode};

template <class Body> DWORD RunTransaction(bool write, Body&& body) {
    return sqlite::RunTransaction<Transaction>(kStoreRules, write, std::forward<Body>(body));
}

// Whether the database still names `pid` as the process of service `name`; nothing when it
// cannot be read. A service process that is no longer named ends itself.
std::optional<bool> RecordNamesProcess(const std::u16string& name, pid_t pid);

// Whether the process (pid, start time) still runs.
bool ProcessAlive(pid_t pid, unsigned long long startTime);

// How long a service may take to connect its dispatcher or to answer a control: 30 s, time-scaled,
// but never under 5 s, which a service process built with sanitizers needs to start.
DWORD ServiceTimeout();

} // namespace hostwin::scm
