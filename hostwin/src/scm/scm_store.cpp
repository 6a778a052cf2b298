// The service database in SQLite: services, their status history and the handles open on
// them, shared by every process of the machine.
#include "scm/scm_store.h"

#include "machine/eventlog.h"
#include "process/procfs.h"
#include "machine/machine_layout.h"
#include "sqlite/connection.h"

#include <hostwin/text.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

namespace hostwin::scm {

namespace {

// How long a call waits for a lock another process holds.
constexpr auto kBusyBound = std::chrono::seconds(10);

struct Connection {
    std::mutex lock;
    UniqueConnection db;
    sqlite::BusyWait busy;
    std::string path;
    ino_t inode = 0;
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

// Dependencies are stored one per line: no service name holds a line feed... nor may it.
std::string JoinNames(const std::vector<std::u16string>& names) {
    std::string joined;
    for (const std::u16string& name : names)
        joined += ToUtf8(name) + "\n";
    return joined;
}
std::vector<std::u16string> SplitNames(const std::string& joined) {
    std::vector<std::u16string> names;
    size_t start = 0;
    for (size_t end = joined.find('\n'); end != std::string::npos;
         start = end + 1, end = joined.find('\n', start))
        names.push_back(FromUtf8(joined.substr(start, end - start)));
    return names;
}

constexpr const char kColumns[] =
    "id, name, display, type, start, error, path, grp, deps, start_name, description, state, "
    "accepted, exit, specific, checkpoint, hint, pid, pid_start, ready, delete_pending, crashes, "
    "claim_pid, claim_start";

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

void Initialise(sqlite3* db) {
    Exec(db, "BEGIN IMMEDIATE");
    try {
        Exec(db, "CREATE TABLE IF NOT EXISTS services("
                 "id INTEGER PRIMARY KEY, name TEXT NOT NULL, display TEXT NOT NULL, "
                 "type INTEGER, start INTEGER, error INTEGER, path TEXT, grp TEXT, deps TEXT, "
                 "start_name TEXT, description TEXT, state INTEGER, accepted INTEGER, "
                 "exit INTEGER, specific INTEGER, checkpoint INTEGER, hint INTEGER, pid INTEGER, "
                 "pid_start INTEGER, ready INTEGER, delete_pending INTEGER, crashes INTEGER, "
                 "claim_pid INTEGER, claim_start INTEGER, folded TEXT NOT NULL UNIQUE, "
                 "display_folded TEXT NOT NULL)");
        // A database made before starts recorded their claimer gains the two columns.
        sqlite3_stmt* probe = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT claim_pid FROM services", -1, &probe, nullptr) !=
            SQLITE_OK) {
            Exec(db, "ALTER TABLE services ADD COLUMN claim_pid INTEGER DEFAULT 0");
            Exec(db, "ALTER TABLE services ADD COLUMN claim_start INTEGER DEFAULT 0");
        }
        sqlite3_finalize(probe);
        Exec(db, "CREATE TABLE IF NOT EXISTS history(seq INTEGER PRIMARY KEY, service TEXT, "
                 "state INTEGER, accepted INTEGER, exit INTEGER, specific INTEGER, "
                 "checkpoint INTEGER, hint INTEGER, time TEXT)");
        Exec(db, "CREATE TABLE IF NOT EXISTS handles(service INTEGER, pid INTEGER, "
                 "pid_start INTEGER, count INTEGER, PRIMARY KEY(service, pid, pid_start))");
        Exec(db, "CREATE TABLE IF NOT EXISTS machine(key TEXT PRIMARY KEY, value TEXT)");
        Statement seeded = Prepare(db, "SELECT 1 FROM machine WHERE key = 'seeded'");
        if (!StepRow(seeded.get())) {
            std::string sql = std::string("INSERT INTO services(") + (kColumns + 4) +
                              ", folded, display_folded) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,"
                              "?,?,?,?,?,?,?,?,?,?)";
            Statement insert = Prepare(db, sql.c_str());
            BindRow(insert.get(), BuiltInRpcss());
            StepRow(insert.get());
            Exec(db, "INSERT INTO machine VALUES('seeded', '1')");
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
    c.db = sqlite::Open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    c.busy.Install(c.db.get());
    for (int attempt = 0;; ++attempt) {
        try {
            sqlite::TryExec(c.db.get(), "PRAGMA journal_mode=WAL");
            // In WAL mode a commit survives the crash of any process without a sync; only a
            // power cut could take the last ones, and services do not outlive that anyway.
            sqlite::TryExec(c.db.get(), "PRAGMA synchronous=NORMAL");
            Initialise(c.db.get());
            break;
        } catch (const sqlite::Error&) {
            if (attempt >= 50) {
                Close(c);
                throw;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    if (stat(path.c_str(), &info) != 0) {
        Close(c);
        throw sqlite::Error{SQLITE_CANTOPEN, path + " is gone"};
    }
    c.path = path;
    c.inode = info.st_ino;
}

} // namespace

bool ProcessAlive(pid_t pid, unsigned long long startTime) {
    ProcStat stat;
    return pid > 0 && ReadProcStat(pid, stat) && stat.startTime == startTime && !HasEnded(stat);
}

DWORD StoreCode(const sqlite::Error& error) {
    return error.Primary() == SQLITE_CANTOPEN ? ERROR_CANTOPEN : ERROR_CANTWRITE;
}

Transaction::Transaction(bool write) : m_lock(TheConnection().lock) {
    Connection& c = TheConnection();
    c.busy.Start(kBusyBound);
    EnsureOpen(c);
    m_db = c.db.get();
    Exec(m_db, write ? "BEGIN IMMEDIATE" : "BEGIN");
    m_open = true;
}

Transaction::~Transaction() {
    if (m_open)
        sqlite::TryExec(m_db, "ROLLBACK");
}

void Transaction::Commit() {
    Exec(m_db, "COMMIT");
    m_open = false;
}

std::optional<ServiceRow> Transaction::FindByName(const std::u16string& name) {
    std::string sql = std::string("SELECT ") + kColumns + " FROM services WHERE folded = ?";
    Statement s = Prepare(m_db, sql.c_str());
    Bind(s.get(), 1, Folded(name));
    if (!StepRow(s.get()))
        return std::nullopt;
    return ReadRow(s.get());
}

std::optional<ServiceRow> Transaction::FindById(int64_t id) {
    std::string sql = std::string("SELECT ") + kColumns + " FROM services WHERE id = ?";
    Statement s = Prepare(m_db, sql.c_str());
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
    std::string sql = std::string("SELECT ") + kColumns + " FROM services ORDER BY folded";
    Statement s = Prepare(m_db, sql.c_str());
    std::vector<ServiceRow> rows;
    while (StepRow(s.get()))
        rows.push_back(ReadRow(s.get()));
    return rows;
}

int64_t Transaction::Insert(const ServiceRow& row) {
    std::string sql = std::string("INSERT INTO services(") + (kColumns + 4) +
                      ", folded, display_folded) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,"
                      "?,?,?,?)";
    Statement s = Prepare(m_db, sql.c_str());
    BindRow(s.get(), row);
    StepRow(s.get());
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
