// The registry store: SQLite in WAL mode under $HOSTWIN_ROOT/registry/, so that readers never
// wait for writers, every committed call is visible to other processes at once, and a process
// that dies mid-call leaves the previous state behind.
#include "registry_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>
#include <unordered_map>

namespace hostwin::registry {

namespace {

constexpr int kBusyTimeoutMs = 30000;
constexpr int kApplicationId = 0x484B5247; // marks the file as a registry store
constexpr int kSchemaVersion = 1;

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS keys(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    parent INTEGER NOT NULL,
    name BLOB NOT NULL,
    fold BLOB NOT NULL,
    class BLOB NOT NULL,
    written INTEGER NOT NULL,
    readonly INTEGER NOT NULL DEFAULT 0,
    UNIQUE(parent, fold));
CREATE TABLE IF NOT EXISTS vals(
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    key INTEGER NOT NULL,
    name BLOB NOT NULL,
    fold BLOB NOT NULL,
    type INTEGER NOT NULL,
    data BLOB NOT NULL,
    UNIQUE(key, fold));
)sql";

const char16_t* const kHiveNames[kHiveCount] = {u"HKEY_LOCAL_MACHINE", u"HKEY_CURRENT_USER",
                                                u"HKEY_USERS", u"HKEY_CURRENT_CONFIG"};

// Key ids are never reused (AUTOINCREMENT), so a handle to a deleted key can tell.
struct Connection {
    std::mutex lock;
    sqlite3* db = nullptr;
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    KeyId roots[kHiveCount] = {};
    std::unordered_map<const char*, sqlite3_stmt*> statements;
    unsigned writeCommits = 0;
    std::set<std::string> reported;
};

Connection& TheConnection() {
    static Connection* connection = new Connection; // used until the process ends
    return *connection;
}

void CloseConnection(Connection& c) {
    for (auto& entry : c.statements)
        sqlite3_finalize(entry.second);
    c.statements.clear();
    if (c.db)
        sqlite3_close_v2(c.db);
    c.db = nullptr;
    c.path.clear();
}

// A damaged or unusable store is said once per process and file, naming the file, and every
// call then fails with a registry code; the file itself is never replaced.
LONG StoreError(Connection& c, const std::string& path, int rc, const char* detail) {
    int primary = rc & 0xFF;
    LONG code = ERROR_REGISTRY_IO_FAILED;
    const char* what = "cannot be used";
    if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB) {
        code = ERROR_REGISTRY_CORRUPT;
        what = "is damaged";
    } else if (primary == SQLITE_NOMEM) {
        return ERROR_OUTOFMEMORY;
    } else if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
        what = "stayed locked by another process";
    }
    std::string message = std::string("hostwin: registry store ") + path + " " + what + " (" +
                          (detail ? detail : sqlite3_errstr(rc)) + ")";
    if (c.reported.insert(message).second)
        std::fprintf(stderr, "%s\n", message.c_str());
    return code;
}

int64_t NowTicks() {
    using namespace std::chrono;
    int64_t unix100ns =
        duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    return unix100ns + 116444736000000000LL; // 1601 to 1970
}

WCHAR UpperUnit(WCHAR c) {
    if (c >= u'a' && c <= u'z')
        return static_cast<WCHAR>(c - 0x20);
    if (c < 0x80)
        return c;
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return static_cast<WCHAR>(c - 0x20);
    if (c == 0xFF)
        return 0x178;
    if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 &&
        c != 0x17F) {
        // Latin Extended-A pairs: upper at even codes up to U+0137, at odd codes after it.
        bool lowerIsOdd = c <= 0x137 || (c >= 0x14A && c <= 0x177);
        if (lowerIsOdd ? (c & 1) : !(c & 1))
            return static_cast<WCHAR>(c - 1);
        return c;
    }
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2)
        return static_cast<WCHAR>(c - 0x20);
    if (c >= 0x430 && c <= 0x44F)
        return static_cast<WCHAR>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F)
        return static_cast<WCHAR>(c - 0x50);
    return c;
}

// Names as stored: UTF-16LE exactly as given. Folded names: big-endian, so that the database's
// byte order equals the code-unit order of the upper-cased name.
std::string NameBlob(const std::u16string& name) {
    std::string bytes;
    bytes.reserve(name.size() * 2);
    for (char16_t unit : name) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

std::string FoldBlob(const std::u16string& name) {
    std::string bytes;
    bytes.reserve(name.size() * 2);
    for (char16_t unit : FoldName(name)) {
        bytes += static_cast<char>(unit >> 8);
        bytes += static_cast<char>(unit & 0xFF);
    }
    return bytes;
}

std::u16string NameFromColumn(sqlite3_stmt* statement, int column) {
    const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(statement, column));
    int size = sqlite3_column_bytes(statement, column);
    std::u16string name;
    name.reserve(static_cast<size_t>(size / 2));
    for (int i = 0; i + 1 < size; i += 2)
        name += static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    return name;
}

void BindBlob(sqlite3_stmt* statement, int index, const void* data, size_t size) {
    static const char empty = 0; // a zero-length blob, not NULL
    sqlite3_bind_blob(statement, index, size ? data : &empty, static_cast<int>(size),
                      SQLITE_TRANSIENT);
}

void BindText(sqlite3_stmt* statement, int index, const std::string& bytes) {
    BindBlob(statement, index, bytes.data(), bytes.size());
}

int Exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

int QueryInt(sqlite3* db, const char* sql, int64_t* value) {
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(statement);
        if (rc == SQLITE_ROW) {
            *value = sqlite3_column_int64(statement, 0);
            rc = SQLITE_OK;
        }
    }
    sqlite3_finalize(statement);
    return rc;
}

int QueryText(sqlite3* db, const char* sql, std::string* value) {
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(statement);
        if (rc == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(statement, 0);
            *value = text ? reinterpret_cast<const char*>(text) : "";
            rc = SQLITE_OK;
        }
    }
    sqlite3_finalize(statement);
    return rc;
}

// Inserts a key below `parent` unless it exists; returns its id or 0 with `rc` set.
KeyId EnsureKey(sqlite3* db, KeyId parent, const std::u16string& name, int* rc) {
    sqlite3_stmt* statement = nullptr;
    *rc = sqlite3_prepare_v2(db,
                             "INSERT OR IGNORE INTO keys(parent, name, fold, class, written) "
                             "VALUES(?, ?, ?, ?, ?)",
                             -1, &statement, nullptr);
    if (*rc == SQLITE_OK) {
        sqlite3_bind_int64(statement, 1, parent);
        BindText(statement, 2, NameBlob(name));
        BindText(statement, 3, FoldBlob(name));
        BindText(statement, 4, std::string());
        sqlite3_bind_int64(statement, 5, NowTicks());
        *rc = sqlite3_step(statement) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db);
    }
    sqlite3_finalize(statement);
    if (*rc != SQLITE_OK)
        return 0;
    *rc = sqlite3_prepare_v2(db, "SELECT id FROM keys WHERE parent = ? AND fold = ?", -1,
                             &statement, nullptr);
    KeyId id = 0;
    if (*rc == SQLITE_OK) {
        sqlite3_bind_int64(statement, 1, parent);
        BindText(statement, 2, FoldBlob(name));
        int step = sqlite3_step(statement);
        if (step == SQLITE_ROW)
            id = sqlite3_column_int64(statement, 0);
        else
            *rc = step == SQLITE_DONE ? SQLITE_INTERNAL : step;
    }
    sqlite3_finalize(statement);
    return id;
}

// Sets up a new or existing store file. Runs with the busy timeout, and is retried as a whole
// when many processes meet a fresh machine at the same moment.
int InitialiseStore(Connection& c, const char** detail) {
    sqlite3* db = c.db;
    std::string mode;
    int rc = QueryText(db, "PRAGMA journal_mode", &mode);
    if (rc != SQLITE_OK)
        return rc;
    if (mode != "wal") {
        rc = QueryText(db, "PRAGMA journal_mode=WAL", &mode);
        if (rc != SQLITE_OK)
            return rc;
        if (mode != "wal") {
            *detail = "cannot switch to write-ahead logging";
            return SQLITE_CANTOPEN;
        }
    }
    if ((rc = Exec(db, "PRAGMA synchronous=NORMAL")) != SQLITE_OK)
        return rc;
    if ((rc = Exec(db, "BEGIN IMMEDIATE")) != SQLITE_OK)
        return rc;
    auto fail = [&](int code) {
        Exec(db, "ROLLBACK");
        return code;
    };
    int64_t applicationId = 0, version = 0;
    if ((rc = QueryInt(db, "PRAGMA application_id", &applicationId)) != SQLITE_OK ||
        (rc = QueryInt(db, "PRAGMA user_version", &version)) != SQLITE_OK)
        return fail(rc);
    bool fresh = applicationId == 0 && version == 0;
    if (fresh) {
        int64_t tables = 0;
        if ((rc = QueryInt(db, "SELECT count(*) FROM sqlite_schema", &tables)) != SQLITE_OK)
            return fail(rc);
        if (tables != 0) {
            *detail = "holds a database that is not a registry store";
            return fail(SQLITE_NOTADB);
        }
        char pragmas[128];
        std::snprintf(pragmas, sizeof pragmas, "PRAGMA application_id=%d; PRAGMA user_version=%d",
                      kApplicationId, kSchemaVersion);
        if ((rc = Exec(db, kSchema)) != SQLITE_OK || (rc = Exec(db, pragmas)) != SQLITE_OK)
            return fail(rc);
    } else if (applicationId != kApplicationId || version != kSchemaVersion) {
        *detail = "holds a database that is not a registry store of this version";
        return fail(SQLITE_NOTADB);
    }
    for (int hive = 0; hive < kHiveCount; ++hive) {
        c.roots[hive] = EnsureKey(db, 0, kHiveNames[hive], &rc);
        if (rc != SQLITE_OK)
            return fail(rc);
    }
    if (c.roots[0] == 0) {
        *detail = "has no machine hive";
        return fail(SQLITE_CORRUPT);
    }
    if (fresh) {
        // The classes view of a new machine starts with the machine's classes key present,
        // holding AppID as on every Windows: servers register below it but never create it.
        KeyId software = EnsureKey(db, c.roots[0], u"SOFTWARE", &rc);
        KeyId classes = 0;
        if (rc == SQLITE_OK)
            classes = EnsureKey(db, software, u"Classes", &rc);
        if (rc == SQLITE_OK)
            EnsureKey(db, classes, u"AppID", &rc);
        if (rc != SQLITE_OK)
            return fail(rc);
    }
    if ((rc = Exec(db, "COMMIT")) != SQLITE_OK)
        return fail(rc);
    return SQLITE_OK;
}

// Opens (or re-opens, after the machine root changed or the file was replaced) the store.
LONG EnsureOpen(Connection& c) {
    const std::string path = StorePath();
    struct stat info {};
    if (c.db && c.path == path && stat(path.c_str(), &info) == 0 && info.st_dev == c.device &&
        info.st_ino == c.inode)
        return ERROR_SUCCESS;
    CloseConnection(c);

    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(db);
        return StoreError(c, path, rc, nullptr);
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db, 1);
    c.db = db;
    c.path = path;

    const char* detail = nullptr;
    for (int attempt = 0;; ++attempt) {
        detail = nullptr;
        rc = InitialiseStore(c, &detail);
        if ((rc & 0xFF) != SQLITE_BUSY || attempt >= 50)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (rc == SQLITE_OK && stat(path.c_str(), &info) != 0)
        rc = SQLITE_CANTOPEN;
    if (rc != SQLITE_OK) {
        std::string message = detail ? detail : sqlite3_errmsg(db);
        CloseConnection(c);
        return StoreError(c, path, rc, message.c_str());
    }
    c.device = info.st_dev;
    c.inode = info.st_ino;
    return ERROR_SUCCESS;
}

// The nth committing write of this process (HOSTWIN_REGISTRY_CRASH_BEFORE_COMMIT=n) kills the
// process just before its commit, so tests can show that a crash keeps the previous state.
void CrashPointBeforeCommit(Connection& c) {
    const char* nth = std::getenv("HOSTWIN_REGISTRY_CRASH_BEFORE_COMMIT");
    if (!nth || !*nth)
        return;
    if (++c.writeCommits == std::strtoul(nth, nullptr, 10))
        std::raise(SIGKILL);
}

} // namespace

const char16_t* HiveName(Hive hive) {
    return kHiveNames[static_cast<int>(hive)];
}

std::string StorePath() {
    return MachineRoot() + "/registry/registry.db";
}

std::u16string FoldName(const std::u16string& name) {
    std::u16string folded(name);
    for (char16_t& unit : folded)
        unit = UpperUnit(unit);
    return folded;
}

StoreTransaction::StoreTransaction(bool write) : m_lock(TheConnection().lock), m_write(write) {
    Connection& c = TheConnection();
    m_status = EnsureOpen(c);
    if (m_status != ERROR_SUCCESS)
        return;
    m_db = c.db;
    int rc = Exec(m_db, write ? "BEGIN IMMEDIATE" : "BEGIN");
    if (rc != SQLITE_OK) {
        m_status = StoreError(c, c.path, rc, sqlite3_errmsg(m_db));
        return;
    }
    m_open = true;
}

namespace {
// Statements still positioned on a row would hold the transaction open.
void ResetStatements(Connection& c) {
    for (auto& entry : c.statements)
        sqlite3_reset(entry.second);
}
} // namespace

StoreTransaction::~StoreTransaction() {
    if (m_open) {
        ResetStatements(TheConnection());
        Exec(m_db, "ROLLBACK");
    }
}

LONG StoreTransaction::Commit() {
    Connection& c = TheConnection();
    if (m_write)
        CrashPointBeforeCommit(c);
    ResetStatements(c);
    int rc = Exec(m_db, "COMMIT");
    if (rc != SQLITE_OK)
        return StoreError(c, c.path, rc, sqlite3_errmsg(m_db)); // the destructor rolls back
    m_open = false;
    return ERROR_SUCCESS;
}

sqlite3_stmt* StoreTransaction::Prepare(const char* sql) {
    Connection& c = TheConnection();
    auto found = c.statements.find(sql);
    if (found != c.statements.end()) {
        sqlite3_reset(found->second);
        sqlite3_clear_bindings(found->second);
        return found->second;
    }
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(statement);
        throw StoreFailure{StoreError(c, c.path, rc, sqlite3_errmsg(m_db))};
    }
    c.statements.emplace(sql, statement);
    return statement;
}

void StoreTransaction::Step(sqlite3_stmt* statement, int expected) {
    int rc = sqlite3_step(statement);
    if (rc != expected && !(expected == SQLITE_ROW && rc == SQLITE_DONE)) {
        Connection& c = TheConnection();
        throw StoreFailure{StoreError(c, c.path, rc, sqlite3_errmsg(m_db))};
    }
}

KeyId StoreTransaction::HiveRoot(Hive hive) {
    return TheConnection().roots[static_cast<int>(hive)];
}

bool StoreTransaction::KeyExists(KeyId id) {
    sqlite3_stmt* s = Prepare("SELECT 1 FROM keys WHERE id = ?");
    sqlite3_bind_int64(s, 1, id);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW)
        return true;
    if (rc != SQLITE_DONE) {
        Connection& c = TheConnection();
        throw StoreFailure{StoreError(c, c.path, rc, sqlite3_errmsg(m_db))};
    }
    return false;
}

namespace {
const char* const kKeyColumns = "id, parent, name, class, written, readonly";

KeyRow KeyFromRow(sqlite3_stmt* s) {
    KeyRow row;
    row.id = sqlite3_column_int64(s, 0);
    row.parent = sqlite3_column_int64(s, 1);
    row.name = NameFromColumn(s, 2);
    row.keyClass = NameFromColumn(s, 3);
    row.written = sqlite3_column_int64(s, 4);
    row.readOnly = sqlite3_column_int(s, 5) != 0;
    return row;
}
} // namespace

std::optional<KeyRow> StoreTransaction::Key(KeyId id) {
    static const std::string sql = std::string("SELECT ") + kKeyColumns + " FROM keys WHERE id = ?";
    sqlite3_stmt* s = Prepare(sql.c_str());
    sqlite3_bind_int64(s, 1, id);
    Step(s, SQLITE_ROW);
    if (sqlite3_data_count(s) == 0)
        return std::nullopt;
    return KeyFromRow(s);
}

std::optional<KeyId> StoreTransaction::FindChild(KeyId parent, const std::u16string& name) {
    sqlite3_stmt* s = Prepare("SELECT id FROM keys WHERE parent = ? AND fold = ?");
    sqlite3_bind_int64(s, 1, parent);
    BindText(s, 2, FoldBlob(name));
    Step(s, SQLITE_ROW);
    if (sqlite3_data_count(s) == 0)
        return std::nullopt;
    return sqlite3_column_int64(s, 0);
}

KeyId StoreTransaction::CreateChild(KeyId parent, const std::u16string& name,
                                    const std::u16string& keyClass) {
    sqlite3_stmt* s =
        Prepare("INSERT INTO keys(parent, name, fold, class, written) VALUES(?, ?, ?, ?, ?)");
    sqlite3_bind_int64(s, 1, parent);
    BindText(s, 2, NameBlob(name));
    BindText(s, 3, FoldBlob(name));
    BindText(s, 4, NameBlob(keyClass));
    sqlite3_bind_int64(s, 5, NowTicks());
    Step(s, SQLITE_DONE);
    KeyId id = sqlite3_last_insert_rowid(m_db);
    Touch(parent);
    return id;
}

std::vector<KeyRow> StoreTransaction::Children(KeyId parent) {
    static const std::string sql =
        std::string("SELECT ") + kKeyColumns + " FROM keys WHERE parent = ? ORDER BY fold";
    sqlite3_stmt* s = Prepare(sql.c_str());
    sqlite3_bind_int64(s, 1, parent);
    std::vector<KeyRow> rows;
    for (;;) {
        Step(s, SQLITE_ROW);
        if (sqlite3_data_count(s) == 0)
            break;
        rows.push_back(KeyFromRow(s));
    }
    return rows;
}

int64_t StoreTransaction::ChildCount(KeyId parent) {
    sqlite3_stmt* s = Prepare("SELECT count(*) FROM keys WHERE parent = ?");
    sqlite3_bind_int64(s, 1, parent);
    Step(s, SQLITE_ROW);
    return sqlite3_column_int64(s, 0);
}

void StoreTransaction::DeleteKey(KeyId id) {
    std::optional<KeyRow> row = Key(id);
    if (!row)
        return;
    sqlite3_stmt* s = Prepare("DELETE FROM vals WHERE key = ?");
    sqlite3_bind_int64(s, 1, id);
    Step(s, SQLITE_DONE);
    s = Prepare("DELETE FROM keys WHERE id = ?");
    sqlite3_bind_int64(s, 1, id);
    Step(s, SQLITE_DONE);
    Touch(row->parent);
}

void StoreTransaction::SetReadOnly(KeyId id, bool readOnly) {
    sqlite3_stmt* s = Prepare("UPDATE keys SET readonly = ? WHERE id = ?");
    sqlite3_bind_int(s, 1, readOnly ? 1 : 0);
    sqlite3_bind_int64(s, 2, id);
    Step(s, SQLITE_DONE);
}

namespace {
ValueRow ValueFromRow(sqlite3_stmt* s) {
    ValueRow row;
    row.name = NameFromColumn(s, 0);
    row.type = static_cast<DWORD>(sqlite3_column_int64(s, 1));
    const auto* data = static_cast<const BYTE*>(sqlite3_column_blob(s, 2));
    row.data.assign(data, data + sqlite3_column_bytes(s, 2));
    return row;
}
} // namespace

std::optional<ValueRow> StoreTransaction::Value(KeyId key, const std::u16string& name) {
    sqlite3_stmt* s = Prepare("SELECT name, type, data FROM vals WHERE key = ? AND fold = ?");
    sqlite3_bind_int64(s, 1, key);
    BindText(s, 2, FoldBlob(name));
    Step(s, SQLITE_ROW);
    if (sqlite3_data_count(s) == 0)
        return std::nullopt;
    return ValueFromRow(s);
}

std::vector<ValueRow> StoreTransaction::Values(KeyId key) {
    sqlite3_stmt* s = Prepare("SELECT name, type, data FROM vals WHERE key = ? ORDER BY seq");
    sqlite3_bind_int64(s, 1, key);
    std::vector<ValueRow> rows;
    for (;;) {
        Step(s, SQLITE_ROW);
        if (sqlite3_data_count(s) == 0)
            break;
        rows.push_back(ValueFromRow(s));
    }
    return rows;
}

void StoreTransaction::SetValue(KeyId key, const std::u16string& name, DWORD type, const BYTE* data,
                                DWORD size) {
    // An existing value keeps its place in the enumeration order and its name's spelling.
    sqlite3_stmt* s = Prepare("UPDATE vals SET type = ?, data = ? WHERE key = ? AND fold = ?");
    sqlite3_bind_int64(s, 1, type);
    BindBlob(s, 2, data, size);
    sqlite3_bind_int64(s, 3, key);
    BindText(s, 4, FoldBlob(name));
    Step(s, SQLITE_DONE);
    if (sqlite3_changes(m_db) == 0) {
        s = Prepare("INSERT INTO vals(key, name, fold, type, data) VALUES(?, ?, ?, ?, ?)");
        sqlite3_bind_int64(s, 1, key);
        BindText(s, 2, NameBlob(name));
        BindText(s, 3, FoldBlob(name));
        sqlite3_bind_int64(s, 4, type);
        BindBlob(s, 5, data, size);
        Step(s, SQLITE_DONE);
    }
    Touch(key);
}

bool StoreTransaction::DeleteValue(KeyId key, const std::u16string& name) {
    sqlite3_stmt* s = Prepare("DELETE FROM vals WHERE key = ? AND fold = ?");
    sqlite3_bind_int64(s, 1, key);
    BindText(s, 2, FoldBlob(name));
    Step(s, SQLITE_DONE);
    if (sqlite3_changes(m_db) == 0)
        return false;
    Touch(key);
    return true;
}

void StoreTransaction::Touch(KeyId key) {
    sqlite3_stmt* s = Prepare("UPDATE keys SET written = ? WHERE id = ?");
    sqlite3_bind_int64(s, 1, NowTicks());
    sqlite3_bind_int64(s, 2, key);
    Step(s, SQLITE_DONE);
}

} // namespace hostwin::registry
