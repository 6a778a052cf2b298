// The registry functions: names, values as raw bytes, enumeration, access rights, deletion,
// the merged classes view and concurrent writers.
#include "machine.h"
#include "registry_values.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

using testing_support::MachineTest;
using testing_support::ReadStoredValue;
using testing_support::TestKey;
using testing_support::Utf16Bytes;

namespace {

using Names = std::vector<std::u16string>;

// Runs the rest of a test as a standard, not elevated, user.
struct StandardUser {
    StandardUser() { setenv("HOSTWIN_ELEVATED", "0", 1); }
    ~StandardUser() { unsetenv("HOSTWIN_ELEVATED"); }
};

LONG Create(HKEY parent, const std::u16string& path, TestKey& key,
            REGSAM access = KEY_READ | KEY_WRITE, DWORD* disposition = nullptr) {
    return RegCreateKeyExW(parent, path.c_str(), 0, NULL, REG_OPTION_NON_VOLATILE, access, NULL,
                           key.Out(), disposition);
}

LONG Open(HKEY parent, const std::u16string& path, REGSAM access, TestKey& key) {
    return RegOpenKeyExW(parent, path.c_str(), 0, access, key.Out());
}

// A REG_SZ's bytes: the text and its final NUL.
std::vector<BYTE> Sz(const std::u16string& text) {
    return Utf16Bytes(text + u'\0');
}

LONG SetText(HKEY key, const char16_t* name, const std::u16string& text) {
    const std::vector<BYTE> data = Sz(text);
    return RegSetValueExW(key, name, 0, REG_SZ, data.data(), static_cast<DWORD>(data.size()));
}

// Creates the key with a value "v" = "x" in it.
void MakeKey(HKEY root, const std::u16string& path) {
    TestKey key;
    ASSERT_EQ(Create(root, path, key), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key.Get(), u"v", u"x"), ERROR_SUCCESS);
}

// A value's bytes, or nothing when it is missing.
std::optional<std::vector<BYTE>> Data(HKEY key, const char16_t* name) {
    std::optional<testing_support::StoredValue> value = ReadStoredValue(key, name);
    return value ? std::optional(value->data) : std::nullopt;
}

// The sub-key names, or the value names, in enumeration order.
Names Enumerate(HKEY key, bool values = false) {
    Names names;
    WCHAR name[256];
    for (DWORD index = 0, count = 256;; ++index, count = 256) {
        LONG rc = values ? RegEnumValueW(key, index, name, &count, NULL, NULL, NULL, NULL)
                         : RegEnumKeyExW(key, index, name, &count, NULL, NULL, NULL, NULL);
        if (rc != ERROR_SUCCESS) {
            EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
            return names;
        }
        names.emplace_back(name, count);
    }
}

class RegistryTest : public MachineTest {};

TEST_F(RegistryTest, NamesCompareWithoutCaseKeepTheirFirstSpellingAndBadPathsAreRefused) {
    TestKey key, again;
    DWORD disposition = 0;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"Software\\Tollivar\\Deep\\", key, KEY_ALL_ACCESS,
                     &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(SetText(key.Get(), u"Mixed", u"1"), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key.Get(), u"MIXED", u"2"), ERROR_SUCCESS);
    ASSERT_EQ(
        Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\TOLLIVAR\\deep", again, KEY_READ, &disposition),
        ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(Enumerate(again.Get(), true), Names{u"Mixed"});
    EXPECT_EQ(Data(again.Get(), u"mixed"), Sz(u"2"));
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"software\\tollivar", KEY_READ, key), ERROR_SUCCESS);
    EXPECT_EQ(Enumerate(key.Get()), Names{u"Deep"});

    const std::pair<std::u16string, LONG> badPaths[] = {
        {u"\\Leading", ERROR_BAD_PATHNAME},
        {u"a\\\\b", ERROR_BAD_PATHNAME},
        {std::u16string(256, u'x'), ERROR_INVALID_PARAMETER}};
    for (const auto& [path, created] : badPaths) {
        SCOPED_TRACE(hostwin::ToUtf8(path));
        EXPECT_EQ(Create(HKEY_CURRENT_USER, path, key), created);
        EXPECT_EQ(key.Get(), HKEY(NULL));
        EXPECT_EQ(Open(HKEY_CURRENT_USER, path, KEY_READ, key), ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(Create(HKEY_CURRENT_USER, std::u16string(255, u'x'), key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ValuesKeepTypeAndBytesAndQueriesFollowTheSizeProtocol) {
    TestKey key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Values", key), ERROR_SUCCESS);
    // The default value (a null name reads it too), under a type of no known kind.
    const std::vector<BYTE> data = {0x00, 0xFF, 0x10};
    ASSERT_EQ(RegSetValueExW(key.Get(), u"", 0, 0x1234, data.data(), 3), ERROR_SUCCESS);
    // Capacity 0 asks for the size only, without a buffer.
    const std::pair<DWORD, LONG> cases[] = {
        {0, ERROR_SUCCESS}, {2, ERROR_MORE_DATA}, {3, ERROR_SUCCESS}, {8, ERROR_SUCCESS}};
    for (const auto& [capacity, result] : cases) {
        SCOPED_TRACE(capacity);
        std::vector<BYTE> buffer(8, 0xCC);
        DWORD size = capacity, type = 0;
        EXPECT_EQ(RegQueryValueExW(key.Get(), nullptr, NULL, &type, capacity ? buffer.data() : NULL,
                                   &size),
                  result);
        EXPECT_EQ(size, 3u);
        EXPECT_EQ(type, 0x1234u);
        buffer.resize(4); // the data and one byte more, never written
        const std::vector<BYTE> expected = {0x00, 0xFF, 0x10, 0xCC}, untouched(4, 0xCC);
        EXPECT_EQ(buffer, capacity && result == ERROR_SUCCESS ? expected : untouched);
    }
    BYTE buffer[8];
    EXPECT_EQ(RegQueryValueExW(key.Get(), u"", NULL, NULL, buffer, NULL), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key.Get(), u"x", 0, REG_BINARY, NULL, 4), ERROR_NOACCESS);
}

TEST_F(RegistryTest, EnumerationSortsKeysAndKeepsValueOrder) {
    TestKey key, child;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Enum", key, KEY_ALL_ACCESS), ERROR_SUCCESS);
    for (const char16_t* name : {u"b", u"A", u"c"})
        ASSERT_EQ(Create(key.Get(), name, child), ERROR_SUCCESS);
    for (const char16_t* name : {u"zeta", u"alpha", u"mid"})
        ASSERT_EQ(SetText(key.Get(), name, u"x"), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key.Get(), u"ALPHA", u"longer text"), ERROR_SUCCESS); // keeps its place
    EXPECT_EQ(Enumerate(key.Get()), (Names{u"A", u"b", u"c"}));
    EXPECT_EQ(Enumerate(key.Get(), true), (Names{u"zeta", u"alpha", u"mid"}));

    WCHAR name[4];
    DWORD count = 1; // no room for "A" and its NUL
    EXPECT_EQ(RegEnumKeyExW(key.Get(), 0, name, &count, NULL, NULL, NULL, NULL), ERROR_MORE_DATA);
    count = 4; // nor for "zeta" and its NUL
    EXPECT_EQ(RegEnumValueW(key.Get(), 0, name, &count, NULL, NULL, NULL, NULL), ERROR_MORE_DATA);

    DWORD subKeys = 0, maxSubKey = 0, values = 0, maxValueName = 0, maxValue = 0;
    ASSERT_EQ(RegQueryInfoKeyW(key.Get(), NULL, NULL, NULL, &subKeys, &maxSubKey, NULL, &values,
                               &maxValueName, &maxValue, NULL, NULL),
              ERROR_SUCCESS);
    EXPECT_EQ((std::vector<DWORD>{subKeys, maxSubKey, values, maxValueName, maxValue}),
              (std::vector<DWORD>{3, 1, 3, 5, 24})); // 24: "longer text" and its NUL
}

// Enumeration keeps each key's sorted lists between calls: every change, made by this process
// or another one, between two steps must show in the next.
TEST_F(RegistryTest, EnumerationSeesEveryChangeMadeBetweenItsSteps) {
    auto reg = [](std::vector<std::string> args) {
        args.insert(args.begin(), REG_EXE);
        return testing_support::RunProgram(args).exitStatus;
    };
    struct Case {
        const char* name;
        std::function<void(HKEY key, const std::string& path)> change;
        Names subKeys, values;
        DWORD maxValue;
    };
    const Case cases[] = {
        {"this process adds a middle sub-key",
         [](HKEY key, const std::string&) {
             TestKey child;
             ASSERT_EQ(Create(key, u"B", child), ERROR_SUCCESS);
         },
         {u"A", u"B", u"C"},
         {u"v"},
         4},
        {"another process adds a middle sub-key",
         [&](HKEY, const std::string& path) {
             ASSERT_EQ(reg({"add", path + "\\B", "/f"}), 0);
         },
         {u"A", u"B", u"C"},
         {u"v"},
         4},
        {"this process deletes the last sub-key",
         [](HKEY key, const std::string&) { ASSERT_EQ(RegDeleteKeyW(key, u"C"), ERROR_SUCCESS); },
         {u"A"},
         {u"v"},
         4},
        {"another process deletes the first sub-key",
         [&](HKEY, const std::string& path) {
             ASSERT_EQ(reg({"delete", path + "\\A", "/f"}), 0);
         },
         {u"C"},
         {u"v"},
         4},
        {"this process adds a longer value",
         [](HKEY key, const std::string&) {
             ASSERT_EQ(SetText(key, u"w", u"longer"), ERROR_SUCCESS);
         },
         {u"A", u"C"},
         {u"v", u"w"},
         14},
        {"another process lengthens the value",
         [&](HKEY, const std::string& path) {
             ASSERT_EQ(reg({"add", path, "/v", "V", "/d", "longer", "/f"}), 0);
         },
         {u"A", u"C"},
         {u"v"},
         14},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::u16string path = u"Software\\Steps" + hostwin::FromUtf8(std::to_string(row++));
        TestKey key;
        ASSERT_EQ(Create(HKEY_CURRENT_USER, path, key, KEY_ALL_ACCESS), ERROR_SUCCESS);
        MakeKey(key.Get(), u"A");
        MakeKey(key.Get(), u"C");
        ASSERT_EQ(SetText(key.Get(), u"v", u"x"), ERROR_SUCCESS);
        ASSERT_EQ(Enumerate(key.Get()), (Names{u"A", u"C"}));
        ASSERT_EQ(Enumerate(key.Get(), true), Names{u"v"});
        c.change(key.Get(), "HKCU\\" + hostwin::ToUtf8(path));
        EXPECT_EQ(Enumerate(key.Get()), c.subKeys);
        EXPECT_EQ(Enumerate(key.Get(), true), c.values);
        DWORD subKeys = 0, values = 0, maxValue = 0;
        ASSERT_EQ(RegQueryInfoKeyW(key.Get(), NULL, NULL, NULL, &subKeys, NULL, NULL, &values, NULL,
                                   &maxValue, NULL, NULL),
                  ERROR_SUCCESS);
        EXPECT_EQ(subKeys, c.subKeys.size());
        EXPECT_EQ(values, c.values.size());
        EXPECT_EQ(maxValue, c.maxValue);
    }
}

// The classes view lists the sub-keys of both sides in one sorted list, the user's spelling
// where both have a name, whichever side holds the first and the last name.
TEST_F(RegistryTest, ClassesSubKeysMergeInOrderFromBothSides) {
    struct Case {
        const char* name;
        Names user, machine, merged;
    };
    const Case cases[] = {
        {"user first and last",
         {u"a", u"C", u"g"},
         {u"B", u"c", u"D"},
         {u"a", u"B", u"C", u"D", u"g"}},
        {"machine first and last", {u"b", u"D"}, {u"A", u"d", u"E"}, {u"A", u"b", u"D", u"E"}},
        {"user side empty", {}, {u"x", u"Y"}, {u"x", u"Y"}},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::u16string name = u"Merge" + hostwin::FromUtf8(std::to_string(row++));
        TestKey key;
        ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Classes\\" + name, key), ERROR_SUCCESS);
        for (const std::u16string& child : c.user)
            MakeKey(key.Get(), child);
        ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"Software\\Classes\\" + name, key), ERROR_SUCCESS);
        for (const std::u16string& child : c.machine)
            MakeKey(key.Get(), child);
        ASSERT_EQ(Open(HKEY_CLASSES_ROOT, name, KEY_READ, key), ERROR_SUCCESS);
        EXPECT_EQ(Enumerate(key.Get()), c.merged);
        DWORD subKeys = 0;
        ASSERT_EQ(RegQueryInfoKeyW(key.Get(), NULL, NULL, NULL, &subKeys, NULL, NULL, NULL, NULL,
                                   NULL, NULL, NULL),
                  ERROR_SUCCESS);
        EXPECT_EQ(subKeys, c.merged.size());
    }
}

// A snapshot keeps showing the tree as it was while another process deletes part of it, and
// refuses writes; once it ends, calls see the store as it is.
TEST_F(RegistryTest, ASnapshotReadsOneStateWhileAnotherProcessChangesTheStore) {
    MakeKey(HKEY_CURRENT_USER, u"Software\\Snap\\K1");
    MakeKey(HKEY_CURRENT_USER, u"Software\\Snap\\K2");
    TestKey key, child;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Snap", KEY_ALL_ACCESS, key), ERROR_SUCCESS);
    {
        hostwin::RegistrySnapshot snapshot;
        ASSERT_EQ(snapshot.Status(), ERROR_SUCCESS);
        EXPECT_EQ(Enumerate(key.Get()), (Names{u"K1", u"K2"}));
        ASSERT_EQ(testing_support::RunProgram({REG_EXE, "delete", "HKCU\\Software\\Snap\\K1", "/f"})
                      .exitStatus,
                  0);
        EXPECT_EQ(Enumerate(key.Get()), (Names{u"K1", u"K2"}));
        EXPECT_EQ(Open(key.Get(), u"K1", KEY_READ, child), ERROR_SUCCESS);
        EXPECT_EQ(Data(child.Get(), u"v"), Sz(u"x"));
        EXPECT_EQ(SetText(key.Get(), u"w", u"y"), ERROR_ACCESS_DENIED);
        EXPECT_EQ(Create(key.Get(), u"K3", child), ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(Enumerate(key.Get()), Names{u"K2"});
    EXPECT_EQ(SetText(key.Get(), u"w", u"y"), ERROR_SUCCESS);
}

// A batch applies the changes of all its calls at once on Commit(), and none without it; a
// call that fails inside it leaves the others in.
TEST_F(RegistryTest, ABatchAppliesAllItsCallsOnCommitAndNoneWithout) {
    MakeKey(HKEY_CURRENT_USER, u"Software\\Locked");
    ASSERT_TRUE(hostwin::MarkKeyReadOnly(HKEY_CURRENT_USER, u"Software\\Locked"));
    for (bool commit : {false, true}) {
        SCOPED_TRACE(commit ? "committed" : "dropped");
        {
            hostwin::RegistryBatch batch;
            ASSERT_EQ(batch.Status(), ERROR_SUCCESS);
            TestKey key;
            ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Batch\\A", key), ERROR_SUCCESS);
            ASSERT_EQ(SetText(key.Get(), u"v", u"x"), ERROR_SUCCESS);
            EXPECT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Locked\\New", key),
                      ERROR_ACCESS_DENIED);
            ASSERT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Locked"), ERROR_ACCESS_DENIED);
            EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Batch\\A", KEY_READ, key), ERROR_SUCCESS);
            if (commit) {
                EXPECT_EQ(batch.Commit(), ERROR_SUCCESS);
            }
        }
        TestKey key;
        EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Batch\\A", KEY_READ, key),
                  commit ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
        if (commit) {
            EXPECT_EQ(Data(key.Get(), u"v"), Sz(u"x"));
        }
    }
}

TEST_F(RegistryTest, HandlesAllowOnlyWhatTheyWereOpenedFor) {
    MakeKey(HKEY_CURRENT_USER, u"Software\\Rights");
    // The calls, in an order that leaves the value in place: query, delete and set the value,
    // enumerate sub-keys. `allowed` names those the access lets through.
    const char* const calls = "qdse";
    const std::pair<REGSAM, const char*> cases[] = {
        {KEY_READ, "qe"}, {KEY_WRITE, "ds"}, {KEY_QUERY_VALUE, "q"}, {KEY_ENUMERATE_SUB_KEYS, "e"}};
    for (const auto& [access, allowed] : cases) {
        SCOPED_TRACE(allowed);
        TestKey key;
        ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Rights", access, key), ERROR_SUCCESS);
        BYTE data[16];
        WCHAR name[16];
        DWORD size = sizeof data, count = 16;
        const LONG results[] = {RegQueryValueExW(key.Get(), u"v", NULL, NULL, data, &size),
                                RegDeleteValueW(key.Get(), u"v"), SetText(key.Get(), u"v", u"x"),
                                RegEnumKeyExW(key.Get(), 0, name, &count, NULL, NULL, NULL, NULL)};
        for (int i = 0; i < 4; ++i) {
            LONG granted = calls[i] == 'e' ? ERROR_NO_MORE_ITEMS : ERROR_SUCCESS;
            EXPECT_EQ(results[i], std::strchr(allowed, calls[i]) ? granted : ERROR_ACCESS_DENIED)
                << calls[i];
        }
    }
}

// A key marked read-only, and the whole machine hive for a standard user, refuse every write
// and stay readable.
TEST_F(RegistryTest, ReadOnlyKeysAndTheMachineHiveOfAStandardUserRefuseWrites) {
    MakeKey(HKEY_LOCAL_MACHINE, u"Software\\Locked");
    MakeKey(HKEY_LOCAL_MACHINE, u"Software\\Locked\\Child");
    for (bool standardUser : {true, false}) {
        SCOPED_TRACE(standardUser ? "standard user" : "read-only key");
        std::optional<StandardUser> user;
        if (standardUser)
            user.emplace();
        else
            ASSERT_TRUE(hostwin::MarkKeyReadOnly(HKEY_LOCAL_MACHINE, u"Software\\Locked"));
        TestKey key;
        EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"Software\\Locked", KEY_WRITE, key),
                  ERROR_ACCESS_DENIED);
        EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, u"Software\\Locked", key), ERROR_ACCESS_DENIED);
        EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, u"Software\\Locked\\New", key), ERROR_ACCESS_DENIED);
        EXPECT_EQ(SetText(HKEY_LOCAL_MACHINE, u"v", u"x"),
                  standardUser ? ERROR_ACCESS_DENIED : ERROR_SUCCESS);
        // The mark is on the key, not on its child.
        EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Locked\\Child"),
                  standardUser ? ERROR_ACCESS_DENIED : ERROR_SUCCESS);
        EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Locked"), ERROR_ACCESS_DENIED);
        // A handle that asks for as much as it may get gets read rights only.
        ASSERT_EQ(
            Open(HKEY_LOCAL_MACHINE, u"Software\\Locked", 0x02000000 /* MAXIMUM_ALLOWED */, key),
            ERROR_SUCCESS);
        EXPECT_EQ(Data(key.Get(), u"v"), Sz(u"x"));
        EXPECT_EQ(SetText(key.Get(), u"v", u"y"), ERROR_ACCESS_DENIED);
    }
}

TEST_F(RegistryTest, DeletionRemovesLeavesOnlyAndInvalidatesOpenHandles) {
    TestKey parent, child, other;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Del", parent, KEY_ALL_ACCESS), ERROR_SUCCESS);
    ASSERT_EQ(Create(parent.Get(), u"Child", child, KEY_ALL_ACCESS), ERROR_SUCCESS);
    ASSERT_EQ(SetText(child.Get(), u"v", u"x"), ERROR_SUCCESS);

    // Only leaves are deleted, never a hive root.
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Del"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(parent.Get(), nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u""), ERROR_ACCESS_DENIED);
    // One view on the host: either view flag deletes; both at once, or a reserved value, do not.
    EXPECT_EQ(RegDeleteKeyExW(parent.Get(), u"Child", KEY_WOW64_32KEY | KEY_WOW64_64KEY, 0),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyExW(parent.Get(), u"Child", KEY_WOW64_32KEY, 1), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(RegDeleteKeyExW(parent.Get(), u"CHILD", KEY_WOW64_32KEY, 0), ERROR_SUCCESS);

    BYTE data[8];
    DWORD size = sizeof data;
    EXPECT_EQ(RegQueryValueExW(child.Get(), u"v", NULL, NULL, data, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(Create(child.Get(), u"Again", other), ERROR_KEY_DELETED);
    // Re-creating the name makes a new key; the old handle stays dead.
    ASSERT_EQ(Create(parent.Get(), u"Child", other), ERROR_SUCCESS);
    EXPECT_EQ(SetText(child.Get(), u"v", u"y"), ERROR_KEY_DELETED);
    EXPECT_FALSE(Data(other.Get(), u"v"));
}

TEST_F(RegistryTest, ClassesRootMergesTheUserAndMachineClasses) {
    TestKey key, user, machine, child;
    // A new classes key belongs to the machine.
    ASSERT_EQ(Create(HKEY_CLASSES_ROOT, u"AppID\\New", key), ERROR_SUCCESS);
    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"Software\\Classes\\AppID\\New", KEY_READ, machine),
              ERROR_SUCCESS);
    EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Classes\\AppID", KEY_READ, user),
              ERROR_FILE_NOT_FOUND);

    // "Shared" exists in both; "MachineOnly" only in the machine's classes.
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Classes\\Shared", user), ERROR_SUCCESS);
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"Software\\Classes\\Shared", machine), ERROR_SUCCESS);
    ASSERT_EQ(SetText(user.Get(), u"v", u"user"), ERROR_SUCCESS);
    ASSERT_EQ(SetText(machine.Get(), u"v", u"machine"), ERROR_SUCCESS);
    ASSERT_EQ(Create(user.Get(), u"U", child), ERROR_SUCCESS);
    ASSERT_EQ(Create(machine.Get(), u"M", child), ERROR_SUCCESS);
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"Software\\Classes\\MachineOnly", child), ERROR_SUCCESS);

    // Values come from the user's part, sub-keys from both; writes go to the user's part.
    ASSERT_EQ(Open(HKEY_CLASSES_ROOT, u"shared", KEY_ALL_ACCESS, key), ERROR_SUCCESS);
    EXPECT_EQ(Data(key.Get(), u"v"), Sz(u"user"));
    EXPECT_EQ(Enumerate(key.Get()), (Names{u"M", u"U"}));
    ASSERT_EQ(SetText(key.Get(), u"written", u"here"), ERROR_SUCCESS);
    ASSERT_EQ(Create(key.Get(), u"New", child), ERROR_SUCCESS);
    EXPECT_EQ(Data(user.Get(), u"written"), Sz(u"here"));
    EXPECT_EQ(Enumerate(user.Get()), (Names{u"New", u"U"}));

    // A standard user writes only where the user's classes have the key.
    StandardUser standardUser;
    EXPECT_EQ(Open(HKEY_CLASSES_ROOT, u"MachineOnly", KEY_WRITE, child), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open(HKEY_CLASSES_ROOT, u"Shared", KEY_WRITE, child), ERROR_SUCCESS);
    EXPECT_EQ(Create(HKEY_CLASSES_ROOT, u"Brand New", child), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, OnlyKeyHandlesAreKeys) {
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS); // predefined: stays usable
    // Neither a made-up value nor an event handle is a key, and a key handle is no kernel object.
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
    for (HKEY bogus : {reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x4444)), HKEY(event)}) {
        EXPECT_EQ(RegCloseKey(bogus), ERROR_INVALID_HANDLE);
        EXPECT_EQ(SetText(bogus, u"v", u"x"), ERROR_INVALID_HANDLE);
    }
    EXPECT_TRUE(CloseHandle(event));
    TestKey key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Kinds", key), ERROR_SUCCESS);
    EXPECT_FALSE(CloseHandle(key.Get())); // the key's own close still succeeds at the end
}

TEST_F(RegistryTest, ThreadsWritingAtOnceLoseNothing) {
    constexpr int kThreads = 4, kValues = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            TestKey key;
            ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Threads", key), ERROR_SUCCESS);
            for (int i = 0; i < kValues; ++i) {
                std::u16string name = hostwin::FromUtf8(std::to_string(t * kValues + i));
                ASSERT_EQ(SetText(key.Get(), name.c_str(), name), ERROR_SUCCESS);
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    TestKey key;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Threads", KEY_READ, key), ERROR_SUCCESS);
    EXPECT_EQ(Enumerate(key.Get(), true).size(), static_cast<size_t>(kThreads * kValues));
}

} // namespace
