#include "sqlite/connection.h"

#include <thread>

namespace hostwin::sqlite {

Error ErrorOf(sqlite3* db, int rc) {
    return Error{rc, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)};
}

void Throw(sqlite3* db, int rc) {
    throw ErrorOf(db, rc);
}

UniqueConnection Open(const std::string& target, int flags) {
    UniqueConnection db;
    const int rc = sqlite3_open_v2(target.c_str(), db.put(), flags, nullptr);
    if (rc != SQLITE_OK)
        Throw(db.get(), rc); // the owner closes what SQLite handed back anyway
    sqlite3_extended_result_codes(db.get(), 1);
    return db;
}

int TryExec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

void Exec(sqlite3* db, const char* sql) {
    if (int rc = TryExec(db, sql); rc != SQLITE_OK)
        Throw(db, rc);
}

int TryQueryInt(sqlite3* db, const char* sql, int64_t* value) {
    UniqueStatement statement;
    int rc = sqlite3_prepare_v2(db, sql, -1, statement.put(), nullptr);
    if (rc != SQLITE_OK)
        return rc;
    rc = sqlite3_step(statement.get());
    if (rc == SQLITE_ROW) {
        *value = sqlite3_column_int64(statement.get(), 0);
        return SQLITE_OK;
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

UniqueStatement Prepare(sqlite3* db, const char* sql) {
    UniqueStatement statement;
    if (int rc = sqlite3_prepare_v2(db, sql, -1, statement.put(), nullptr); rc != SQLITE_OK)
        Throw(db, rc);
    return statement;
}

bool StepRow(sqlite3_stmt* statement) {
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW)
        return true;
    if (rc != SQLITE_DONE)
        Throw(sqlite3_db_handle(statement), rc);
    return false;
}

sqlite3_stmt* StatementCache::Get(sqlite3* db, const std::string& sql) {
    auto found = m_statements.find(sql);
    if (found != m_statements.end()) {
        sqlite3_reset(found->second.get());
        sqlite3_clear_bindings(found->second.get());
        return found->second.get();
    }
    UniqueStatement statement = Prepare(db, sql.c_str());
    return m_statements.emplace(sql, std::move(statement)).first->second.get();
}

void StatementCache::ResetAll() {
    for (auto& entry : m_statements)
        sqlite3_reset(entry.second.get());
}

void BusyWait::Install(sqlite3* db) {
    sqlite3_busy_handler(db, Retry, this);
}

int BusyWait::Retry(void* context, int attempt) {
    const BusyWait& wait = *static_cast<const BusyWait*>(context);
    if (Clock::now() >= wait.m_deadline)
        return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(attempt < 10 ? 1 : 10));
    return 1;
}

} // namespace hostwin::sqlite
