// The registry store's one connection per process, shared by the store's two units:
// registry_store.cpp (the calls' transactions and rows) and store_open.cpp (opening, checking
// and closing the files).
#pragma once

#include "registry/registry_store.h"
#include "sqlite/connection.h"

#include <hostwin/owner.h>

#include <sys/types.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace hostwin::registry {

template <class List> struct CachedList {
    std::vector<KeyId> keys;
    std::shared_ptr<const List> list;
};

// Key ids are never reused (AUTOINCREMENT), so a handle to a deleted key can tell.
struct Connection {
    std::mutex lock;
    UniqueConnection db;
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    UniqueFd stateFd;
    bool readOnly = false;
    KeyId roots[kHiveCount] = {};
    sqlite::StatementCache statements;
    sqlite::BusyWait busy;
    unsigned writeCommits = 0;
    int64_t dataVersion = -1;
    std::deque<CachedList<ChildList>> children;
    std::deque<CachedList<ValueList>> values;
    // The thread whose scope (a snapshot or a batch) is open, and the store lock it holds
    // meanwhile.
    std::atomic<std::thread::id> scopeThread{};
    std::unique_lock<std::mutex> scopeLock;
    bool scopeWrites = false;
    // Failures said on stderr so far; its own lock, as a failure is turned into its code once
    // the call has let go of the store.
    std::mutex reportLock;
    std::set<std::string> reported;
};

Connection& TheConnection();

// Starts a call's bounded wait for the locks of other connections.
void StartLockWait(Connection& c);
// Opens (or re-opens, after the machine root changed or the file was replaced) the store, with
// the connection's lock held; throws sqlite::Error.
void EnsureOpen(Connection& c);
// `settle`: copy the log back as a store in use is closed; false for a file found unusable,
// which is left exactly as it is.
void CloseConnection(Connection& c, bool settle = true);
void ForgetLists(Connection& c);
// Writes the number of committed writes to the state file, after the commit.
void RecordCommits(const Connection& c, int64_t commits);
// The nth committing write of this process (HOSTWIN_REGISTRY_CRASH_BEFORE_COMMIT=n) kills the
// process just before its commit, so tests can show that a crash keeps the previous state.
void CrashPointBeforeCommit(Connection& c);

// Names as stored: UTF-16LE exactly as given. Folded names: big-endian, so that the database's
// byte order equals the code-unit order of the upper-cased name.
std::string NameBlob(const std::u16string& name);
std::string FoldBlob(const std::u16string& name);
void BindText(sqlite3_stmt* statement, int index, const std::string& bytes);
int64_t NowTicks(); // FILETIME ticks

} // namespace hostwin::registry
