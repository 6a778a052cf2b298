// The registry store's files: what a copy of them holds, what damage is reported instead of
// being taken for a new machine, how long a call waits for another connection's lock, and a
// store the user may only read.
#include "machine.h"
#include "registry_values.h"

#include <windows.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>

using hostwin::UniqueKey;
using testing_support::MachineTest;
using testing_support::ProgramResult;
using testing_support::ReadFile;
using testing_support::WriteFile;

namespace {

const char* const kCorrupt = "ERROR: The configuration registry database is corrupt.\n";

ProgramResult Reg(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
    args.insert(args.begin(), REG_EXE);
    return testing_support::RunProgram(args, env);
}

// The store files of a machine root.
std::string Store(const std::string& root) {
    return root + "/registry/registry.db";
}

class RegistryStoreTest : public MachineTest {
protected:
    // Adds HKCU\Software\Kept\K<i> for i < count, one reg process each.
    void AddKeys(int count) {
        for (int i = 0; i < count; ++i) {
            ProgramResult add = Reg({"add", "HKCU\\Software\\Kept\\K" + std::to_string(i), "/v",
                                     "v", "/d", std::to_string(i), "/f"});
            ASSERT_EQ(add.exitStatus, 0) << add.err;
        }
    }
    // The key names below HKCU\Software\Kept as `reg query` lists them on `root`.
    ProgramResult QueryKept(const std::string& root) {
        return Reg({"query", "HKCU\\Software\\Kept"}, {{"HOSTWIN_ROOT", root}});
    }
};

TEST_F(RegistryStoreTest, ACopyOfTheStoreFileAloneHoldsEveryKeyOnceTheToolsHaveEnded) {
    AddKeys(3);
    ASSERT_EQ(Reg({"delete", "HKCU\\Software\\Kept\\K1", "/f"}).exitStatus, 0);
    const std::string copy = RootPath("copy");
    WriteFile(Store(copy), ReadFile(Store(Root())));
    ProgramResult query = QueryKept(copy);
    EXPECT_EQ(query.exitStatus, 0) << query.err;
    EXPECT_EQ(query.out, "\nHKEY_CURRENT_USER\\Software\\Kept\\K0\n"
                         "HKEY_CURRENT_USER\\Software\\Kept\\K2\n");
}

// Files where the store should be that are not a whole registry store: each is named and left
// exactly as it is, never taken for a new machine.
TEST_F(RegistryStoreTest, AnEmptyTruncatedOrForeignStoreIsReportedAndLeftAlone) {
    std::string keys = "Windows Registry Editor Version 5.00\n";
    for (int i = 0; i < 200; ++i) // enough pages that cutting the file loses some
        keys += "[HKEY_CURRENT_USER\\Software\\Kept\\K" + std::to_string(i) + "]\n";
    WriteFile(RootPath("keys.reg"), keys);
    ASSERT_EQ(Reg({"import", RootPath("keys.reg")}).exitStatus, 0);
    const std::string whole = ReadFile(Store(Root()));
    ASSERT_GT(whole.size(), 3 * 4096u);
    const std::string foreign = RootPath("foreign.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(foreign.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES(1)", nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);
    const std::string emptyDatabase = RootPath("empty.db");
    ASSERT_EQ(sqlite3_open(emptyDatabase.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t(x); DROP TABLE t", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    const std::tuple<const char*, std::string, const char*> cases[] = {
        {"zero bytes", "", "(the file is empty)"},
        {"first two pages", whole.substr(0, 8192), "truncated"},
        {"one byte short", whole.substr(0, whole.size() - 1), "truncated"},
        {"not a database", std::string(4096, 'Z'), "(file is not a database)"},
        {"another program's database", ReadFile(foreign), "not a registry store"},
        {"an empty database", ReadFile(emptyDatabase), "not a registry store"},
    };
    for (const auto& [name, content, detail] : cases) {
        SCOPED_TRACE(name);
        const std::string root = RootPath(name);
        WriteFile(Store(root), content);
        for (const auto& args : std::vector<std::vector<std::string>>{
                 {"query", "HKCU\\Software"}, {"add", "HKCU\\Software\\New", "/f"}}) {
            ProgramResult result = Reg(args, {{"HOSTWIN_ROOT", root}});
            EXPECT_EQ(result.exitStatus, 1);
            EXPECT_NE(result.err.find("registry store " + Store(root) + " is damaged"),
                      std::string::npos)
                << result.err;
            EXPECT_NE(result.err.find(detail), std::string::npos) << result.err;
            EXPECT_NE(result.err.find(kCorrupt), std::string::npos) << result.err;
        }
        EXPECT_EQ(ReadFile(Store(root)), content);
    }
}

// The state after a writer died: this process has committed keys that live only in the log
// (it has not closed the store), and the folder is copied as it stands.
TEST_F(RegistryStoreTest, ALostOrDamagedLogIsReportedInsteadOfGivingAnOlderRegistry) {
    for (int i = 0; i < 3; ++i) {
        UniqueKey key;
        ASSERT_EQ(
            RegCreateKeyExW(HKEY_CURRENT_USER,
                            hostwin::FromUtf8("Software\\Kept\\K" + std::to_string(i)).c_str(), 0,
                            NULL, 0, KEY_ALL_ACCESS, NULL, key.put(), NULL),
            ERROR_SUCCESS);
    }
    const std::string log = ReadFile(Store(Root()) + "-wal");
    const size_t frame = 24 + 4096;
    ASSERT_GT(log.size(), 32 + 3 * frame) << "the keys should still be in the log";
    auto flipped = [&](size_t offset) {
        std::string damaged = log;
        damaged[offset] = static_cast<char>(damaged[offset] ^ 0x55);
        return damaged;
    };
    const char* const missing = "-wal, which held 3 committed change(s) the main file lacks, is "
                                "missing";
    const char* const damaged = "committed change(s) the main file lacks, is damaged";

    struct Case {
        const char* name;
        std::optional<std::string> log; // nothing: no log file at all
        const char* error;              // null: the copy reads every key
    };
    const Case cases[] = {
        {"the log as it is", log, nullptr},
        // A writer killed while it wrote the next change: the part of a frame it left counts for
        // nothing.
        {"a frame cut short at the end", log + log.substr(32, 100), nullptr},
        {"no log", std::nullopt, missing},
        {"an empty log", std::string(), missing},
        {"a broken header", flipped(0), damaged},
        {"a broken first frame", flipped(32 + 24 + 100), damaged},
        {"a broken frame in the middle", flipped(32 + frame + 24 + 7), damaged},
        {"a broken last frame", flipped(log.size() - 5), damaged},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string root = RootPath(c.name);
        WriteFile(Store(root), ReadFile(Store(Root())));
        WriteFile(Store(root) + "-state", ReadFile(Store(Root()) + "-state"));
        if (c.log)
            WriteFile(Store(root) + "-wal", *c.log);
        ProgramResult query = QueryKept(root);
        if (!c.error) {
            EXPECT_EQ(query.exitStatus, 0) << query.err;
            EXPECT_EQ(query.out, "\nHKEY_CURRENT_USER\\Software\\Kept\\K0\n"
                                 "HKEY_CURRENT_USER\\Software\\Kept\\K1\n"
                                 "HKEY_CURRENT_USER\\Software\\Kept\\K2\n");
            continue;
        }
        EXPECT_EQ(query.exitStatus, 1);
        EXPECT_NE(query.err.find(c.error), std::string::npos) << query.err;
        EXPECT_NE(query.err.find(kCorrupt), std::string::npos) << query.err;
        // Nothing is dropped: the files stay for someone to look at.
        if (c.log) {
            EXPECT_EQ(ReadFile(Store(root) + "-wal"), *c.log);
        }
        EXPECT_EQ(ReadFile(Store(root)), ReadFile(Store(Root())));
    }
}

// Another SQLite client holds a lock on the store for longer than the bound (1 s here: the
// bound is 10 s, scaled by 0.1). Readers go on from their snapshot; a writer gives up once the
// bound has passed, not before and not much later.
TEST_F(RegistryStoreTest, ALockHeldByAnotherClientMakesACallWaitNoLongerThanTheBound) {
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\Kept", "/v", "v", "/d", "old", "/f"}).exitStatus, 0);
    const std::map<std::string, std::string> scaled = {{"HOSTWIN_TIME_SCALE", "0.1"}};
    const std::vector<std::string> add = {"add", "HKCU\\Software\\Kept", "/v", "v", "/d", "new",
                                          "/f"};
    const std::vector<std::string> query = {"query", "HKCU\\Software\\Kept", "/v", "v"};
    struct Case {
        const char* name;
        const char* sql;  // what the other client holds open
        bool writerFails; // else the writer goes ahead
    };
    const Case cases[] = {
        {"write lock", "BEGIN EXCLUSIVE; UPDATE keys SET written = 0", true},
        {"read snapshot", "BEGIN; SELECT count(*) FROM keys", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sqlite3* other = nullptr;
        ASSERT_EQ(sqlite3_open(Store(Root()).c_str(), &other), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(other, c.sql, nullptr, nullptr, nullptr), SQLITE_OK);
        // The reader never waits, so its run shows what starting a process costs here; a
        // writer may wait the bound and a second more on top of that.
        using Clock = std::chrono::steady_clock;
        Clock::duration startUp{};
        for (const auto& args : {query, add}) {
            const auto start = Clock::now();
            ProgramResult result = Reg(args, scaled);
            const auto took = Clock::now() - start;
            if (args == query)
                startUp = took;
            EXPECT_LT(took, startUp + std::chrono::seconds(2)) << args[0];
            if (args == add && c.writerFails) {
                EXPECT_GE(took, std::chrono::milliseconds(900)); // it did wait for the lock
                EXPECT_EQ(result.exitStatus, 1);
                EXPECT_EQ(result.err,
                          "hostwin: registry store " + Store(Root()) +
                              " stayed locked by another process for 1 s (database is locked)\n"
                              "ERROR: An I/O operation initiated by the registry failed "
                              "unrecoverably. The registry could not read in, or write out, or "
                              "flush, one of the files that contain the system's image of the "
                              "registry.\n");
            } else {
                EXPECT_EQ(result.exitStatus, 0) << args[0] << ": " << result.err;
            }
        }
        sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(other);
        ASSERT_EQ(Reg(add).exitStatus, 0);
    }
}

// Run as a user who may read the store but not write it (root can write anything, so as root
// the tool runs as nobody).
TEST_F(RegistryStoreTest, AStoreTheUserMayOnlyReadServesReadsAndRefusesWrites) {
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\Kept", "/v", "v", "/d", "x", "/f"}).exitStatus, 0);
    const std::string folder = RootPath("registry");
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        ASSERT_EQ(chmod(entry.path().c_str(), 0444), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
    ASSERT_EQ(chmod(Root().c_str(), 0755), 0);
    const std::string store = ReadFile(Store(Root()));
    auto asReader = [&](std::vector<std::string> args) {
        args.insert(args.begin(), REG_EXE);
        if (geteuid() == 0)
            args.insert(args.begin(),
                        {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        return testing_support::RunProgram(args);
    };

    ProgramResult query = asReader({"query", "HKCU\\Software\\Kept"});
    EXPECT_EQ(query.exitStatus, 0) << query.err;
    EXPECT_EQ(query.out, "\nHKEY_CURRENT_USER\\Software\\Kept\n    v    REG_SZ    x\n\n");
    const std::vector<std::vector<std::string>> writes = {
        {"add", "HKCU\\Software\\Kept", "/v", "v", "/d", "y", "/f"},
        {"delete", "HKCU\\Software\\Kept", "/f"},
    };
    for (const auto& args : writes) {
        ProgramResult write = asReader(args);
        EXPECT_EQ(write.exitStatus, 1) << args[0];
        EXPECT_EQ(write.err, "ERROR: Access is denied.\n") << args[0];
    }
    EXPECT_EQ(ReadFile(Store(Root())), store);
    chmod(folder.c_str(), 0755);
}

} // namespace
