// The registry store's files: SQLite in WAL mode under $HOSTWIN_ROOT/registry/, so that readers
// never wait for writers, every committed call is visible to other processes at once, and a
// process that dies mid-call leaves the previous state behind.
//
// Durability: the last process to close the store copies the log into the main file, so a
// store at rest is one file. Every write also counts itself in the store, and the count is
// written to registry.db-state beside it after the commit; every process holds a lock on that
// file while it has the store open. The first process on a store at rest checks the files and
// compares the counts, so that a lost or damaged log (whose changes SQLite would quietly do
// without) is reported rather than giving an older registry.
#include "registry/store_connection.h"

#include "machine/machine_layout.h"
#include "sqlite/database_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

namespace hostwin::registry {

namespace {

// How long a call waits for a lock another connection holds, before HOSTWIN_TIME_SCALE.
constexpr DWORD kLockWaitMs = 10000;
// However short the time scale: a process descheduled while it writes (a loaded machine, a
// sanitizer build) may hold the lock for a good part of a second.
constexpr DWORD kShortestLockWaitMs = 1000;
constexpr int kApplicationId = 0x484B5247; // marks the file as a registry store
constexpr int kSchemaVersion = 2;

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

using Clock = sqlite::BusyWait::Clock;
using sqlite::Error;

DWORD LockWaitMs() {
    return std::max(ScaleMilliseconds(kLockWaitMs), kShortestLockWaitMs);
}

std::string LockWaitText() {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g s", LockWaitMs() / 1000.0);
    return text;
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

// --- creating and checking the store ---------------------------------------------------------

// Inserts a key below `parent` unless it exists; returns its id.
KeyId EnsureKey(sqlite3* db, KeyId parent, const std::u16string& name) {
    UniqueStatement insert = sqlite::Prepare(db, "INSERT OR IGNORE INTO keys(parent, name, fold, "
                                                 "class, written) VALUES(?, ?, ?, ?, ?)");
    sqlite3_bind_int64(insert.get(), 1, parent);
    BindText(insert.get(), 2, NameBlob(name));
    BindText(insert.get(), 3, FoldBlob(name));
    BindText(insert.get(), 4, std::string());
    sqlite3_bind_int64(insert.get(), 5, NowTicks());
    sqlite::StepRow(insert.get());
    UniqueStatement find = sqlite::Prepare(db, "SELECT id FROM keys WHERE parent = ? AND fold = ?");
    sqlite3_bind_int64(find.get(), 1, parent);
    BindText(find.get(), 2, FoldBlob(name));
    if (!sqlite::StepRow(find.get()))
        throw Error{SQLITE_INTERNAL, "a key just written is not there"};
    return sqlite3_column_int64(find.get(), 0);
}

// The id of `name` below `parent`, 0 when missing.
KeyId FindKeyId(sqlite3* db, KeyId parent, const std::u16string& name) {
    UniqueStatement find = sqlite::Prepare(db, "SELECT id FROM keys WHERE parent = ? AND fold = ?");
    sqlite3_bind_int64(find.get(), 1, parent);
    BindText(find.get(), 2, FoldBlob(name));
    return sqlite::StepRow(find.get()) ? sqlite3_column_int64(find.get(), 0) : 0;
}

void WriteNewStore(const std::string& file) {
    UniqueConnection db = sqlite::Open(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    char pragmas[128];
    std::snprintf(pragmas, sizeof pragmas, "PRAGMA application_id=%d; PRAGMA user_version=%d",
                  kApplicationId, kSchemaVersion);
    sqlite::Exec(db.get(), "BEGIN");
    sqlite::Exec(db.get(), kSchema);
    sqlite::Exec(db.get(), pragmas);
    KeyId roots[kHiveCount] = {};
    for (int hive = 0; hive < kHiveCount; ++hive)
        roots[hive] = EnsureKey(db.get(), 0, HiveName(static_cast<Hive>(hive)));
    // A new machine holds the keys a fresh Windows holds where this system looks.
    for (const layout::FreshKey& fresh : layout::FreshMachineKeys()) {
        KeyId id = roots[fresh.machineHive ? 0 : 1];
        for (const char16_t* name : fresh.path)
            id = EnsureKey(db.get(), id, name);
    }
    sqlite::Exec(db.get(), "COMMIT");
    sqlite::Exec(db.get(), "PRAGMA journal_mode=WAL");
    // Closing the only connection leaves everything in the one file.
}

// Writes a new store under a temporary name and links it into place, so that the store's name
// only ever shows a complete store: an empty or partial file there can only mean damage.
void CreateStore(const std::string& path) {
    const std::string temporary = path + ".new-" + std::to_string(getpid());
    unlink(temporary.c_str());
    std::optional<Error> failure;
    try {
        WriteNewStore(temporary);
    } catch (const Error& error) {
        failure = error;
    }
    if (!failure) {
        UniqueFd file(open(temporary.c_str(), O_RDONLY | O_CLOEXEC));
        const bool synced = file && fsync(file.get()) == 0;
        if (!synced || (link(temporary.c_str(), path.c_str()) != 0 && errno != EEXIST))
            failure = Error{SQLITE_CANTOPEN, std::string("cannot put the new store in place: ") +
                                                 std::strerror(errno)};
    }
    unlink(temporary.c_str());
    UniqueFd directory(
        open(std::filesystem::path(path).parent_path().c_str(), O_RDONLY | O_CLOEXEC));
    if (directory)
        fsync(directory.get());
    if (failure)
        throw *failure;
}

// Checks that an existing file is a registry store of this version, finds the hive roots and
// answers how many writes the store holds. Only reads, so it never waits for a writer.
int64_t ReadStoreIdentity(Connection& c) {
    sqlite3* db = c.db.get();
    sqlite::Exec(db, "BEGIN");
    auto query = [db](const char* sql) {
        int64_t value = 0;
        if (int rc = sqlite::TryQueryInt(db, sql, &value); rc != SQLITE_OK)
            sqlite::Throw(db, rc);
        return value;
    };
    try {
        if (query("PRAGMA application_id") != kApplicationId ||
            query("PRAGMA user_version") != kSchemaVersion)
            throw Error{SQLITE_NOTADB, "holds a database that is not a registry store of this "
                                       "version"};
        const int64_t commits = query("SELECT commits FROM state");
        for (int hive = 0; hive < kHiveCount; ++hive) {
            c.roots[hive] = FindKeyId(db, 0, HiveName(static_cast<Hive>(hive)));
            if (c.roots[hive] == 0)
                throw Error{SQLITE_CORRUPT, "has lost a hive root"};
        }
        sqlite::Exec(db, "COMMIT");
        return commits;
    } catch (...) {
        sqlite::TryExec(db, "ROLLBACK");
        throw;
    }
}

// With no other process on the store: copies the whole log into the main file and empties it.
// Never waits: a foreign connection holding a lock just leaves the log for later.
void SettleLog(Connection& c) {
    const Clock::time_point deadline = c.busy.Deadline();
    c.busy.SetDeadline(Clock::now());
    sqlite3_wal_checkpoint_v2(c.db.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    c.busy.SetDeadline(deadline);
}

// Checks the main file before SQLite opens it, and creates a new store where there is none and
// nothing says there was one. `alone`: no other process has the store open.
void PrepareFile(Connection& c, bool alone) {
    const std::string& path = c.path;
    struct stat log {};
    const bool logEmpty = stat((path + "-wal").c_str(), &log) != 0 || log.st_size == 0;
    std::string detail;
    switch (sqlite::CheckDatabaseFile(path, alone && logEmpty, &detail)) {
    case sqlite::FileState::Missing:
        if (RecordedCommits(c.stateFd.get()) > 0)
            throw Error{SQLITE_CORRUPT,
                        "the file is missing, and " + path + "-state says it held changes"};
        if (!alone || c.readOnly)
            throw Error{SQLITE_CANTOPEN, "the file is missing"};
        CreateStore(path);
        return;
    case sqlite::FileState::Empty:
    case sqlite::FileState::Damaged:
        throw Error{SQLITE_CORRUPT, detail};
    case sqlite::FileState::Sound:
        return;
    }
}

// Alone on the store, after SQLite has read its log: fewer writes in the store than were
// counted means the log that held the rest is missing or damaged.
void CheckNothingLost(const Connection& c, int64_t commits) {
    const int64_t recorded = RecordedCommits(c.stateFd.get());
    if (commits >= recorded)
        return;
    struct stat log {};
    const bool missing = stat((c.path + "-wal").c_str(), &log) != 0 || log.st_size == 0;
    throw Error{SQLITE_CORRUPT, "its write-ahead log " + c.path + "-wal, which held " +
                                    std::to_string(recorded - commits) +
                                    " committed change(s) the main file lacks, " +
                                    (missing ? "is missing" : "is damaged")};
}

void OpenStore(Connection& c) {
    const std::string& path = c.path;
    const std::string statePath = path + "-state";
    c.stateFd.reset(open(statePath.c_str(),
                         c.readOnly ? O_RDONLY | O_CLOEXEC : O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!c.stateFd && !c.readOnly)
        throw Error{SQLITE_CANTOPEN, statePath + ": " + std::strerror(errno)};
    // Alone on the store: checks it and settles its log. Otherwise waits (bounded) for whoever
    // is checking it now.
    const bool alone = !c.readOnly && LockState(c.stateFd.get(), F_WRLCK, false, c.busy.Deadline());
    if (!alone && c.stateFd && !LockState(c.stateFd.get(), F_RDLCK, true, c.busy.Deadline()))
        throw Error{SQLITE_BUSY, "the store is being checked"};

    PrepareFile(c, alone);
    // A store this user may only read, with no log beside it, is read as it stands: SQLite
    // could not create the log's index next to it.
    const bool immutable = c.readOnly && access((path + "-wal").c_str(), F_OK) != 0;
    c.db = sqlite::Open(immutable ? "file:" + path + "?immutable=1" : path,
                        (c.readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                            (immutable ? SQLITE_OPEN_URI : 0));
    c.busy.Install(c.db.get());
    // The log is copied back by SettleLog alone, and never out of a store found damaged.
    sqlite3_db_config(c.db.get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    if (!c.readOnly)
        sqlite::Exec(c.db.get(), kConnectionPragmas);
    const int64_t commits = ReadStoreIdentity(c);
    if (alone) {
        CheckNothingLost(c, commits);
        SettleLog(c); // what a crashed writer left in the log goes into the main file now
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        throw Error{SQLITE_CANTOPEN, path + ": " + std::strerror(errno)};
    if (alone)
        LockState(c.stateFd.get(), F_RDLCK, false, c.busy.Deadline()); // an atomic downgrade
    c.device = info.st_dev;
    c.inode = info.st_ino;
}

} // namespace

void StartLockWait(Connection& c) {
    c.busy.Start(std::chrono::milliseconds(LockWaitMs()));
}

void RecordCommits(const Connection& c, int64_t commits) {
    char text[24];
    int size = std::snprintf(text, sizeof text, "%020lld\n", static_cast<long long>(commits));
    if (c.stateFd)
        (void)!pwrite(c.stateFd.get(), text, static_cast<size_t>(size), 0);
}

void CloseConnection(Connection& c, bool settle) {
    c.statements.Clear();
    ForgetLists(c);
    if (c.db && !c.readOnly && settle) {
        sqlite3_wal_checkpoint_v2(c.db.get(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        if (c.stateFd && LockState(c.stateFd.get(), F_WRLCK, false, c.busy.Deadline()))
            SettleLog(c); // the last process on the store
    }
    c.db.reset();
    c.stateFd.reset(); // releases the lock
    c.path.clear();
    c.dataVersion = -1;
}

void EnsureOpen(Connection& c) {
    const std::string path = StorePath();
    struct stat info {};
    if (c.db && c.path == path && stat(path.c_str(), &info) == 0 && info.st_dev == c.device &&
        info.st_ino == c.inode)
        return;
    CloseConnection(c);
    static std::once_flag atExit;
    std::call_once(atExit, [] { std::atexit(CloseStore); });

    const std::string directory = std::filesystem::path(path).parent_path();
    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);
    c.path = path;
    c.readOnly = access(directory.c_str(), W_OK) != 0 ||
                 (access(path.c_str(), F_OK) == 0 && access(path.c_str(), W_OK) != 0);
    try {
        OpenStore(c);
    } catch (...) {
        CloseConnection(c, false);
        throw;
    }
}

void CrashPointBeforeCommit(Connection& c) {
    const char* nth = std::getenv("HOSTWIN_REGISTRY_CRASH_BEFORE_COMMIT");
    if (!nth || !*nth)
        return;
    if (++c.writeCommits == std::strtoul(nth, nullptr, 10))
        std::raise(SIGKILL);
}

// A damaged or unusable store is said once per process and file, naming the file, and every
// call then fails with a registry code; the file itself is never replaced.
LONG StoreCode(const sqlite::Error& error) {
    const int primary = error.Primary();
    if (primary == SQLITE_READONLY)
        return ERROR_ACCESS_DENIED; // a store this user may only read
    LONG code = ERROR_REGISTRY_IO_FAILED;
    std::string what = "cannot be used";
    if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB) {
        code = ERROR_REGISTRY_CORRUPT;
        what = "is damaged";
    } else if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
        what = "stayed locked by another process for " + LockWaitText();
    }
    const std::string message =
        "hostwin: registry store " + StorePath() + " " + what + " (" + error.text + ")";
    Connection& c = TheConnection();
    std::lock_guard<std::mutex> guard(c.reportLock);
    if (c.reported.insert(message).second)
        std::fprintf(stderr, "%s\n", message.c_str());
    return code;
}

} // namespace hostwin::registry
