// The SQLite layer under the stores that keep machine state (the registry, the service
// database): opening a database, running and caching statements, a bounded wait for locks that
// other connections hold, and the failure that carries SQLite's code and text up to the store,
// which turns it into its Win32 code (sqlite/transaction.h).
#pragma once

#include "sqlite/sqlite_owner.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace hostwin::sqlite {

// A failure: SQLite's extended result code and its text for it, or the store's own account
// where the store found the fault (a file that cannot be a store, a lost log).
struct Error {
    int code = SQLITE_ERROR;
    std::string text;

    int Primary() const { return code & 0xFF; }
};

// The failure `rc` of the last call on `db` (null: none was opened), with SQLite's text.
Error ErrorOf(sqlite3* db, int rc);
[[noreturn]] void Throw(sqlite3* db, int rc);

// The one place hostwin opens a database: `target` is a path, or a "file:" URI with
// SQLITE_OPEN_URI in `flags`. Extended result codes are on. Throws Error.
UniqueConnection Open(const std::string& target, int flags);

// Runs one or more statements; TryExec answers SQLite's code, Exec throws Error.
int TryExec(sqlite3* db, const char* sql);
void Exec(sqlite3* db, const char* sql);
// The first column of the first row of `sql`; SQLite's code (a statement without a row leaves
// `value` as it is).
int TryQueryInt(sqlite3* db, const char* sql, int64_t* value);

// A statement owned by the caller; throws Error.
UniqueStatement Prepare(sqlite3* db, const char* sql);
// Steps `statement`: true on a row, false once done; throws Error otherwise.
bool StepRow(sqlite3_stmt* statement);

// One connection's prepared statements, kept by their text (two equal texts at different
// addresses are one statement), so that a call prepares each statement once per connection.
class StatementCache {
public:
    // The statement for `sql`, reset and with its bindings cleared; throws Error.
    sqlite3_stmt* Get(sqlite3* db, const std::string& sql);
    // Ends every statement's run: one still positioned on a row would hold its transaction.
    void ResetAll();
    // Finalizes every statement, before their connection closes.
    void Clear() { m_statements.clear(); }

private:
    std::unordered_map<std::string, UniqueStatement> m_statements;
};

// A bounded wait for locks other connections hold: SQLite retries (every 1 ms, then 10 ms)
// until the deadline, and past it the call fails with SQLITE_BUSY. The store sets the deadline
// once per transaction, so a whole call waits no longer than its bound.
class BusyWait {
public:
    using Clock = std::chrono::steady_clock;

    // Makes `db` wait through this object, which must outlive the connection.
    void Install(sqlite3* db);
    void Start(Clock::duration bound) { m_deadline = Clock::now() + bound; }
    Clock::time_point Deadline() const { return m_deadline; }
    void SetDeadline(Clock::time_point deadline) { m_deadline = deadline; }

private:
    static int Retry(void* context, int attempt);

    Clock::time_point m_deadline;
};

} // namespace hostwin::sqlite
