// The registry store's calls: each one transaction on the machine's store (store_open.cpp opens
// and checks the files), with the rows of keys and values it reads and writes.
#include "registry/registry_store.h"

#include "machine/machine_layout.h"
#include "registry/store_connection.h"

#include <algorithm>
#include <chrono>

namespace hostwin::registry {

namespace {

constexpr size_t kCachedLists = 4; // per kind; enough for a walk that nests one level at a time

const char16_t* const kHiveNames[kHiveCount] = {u"HKEY_LOCAL_MACHINE", u"HKEY_CURRENT_USER",
                                                u"HKEY_USERS", u"HKEY_CURRENT_CONFIG"};

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

// Cached lists hold until another connection commits (the data version moves) or this one
// changes something.
void ForgetListsIfStoreChanged(Connection& c) {
    int64_t version = -1;
    if (sqlite::TryQueryInt(c.db.get(), "PRAGMA data_version", &version) != SQLITE_OK ||
        version != c.dataVersion)
        ForgetLists(c);
    c.dataVersion = version;
}

} // namespace

Connection& TheConnection() {
    static Connection* connection = new Connection; // used until the process ends
    return *connection;
}

void ForgetLists(Connection& c) {
    c.children.clear();
    c.values.clear();
}

int64_t NowTicks() {
    using namespace std::chrono;
    int64_t unix100ns =
        duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    return unix100ns + 116444736000000000LL; // 1601 to 1970
}
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

void BindText(sqlite3_stmt* statement, int index, const std::string& bytes) {
    BindBlob(statement, index, bytes.data(), bytes.size());
}

const char16_t* HiveName(Hive hive) {
    return kHiveNames[static_cast<int>(hive)];
}

std::string StorePath() {
    return layout::RegistryStore();
}

StoreTransaction::StoreTransaction(bool write) : m_write(write) {
    Connection& c = TheConnection();
    if (c.scopeThread.load() == std::this_thread::get_id()) {
        m_nested = true;
        m_db = c.db.get();
        if (write && !c.scopeWrites)
            throw sqlite::Error{SQLITE_READONLY, "a snapshot only reads"};
        if (write) {
            // Each call in a batch still applies whole or not at all.
            sqlite::Exec(m_db, "SAVEPOINT call");
            m_open = true;
        }
        return;
    }
    m_lock = std::unique_lock<std::mutex>(c.lock);
    StartLockWait(c);
    EnsureOpen(c);
    m_db = c.db.get();
    if (write && c.readOnly)
        throw sqlite::Error{SQLITE_READONLY, "the store is read-only for this user"};
    sqlite::Exec(m_db, write ? "BEGIN IMMEDIATE" : "BEGIN");
    m_open = true;
    ForgetListsIfStoreChanged(c);
}

StoreTransaction::~StoreTransaction() {
    if (m_open) {
        Connection& c = TheConnection();
        c.statements.ResetAll();
        sqlite::TryExec(m_db, m_nested ? "ROLLBACK TO call; RELEASE call" : "ROLLBACK");
        if (m_write)
            ForgetLists(c); // lists read inside the rolled-back changes
    }
}

void StoreTransaction::Commit() {
    Connection& c = TheConnection();
    if (m_nested) {
        if (m_open)
            sqlite::TryExec(m_db, "RELEASE call");
        m_open = false;
        return;
    }
    int64_t commits = 0;
    if (m_write) {
        sqlite3_stmt* s = Prepare("UPDATE state SET commits = commits + 1 RETURNING commits");
        sqlite::StepRow(s);
        commits = sqlite3_column_int64(s, 0);
        CrashPointBeforeCommit(c);
    }
    c.statements.ResetAll();
    sqlite::Exec(m_db, "COMMIT"); // on failure the destructor rolls back
    m_open = false;
    if (m_write)
        RecordCommits(c, commits);
}

void StoreTransaction::Changed() {
    ForgetLists(TheConnection());
}

LONG BeginScope(bool write) {
    Connection& c = TheConnection();
    if (c.scopeThread.load() == std::this_thread::get_id())
        return ERROR_ACCESS_DENIED; // one at a time
    std::unique_lock<std::mutex> lock(c.lock);
    StartLockWait(c);
    try {
        EnsureOpen(c);
    } catch (const sqlite::Error& error) {
        return sqlite::CodeFor(kStoreRules, error);
    }
    if (write && c.readOnly)
        return ERROR_ACCESS_DENIED;
    // A first read pins a snapshot now rather than at the first call inside it.
    sqlite3* db = c.db.get();
    int64_t ignored = 0;
    int rc = sqlite::TryExec(db, write ? "BEGIN IMMEDIATE" : "BEGIN");
    if (rc == SQLITE_OK)
        rc = sqlite::TryQueryInt(db, "SELECT count(*) FROM keys WHERE id = 1", &ignored);
    if (rc != SQLITE_OK) {
        const sqlite::Error error = sqlite::ErrorOf(db, rc);
        sqlite::TryExec(db, "ROLLBACK");
        return sqlite::CodeFor(kStoreRules, error);
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
    sqlite3* db = c.db.get();
    LONG status = ERROR_SUCCESS;
    if (c.scopeWrites && commit) {
        int64_t commits = 0;
        int rc = sqlite::TryQueryInt(db, "UPDATE state SET commits = commits + 1 RETURNING commits",
                                     &commits);
        if (rc == SQLITE_OK) {
            CrashPointBeforeCommit(c);
            c.statements.ResetAll();
            rc = sqlite::TryExec(db, "COMMIT");
        }
        if (rc == SQLITE_OK)
            RecordCommits(c, commits);
        else
            status = sqlite::CodeFor(kStoreRules, sqlite::ErrorOf(db, rc));
    }
    if (sqlite3_get_autocommit(db) == 0) { // a snapshot, or a batch not committed
        c.statements.ResetAll();
        sqlite::TryExec(db, "ROLLBACK");
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
    return TheConnection().statements.Get(m_db, sql);
}

KeyId StoreTransaction::HiveRoot(Hive hive) {
    return TheConnection().roots[static_cast<int>(hive)];
}

bool StoreTransaction::KeyExists(KeyId id) {
    sqlite3_stmt* s = Prepare("SELECT 1 FROM keys WHERE id = ?");
    sqlite3_bind_int64(s, 1, id);
    return sqlite::StepRow(s);
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
    if (!sqlite::StepRow(s))
        return std::nullopt;
    return KeyFromRow(s);
}

std::optional<KeyId> StoreTransaction::FindChild(KeyId parent, const std::u16string& name) {
    sqlite3_stmt* s = Prepare("SELECT id FROM keys WHERE parent = ? AND fold = ?");
    sqlite3_bind_int64(s, 1, parent);
    BindText(s, 2, FoldBlob(name));
    if (!sqlite::StepRow(s))
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
    sqlite::StepRow(s);
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
            if (!sqlite::StepRow(s))
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
    return sqlite::StepRow(s);
}

void StoreTransaction::DeleteKey(KeyId id) {
    std::optional<KeyRow> row = Key(id);
    if (!row)
        return;
    Changed();
    sqlite3_stmt* s = Prepare("DELETE FROM vals WHERE key = ?");
    sqlite3_bind_int64(s, 1, id);
    sqlite::StepRow(s);
    s = Prepare("DELETE FROM keys WHERE id = ?");
    sqlite3_bind_int64(s, 1, id);
    sqlite::StepRow(s);
    Touch(row->parent);
}

void StoreTransaction::SetReadOnly(KeyId id, bool readOnly) {
    Changed();
    sqlite3_stmt* s = Prepare("UPDATE keys SET readonly = ? WHERE id = ?");
    sqlite3_bind_int(s, 1, readOnly ? 1 : 0);
    sqlite3_bind_int64(s, 2, id);
    sqlite::StepRow(s);
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
    if (!sqlite::StepRow(s))
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
        if (!sqlite::StepRow(s))
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
    sqlite::StepRow(s);
    if (sqlite3_changes(m_db) == 0) {
        s = Prepare("INSERT INTO vals(key, name, fold, type, data) VALUES(?, ?, ?, ?, ?)");
        sqlite3_bind_int64(s, 1, key);
        BindText(s, 2, NameBlob(name));
        BindText(s, 3, FoldBlob(name));
        sqlite3_bind_int64(s, 4, type);
        BindBlob(s, 5, data, size);
        sqlite::StepRow(s);
    }
    Touch(key);
}

bool StoreTransaction::DeleteValue(KeyId key, const std::u16string& name) {
    Changed();
    sqlite3_stmt* s = Prepare("DELETE FROM vals WHERE key = ? AND fold = ?");
    sqlite3_bind_int64(s, 1, key);
    BindText(s, 2, FoldBlob(name));
    sqlite::StepRow(s);
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
    sqlite::StepRow(s);
}

} // namespace hostwin::registry
