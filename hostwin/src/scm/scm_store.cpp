// The service database in SQLite: services, their status history and the handles open on
// them, shared by every process of the machine.
#include "scm/scm_store.h"

#include "machine/eventlog.h"
#include "process/procfs.h"
#include "machine/machine_layout.h"
#include "scm/store_changes.h"
#include "sqlite/connection.h"
#include "sqlite/database_file.h"

#include <hostwin/text.h>

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

namespace hostwin::scm {

namespace {

// How long a call waits for a lock another process holds.
constexpr auto kBusyBound = std::chrono::seconds(10);
constexpr int kApplicationId = 0x48534D44; // marks the file as a service database
// 1: dependencies as a JSON list of names, so that any name (one with a line feed too) keeps.
constexpr int kSchemaVersion = 1;

struct Connection {
    std::mutex lock;
    UniqueConnection db;
    sqlite::BusyWait busy;
    std::string path;
    ino_t inode = 0;
    bool readOnly = false;
    bool lineLists = false; // a read-only database of schema 0: dependencies one per line
    bool claimless = false; // ... and perhaps without the claim columns
    UniqueFd changeMark;    // rewritten after each committed change, for waiters
    std::mutex reportLock;
    std::set<std::string> reported; // each failure is said once per process
};
Connection& TheConnection() {
    static Connection* connection = new Connection; // used until the very end of the process
    return *connection;
}

using sqlite::Exec;
using sqlite::Prepare;
using sqlite::StepRow;
using Statement = UniqueStatement;

void Bind(sqlite3_stmt* s, int index, const std::string& text) {
    sqlite3_bind_text(s, index, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}
void Bind(sqlite3_stmt* s, int index, int64_t value) {
    sqlite3_bind_int64(s, index, value);
}

std::string Folded(const std::u16string& name) {
    return ToUtf8(FoldName(name));
}

std::string Text(sqlite3_stmt* s, int column) {
    const unsigned char* text = sqlite3_column_text(s, column);
    return text ? reinterpret_cast<const char*>(text) : "";
}

// Dependencies are a JSON list: a service name may hold any character, a line feed too.
std::string JoinNames(const std::vector<std::u16string>& names) {
    nlohmann::json list = nlohmann::json::array();
    for (const std::u16string& name : names)
        list.push_back(ToUtf8(name));
    return list.dump();
}
std::vector<std::u16string> LineNames(const std::string& lines);
std::vector<std::u16string> SplitNames(const std::string& joined) {
    if (TheConnection().lineLists)
        return LineNames(joined);
    std::vector<std::u16string> names;
    const nlohmann::json list = nlohmann::json::parse(joined, nullptr, false);
    if (!list.is_array())
        throw sqlite::Error{SQLITE_CORRUPT, "a dependency list is damaged"};
    for (const nlohmann::json& name : list)
        names.push_back(FromUtf8(name.get<std::string>()));
    return names;
}
// The list as schema 0 kept it, one name per line.
std::vector<std::u16string> LineNames(const std::string& lines) {
    std::vector<std::u16string> names;
    size_t start = 0;
    for (size_t end = lines.find('\n'); end != std::string::npos;
         start = end + 1, end = lines.find('\n', start))
        names.push_back(FromUtf8(lines.substr(start, end - start)));
    return names;
}

constexpr const char kColumns[] =
    "id, name, display, type, start, error, path, grp, deps, start_name, description, state, "
    "accepted, exit, specific, checkpoint, hint, pid, pid_start, ready, delete_pending, crashes, "
    "claim_pid, claim_start";

// The query of whole rows; the claim columns, which come last, read as no claim where a
// read-only database of schema 0 lacks them.
std::string SelectRows(const char* where) {
    std::string columns = kColumns;
    if (TheConnection().claimless)
        columns.replace(columns.find("claim_pid"), std::string::npos, "0, 0");
    return "SELECT " + columns + " FROM services " + where;
}

ServiceRow ReadRow(sqlite3_stmt* s) {
    ServiceRow row;
    row.id = sqlite3_column_int64(s, 0);
    row.name = FromUtf8(Text(s, 1));
    row.displayName = FromUtf8(Text(s, 2));
    row.type = static_cast<DWORD>(sqlite3_column_int64(s, 3));
    row.startType = static_cast<DWORD>(sqlite3_column_int64(s, 4));
    row.errorControl = static_cast<DWORD>(sqlite3_column_int64(s, 5));
    row.binaryPath = FromUtf8(Text(s, 6));
    row.loadOrderGroup = FromUtf8(Text(s, 7));
    row.dependencies = SplitNames(Text(s, 8));
    row.startName = FromUtf8(Text(s, 9));
    if (sqlite3_column_type(s, 10) != SQLITE_NULL)
        row.description = FromUtf8(Text(s, 10));
    row.status.dwServiceType = row.type;
    row.status.dwCurrentState = static_cast<DWORD>(sqlite3_column_int64(s, 11));
    row.status.dwControlsAccepted = static_cast<DWORD>(sqlite3_column_int64(s, 12));
    row.status.dwWin32ExitCode = static_cast<DWORD>(sqlite3_column_int64(s, 13));
    row.status.dwServiceSpecificExitCode = static_cast<DWORD>(sqlite3_column_int64(s, 14));
    row.status.dwCheckPoint = static_cast<DWORD>(sqlite3_column_int64(s, 15));
    row.status.dwWaitHint = static_cast<DWORD>(sqlite3_column_int64(s, 16));
    row.pid = static_cast<pid_t>(sqlite3_column_int64(s, 17));
    row.pidStart = static_cast<unsigned long long>(sqlite3_column_int64(s, 18));
    row.dispatcherReady = sqlite3_column_int64(s, 19) != 0;
    row.deletePending = sqlite3_column_int64(s, 20) != 0;
    row.crashes = sqlite3_column_int64(s, 21);
    row.claimPid = static_cast<pid_t>(sqlite3_column_int64(s, 22));
    row.claimStart = static_cast<unsigned long long>(sqlite3_column_int64(s, 23));
    return row;
}

// Binds every column but id, in kColumns order, from index 1.
void BindRow(sqlite3_stmt* s, const ServiceRow& row) {
    Bind(s, 1, ToUtf8(row.name));
    Bind(s, 2, ToUtf8(row.displayName));
    Bind(s, 3, static_cast<int64_t>(row.type));
    Bind(s, 4, static_cast<int64_t>(row.startType));
    Bind(s, 5, static_cast<int64_t>(row.errorControl));
    Bind(s, 6, ToUtf8(row.binaryPath));
    Bind(s, 7, ToUtf8(row.loadOrderGroup));
    Bind(s, 8, JoinNames(row.dependencies));
    Bind(s, 9, ToUtf8(row.startName));
    if (row.description)
        Bind(s, 10, ToUtf8(*row.description));
    else
        sqlite3_bind_null(s, 10);
    Bind(s, 11, static_cast<int64_t>(row.status.dwCurrentState));
    Bind(s, 12, static_cast<int64_t>(row.status.dwControlsAccepted));
    Bind(s, 13, static_cast<int64_t>(row.status.dwWin32ExitCode));
    Bind(s, 14, static_cast<int64_t>(row.status.dwServiceSpecificExitCode));
    Bind(s, 15, static_cast<int64_t>(row.status.dwCheckPoint));
    Bind(s, 16, static_cast<int64_t>(row.status.dwWaitHint));
    Bind(s, 17, static_cast<int64_t>(row.pid));
    Bind(s, 18, static_cast<int64_t>(row.pidStart));
    Bind(s, 19, static_cast<int64_t>(row.dispatcherReady));
    Bind(s, 20, static_cast<int64_t>(row.deletePending));
    Bind(s, 21, row.crashes);
    Bind(s, 22, static_cast<int64_t>(row.claimPid));
    Bind(s, 23, static_cast<int64_t>(row.claimStart));
    Bind(s, 24, Folded(row.name));
    Bind(s, 25, Folded(row.displayName));
}

// A fresh machine's one service: the RPC endpoint mapper, built in and always running.
ServiceRow BuiltInRpcss() {
    ServiceRow row;
    row.name = u"RpcSs";
    row.displayName = u"Remote Procedure Call (RPC)";
    row.type = SERVICE_WIN32_SHARE_PROCESS;
    row.startType = SERVICE_AUTO_START;
    row.errorControl = SERVICE_ERROR_NORMAL;
    row.binaryPath = u"C:\\Windows\\system32\\svchost.exe -k rpcss";
    row.startName = u"NT AUTHORITY\\NetworkService";
    row.status.dwServiceType = row.type;
    row.status.dwCurrentState = SERVICE_RUNNING;
    return row;
}

const char* const kSchema =
    "CREATE TABLE services("
    "id INTEGER PRIMARY KEY, name TEXT NOT NULL, display TEXT NOT NULL, "
    "type INTEGER, start INTEGER, error INTEGER, path TEXT, grp TEXT, deps TEXT, "
    "start_name TEXT, description TEXT, state INTEGER, accepted INTEGER, "
    "exit INTEGER, specific INTEGER, checkpoint INTEGER, hint INTEGER, pid INTEGER, "
    "pid_start INTEGER, ready INTEGER, delete_pending INTEGER, crashes INTEGER, "
    "claim_pid INTEGER, claim_start INTEGER, folded TEXT NOT NULL UNIQUE, "
    "display_folded TEXT NOT NULL);"
    "CREATE TABLE history(seq INTEGER PRIMARY KEY, service TEXT, "
    "state INTEGER, accepted INTEGER, exit INTEGER, specific INTEGER, "
    "checkpoint INTEGER, hint INTEGER, time TEXT);"
    "CREATE TABLE handles(service INTEGER, pid INTEGER, "
    "pid_start INTEGER, count INTEGER, PRIMARY KEY(service, pid, pid_start));"
    "CREATE TABLE machine(key TEXT PRIMARY KEY, value TEXT);";
// A new service's display name is checked against every other's: without this index each
// create and each change of a display name reads the whole table.
const char* const kDisplayIndex =
    "CREATE INDEX IF NOT EXISTS services_display ON services(display_folded)";

void InsertRow(sqlite3* db, const ServiceRow& row) {
    std::string sql = std::string("INSERT INTO services(") + (kColumns + 4) +
                      ", folded, display_folded) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,"
                      "?,?,?,?)";
    Statement s = Prepare(db, sql.c_str());
    BindRow(s.get(), row);
    StepRow(s.get());
}

std::string Identity() {
    char pragmas[96];
    std::snprintf(pragmas, sizeof pragmas, "PRAGMA application_id=%d; PRAGMA user_version=%d",
                  kApplicationId, kSchemaVersion);
    return pragmas;
}

void WriteNewStore(const std::string& file) {
    UniqueConnection db = sqlite::Open(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    Exec(db.get(), "BEGIN");
    Exec(db.get(), kSchema);
    Exec(db.get(), Identity().c_str());
    InsertRow(db.get(), BuiltInRpcss());
    Exec(db.get(), "COMMIT");
    Exec(db.get(), "PRAGMA journal_mode=WAL");
}

// Writes a new database under a temporary name and links it into place, so that the
// database's name only ever shows a whole database: an empty or cut file there is damage, never
// a new machine.
void CreateStore(const std::string& path) {
    const std::string temporary = path + ".new-" + std::to_string(getpid());
    unlink(temporary.c_str());
    std::optional<sqlite::Error> failure;
    try {
        WriteNewStore(temporary);
    } catch (const sqlite::Error& error) {
        failure = error;
    }
    if (!failure) {
        UniqueFd file(open(temporary.c_str(), O_RDONLY | O_CLOEXEC));
        if (!file || fsync(file.get()) != 0 ||
            (link(temporary.c_str(), path.c_str()) != 0 && errno != EEXIST))
            failure = sqlite::Error{errno == ENOSPC ? SQLITE_FULL : SQLITE_CANTOPEN,
                                    std::string("cannot put the new database in place: ") +
                                        std::strerror(errno)};
    }
    unlink(temporary.c_str());
    if (failure)
        throw *failure;
}

// Checks that the file is a service database this version reads; one of schema 0 (no marks) is
// brought up to date when it may be written.
void CheckIdentity(Connection& c) {
    sqlite3* db = c.db.get();
    int64_t application = 0, version = 0, tables = 0;
    if (int rc = sqlite::TryQueryInt(db, "PRAGMA application_id", &application); rc != SQLITE_OK)
        sqlite::Throw(db, rc);
    sqlite::TryQueryInt(db, "PRAGMA user_version", &version);
    sqlite::TryQueryInt(db,
                        "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN "
                        "('services', 'history', 'handles', 'machine')",
                        &tables);
    if (application == kApplicationId && version == kSchemaVersion)
        return;
    if (application != 0 || version != 0 || tables != 4)
        throw sqlite::Error{SQLITE_NOTADB, "holds a database that is not a service database of "
                                           "this version"};
    // A database made before starts recorded their claimer lacks the two columns.
    const auto hasClaimColumns = [db] {
        int64_t columns = 0;
        sqlite::TryQueryInt(db,
                            "SELECT count(*) FROM pragma_table_info('services') WHERE name IN "
                            "('claim_pid', 'claim_start')",
                            &columns);
        return columns == 2;
    };
    if (c.readOnly) {
        c.lineLists = true; // read as it stands
        c.claimless = !hasClaimColumns();
        return;
    }
    Exec(db, "BEGIN IMMEDIATE");
    try {
        if (!hasClaimColumns()) {
            Exec(db, "ALTER TABLE services ADD COLUMN claim_pid INTEGER DEFAULT 0");
            Exec(db, "ALTER TABLE services ADD COLUMN claim_start INTEGER DEFAULT 0");
        }
        sqlite::TryQueryInt(db, "PRAGMA user_version", &version);
        if (version == 0) {
            std::vector<std::pair<int64_t, std::string>> lists;
            Statement read = Prepare(db, "SELECT id, deps FROM services");
            while (StepRow(read.get()))
                lists.emplace_back(sqlite3_column_int64(read.get(), 0), Text(read.get(), 1));
            for (const auto& [id, lines] : lists) {
                Statement write = Prepare(db, "UPDATE services SET deps = ? WHERE id = ?");
                Bind(write.get(), 1, JoinNames(LineNames(lines)));
                Bind(write.get(), 2, id);
                StepRow(write.get());
            }
            Exec(db, Identity().c_str());
        }
        Exec(db, "COMMIT");
    } catch (...) {
        sqlite::TryExec(db, "ROLLBACK");
        throw;
    }
}

void Close(Connection& c) {
    c.db.reset();
    c.path.clear();
    c.lineLists = false;
    c.claimless = false;
    c.changeMark.reset();
}

void OpenStore(Connection& c, const std::string& path) {
    struct stat log {};
    const bool logEmpty = stat((path + "-wal").c_str(), &log) != 0 || log.st_size == 0;
    std::string detail;
    switch (sqlite::CheckDatabaseFile(path, logEmpty, &detail)) {
    case sqlite::FileState::Missing:
        if (c.readOnly)
            throw sqlite::Error{SQLITE_CANTOPEN, "the file is missing"};
        CreateStore(path);
        break;
    case sqlite::FileState::Empty:
    case sqlite::FileState::Damaged:
        throw sqlite::Error{SQLITE_CORRUPT, detail};
    case sqlite::FileState::Sound:
        break;
    }
    // A database this user may only read, with no log beside it, is read as it stands: SQLite
    // could not make the log's index next to it.
    const bool immutable = c.readOnly && access((path + "-wal").c_str(), F_OK) != 0;
    c.db = sqlite::Open(immutable ? "file:" + path + "?immutable=1" : path,
                        (c.readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                            (immutable ? SQLITE_OPEN_URI : 0));
    c.busy.Install(c.db.get());
    if (!c.readOnly)
        // In WAL mode a commit survives the crash of any process without a sync; only a power
        // cut could take the last ones, and services do not outlive that anyway.
        sqlite::TryExec(c.db.get(), "PRAGMA synchronous=NORMAL");
    CheckIdentity(c);
    // Every store that may be written has the index, new or made before it; one that may only
    // be read is read as it stands. The index only speeds up, so failing to make it is no error.
    if (!c.readOnly)
        sqlite::TryExec(c.db.get(), kDisplayIndex);
}

// Opens the database of the current machine root, again when the root or the file changed.
void EnsureOpen(Connection& c) {
    const std::string path = layout::ScmDatabase();
    struct stat info {};
    if (c.db && c.path == path && stat(path.c_str(), &info) == 0 && info.st_ino == c.inode)
        return;
    Close(c);
    std::error_code ignored;
    std::filesystem::create_directories(layout::ScmFolder(), ignored);
    c.readOnly = access(layout::ScmFolder().c_str(), W_OK) != 0 ||
                 (access(path.c_str(), F_OK) == 0 && access(path.c_str(), W_OK) != 0);
    for (int attempt = 0;; ++attempt) {
        try {
            OpenStore(c, path);
            break;
        } catch (const sqlite::Error& error) {
            Close(c);
            // Another process may be creating or bringing up the file this moment.
            if (error.Primary() != SQLITE_BUSY || attempt >= 50)
                throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    if (stat(path.c_str(), &info) != 0) {
        Close(c);
        throw sqlite::Error{SQLITE_CANTOPEN, "the file is gone"};
    }
    c.path = path;
    c.inode = info.st_ino;
    if (!c.readOnly)
        c.changeMark = OpenChangeMark();
}

} // namespace

bool ProcessAlive(pid_t pid, unsigned long long startTime) {
    ProcStat stat;
    return pid > 0 && ReadProcStat(pid, stat) && stat.startTime == startTime && !HasEnded(stat);
}

// Each failure is said once per process, naming the file, as the registry says its own; the
// call answers with the code closest to what failed.
DWORD StoreCode(const sqlite::Error& error) {
    DWORD code = ERROR_CANTWRITE;
    std::string what = "cannot be written";
    switch (error.Primary()) {
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        code = ERROR_ACCESS_DENIED; // a database this user may only read
        what = "may only be read by this user";
        break;
    case SQLITE_FULL:
        code = ERROR_DISK_FULL;
        what = "cannot grow: the disk is full";
        break;
    case SQLITE_CANTOPEN:
        code = ERROR_CANTOPEN;
        what = "cannot be opened";
        break;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        code = ERROR_CANTREAD;
        what = "is damaged";
        break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        what = "stayed locked by another process";
        break;
    default:
        break;
    }
    const std::string message =
        "hostwin: service database " + layout::ScmDatabase() + " " + what + " (" + error.text + ")";
    Connection& c = TheConnection();
    std::lock_guard<std::mutex> guard(c.reportLock);
    if (c.reported.insert(message).second)
        std::fprintf(stderr, "%s\n", message.c_str());
    return code;
}

std::optional<bool> RecordNamesProcess(const std::u16string& name, pid_t pid) {
    std::optional<bool> names;
    RunTransaction(false, [&](Transaction& t) -> DWORD {
        std::optional<ServiceRow> row = t.FindByName(name);
        names = row && row->pid == pid;
        return ERROR_SUCCESS;
    });
    return names;
}

Transaction::Transaction(bool write) : m_lock(TheConnection().lock) {
    Connection& c = TheConnection();
    c.busy.Start(kBusyBound);
    EnsureOpen(c);
    m_db = c.db.get();
    // On a database this user may only read, a call reads what it can; its first write fails.
    m_readOnly = c.readOnly;
    Exec(m_db, write && !m_readOnly ? "BEGIN IMMEDIATE" : "BEGIN");
    m_open = true;
    m_changesBefore = sqlite3_total_changes64(m_db);
}

Transaction::~Transaction() {
    if (m_open)
        sqlite::TryExec(m_db, "ROLLBACK");
}

void Transaction::Commit() {
    Exec(m_db, "COMMIT");
    m_open = false;
    if (sqlite3_total_changes64(m_db) != m_changesBefore)
        AnnounceChange(TheConnection().changeMark);
}

std::optional<ServiceRow> Transaction::FindByName(const std::u16string& name) {
    Statement s = Prepare(m_db, SelectRows("WHERE folded = ?").c_str());
    Bind(s.get(), 1, Folded(name));
    if (!StepRow(s.get()))
        return std::nullopt;
    return ReadRow(s.get());
}

std::optional<ServiceRow> Transaction::FindById(int64_t id) {
    Statement s = Prepare(m_db, SelectRows("WHERE id = ?").c_str());
    Bind(s.get(), 1, id);
    if (!StepRow(s.get()))
        return std::nullopt;
    return ReadRow(s.get());
}

bool Transaction::DisplayNameTaken(const std::u16string& displayName, int64_t exceptId) {
    Statement s = Prepare(m_db, "SELECT 1 FROM services WHERE id != ? AND "
                                "(display_folded = ? OR folded = ?)");
    Bind(s.get(), 1, exceptId);
    Bind(s.get(), 2, Folded(displayName));
    Bind(s.get(), 3, Folded(displayName));
    return StepRow(s.get());
}

std::vector<ServiceRow> Transaction::All() {
    Statement s = Prepare(m_db, SelectRows("ORDER BY folded").c_str());
    std::vector<ServiceRow> rows;
    while (StepRow(s.get()))
        rows.push_back(ReadRow(s.get()));
    return rows;
}

int64_t Transaction::Insert(const ServiceRow& row) {
    InsertRow(m_db, row);
    return sqlite3_last_insert_rowid(m_db);
}

void Transaction::Update(const ServiceRow& row) {
    Statement s = Prepare(
        m_db, "UPDATE services SET name=?1, display=?2, type=?3, start=?4, error=?5, path=?6, "
              "grp=?7, deps=?8, start_name=?9, description=?10, state=?11, accepted=?12, "
              "exit=?13, specific=?14, checkpoint=?15, hint=?16, pid=?17, pid_start=?18, "
              "ready=?19, delete_pending=?20, crashes=?21, claim_pid=?22, claim_start=?23, "
              "folded=?24, display_folded=?25 WHERE id=?26");
    BindRow(s.get(), row);
    Bind(s.get(), 26, row.id);
    StepRow(s.get());
}

void Transaction::Delete(int64_t id) {
    Statement s = Prepare(m_db, "DELETE FROM services WHERE id = ?");
    Bind(s.get(), 1, id);
    StepRow(s.get());
    Statement h = Prepare(m_db, "DELETE FROM handles WHERE service = ?");
    Bind(h.get(), 1, id);
    StepRow(h.get());
}

void Transaction::AppendHistory(const ServiceRow& row) {
    Statement s = Prepare(m_db, "INSERT INTO history(service, state, accepted, exit, specific, "
                                "checkpoint, hint, time) VALUES(?,?,?,?,?,?,?,?)");
    Bind(s.get(), 1, Folded(row.name));
    Bind(s.get(), 2, static_cast<int64_t>(row.status.dwCurrentState));
    Bind(s.get(), 3, static_cast<int64_t>(row.status.dwControlsAccepted));
    Bind(s.get(), 4, static_cast<int64_t>(row.status.dwWin32ExitCode));
    Bind(s.get(), 5, static_cast<int64_t>(row.status.dwServiceSpecificExitCode));
    Bind(s.get(), 6, static_cast<int64_t>(row.status.dwCheckPoint));
    Bind(s.get(), 7, static_cast<int64_t>(row.status.dwWaitHint));
    Bind(s.get(), 8, TimeStamp());
    StepRow(s.get());
}

void Transaction::AddHandle(int64_t id, int delta) {
    if (m_readOnly)
        return; // no service can be deleted there, so no handle needs counting
    ProcStat stat;
    ReadProcStat(getpid(), stat);
    Statement s = Prepare(m_db, "INSERT INTO handles VALUES(?1, ?2, ?3, ?4) ON CONFLICT DO "
                                "UPDATE SET count = count + ?4");
    Bind(s.get(), 1, id);
    Bind(s.get(), 2, static_cast<int64_t>(getpid()));
    Bind(s.get(), 3, static_cast<int64_t>(stat.startTime));
    Bind(s.get(), 4, static_cast<int64_t>(delta));
    StepRow(s.get());
    Statement drop = Prepare(m_db, "DELETE FROM handles WHERE count <= 0");
    StepRow(drop.get());
}

int64_t Transaction::OpenHandles(int64_t id) {
    Statement s = Prepare(m_db, "SELECT pid, pid_start, count FROM handles WHERE service = ?");
    Bind(s.get(), 1, id);
    int64_t open = 0;
    std::vector<std::pair<int64_t, int64_t>> ended;
    while (StepRow(s.get())) {
        pid_t pid = static_cast<pid_t>(sqlite3_column_int64(s.get(), 0));
        auto start = static_cast<unsigned long long>(sqlite3_column_int64(s.get(), 1));
        if (ProcessAlive(pid, start))
            open += sqlite3_column_int64(s.get(), 2);
        else
            ended.emplace_back(pid, static_cast<int64_t>(start));
    }
    // A process's handles close when it ends, however it ended.
    if (m_readOnly)
        ended.clear();
    for (const auto& [pid, start] : ended) {
        Statement drop =
            Prepare(m_db, "DELETE FROM handles WHERE service = ? AND pid = ? AND pid_start = ?");
        Bind(drop.get(), 1, id);
        Bind(drop.get(), 2, pid);
        Bind(drop.get(), 3, start);
        StepRow(drop.get());
    }
    return open;
}

std::vector<ServiceStatusReport> Transaction::History(const std::u16string& name) {
    Statement s = Prepare(m_db, "SELECT state, accepted, exit, specific, checkpoint, hint, time "
                                "FROM history WHERE service = ? ORDER BY seq");
    Bind(s.get(), 1, Folded(name));
    std::vector<ServiceStatusReport> reports;
    while (StepRow(s.get())) {
        ServiceStatusReport report{};
        report.status.dwServiceType = 0;
        report.status.dwCurrentState = static_cast<DWORD>(sqlite3_column_int64(s.get(), 0));
        report.status.dwControlsAccepted = static_cast<DWORD>(sqlite3_column_int64(s.get(), 1));
        report.status.dwWin32ExitCode = static_cast<DWORD>(sqlite3_column_int64(s.get(), 2));
        report.status.dwServiceSpecificExitCode =
            static_cast<DWORD>(sqlite3_column_int64(s.get(), 3));
        report.status.dwCheckPoint = static_cast<DWORD>(sqlite3_column_int64(s.get(), 4));
        report.status.dwWaitHint = static_cast<DWORD>(sqlite3_column_int64(s.get(), 5));
        report.time = Text(s.get(), 6);
        reports.push_back(std::move(report));
    }
    return reports;
}

DWORD ServiceTimeout() {
    constexpr DWORD kServiceTimeoutMs = 30000;
    constexpr DWORD kShortestServiceTimeoutMs = 5000;
    return std::max(ScaleMilliseconds(kServiceTimeoutMs), kShortestServiceTimeoutMs);
}

} // namespace hostwin::scm
