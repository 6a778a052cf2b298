// The registry store: SQLite in WAL mode under $HOSTWIN_ROOT/registry/, so that readers never
// wait for writers, every committed call is visible to other processes at once, and a process
// that dies mid-call leaves the previous state behind.
//
// Durability: the last process to close the store copies the log into the main file, so a
// store at rest is one file. Every write also counts itself in the store, and the count is
// written to registry.db-state beside it after the commit; every process holds a lock on that
// file while it has the store open. The first process on a store at rest checks the files and
// compares the counts, so that a lost or damaged log (whose changes SQLite would quietly do
// without) is reported rather than giving an older registry.
#include "registry/registry_store.h"
#include "machine/machine_layout.h"

#include "registry/registry_file.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <set>
#include <thread>
#include <unordered_map>

namespace hostwin::registry {

namespace {

// How long a call waits for a lock another connection holds, before HOSTWIN_TIME_SCALE.
constexpr DWORD kLockWaitMs = 10000;
// However short the time scale: a process descheduled while it writes (a loaded machine, a
// sanitizer build) may hold the lock for a good part of a second.
constexpr DWORD kShortestLockWaitMs = 1000;
constexpr int kApplicationId = 0x484B5247; // marks the file as a registry store
constexpr int kSchemaVersion = 2;
constexpr size_t kCachedLists = 4; // per kind; enough for a walk that nests one level at a time

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
CREATE TABLE IF NOT EXISTS state(commits INTEGER NOT NULL);
INSERT INTO state VALUES(0);
)sql";

// Per connection: the log is copied back at 1000 pages, and a log grown past 4 MiB by a long
// reader is cut back to that size once it restarts.
const char* const kConnectionPragmas =
    "PRAGMA synchronous=NORMAL; PRAGMA wal_autocheckpoint=1000; "
    "PRAGMA journal_size_limit=4194304; PRAGMA cache_size=-16384";

const char16_t* const kHiveNames[kHiveCount] = {u"HKEY_LOCAL_MACHINE", u"HKEY_CURRENT_USER",
                                                u"HKEY_USERS", u"HKEY_CURRENT_CONFIG"};

using Clock = std::chrono::steady_clock;

template <class List> struct CachedList {
    std::vector<KeyId> keys;
    std::shared_ptr<const List> list;
};

// Key ids are never reused (AUTOINCREMENT), so a handle to a deleted key can tell.
struct Connection {
    std::mutex lock;
    sqlite3* db = nullptr;
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    int stateFd = -1;
    bool readOnly = false;
    KeyId roots[kHiveCount] = {};
    // Keyed by the statement text: two equal texts at different addresses are one statement.
    std::unordered_map<std::string, sqlite3_stmt*> statements;
    unsigned writeCommits = 0;
    std::set<std::string> reported;
    Clock::time_point deadline;
    int64_t dataVersion = -1;
    std::deque<CachedList<ChildList>> children;
    std::deque<CachedList<ValueList>> values;
    // The thread whose scope (a snapshot or a batch) is open, and the store lock it holds
    // meanwhile.
    std::atomic<std::thread::id> scopeThread{};
    std::unique_lock<std::mutex> scopeLock;
    bool scopeWrites = false;
};

Connection& TheConnection() {
    static Connection* connection = new Connection; // used until the process ends
    return *connection;
}

DWORD LockWaitMs() {
    return std::max(ScaleMilliseconds(kLockWaitMs), kShortestLockWaitMs);
}

Clock::duration LockWait() {
    return std::chrono::milliseconds(LockWaitMs());
}

std::string LockWaitText() {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g s", LockWaitMs() / 1000.0);
    return text;
}

// SQLite's busy handler: retries until the call's deadline.
int WaitWhileBusy(void* context, int attempt) {
    const Connection& c = *static_cast<const Connection*>(context);
    if (Clock::now() >= c.deadline)
        return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(attempt < 10 ? 1 : 10));
    return 1;
}

void ForgetLists(Connection& c) {
    c.children.clear();
    c.values.clear();
}

// A damaged or unusable store is said once per process and file, naming the file, and every
// call then fails with a registry code; the file itself is never replaced.
LONG StoreError(Connection& c, const std::string& path, int rc, const char* detail) {
    int primary = rc & 0xFF;
    LONG code = ERROR_REGISTRY_IO_FAILED;
    std::string what = "cannot be used";
    if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB) {
        code = ERROR_REGISTRY_CORRUPT;
        what = "is damaged";
    } else if (primary == SQLITE_NOMEM) {
        return ERROR_OUTOFMEMORY;
    } else if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
        what = "stayed locked by another process for " + LockWaitText();
    } else if (primary == SQLITE_READONLY) {
        return ERROR_ACCESS_DENIED; // a store this user may only read
    }
    std::string message = "hostwin: registry store " + path + " " + what + " (" +
                          (detail ? detail : sqlite3_errstr(rc)) + ")";
    if (c.reported.insert(message).second)
        std::fprintf(stderr, "%s\n", message.c_str());
    return code;
}

// --- the state file: lock and marker -------------------------------------------------------

bool LockState(int fd, short type, bool wait, Clock::time_point deadline) {
    for (;;) {
        struct flock lock {};
        lock.l_type = type;
        lock.l_whence = SEEK_SET;
        if (fcntl(fd, F_SETLK, &lock) == 0)
            return true;
        if (!wait || Clock::now() >= deadline || (errno != EACCES && errno != EAGAIN))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// The number of writes committed to the store, as the state file last recorded it.
int64_t RecordedCommits(int fd) {
    char text[24] = {};
    if (fd < 0 || pread(fd, text, sizeof text - 1, 0) <= 0)
        return 0;
    return std::strtoll(text, nullptr, 10);
}

void RecordCommits(const Connection& c, int64_t commits) {
    char text[24];
    int size = std::snprintf(text, sizeof text, "%020lld\n", static_cast<long long>(commits));
    if (c.stateFd >= 0)
        (void)!pwrite(c.stateFd, text, static_cast<size_t>(size), 0);
}

// --- store file helpers ----------------------------------------------------------------------

int64_t NowTicks() {
    using namespace std::chrono;
    int64_t unix100ns =
        duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    return unix100ns + 116444736000000000LL; // 1601 to 1970
}
// Names as stored: UTF-16LE exactly as given. Folded names: big-endian, so that the database's
// byte order equals the code-unit order of the upper-cased name.
std::string NameBlob(const std::u16string& name) {
    const std::vector<BYTE> bytes = EncodeUtf16Le(name);
    return std::string(bytes.begin(), bytes.end());
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
    const void* bytes = sqlite3_column_blob(statement, column);
    const size_t size = static_cast<size_t>(sqlite3_column_bytes(statement, column));
    // Names are written whole by this store; an odd trailing byte is not part of any name.
    return DecodeUtf16Le(bytes, size & ~size_t{1}).value_or(std::u16string());
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

// The id of `name` below `parent`, 0 when missing.
int FindKeyId(sqlite3* db, KeyId parent, const std::u16string& name, KeyId* id) {
    sqlite3_stmt* statement = nullptr;
    *id = 0;
    int rc = sqlite3_prepare_v2(db, "SELECT id FROM keys WHERE parent = ? AND fold = ?", -1,
                                &statement, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_bind_int64(statement, 1, parent);
        BindText(statement, 2, FoldBlob(name));
        rc = sqlite3_step(statement);
        if (rc == SQLITE_ROW)
            *id = sqlite3_column_int64(statement, 0);
        rc = rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
    }
    sqlite3_finalize(statement);
    return rc;
}

// Writes a new store under a temporary name and links it into place, so that the store's name
// only ever shows a complete store: an empty or partial file there can only mean damage.
int CreateStore(const std::string& path, std::string* detail) {
    const std::string temporary = path + ".new-" + std::to_string(getpid());
    unlink(temporary.c_str());
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(temporary.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                             nullptr);
    char pragmas[128];
    std::snprintf(pragmas, sizeof pragmas, "PRAGMA application_id=%d; PRAGMA user_version=%d",
                  kApplicationId, kSchemaVersion);
    if (rc == SQLITE_OK && (rc = Exec(db, "BEGIN")) == SQLITE_OK &&
        (rc = Exec(db, kSchema)) == SQLITE_OK && (rc = Exec(db, pragmas)) == SQLITE_OK) {
        KeyId roots[kHiveCount] = {};
        for (int hive = 0; hive < kHiveCount && rc == SQLITE_OK; ++hive)
            roots[hive] = EnsureKey(db, 0, kHiveNames[hive], &rc);
        // A new machine holds the keys a fresh Windows holds where this system looks.
        for (const layout::FreshKey& fresh : layout::FreshMachineKeys()) {
            KeyId id = roots[fresh.machineHive ? 0 : 1];
            for (const char16_t* name : fresh.path)
                if (rc == SQLITE_OK)
                    id = EnsureKey(db, id, name, &rc);
        }
        if (rc == SQLITE_OK)
            rc = Exec(db, "COMMIT");
        if (rc == SQLITE_OK)
            rc = Exec(db, "PRAGMA journal_mode=WAL");
    }
    if (rc != SQLITE_OK)
        *detail = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db); // the only connection: leaves everything in the one file
    if (rc == SQLITE_OK) {
        int fd = open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
        bool synced = fd >= 0 && fsync(fd) == 0;
        if (fd >= 0)
            close(fd);
        if (!synced || (link(temporary.c_str(), path.c_str()) != 0 && errno != EEXIST)) {
            *detail = std::string("cannot put the new store in place: ") + std::strerror(errno);
            rc = SQLITE_CANTOPEN;
        }
    }
    unlink(temporary.c_str());
    int directory = open(std::filesystem::path(path).parent_path().c_str(), O_RDONLY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    return rc;
}

// Checks that an existing file is a registry store of this version, finds the hive roots and
// reads how many writes the store holds. Only reads, so it never waits for a writer.
int ReadStoreIdentity(Connection& c, int64_t* commits, const char** detail) {
    sqlite3* db = c.db;
    int rc = Exec(db, "BEGIN");
    if (rc != SQLITE_OK)
        return rc;
    auto finish = [&](int code) {
        Exec(db, code == SQLITE_OK ? "COMMIT" : "ROLLBACK");
        return code;
    };
    int64_t applicationId = 0, version = 0;
    if ((rc = QueryInt(db, "PRAGMA application_id", &applicationId)) != SQLITE_OK ||
        (rc = QueryInt(db, "PRAGMA user_version", &version)) != SQLITE_OK)
        return finish(rc);
    if (applicationId != kApplicationId || version != kSchemaVersion) {
        *detail = "holds a database that is not a registry store of this version";
        return finish(SQLITE_NOTADB);
    }
    if ((rc = QueryInt(db, "SELECT commits FROM state", commits)) != SQLITE_OK)
        return finish(rc);
    for (int hive = 0; hive < kHiveCount; ++hive) {
        if ((rc = FindKeyId(db, 0, kHiveNames[hive], &c.roots[hive])) != SQLITE_OK)
            return finish(rc);
        if (c.roots[hive] == 0) {
            *detail = "has lost a hive root";
            return finish(SQLITE_CORRUPT);
        }
    }
    return finish(SQLITE_OK);
}

// With no other process on the store: copies the whole log into the main file and empties it.
// Never waits: a foreign connection holding a lock just leaves the log for later.
void SettleLog(Connection& c) {
    const Clock::time_point deadline = c.deadline;
    c.deadline = Clock::now();
    sqlite3_wal_checkpoint_v2(c.db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    c.deadline = deadline;
}

// `settle`: copy the log back as a store in use is closed; false for a file found unusable,
// which is left exactly as it is.
void CloseConnection(Connection& c, bool settle = true) {
    for (auto& entry : c.statements)
        sqlite3_finalize(entry.second);
    c.statements.clear();
    ForgetLists(c);
    if (c.db && !c.readOnly && settle) {
        sqlite3_wal_checkpoint_v2(c.db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        if (c.stateFd >= 0 && LockState(c.stateFd, F_WRLCK, false, c.deadline))
            SettleLog(c); // the last process on the store
    }
    if (c.db)
        sqlite3_close_v2(c.db);
    if (c.stateFd >= 0)
        close(c.stateFd); // releases the lock
    c.db = nullptr;
    c.stateFd = -1;
    c.path.clear();
    c.dataVersion = -1;
}

// Checks the main file before SQLite opens it, and creates a new store where there is none and
// nothing says there was one. `alone`: no other process has the store open.
int PrepareFile(Connection& c, bool alone, std::string* detail) {
    const std::string& path = c.path;
    struct stat log {};
    const bool logEmpty = stat((path + "-wal").c_str(), &log) != 0 || log.st_size == 0;
    switch (CheckStoreFile(path, alone && logEmpty, detail)) {
    case FileState::Missing:
        if (RecordedCommits(c.stateFd) > 0) {
            *detail = "the file is missing, and " + path + "-state says it held changes";
            return SQLITE_CORRUPT;
        }
        if (!alone || c.readOnly) {
            *detail = "the file is missing";
            return SQLITE_CANTOPEN;
        }
        return CreateStore(path, detail);
    case FileState::Empty:
    case FileState::Damaged:
        return SQLITE_CORRUPT;
    case FileState::Sound:
        break;
    }
    return SQLITE_OK;
}

// Alone on the store, after SQLite has read its log: fewer writes in the store than were
// counted means the log that held the rest is missing or damaged.
int CheckNothingLost(const Connection& c, int64_t commits, std::string* detail) {
    const int64_t recorded = RecordedCommits(c.stateFd);
    if (commits >= recorded)
        return SQLITE_OK;
    struct stat log {};
    const bool missing = stat((c.path + "-wal").c_str(), &log) != 0 || log.st_size == 0;
    *detail = "its write-ahead log " + c.path + "-wal, which held " +
              std::to_string(recorded - commits) + " committed change(s) the main file lacks, " +
              (missing ? "is missing" : "is damaged");
    return SQLITE_CORRUPT;
}

// Opens (or re-opens, after the machine root changed or the file was replaced) the store.
LONG EnsureOpen(Connection& c) {
    const std::string path = StorePath();
    struct stat info {};
    if (c.db && c.path == path && stat(path.c_str(), &info) == 0 && info.st_dev == c.device &&
        info.st_ino == c.inode)
        return ERROR_SUCCESS;
    CloseConnection(c);
    static std::once_flag atExit;
    std::call_once(atExit, [] { std::atexit(CloseStore); });

    const std::string directory = std::filesystem::path(path).parent_path();
    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);
    c.path = path;
    c.readOnly = access(directory.c_str(), W_OK) != 0 ||
                 (access(path.c_str(), F_OK) == 0 && access(path.c_str(), W_OK) != 0);
    const std::string statePath = path + "-state";
    c.stateFd = open(statePath.c_str(),
                     c.readOnly ? O_RDONLY | O_CLOEXEC : O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (c.stateFd < 0 && !c.readOnly) {
        std::string detail = statePath + ": " + std::strerror(errno);
        CloseConnection(c, false);
        return StoreError(c, path, SQLITE_CANTOPEN, detail.c_str());
    }
    // Alone on the store: checks it and settles its log. Otherwise waits (bounded) for whoever
    // is checking it now.
    bool alone = !c.readOnly && LockState(c.stateFd, F_WRLCK, false, c.deadline);
    if (!alone && c.stateFd >= 0 && !LockState(c.stateFd, F_RDLCK, true, c.deadline)) {
        CloseConnection(c, false);
        return StoreError(c, path, SQLITE_BUSY, "the store is being checked");
    }

    std::string detail;
    int rc = PrepareFile(c, alone, &detail);
    if (rc == SQLITE_OK) {
        // A store this user may only read, with no log beside it, is read as it stands: SQLite
        // could not create the log's index next to it.
        bool immutable = c.readOnly && access((path + "-wal").c_str(), F_OK) != 0;
        std::string uri = "file:" + path + (immutable ? "?immutable=1" : "");
        rc = sqlite3_open_v2(immutable ? uri.c_str() : path.c_str(), &c.db,
                             (c.readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                                 (immutable ? SQLITE_OPEN_URI : 0),
                             nullptr);
        if (rc != SQLITE_OK)
            detail = c.db ? sqlite3_errmsg(c.db) : sqlite3_errstr(rc);
    }
    if (rc == SQLITE_OK) {
        sqlite3_extended_result_codes(c.db, 1);
        sqlite3_busy_handler(c.db, WaitWhileBusy, &c);
        // The log is copied back by SettleLog alone, and never out of a store found damaged.
        sqlite3_db_config(c.db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        const char* identity = nullptr;
        int64_t commits = 0;
        rc = c.readOnly ? SQLITE_OK : Exec(c.db, kConnectionPragmas);
        if (rc == SQLITE_OK)
            rc = ReadStoreIdentity(c, &commits, &identity);
        if (rc != SQLITE_OK)
            detail = identity ? identity : sqlite3_errmsg(c.db);
        else if (alone)
            rc = CheckNothingLost(c, commits, &detail);
    }
    if (rc == SQLITE_OK && alone)
        SettleLog(c); // what a crashed writer left in the log goes into the main file now
    if (rc == SQLITE_OK && stat(path.c_str(), &info) != 0)
        rc = SQLITE_CANTOPEN;
    if (rc != SQLITE_OK) {
        CloseConnection(c, false);
        return StoreError(c, path, rc, detail.c_str());
    }
    if (alone)
        LockState(c.stateFd, F_RDLCK, false, c.deadline); // an atomic downgrade
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
    return layout::RegistryStore();
}

namespace {
// Statements still positioned on a row would hold the transaction open.
void ResetStatements(Connection& c) {
    for (auto& entry : c.statements)
        sqlite3_reset(entry.second);
}

// Cached lists hold until another connection commits (the data version moves) or this one
// changes something.
void ForgetListsIfStoreChanged(Connection& c) {
    int64_t version = -1;
    if (QueryInt(c.db, "PRAGMA data_version", &version) != SQLITE_OK || version != c.dataVersion)
        ForgetLists(c);
    c.dataVersion = version;
}
} // namespace

StoreTransaction::StoreTransaction(bool write) : m_write(write) {
    Connection& c = TheConnection();
    if (c.scopeThread.load() == std::this_thread::get_id()) {
        m_nested = true;
        m_db = c.db;
        if (write && !c.scopeWrites) {
            m_status = ERROR_ACCESS_DENIED; // a snapshot only reads
        } else if (write) {
            // Each call in a batch still applies whole or not at all.
            int rc = Exec(m_db, "SAVEPOINT call");
            m_status = rc == SQLITE_OK ? 0 : StoreError(c, c.path, rc, sqlite3_errmsg(m_db));
            m_open = rc == SQLITE_OK;
        }
        return;
    }
    m_lock = std::unique_lock<std::mutex>(c.lock);
    c.deadline = Clock::now() + LockWait();
    m_status = EnsureOpen(c);
    if (m_status != ERROR_SUCCESS)
        return;
    m_db = c.db;
    if (write && c.readOnly) {
        m_status = ERROR_ACCESS_DENIED;
        return;
    }
    int rc = Exec(m_db, write ? "BEGIN IMMEDIATE" : "BEGIN");
    if (rc != SQLITE_OK) {
        m_status = StoreError(c, c.path, rc, sqlite3_errmsg(m_db));
        return;
    }
    m_open = true;
    ForgetListsIfStoreChanged(c);
}

StoreTransaction::~StoreTransaction() {
    if (m_open) {
        Connection& c = TheConnection();
        ResetStatements(c);
        Exec(m_db, m_nested ? "ROLLBACK TO call; RELEASE call" : "ROLLBACK");
        if (m_write)
            ForgetLists(c); // lists read inside the rolled-back changes
    }
}

LONG StoreTransaction::Commit() {
    Connection& c = TheConnection();
    if (m_nested) {
        if (m_open)
            Exec(m_db, "RELEASE call");
        m_open = false;
        return ERROR_SUCCESS;
    }
    int64_t commits = 0;
    if (m_write) {
        sqlite3_stmt* s = Prepare("UPDATE state SET commits = commits + 1 RETURNING commits");
        Step(s, SQLITE_ROW);
        commits = sqlite3_column_int64(s, 0);
        CrashPointBeforeCommit(c);
    }
    ResetStatements(c);
    int rc = Exec(m_db, "COMMIT");
    if (rc != SQLITE_OK)
        return StoreError(c, c.path, rc, sqlite3_errmsg(m_db)); // the destructor rolls back
    m_open = false;
    if (m_write)
        RecordCommits(c, commits);
    return ERROR_SUCCESS;
}

void StoreTransaction::Changed() {
    ForgetLists(TheConnection());
}

LONG BeginScope(bool write) {
    Connection& c = TheConnection();
    if (c.scopeThread.load() == std::this_thread::get_id())
        return ERROR_ACCESS_DENIED; // one at a time
    std::unique_lock<std::mutex> lock(c.lock);
    c.deadline = Clock::now() + LockWait();
    if (LONG status = EnsureOpen(c))
        return status;
    if (write && c.readOnly)
        return ERROR_ACCESS_DENIED;
    // A first read pins a snapshot now rather than at the first call inside it.
    int64_t ignored = 0;
    int rc = Exec(c.db, write ? "BEGIN IMMEDIATE" : "BEGIN");
    if (rc == SQLITE_OK)
        rc = QueryInt(c.db, "SELECT count(*) FROM keys WHERE id = 1", &ignored);
    if (rc != SQLITE_OK) {
        LONG status = StoreError(c, c.path, rc, sqlite3_errmsg(c.db));
        Exec(c.db, "ROLLBACK");
        return status;
    }
    ForgetListsIfStoreChanged(c);
    c.scopeLock = std::move(lock);
    c.scopeWrites = write;
    c.scopeThread = std::this_thread::get_id();
    return ERROR_SUCCESS;
}

LONG EndScope(bool commit) {
    Connection& c = TheConnection();
    if (c.scopeThread.load() != std::this_thread::get_id())
        return ERROR_INVALID_PARAMETER;
    LONG status = ERROR_SUCCESS;
    if (c.scopeWrites && commit) {
        int64_t commits = 0;
        int rc =
            QueryInt(c.db, "UPDATE state SET commits = commits + 1 RETURNING commits", &commits);
        if (rc == SQLITE_OK) {
            CrashPointBeforeCommit(c);
            ResetStatements(c);
            rc = Exec(c.db, "COMMIT");
        }
        if (rc == SQLITE_OK)
            RecordCommits(c, commits);
        else
            status = StoreError(c, c.path, rc, sqlite3_errmsg(c.db));
    }
    if (sqlite3_get_autocommit(c.db) == 0) { // a snapshot, or a batch not committed
        ResetStatements(c);
        Exec(c.db, "ROLLBACK");
        if (c.scopeWrites)
            ForgetLists(c);
    }
    c.scopeThread = std::thread::id();
    c.scopeLock.unlock();
    return status;
}

void CloseStore() {
    Connection& c = TheConnection();
    // A thread still inside a call (or this thread's own snapshot) keeps the store as it is;
    // the next process to open it copies the log back.
    if (c.scopeThread.load() == std::this_thread::get_id() || !c.lock.try_lock())
        return;
    CloseConnection(c);
    c.lock.unlock();
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
    Step(s, SQLITE_ROW);
    return sqlite3_data_count(s) != 0;
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

// The cached list for `keys`, moved to the front; null when there is none.
template <class List>
std::shared_ptr<const List> FindList(std::deque<CachedList<List>>& cache,
                                     const std::vector<KeyId>& keys) {
    for (auto it = cache.begin(); it != cache.end(); ++it) {
        if (it->keys == keys) {
            CachedList<List> found = std::move(*it);
            cache.erase(it);
            cache.push_front(std::move(found));
            return cache.front().list;
        }
    }
    return nullptr;
}

template <class List>
void KeepList(std::deque<CachedList<List>>& cache, const std::vector<KeyId>& keys,
              std::shared_ptr<const List> list) {
    cache.push_front(CachedList<List>{keys, std::move(list)});
    if (cache.size() > kCachedLists)
        cache.pop_back();
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
    Changed();
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

std::shared_ptr<const ChildList> StoreTransaction::Children(const std::vector<KeyId>& parents) {
    Connection& c = TheConnection();
    if (auto cached = FindList(c.children, parents))
        return cached;
    static const std::string sql =
        std::string("SELECT ") + kKeyColumns + " FROM keys WHERE parent = ? ORDER BY fold";
    auto list = std::make_shared<ChildList>();
    std::vector<std::u16string> folds; // of list->rows, while merging
    for (size_t part = 0; part < parents.size(); ++part) {
        sqlite3_stmt* s = Prepare(sql.c_str());
        sqlite3_bind_int64(s, 1, parents[part]);
        std::vector<KeyRow> rows;
        for (;;) {
            Step(s, SQLITE_ROW);
            if (sqlite3_data_count(s) == 0)
                break;
            rows.push_back(KeyFromRow(s));
        }
        if (part == 0) {
            list->rows = std::move(rows);
            if (parents.size() > 1)
                for (const KeyRow& row : list->rows)
                    folds.push_back(FoldName(row.name));
            continue;
        }
        // Both sides are sorted by folded name: one merge pass, the earlier part winning.
        std::vector<KeyRow> merged;
        std::vector<std::u16string> mergedFolds;
        size_t i = 0;
        for (KeyRow& row : rows) {
            std::u16string fold = FoldName(row.name);
            for (; i < list->rows.size() && folds[i] < fold; ++i) {
                merged.push_back(std::move(list->rows[i]));
                mergedFolds.push_back(std::move(folds[i]));
            }
            if (i < list->rows.size() && folds[i] == fold)
                continue;
            merged.push_back(std::move(row));
            mergedFolds.push_back(std::move(fold));
        }
        for (; i < list->rows.size(); ++i) {
            merged.push_back(std::move(list->rows[i]));
            mergedFolds.push_back(std::move(folds[i]));
        }
        list->rows = std::move(merged);
        folds = std::move(mergedFolds);
    }
    for (const KeyRow& row : list->rows) {
        list->maxName = std::max(list->maxName, row.name.size());
        list->maxClass = std::max(list->maxClass, row.keyClass.size());
    }
    KeepList(c.children, parents, std::shared_ptr<const ChildList>(list));
    return list;
}

bool StoreTransaction::HasChildren(KeyId parent) {
    sqlite3_stmt* s = Prepare("SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
    sqlite3_bind_int64(s, 1, parent);
    Step(s, SQLITE_ROW);
    return sqlite3_data_count(s) != 0;
}

void StoreTransaction::DeleteKey(KeyId id) {
    std::optional<KeyRow> row = Key(id);
    if (!row)
        return;
    Changed();
    sqlite3_stmt* s = Prepare("DELETE FROM vals WHERE key = ?");
    sqlite3_bind_int64(s, 1, id);
    Step(s, SQLITE_DONE);
    s = Prepare("DELETE FROM keys WHERE id = ?");
    sqlite3_bind_int64(s, 1, id);
    Step(s, SQLITE_DONE);
    Touch(row->parent);
}

void StoreTransaction::SetReadOnly(KeyId id, bool readOnly) {
    Changed();
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

std::shared_ptr<const ValueList> StoreTransaction::Values(KeyId key) {
    Connection& c = TheConnection();
    const std::vector<KeyId> keys = {key};
    if (auto cached = FindList(c.values, keys))
        return cached;
    sqlite3_stmt* s = Prepare("SELECT name, type, data FROM vals WHERE key = ? ORDER BY seq");
    sqlite3_bind_int64(s, 1, key);
    auto list = std::make_shared<ValueList>();
    for (;;) {
        Step(s, SQLITE_ROW);
        if (sqlite3_data_count(s) == 0)
            break;
        list->rows.push_back(ValueFromRow(s));
        list->maxName = std::max(list->maxName, list->rows.back().name.size());
        list->maxData = std::max(list->maxData, list->rows.back().data.size());
    }
    KeepList(c.values, keys, std::shared_ptr<const ValueList>(list));
    return list;
}

void StoreTransaction::SetValue(KeyId key, const std::u16string& name, DWORD type, const BYTE* data,
                                DWORD size) {
    Changed();
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
    Changed();
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
    Changed();
    sqlite3_stmt* s = Prepare("UPDATE keys SET written = ? WHERE id = ?");
    sqlite3_bind_int64(s, 1, NowTicks());
    sqlite3_bind_int64(s, 2, key);
    Step(s, SQLITE_DONE);
}

} // namespace hostwin::registry
