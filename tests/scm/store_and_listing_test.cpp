// The service database guarded as the registry's store is, the listing through
// EnumServicesStatusExW and sc query's filters, and arguments refused whole.
#include "scm_support.h"

#include <hostwin/text.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using scm_support::AgentCount;
using scm_support::AwaitCondition;
using testing_support::ProgramResult;

class StoreTest : public testing_support::ServiceManagerTest {
protected:
    ProgramResult Run(const std::string& program, std::vector<std::string> args) {
        args.insert(args.begin(), program);
        return testing_support::RunProgram(
            args, {{"HOSTWIN_ROOT", Root()}, {"HOSTWIN_TIME_SCALE", "0.01"}});
    }
    ProgramResult Sc(std::vector<std::string> args) { return Run(SC_EXE, std::move(args)); }
    SC_HANDLE Create(const std::u16string& name, DWORD start = SERVICE_DEMAND_START,
                     LPCWSTR dependencies = NULL, LPCWSTR displayName = NULL) {
        return CreateServiceW(m_manager.get(), name.c_str(), displayName, SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, start, SERVICE_ERROR_NORMAL, u"x.exe",
                              NULL, NULL, dependencies, NULL, NULL);
    }
    // The names sc lists, in order.
    static std::vector<std::string> Listed(const std::string& out) {
        std::vector<std::string> names;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("SERVICE_NAME: ", 0) == 0)
                names.push_back(line.substr(14, line.size() - 15));
        return names;
    }
    std::string Database() { return RootPath("scm/services.db"); }
};

// A file in the database's place that cannot be a whole service database is refused, named, and
// left as it is: never taken for a new machine without services.
TEST_F(StoreTest, ADamagedDatabaseIsRefusedAndNamedNeverReplaced) {
    for (int i = 0; i < 60; ++i)
        UniqueScHandle(Create(u"filler" + hostwin::FromUtf8(std::to_string(i))));
    UniqueScHandle(Create(u"kept"));
    m_manager.reset();
    ASSERT_EQ(Sc({"query", "kept"}).exitStatus, 0); // the last process settles the log
    const std::string whole = testing_support::ReadFile(Database());
    ASSERT_GT(whole.size(), 8192u);
    struct Case {
        const char* what;
        std::string content;
        const char* said;
    } cases[] = {
        {"emptied", "", "is damaged (the file is empty)"},
        {"cut short", whole.substr(0, 4096), "is damaged (the file is shorter than its header"},
        {"another program's database", whole.substr(0, 68) + "XXXX" + whole.substr(72),
         "is damaged (holds a database that is not a service database"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(Database() + "-wal");
        fs::remove(Database() + "-shm");
        testing_support::WriteFile(Database(), c.content);
        ProgramResult query = Sc({"query", "kept"});
        EXPECT_EQ(query.exitStatus, ERROR_CANTREAD & 0xFF) << query.out;
        EXPECT_EQ(query.out.rfind("[SC] EnumQueryServicesStatus:OpenService FAILED 1012:", 0), 0u)
            << query.out;
        EXPECT_NE(query.err.find("hostwin: service database " + Database() + " " + c.said),
                  std::string::npos)
            << query.err;
        EXPECT_EQ(testing_support::ReadFile(Database()), c.content) << "left for a person";
    }
    // Deleted, it is a fresh machine's: whole, and holding only RpcSs.
    fs::remove(Database());
    EXPECT_EQ(Sc({"query", "kept"}).exitStatus, ERROR_SERVICE_DOES_NOT_EXIST & 0xFF);
    EXPECT_EQ(Listed(Sc({"query", "state=", "all"}).out), std::vector<std::string>{"RpcSs"});
}

// A database written before the store was marked (schema 0: dependencies one per line, and
// perhaps no claim columns) is read as it stands where the user may only read it, and brought
// up to date where it may be written.
TEST_F(StoreTest, AnOlderDatabaseIsReadWhereReadOnlyAndUpdatedWhereWritable) {
    for (const bool claimColumns : {true, false}) {
        SCOPED_TRACE(claimColumns ? "with the claim columns" : "without them");
        m_manager.reset(OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
        UniqueScHandle(Create(u"one"));
        UniqueScHandle(Create(u"two", SERVICE_DEMAND_START, u"RpcSs\0one\0"));
        m_manager.reset();
        ASSERT_EQ(Sc({"query", "two"}).exitStatus, 0); // the last process settles the log
        // Made beside it and put in its place: this process still has the database open.
        const std::string copy = Database() + ".older";
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(Database().c_str(), &db), SQLITE_OK);
        EXPECT_EQ(
            sqlite3_exec(db, ("VACUUM INTO '" + copy + "'").c_str(), nullptr, nullptr, nullptr),
            SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
        ASSERT_EQ(sqlite3_open(copy.c_str(), &db), SQLITE_OK);
        std::string older = "PRAGMA journal_mode=DELETE; PRAGMA application_id=0; "
                            "PRAGMA user_version=0; UPDATE services SET deps = 'RpcSs' || "
                            "char(10) || 'one' || char(10) WHERE name = 'two';";
        if (!claimColumns)
            older += "ALTER TABLE services DROP COLUMN claim_pid; "
                     "ALTER TABLE services DROP COLUMN claim_start;";
        EXPECT_EQ(sqlite3_exec(db, older.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
        for (const char* suffix : {"-wal", "-shm"})
            fs::remove(Database() + suffix);
        fs::rename(copy, Database());

        // Root may write anything: the reader runs as nobody.
        ASSERT_EQ(chmod(Database().c_str(), 0444), 0);
        ASSERT_EQ(chmod(RootPath("scm").c_str(), 0555), 0);
        ASSERT_EQ(chmod(Root().c_str(), 0755), 0);
        auto asReader = [&](std::vector<std::string> args) {
            args.insert(args.begin(), SC_EXE);
            if (geteuid() == 0)
                args.insert(args.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                           "--clear-groups"});
            return testing_support::RunProgram(
                args, {{"HOSTWIN_ROOT", Root()}, {"HOSTWIN_TIME_SCALE", "0.01"}});
        };
        const std::string dependencies = "DEPENDENCIES       : RpcSs\n"
                                         "                           : one\n";
        for (const bool readOnly : {true, false}) {
            SCOPED_TRACE(readOnly ? "read-only" : "writable");
            if (!readOnly) {
                ASSERT_EQ(chmod(RootPath("scm").c_str(), 0755), 0);
                ASSERT_EQ(chmod(Database().c_str(), 0644), 0);
            }
            ProgramResult qc = readOnly ? asReader({"qc", "two"}) : Sc({"qc", "two"});
            EXPECT_EQ(qc.exitStatus, 0) << qc.out << qc.err;
            EXPECT_NE(qc.out.find(dependencies), std::string::npos) << qc.out;
            ProgramResult query = readOnly ? asReader({"query", "two"}) : Sc({"query", "two"});
            EXPECT_NE(query.out.find("1  STOPPED"), std::string::npos) << query.out << query.err;
        }
        // Brought up to date: marked, and a start's claim has its columns (x.exe is no program).
        ASSERT_EQ(sqlite3_open(Database().c_str(), &db), SQLITE_OK);
        int64_t marks = 0;
        sqlite3_stmt* read = nullptr;
        sqlite3_prepare_v2(
            db,
            "SELECT (SELECT user_version FROM pragma_user_version) + (SELECT count(*) "
            "FROM pragma_table_info('services') WHERE name LIKE 'claim_%')",
            -1, &read, nullptr);
        if (sqlite3_step(read) == SQLITE_ROW)
            marks = sqlite3_column_int64(read, 0);
        sqlite3_finalize(read);
        sqlite3_close(db);
        EXPECT_EQ(marks, 1 + 2);
        EXPECT_EQ(Sc({"start", "one"}).exitStatus, ERROR_FILE_NOT_FOUND);
        for (const char* name : {"one", "two"})
            ASSERT_EQ(Sc({"delete", name}).exitStatus, 0);
    }
}

// A service whose database disappears ends itself, and its agents with it, within a watchdog
// period: nothing could reach it any more.
TEST_F(StoreTest, AServiceWhoseDatabaseIsDeletedEndsItselfAndItsAgents) {
    m_manager.reset();
    scm_support::InstallAgent(Root());
    scm_support::WriteAppId(true);
    ASSERT_EQ(Sc({"create", "pellardservice",
                  "binPath=", hostwin::ToUtf8(scm_support::TollivarBinaryPath())})
                  .exitStatus,
              0);
    ASSERT_EQ(Sc({"start", "pellardservice"}).exitStatus, 0);
    ASSERT_TRUE(AwaitCondition([] { return AgentCount() == 1; }));
    for (const char* suffix : {"", "-wal", "-shm"})
        fs::remove(Database() + suffix);
    EXPECT_TRUE(AwaitCondition([] { return AgentCount(u"tollivar.exe") == 0; }));
    EXPECT_TRUE(AwaitCondition([] { return AgentCount() == 0; }));
}

TEST_F(StoreTest, QueryListsByStateAndType) {
    UniqueScHandle(Create(u"beta"));
    UniqueScHandle(Create(u"Alpha", SERVICE_DEMAND_START, NULL, u"First"));
    m_manager.reset();
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::vector<std::string> names;
    } cases[] = {
        {{"query"}, 0, {"RpcSs"}},
        {{"queryex", "state=", "all"}, 0, {"Alpha", "beta", "RpcSs"}},
        {{"query", "state=", "inactive"}, 0, {"Alpha", "beta"}},
        {{"query", "type=", "service", "state=", "all"}, 0, {"Alpha", "beta", "RpcSs"}},
        {{"query", "type=", "own", "state=", "all"}, 0, {"Alpha", "beta"}},
        {{"query", "type=", "share", "type=", "interact"}, 0, {"RpcSs"}},
        {{"query", "type=", "driver", "state=", "all"}, 0, {}},
        {{"query", "type=", "interact"}, ERROR_INVALID_PARAMETER, {}},
        {{"query", "state=", "all", "bufsize=", "1", "ri=", "1"}, ERROR_MORE_DATA, {}},
        {{"query", "state=", "all", "bufsize=", "100000", "ri=", "1"}, 0, {"beta", "RpcSs"}},
        {{"query", "state="}, ERROR_INVALID_PARAMETER, {}},
        {{"query", "state=", "paused"}, ERROR_INVALID_PARAMETER, {}},
        {{"query", "bufsize=", "4294967296"}, ERROR_INVALID_PARAMETER, {}},
        {{"query", "beta", "state=", "all"}, ERROR_INVALID_PARAMETER, {}},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& arg : c.args)
            line += arg + " ";
        SCOPED_TRACE(line);
        ProgramResult result = Sc(c.args);
        EXPECT_EQ(result.exitStatus, c.exit & 0xFF) << result.out;
        EXPECT_EQ(Listed(result.out), c.names) << result.out;
    }
    ProgramResult piece = Sc({"query", "state=", "all", "bufsize=", "1", "ri=", "1"});
    EXPECT_NE(piece.out.find("Enum: more data, need "), std::string::npos) << piece.out;
    EXPECT_NE(piece.out.find(" bytes start resume at index 1\n"), std::string::npos) << piece.out;
}

// Each refused argument changes nothing: no service appears, none stops.
TEST_F(StoreTest, ArgumentsOutsideTheirFormAreRefusedWhole) {
    UniqueScHandle(Create(u"kept"));
    m_manager.reset();
    struct Case {
        std::string program;
        std::vector<std::string> args;
        const char* said;
    } cases[] = {
        {SC_EXE, {"create", "bad\xffname", "binPath=", "x.exe"}, "Argument 2 is not valid UTF-8"},
        {SC_EXE, {"create", "ok", "binPath=", "x\xc0.exe"}, "Argument 4 is not valid UTF-8"},
        {SC_EXE, {"control", "RpcSs", "4294967297"}, "USAGE"},
        {SC_EXE, {"control", "RpcSs", "-4294967295"}, "USAGE"},
        {SC_EXE, {"control", "RpcSs", "+1"}, "USAGE"},
        {TOLLIVAR_EXE, {"\xff\xfe/Service"}, "argument 1 of "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        ProgramResult result = Run(c.program, c.args);
        EXPECT_EQ(result.exitStatus, ERROR_INVALID_PARAMETER) << result.out << result.err;
        EXPECT_NE((result.out + result.err).find(c.said), std::string::npos)
            << result.out << result.err;
    }
    EXPECT_EQ(Listed(Sc({"query", "state=", "all"}).out),
              (std::vector<std::string>{"kept", "RpcSs"}));
    EXPECT_EQ(Sc({"query", "RpcSs"}).out.find("4  RUNNING") != std::string::npos, true);
}

// A dependency keeps any name a service may have, a line feed in it too.
TEST_F(StoreTest, ADependencyNamedWithALineFeedIsKept) {
    UniqueScHandle target(Create(u"line\nfeed", SERVICE_DISABLED));
    UniqueScHandle dependent(Create(u"dependent", SERVICE_DEMAND_START, u"line\nfeed\0RpcSs\0"));
    ASSERT_NE(dependent.get(), nullptr);
    DWORD needed = 0;
    QueryServiceConfigW(dependent.get(), NULL, 0, &needed);
    std::vector<unsigned char> buffer(needed);
    auto* config = reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.data());
    ASSERT_TRUE(QueryServiceConfigW(dependent.get(), config, needed, &needed));
    EXPECT_EQ(std::u16string(config->lpDependencies, 17),
              std::u16string(u"line\nfeed\0RpcSs\0\0", 17));
    // It exists, so the start fails on its being disabled (1068), not on its absence (1075).
    EXPECT_FALSE(StartServiceW(dependent.get(), 0, NULL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DEPENDENCY_FAIL));
}

// The listing's buffer and resume boundaries, as the platform answers them.
TEST_F(StoreTest, EnumerationFillsWhatFitsAndResumesWhereItStopped) {
    UniqueScHandle(Create(u"b"));
    UniqueScHandle(Create(u"a", SERVICE_DEMAND_START, NULL, u"Ay"));
    const std::vector<std::u16string> names = {u"a", u"b", u"RpcSs"};
    const std::vector<std::u16string> displays = {u"Ay", u"b", u"Remote Procedure Call (RPC)"};
    std::vector<DWORD> sizes;
    DWORD total = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        sizes.push_back(static_cast<DWORD>(sizeof(ENUM_SERVICE_STATUS_PROCESSW) +
                                           (names[i].size() + displays[i].size() + 2) * 2));
        total += sizes.back();
    }
    struct Case {
        const char* what;
        DWORD size, resume;
        DWORD error, returned, needed, resumeAfter;
    } cases[] = {
        {"no buffer", 0, 0, ERROR_MORE_DATA, 0, total, 0},
        {"one byte short of the first", sizes[0] - 1, 0, ERROR_MORE_DATA, 0, total, 0},
        {"exactly the first", sizes[0], 0, ERROR_MORE_DATA, 1, total - sizes[0], 1},
        {"one byte short of all", total - 1, 0, ERROR_MORE_DATA, 2, sizes[2], 2},
        {"exactly all", total, 0, ERROR_SUCCESS, 3, 0, 0},
        {"resumed at the last", sizes[2], 2, ERROR_SUCCESS, 1, 0, 0},
        {"resumed past the end", 0, 3, ERROR_SUCCESS, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<unsigned char> buffer(c.size + 1, 0xCC);
        DWORD needed = 7, returned = 7, resume = c.resume;
        BOOL ok = EnumServicesStatusExW(m_manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32,
                                        SERVICE_STATE_ALL, buffer.data(), c.size, &needed,
                                        &returned, &resume, NULL);
        EXPECT_EQ(ok ? ERROR_SUCCESS : GetLastError(), c.error);
        EXPECT_EQ(returned, c.returned);
        EXPECT_EQ(needed, c.needed);
        EXPECT_EQ(resume, c.resumeAfter);
        EXPECT_EQ(buffer[c.size], 0xCC) << "written past the buffer";
        auto* records = reinterpret_cast<ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        for (DWORD i = 0; i < returned; ++i) {
            EXPECT_EQ(std::u16string(records[i].lpServiceName), names[c.resume + i]);
            EXPECT_EQ(std::u16string(records[i].lpDisplayName), displays[c.resume + i]);
        }
    }
    UniqueScHandle connectOnly(OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT));
    DWORD needed = 0, returned = 0;
    struct Refusal {
        const char* what;
        SC_HANDLE manager;
        int level;
        DWORD type, state, error;
    } refusals[] = {
        {"another level", m_manager.get(), 1, SERVICE_WIN32, SERVICE_STATE_ALL,
         ERROR_INVALID_LEVEL},
        {"no type", m_manager.get(), 0, 0, SERVICE_STATE_ALL, ERROR_INVALID_PARAMETER},
        {"only interactive", m_manager.get(), 0, SERVICE_INTERACTIVE_PROCESS, SERVICE_STATE_ALL,
         ERROR_INVALID_PARAMETER},
        {"state 4", m_manager.get(), 0, SERVICE_WIN32, 4, ERROR_INVALID_PARAMETER},
        {"no enumerate right", connectOnly.get(), 0, SERVICE_WIN32, SERVICE_STATE_ALL,
         ERROR_ACCESS_DENIED},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.what);
        EXPECT_FALSE(EnumServicesStatusExW(r.manager, r.level, r.type, r.state, NULL, 0, &needed,
                                           &returned, NULL, NULL));
        EXPECT_EQ(GetLastError(), r.error);
    }
}

} // namespace
