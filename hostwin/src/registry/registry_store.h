// The registry's backing store: one SQLite database per machine, shared by every process of
// that machine. All access happens inside a StoreTransaction; each registry call is one
// transaction, so other processes see a call's changes completely or not at all.
#pragma once

#include "base/core.h"
#include "sqlite/transaction.h"

#include <hostwin/text.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace hostwin::registry {

using KeyId = int64_t; // 0: no key

// The hives that have a tree in the store. The classes view and the empty hives are built on
// top of these by the registry functions.
enum class Hive { Machine, User, Users, Config };
constexpr int kHiveCount = 4;
// Full root name of a stored hive, as paths and exports print it.
const char16_t* HiveName(Hive hive);

struct KeyRow {
    KeyId id = 0;
    KeyId parent = 0;
    std::u16string name;
    std::u16string keyClass;
    int64_t written = 0; // FILETIME ticks
    bool readOnly = false;
};

struct ValueRow {
    std::u16string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// A key's sub-keys in enumeration order, or its values, with the longest name, class and data,
// as RegQueryInfoKeyW reports them.
struct ChildList {
    std::vector<KeyRow> rows;
    size_t maxName = 0;
    size_t maxClass = 0;
};
struct ValueList {
    std::vector<ValueRow> rows;
    size_t maxName = 0;
    size_t maxData = 0;
};

// One transaction on this machine's store. Holds the process-wide store lock for its life;
// rolls back unless Commit() was reached. Failures throw sqlite::Error, which RunTransaction
// turns into the call's code.
class StoreTransaction {
public:
    explicit StoreTransaction(bool write);
    ~StoreTransaction();
    StoreTransaction(const StoreTransaction&) = delete;
    StoreTransaction& operator=(const StoreTransaction&) = delete;

    void Commit();

    KeyId HiveRoot(Hive hive);
    bool KeyExists(KeyId id);
    std::optional<KeyRow> Key(KeyId id);
    std::optional<KeyId> FindChild(KeyId parent, const std::u16string& name);
    KeyId CreateChild(KeyId parent, const std::u16string& name, const std::u16string& keyClass);
    // The children of one key, or of several merged (a name present in more than one keeps the
    // first key's row), ordered by folded name as Windows enumerates them. The list is kept
    // until the store changes, so that enumerating by increasing index costs O(1) per step.
    std::shared_ptr<const ChildList> Children(const std::vector<KeyId>& parents);
    bool HasChildren(KeyId parent);
    // Removes a key that has no children, with its values.
    void DeleteKey(KeyId id);
    void SetReadOnly(KeyId id, bool readOnly);

    std::optional<ValueRow> Value(KeyId key, const std::u16string& name);
    // Values in the order they were first set; kept like Children().
    std::shared_ptr<const ValueList> Values(KeyId key);
    void SetValue(KeyId key, const std::u16string& name, DWORD type, const BYTE* data, DWORD size);
    bool DeleteValue(KeyId key, const std::u16string& name);
    // Marks the key as written now.
    void Touch(KeyId key);

private:
    sqlite3_stmt* Prepare(const char* sql);

    void Changed();

    std::unique_lock<std::mutex> m_lock;
    sqlite3* m_db = nullptr;
    bool m_write = false;
    bool m_open = false;
    bool m_nested = false; // inside this thread's scope
};

// The store file of this machine.
std::string StorePath();

// Runs every registry call of the calling thread in one transaction until EndScope(): a read
// snapshot, so that a walk over many keys sees one consistent state, or (`write`) a batch whose
// changes apply together at EndScope(true) or not at all. Other threads of the process wait
// meanwhile; writes inside a snapshot fail with ERROR_ACCESS_DENIED.
LONG BeginScope(bool write);
LONG EndScope(bool commit);

// Closes the store as a process that ends does, so that the main file holds every change.
void CloseStore();

// The Win32 code of a store failure: ERROR_REGISTRY_CORRUPT for a damaged store,
// ERROR_REGISTRY_IO_FAILED for one locked past the bound or unusable otherwise (each said once
// on stderr, with the file and SQLite's text, as a person must repair it), ERROR_ACCESS_DENIED
// for a write to a store this user may only read.
LONG StoreCode(const sqlite::Error& error);

// Each registry call applies whole or not at all: a call that fails keeps none of its changes.
// Out of memory is ERROR_OUTOFMEMORY, as the registrar reports its own failed allocations for
// a registry write, so that a script's caller meets one code for it.
inline constexpr sqlite::Rules<LONG> kStoreRules{sqlite::OnFailure::RollBack, ERROR_OUTOFMEMORY,
                                                 StoreCode};

template <class Body> LONG RunTransaction(bool write, Body&& body) {
    return sqlite::RunTransaction<StoreTransaction>(kStoreRules, write, std::forward<Body>(body));
}

} // namespace hostwin::registry
