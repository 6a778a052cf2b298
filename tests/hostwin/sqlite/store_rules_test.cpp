// The two stores over the SQLite layer: what each keeps of a call that fails, the code each
// gives for lack of memory, and how a failure of SQLite (its code and text) becomes each
// store's Win32 code.
#include "machine.h"

#include "registry/registry_store.h"
#include "scm/scm_store.h"

#include <filesystem>
#include <functional>
#include <new>

using testing_support::MachineTest;
using testing_support::ReadFile;
using testing_support::WriteFile;

namespace {

namespace registry = hostwin::registry;
namespace scm = hostwin::scm;
namespace sqlite = hostwin::sqlite;

enum class Ending { Success, Error, Throw };

// A write of one row named `name`, ended as `ending` says; `kept` reads whether it is there.
struct Store {
    const char* name;
    std::function<DWORD(Ending, const std::u16string&)> write;
    std::function<bool(const std::u16string&)> kept;
    sqlite::OnFailure onFailure;
    DWORD outOfMemory;
};

DWORD End(Ending ending) {
    if (ending == Ending::Throw)
        throw std::bad_alloc();
    return ending == Ending::Error ? ERROR_INVALID_FUNCTION : ERROR_SUCCESS;
}

const Store kStores[] = {
    {"registry",
     [](Ending ending, const std::u16string& name) -> DWORD {
         return registry::RunTransaction(true, [&](registry::StoreTransaction& t) -> LONG {
             t.CreateChild(t.HiveRoot(registry::Hive::User), name, u"");
             return static_cast<LONG>(End(ending));
         });
     },
     [](const std::u16string& name) {
         bool found = false;
         EXPECT_EQ(registry::RunTransaction(
                       false,
                       [&](registry::StoreTransaction& t) -> LONG {
                           found = t.FindChild(t.HiveRoot(registry::Hive::User), name).has_value();
                           return ERROR_SUCCESS;
                       }),
                   ERROR_SUCCESS);
         return found;
     },
     sqlite::OnFailure::RollBack, ERROR_OUTOFMEMORY},
    {"service manager",
     [](Ending ending, const std::u16string& name) {
         return scm::RunTransaction(true, [&](scm::Transaction& t) -> DWORD {
             scm::ServiceRow row;
             row.name = row.displayName = name;
             t.Insert(row);
             return End(ending);
         });
     },
     [](const std::u16string& name) {
         bool found = false;
         EXPECT_EQ(scm::RunTransaction(false,
                                       [&](scm::Transaction& t) -> DWORD {
                                           found = t.FindByName(name).has_value();
                                           return ERROR_SUCCESS;
                                       }),
                   ERROR_SUCCESS);
         return found;
     },
     sqlite::OnFailure::Commit, ERROR_NOT_ENOUGH_MEMORY},
};

class StoreRulesTest : public MachineTest {};

// Each store's header states its rule for a body that answers an error: the registry keeps
// none of the call, the service manager keeps all of it. A body that throws keeps nothing.
TEST_F(StoreRulesTest, AFailingCallIsRolledBackOrCommittedAsItsStoreStates) {
    for (const Store& store : kStores) {
        SCOPED_TRACE(store.name);
        const struct {
            Ending ending;
            const char16_t* row;
            DWORD code;
            bool kept;
        } cases[] = {
            {Ending::Throw, u"Thrown", store.outOfMemory, false},
            {Ending::Error, u"Failed", ERROR_INVALID_FUNCTION,
             store.onFailure == sqlite::OnFailure::Commit},
            {Ending::Success, u"Done", ERROR_SUCCESS, true},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(static_cast<int>(c.ending));
            EXPECT_EQ(store.write(c.ending, c.row), c.code);
            EXPECT_EQ(store.kept(c.row), c.kept);
        }
    }
}

// A store file SQLite itself finds damaged: the failure that begins the transaction carries
// SQLite's code and text, and the call answers the store's code for it. The registry names the
// file and SQLite's text on stderr, once per process.
TEST_F(StoreRulesTest, SQLitesCodeAndTextBecomeEachStoresCode) {
    // A whole registry store at rest, then every page after the first (which holds the header
    // and the schema, so the store's own checks pass) overwritten.
    ASSERT_EQ(
        registry::RunTransaction(false, [](registry::StoreTransaction&) -> LONG { return 0; }),
        ERROR_SUCCESS);
    registry::CloseStore();
    std::string registryFile = ReadFile(registry::StorePath());
    ASSERT_GT(registryFile.size(), 4096u);
    registryFile.replace(4096, std::string::npos, registryFile.size() - 4096, '\xA5');

    struct Case {
        const char* store;
        std::string file;
        std::string content;
        std::function<void()> begin; // a transaction of the store, as a call begins it
        std::function<DWORD()> call;
        int sqliteCode;
        const char* sqliteText;
        DWORD code;
        std::string said; // on stderr
    };
    const Case cases[] = {
        {"registry", registry::StorePath(), registryFile,
         [] { registry::StoreTransaction t(false); },
         [] {
             return static_cast<DWORD>(registry::RunTransaction(
                 false, [](registry::StoreTransaction&) -> LONG { return 0; }));
         },
         SQLITE_CORRUPT, "database disk image is malformed", ERROR_REGISTRY_CORRUPT,
         "hostwin: registry store " + registry::StorePath() +
             " is damaged (database disk image is malformed)\n"},
        // The service database checks the file before SQLite reads it.
        {"service manager", RootPath("scm/services.db"), std::string(4096, 'Z'),
         [] { scm::Transaction t(false); },
         [] { return scm::RunTransaction(false, [](scm::Transaction&) -> DWORD { return 0; }); },
         SQLITE_CORRUPT, "file is not a database", ERROR_CANTREAD,
         "hostwin: service database " + RootPath("scm/services.db") +
             " is damaged (file is not a database)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.store);
        std::filesystem::remove(c.file); // a new file, as another process would put there
        WriteFile(c.file, c.content);
        try {
            c.begin();
            ADD_FAILURE() << "the transaction began";
        } catch (const sqlite::Error& error) {
            EXPECT_EQ(error.Primary(), c.sqliteCode);
            EXPECT_EQ(error.text, c.sqliteText);
        }
        testing::internal::CaptureStderr();
        EXPECT_EQ(c.call(), c.code);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.said);
        EXPECT_EQ(ReadFile(c.file), c.content) << "a damaged file is left as it is";
    }
}

} // namespace
