// Only an agent no other account can have changed is launched as the service's own account:
// the rule on plain security data, the check on the host's files across ticks, and the folders
// the service makes for the agent.
#include "machine.h"

#include "agent.h"
#include "tollivarmodule.h"

#include <windows.h>
#include <tlhelp32.h>

#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// ---- the rule, on plain data ----

std::vector<BYTE> Sid(BYTE authority, std::vector<DWORD> subAuthorities) {
    std::vector<BYTE> sid = {1, static_cast<BYTE>(subAuthorities.size()), 0, 0, 0, 0, 0, authority};
    for (DWORD sub : subAuthorities) {
        BYTE bytes[4];
        std::memcpy(bytes, &sub, 4);
        sid.insert(sid.end(), bytes, bytes + 4);
    }
    return sid;
}
const std::vector<BYTE> kSystem = Sid(5, {18});
const std::vector<BYTE> kAdministrators = Sid(5, {32, 544});
const std::vector<BYTE> kUsers = Sid(5, {32, 545});
const std::vector<BYTE> kTrustedInstaller =
    Sid(5, {80, 956008885, 3418522649u, 1831038044, 1853292631, 2271478464u});
// TrustedInstaller but for its last sub-authority.
const std::vector<BYTE> kNearlyTrustedInstaller =
    Sid(5, {80, 956008885, 3418522649u, 1831038044, 1853292631, 2271478465u});
const std::vector<BYTE> kCreatorOwner = Sid(3, {0});
const std::vector<BYTE> kEveryone = Sid(1, {0});

struct Entry {
    BYTE type;
    BYTE flags;
    ACCESS_MASK mask;
    std::vector<BYTE> sid;
};

// An ACL in its Windows layout, built by hand.
std::vector<DWORD> Acl(const std::vector<Entry>& entries) {
    std::vector<BYTE> bytes(sizeof(ACL));
    for (const Entry& entry : entries) {
        const WORD size = static_cast<WORD>(8 + entry.sid.size());
        const BYTE header[4] = {entry.type, entry.flags, static_cast<BYTE>(size & 0xFF),
                                static_cast<BYTE>(size >> 8)};
        bytes.insert(bytes.end(), header, header + 4);
        BYTE mask[4];
        std::memcpy(mask, &entry.mask, 4);
        bytes.insert(bytes.end(), mask, mask + 4);
        bytes.insert(bytes.end(), entry.sid.begin(), entry.sid.end());
    }
    ACL acl = {ACL_REVISION, 0, static_cast<WORD>(bytes.size()), static_cast<WORD>(entries.size()),
               0};
    std::memcpy(bytes.data(), &acl, sizeof acl);
    std::vector<DWORD> aligned((bytes.size() + 3) / 4);
    std::memcpy(aligned.data(), bytes.data(), bytes.size());
    return aligned;
}

const ACCESS_MASK kReadExecute = 0x1200A9;
const BYTE kAllow = ACCESS_ALLOWED_ACE_TYPE;
const BYTE kDeny = ACCESS_DENIED_ACE_TYPE;
const BYTE kInheritAll = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

TEST(AgentTrustRule, OwnerDaclAndEveryChangeRight) {
    const std::vector<Entry> protectedFolder = {
        {kAllow, kInheritAll, FILE_ALL_ACCESS, kSystem},
        {kAllow, kInheritAll, FILE_ALL_ACCESS, kAdministrators},
        {kAllow, kInheritAll, kReadExecute, kUsers}};
    struct Case {
        const char* what;
        std::vector<BYTE> owner; // empty: none
        bool dacl;
        std::vector<Entry> entries;
        AgentTrust expected;
    } cases[] = {
        {"SYSTEM owns", kSystem, true, protectedFolder, AGENT_TRUSTED},
        {"Administrators own", kAdministrators, true, protectedFolder, AGENT_TRUSTED},
        {"TrustedInstaller owns", kTrustedInstaller, true, protectedFolder, AGENT_TRUSTED},
        {"an empty DACL", kSystem, true, {}, AGENT_TRUSTED},
        {"no DACL", kSystem, false, {}, AGENT_NO_DACL},
        {"Users own", kUsers, true, protectedFolder, AGENT_FOREIGN_OWNER},
        {"nearly TrustedInstaller owns", kNearlyTrustedInstaller, true, protectedFolder,
         AGENT_FOREIGN_OWNER},
        {"no owner", {}, true, protectedFolder, AGENT_FOREIGN_OWNER},
        {"TrustedInstaller may write",
         kSystem,
         true,
         {{kAllow, 0, GENERIC_ALL, kTrustedInstaller}},
         AGENT_TRUSTED},
        // Rights that change neither content nor access.
        {"Users may write attributes",
         kSystem,
         true,
         {{kAllow, 0, kReadExecute | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | READ_CONTROL, kUsers}},
         AGENT_TRUSTED},
        {"a template for children only",
         kSystem,
         true,
         {{kAllow, kInheritAll | INHERIT_ONLY_ACE, FILE_ALL_ACCESS, kCreatorOwner}},
         AGENT_TRUSTED},
        {"CREATOR OWNER on the folder itself",
         kSystem,
         true,
         {{kAllow, kInheritAll, FILE_ALL_ACCESS, kCreatorOwner}},
         AGENT_OTHERS_MAY_WRITE},
        {"a deny entry", kSystem, true, {{kDeny, 0, GENERIC_ALL, kEveryone}}, AGENT_TRUSTED},
        {"nearly TrustedInstaller may write",
         kSystem,
         true,
         {{kAllow, 0, FILE_WRITE_DATA, kNearlyTrustedInstaller}},
         AGENT_OTHERS_MAY_WRITE},
        {"the first entry lets Everyone write",
         kSystem,
         true,
         {{kAllow, 0, FILE_WRITE_DATA, kEveryone}, {kAllow, 0, FILE_ALL_ACCESS, kSystem}},
         AGENT_OTHERS_MAY_WRITE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<BYTE> owner = c.owner;
        std::vector<DWORD> acl = Acl(c.entries);
        EXPECT_EQ(JudgeAgentSecurity(owner.empty() ? NULL : owner.data(),
                                     c.dacl ? reinterpret_cast<PACL>(acl.data()) : NULL),
                  c.expected);
    }
    // Each right that changes the file, its folder or its access, granted to Users by the last
    // entry, after the trusted ones.
    const ACCESS_MASK changeRights[] = {FILE_WRITE_DATA, FILE_APPEND_DATA, FILE_DELETE_CHILD,
                                        DELETE,          WRITE_DAC,        WRITE_OWNER,
                                        GENERIC_WRITE,   GENERIC_ALL};
    for (ACCESS_MASK right : changeRights) {
        SCOPED_TRACE(right);
        std::vector<Entry> entries = protectedFolder;
        entries.push_back({kAllow, 0, right, kUsers});
        std::vector<DWORD> acl = Acl(entries);
        std::vector<BYTE> owner = kSystem;
        EXPECT_EQ(JudgeAgentSecurity(owner.data(), reinterpret_cast<PACL>(acl.data())),
                  AGENT_OTHERS_MAY_WRITE);
        entries.back().flags = kInheritAll | INHERIT_ONLY_ACE;
        acl = Acl(entries);
        EXPECT_EQ(JudgeAgentSecurity(owner.data(), reinterpret_cast<PACL>(acl.data())),
                  AGENT_TRUSTED);
    }
}

// ---- the check on the host's files ----

const uid_t kNobody = 65534;

struct Event {
    int type;
    DWORD id;
    std::vector<std::string> strings;
};

class AgentTrustTest : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        fs::create_directories(RootPath("drive_c/pellard/bin"));
        fs::permissions(RootPath("drive_c/pellard"), fs::perms(0755));
        fs::permissions(RootPath("drive_c/pellard/bin"), fs::perms(0755));
        fs::copy_file(PELLARD_EXE, RootPath("drive_c/pellard/bin/pellard.exe"));
        ReportAgentWarning(NULL);
        g_module.m_stopRequested = 0;
        g_module.m_tickLaunching = 0;
    }
    void TearDown() override {
        g_module.KillAgents();
        ReportAgentWarning(NULL);
        MachineTest::TearDown();
    }

    std::vector<Event> Events() const {
        std::vector<Event> events;
        std::istringstream in(testing_support::ReadFile(RootPath("eventlog/Application.jsonl")));
        for (std::string line; std::getline(in, line);) {
            nlohmann::json record = nlohmann::json::parse(line);
            events.push_back({record["type"].get<int>(), record["id"].get<DWORD>(),
                              record["strings"].get<std::vector<std::string>>()});
        }
        return events;
    }
};

TEST_F(AgentTrustTest, AnAgentOthersCanChangeIsNotLaunchedUntilItIsFixed) {
    const std::string launch = "C:\\pellard\\bin\\pellard.exe";
    const std::string others =
        "accounts other than SYSTEM, Administrators and TrustedInstaller may change ";
    const std::string owner =
        " is owned by an account other than SYSTEM, Administrators or TrustedInstaller";
    struct Case {
        const char* part; // below drive_c
        mode_t mode;      // 0: unchanged
        uid_t owner;      // -1: unchanged
        std::string text;
    } cases[] = {
        {"pellard", 0757, static_cast<uid_t>(-1), others + "C:\\pellard"},
        {"pellard/bin", 0775, static_cast<uid_t>(-1), others + "C:\\pellard\\bin"},
        {"pellard/bin/pellard.exe", 0, kNobody, launch + owner},
        {"pellard", 0, kNobody, "C:\\pellard" + owner},
    };
    size_t events = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.part);
        const std::string path = RootPath("drive_c/" + std::string(c.part));
        struct stat before;
        ASSERT_EQ(stat(path.c_str(), &before), 0);
        if (c.mode) {
            ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        }
        if (c.owner != static_cast<uid_t>(-1)) {
            ASSERT_EQ(chown(path.c_str(), c.owner, static_cast<gid_t>(-1)), 0);
        }

        SetLastError(0);
        EXPECT_FALSE(StartAgent());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        for (int tick = 0; tick < 3; ++tick)
            g_module.Tick();
        EXPECT_EQ(testing_support::AgentCount(), 0);
        std::vector<Event> logged = Events();
        ASSERT_EQ(logged.size(), ++events) << "one event per problem, not per tick";
        EXPECT_EQ(logged.back().type, EVENTLOG_WARNING_TYPE);
        EXPECT_EQ(logged.back().id, 0x80000001u) << "the untrusted-agent message";
        EXPECT_EQ(logged.back().strings, (std::vector<std::string>{launch, c.text}));

        // Fixed: the next tick launches, and nothing more is reported.
        ASSERT_EQ(chmod(path.c_str(), before.st_mode & 07777), 0);
        ASSERT_EQ(chown(path.c_str(), before.st_uid, before.st_gid), 0);
        g_module.Tick();
        EXPECT_EQ(testing_support::AgentCount(), 1);
        EXPECT_EQ(Events().size(), events);
        g_module.KillAgents();
        for (int wait = 0; wait < 1000 && testing_support::AgentCount() != 0; ++wait)
            Sleep(10);
        ASSERT_EQ(testing_support::AgentCount(), 0);
    }
    ExpectNoLeakedHandles();
}

TEST_F(AgentTrustTest, AChangedProblemIsReportedAgainAndAnUnreadableOneToo) {
    ASSERT_EQ(chmod(RootPath("drive_c/pellard/bin").c_str(), 0777), 0);
    EXPECT_FALSE(StartAgent());
    ASSERT_EQ(chown(RootPath("drive_c/pellard").c_str(), kNobody, static_cast<gid_t>(-1)), 0);
    EXPECT_FALSE(StartAgent()); // the walk now stops one folder earlier
    EXPECT_FALSE(StartAgent());
    hostwin::InjectFault("GetNamedSecurityInfoW", 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(StartAgent());
    hostwin::ClearFaults();
    std::vector<Event> logged = Events();
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_NE(logged[0].strings.at(1).find("may change C:\\pellard\\bin"), std::string::npos);
    EXPECT_NE(logged[1].strings.at(1).find("C:\\pellard is owned by"), std::string::npos);
    EXPECT_EQ(logged[2].strings.at(1), "the security of C:\\pellard cannot be read (error 5)");
    EXPECT_EQ(testing_support::AgentCount(), 0);
}

TEST_F(AgentTrustTest, MissingFoldersAreMadeForTheAdministratorsAndAnUntrustedOneIsLeftAlone) {
    fs::remove_all(RootPath("drive_c/pellard"));
    CreateAgentFolders();
    for (const char* folder : {"drive_c/pellard", "drive_c/pellard/bin"}) {
        SCOPED_TRACE(folder);
        struct stat status;
        ASSERT_EQ(stat(RootPath(folder).c_str(), &status), 0);
        EXPECT_TRUE(S_ISDIR(status.st_mode));
        EXPECT_EQ(status.st_uid, 0u);
        EXPECT_EQ(status.st_mode & 07777, 0755u);
    }

    // Made by someone else first: kept as it is, and its missing child made as usual.
    fs::remove_all(RootPath("drive_c/pellard"));
    fs::create_directories(RootPath("drive_c/pellard"));
    ASSERT_EQ(chmod(RootPath("drive_c/pellard").c_str(), 0777), 0);
    ASSERT_EQ(chown(RootPath("drive_c/pellard").c_str(), kNobody, kNobody), 0);
    CreateAgentFolders();
    struct stat status;
    ASSERT_EQ(stat(RootPath("drive_c/pellard").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0777u);
    EXPECT_EQ(status.st_uid, kNobody);
    ASSERT_EQ(stat(RootPath("drive_c/pellard/bin").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0755u);
    ExpectNoLeakedHandles();
}

} // namespace
