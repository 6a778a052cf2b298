// The service control manager's database: one SQLite file per machine, shared by every process
// of the machine. There is no manager process: each call acts on this shared state inside one
// transaction, so concurrent callers never see half a change.
#pragma once

#include "base/core.h"

#include <winsvc.h>

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

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
};

// One transaction on this machine's service database. Holds the process-wide connection lock
// for its life; rolls back unless Commit() was reached. Failures inside throw StoreError.
class Transaction {
public:
    explicit Transaction(bool write);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    DWORD Status() const { return m_status; }
    DWORD Commit();

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
    DWORD m_status = 0;
};

struct StoreError {
    DWORD code;
};

// Runs `body` in a transaction and commits what it did, also when it answers with an error
// (a crash it noticed stays noticed); store failures become the returned code.
template <class Body> DWORD RunTransaction(bool write, Body&& body) {
    try {
        Transaction transaction(write);
        if (DWORD status = transaction.Status())
            return status;
        DWORD result = body(transaction);
        if (DWORD committed = transaction.Commit())
            return committed;
        return result;
    } catch (const StoreError& failure) {
        return failure.code;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

// Whether the process (pid, start time) still runs.
bool ProcessAlive(pid_t pid, unsigned long long startTime);

// How long a service may take to connect its dispatcher or to answer a control: 30 s, time-scaled,
// but never under 5 s, which a service process built with sanitizers needs to start.
DWORD ServiceTimeout();

} // namespace hostwin::scm
