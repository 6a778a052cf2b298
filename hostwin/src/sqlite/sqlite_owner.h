// Owners of SQLite objects for the stores that keep machine state in SQLite.
#pragma once

#include <hostwin/owner.h>

#include <sqlite3.h>

namespace hostwin {

struct SqliteStatementPolicy {
    using Value = sqlite3_stmt*;
    static sqlite3_stmt* Invalid() { return nullptr; }
    static void Close(sqlite3_stmt* statement) { sqlite3_finalize(statement); }
};
using UniqueStatement = UniqueResource<SqliteStatementPolicy>;

// close_v2: a statement still unfinalized keeps the connection until it goes, never leaks it.
struct SqliteConnectionPolicy {
    using Value = sqlite3*;
    static sqlite3* Invalid() { return nullptr; }
    static void Close(sqlite3* db) { sqlite3_close_v2(db); }
};
using UniqueConnection = UniqueResource<SqliteConnectionPolicy>;

} // namespace hostwin
