// The registry functions: names, values as raw bytes, enumeration, deletion, unsupported
// parameters and concurrent writers.
#include "machine.h"
#include "registry_keys.h"
#include "registry_values.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

using hostwin::EncodeUtf16Le;
using hostwin::UniqueKey;
using testing_support::MachineTest;
using testing_support::ReadStoredValue;

namespace {

using namespace registry_keys;

class RegistryTest : public MachineTest {};

TEST_F(RegistryTest, NamesCompareWithoutCaseKeepTheirFirstSpellingAndBadPathsAreRefused) {
    UniqueKey key, again;
    DWORD disposition = 0;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"Software\\Tollivar\\Deep\\", key, KEY_ALL_ACCESS,
                     &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(SetText(key.get(), u"Mixed", u"1"), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key.get(), u"MIXED", u"2"), ERROR_SUCCESS);
    ASSERT_EQ(
        Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\TOLLIVAR\\deep", again, KEY_READ, &disposition),
        ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(Enumerate(again.get(), true), Names{u"Mixed"});
    EXPECT_EQ(Data(again.get(), u"mixed"), Sz(u"2"));
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"software\\tollivar", KEY_READ, key), ERROR_SUCCESS);
    EXPECT_EQ(Enumerate(key.get()), Names{u"Deep"});

    const std::pair<std::u16string, LONG> badPaths[] = {
        {u"\\Leading", ERROR_BAD_PATHNAME},
        {u"a\\\\b", ERROR_BAD_PATHNAME},
        {std::u16string(256, u'x'), ERROR_INVALID_PARAMETER}};
    for (const auto& [path, created] : badPaths) {
        SCOPED_TRACE(hostwin::ToUtf8(path));
        EXPECT_EQ(Create(HKEY_CURRENT_USER, path, key), created);
        EXPECT_EQ(key.get(), HKEY(NULL));
        EXPECT_EQ(Open(HKEY_CURRENT_USER, path, KEY_READ, key), ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(Create(HKEY_CURRENT_USER, std::u16string(255, u'x'), key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ValuesKeepTypeAndBytesAndQueriesFollowTheSizeProtocol) {
    UniqueKey key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Values", key), ERROR_SUCCESS);
    // The default value (a null name reads it too), under a type of no known kind.
    const std::vector<BYTE> data = {0x00, 0xFF, 0x10};
    ASSERT_EQ(RegSetValueExW(key.get(), u"", 0, 0x1234, data.data(), 3), ERROR_SUCCESS);
    // Capacity 0 asks for the size only, without a buffer.
    const std::pair<DWORD, LONG> cases[] = {
        {0, ERROR_SUCCESS}, {2, ERROR_MORE_DATA}, {3, ERROR_SUCCESS}, {8, ERROR_SUCCESS}};
    for (const auto& [capacity, result] : cases) {
        SCOPED_TRACE(capacity);
        std::vector<BYTE> buffer(8, 0xCC);
        DWORD size = capacity, type = 0;
        EXPECT_EQ(RegQueryValueExW(key.get(), nullptr, NULL, &type, capacity ? buffer.data() : NULL,
                                   &size),
                  result);
        EXPECT_EQ(size, 3u);
        EXPECT_EQ(type, 0x1234u);
        buffer.resize(4); // the data and one byte more, never written
        const std::vector<BYTE> expected = {0x00, 0xFF, 0x10, 0xCC}, untouched(4, 0xCC);
        EXPECT_EQ(buffer, capacity && result == ERROR_SUCCESS ? expected : untouched);
    }
    BYTE buffer[8];
    EXPECT_EQ(RegQueryValueExW(key.get(), u"", NULL, NULL, buffer, NULL), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key.get(), u"x", 0, REG_BINARY, NULL, 4), ERROR_NOACCESS);
}

// Enumeration order is not promised: names are compared as sets.
TEST_F(RegistryTest, EnumerationListsEveryKeyAndValueOnce) {
    UniqueKey key, child;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Enum", key, KEY_ALL_ACCESS), ERROR_SUCCESS);
    for (const char16_t* name : {u"b", u"A", u"c"})
        ASSERT_EQ(Create(key.get(), name, child), ERROR_SUCCESS);
    for (const char16_t* name : {u"zeta", u"alpha", u"mid"})
        ASSERT_EQ(SetText(key.get(), name, u"x"), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key.get(), u"ALPHA", u"longer text"), ERROR_SUCCESS); // keeps its place
    EXPECT_EQ(Sorted(Enumerate(key.get())), (Names{u"A", u"b", u"c"}));
    EXPECT_EQ(Sorted(Enumerate(key.get(), true)), (Names{u"alpha", u"mid", u"zeta"}));

    WCHAR name[4];
    DWORD count = 1; // no room for any one-character name and its NUL
    EXPECT_EQ(RegEnumKeyExW(key.get(), 0, name, &count, NULL, NULL, NULL, NULL), ERROR_MORE_DATA);
    count = 3; // nor for any of the value names and its NUL
    EXPECT_EQ(RegEnumValueW(key.get(), 0, name, &count, NULL, NULL, NULL, NULL), ERROR_MORE_DATA);

    DWORD subKeys = 0, maxSubKey = 0, values = 0, maxValueName = 0, maxValue = 0;
    ASSERT_EQ(RegQueryInfoKeyW(key.get(), NULL, NULL, NULL, &subKeys, &maxSubKey, NULL, &values,
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
             UniqueKey child;
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
        UniqueKey key;
        ASSERT_EQ(Create(HKEY_CURRENT_USER, path, key, KEY_ALL_ACCESS), ERROR_SUCCESS);
        MakeKey(key.get(), u"A");
        MakeKey(key.get(), u"C");
        ASSERT_EQ(SetText(key.get(), u"v", u"x"), ERROR_SUCCESS);
        ASSERT_EQ(Sorted(Enumerate(key.get())), Sorted((Names{u"A", u"C"})));
        ASSERT_EQ(Sorted(Enumerate(key.get(), true)), Sorted(Names{u"v"}));
        c.change(key.get(), "HKCU\\" + hostwin::ToUtf8(path));
        EXPECT_EQ(Sorted(Enumerate(key.get())), Sorted(c.subKeys));
        EXPECT_EQ(Sorted(Enumerate(key.get(), true)), Sorted(c.values));
        DWORD subKeys = 0, values = 0, maxValue = 0;
        ASSERT_EQ(RegQueryInfoKeyW(key.get(), NULL, NULL, NULL, &subKeys, NULL, NULL, &values, NULL,
                                   &maxValue, NULL, NULL),
                  ERROR_SUCCESS);
        EXPECT_EQ(subKeys, c.subKeys.size());
        EXPECT_EQ(values, c.values.size());
        EXPECT_EQ(maxValue, c.maxValue);
    }
}

// The classes view lists the sub-keys of both sides once each, the user's spelling where both
// have a name, whichever side holds the first and the last name.
TEST_F(RegistryTest, ClassesSubKeysMergeFromBothSides) {
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
        UniqueKey key;
        ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Classes\\" + name, key), ERROR_SUCCESS);
        for (const std::u16string& child : c.user)
            MakeKey(key.get(), child);
        ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"Software\\Classes\\" + name, key), ERROR_SUCCESS);
        for (const std::u16string& child : c.machine)
            MakeKey(key.get(), child);
        ASSERT_EQ(Open(HKEY_CLASSES_ROOT, name, KEY_READ, key), ERROR_SUCCESS);
        EXPECT_EQ(Sorted(Enumerate(key.get())), Sorted(c.merged));
        DWORD subKeys = 0;
        ASSERT_EQ(RegQueryInfoKeyW(key.get(), NULL, NULL, NULL, &subKeys, NULL, NULL, NULL, NULL,
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
    UniqueKey key, child;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Snap", KEY_ALL_ACCESS, key), ERROR_SUCCESS);
    {
        hostwin::RegistrySnapshot snapshot;
        ASSERT_EQ(snapshot.Status(), ERROR_SUCCESS);
        EXPECT_EQ(Sorted(Enumerate(key.get())), Sorted((Names{u"K1", u"K2"})));
        ASSERT_EQ(testing_support::RunProgram({REG_EXE, "delete", "HKCU\\Software\\Snap\\K1", "/f"})
                      .exitStatus,
                  0);
        EXPECT_EQ(Sorted(Enumerate(key.get())), Sorted((Names{u"K1", u"K2"})));
        EXPECT_EQ(Open(key.get(), u"K1", KEY_READ, child), ERROR_SUCCESS);
        EXPECT_EQ(Data(child.get(), u"v"), Sz(u"x"));
        EXPECT_EQ(SetText(key.get(), u"w", u"y"), ERROR_ACCESS_DENIED);
        EXPECT_EQ(Create(key.get(), u"K3", child), ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(Sorted(Enumerate(key.get())), Sorted(Names{u"K2"}));
    EXPECT_EQ(SetText(key.get(), u"w", u"y"), ERROR_SUCCESS);
}

// A batch applies the changes of all its calls at once on Commit(), and none without it; a
// call that fails inside it leaves the others in. Lists enumerated inside a dropped batch are
// not shown again afterwards.
TEST_F(RegistryTest, ABatchAppliesAllItsCallsOnCommitAndNoneWithout) {
    MakeKey(HKEY_CURRENT_USER, u"Software\\Locked");
    ASSERT_TRUE(hostwin::MarkKeyReadOnly(HKEY_CURRENT_USER, u"Software\\Locked"));
    UniqueKey kept;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Kept", kept), ERROR_SUCCESS);
    for (bool commit : {false, true}) {
        SCOPED_TRACE(commit ? "committed" : "dropped");
        {
            hostwin::RegistryBatch batch;
            ASSERT_EQ(batch.Status(), ERROR_SUCCESS);
            UniqueKey key;
            ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Batch\\A", key), ERROR_SUCCESS);
            ASSERT_EQ(SetText(key.get(), u"v", u"x"), ERROR_SUCCESS);
            ASSERT_EQ(Create(kept.get(), u"Deep\\Er", key), ERROR_SUCCESS);
            ASSERT_EQ(SetText(kept.get(), u"w", u"y"), ERROR_SUCCESS);
            EXPECT_EQ(Enumerate(kept.get()), Names{u"Deep"});
            EXPECT_EQ(Enumerate(kept.get(), true), Names{u"w"});
            EXPECT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Locked\\New", key),
                      ERROR_ACCESS_DENIED);
            ASSERT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Locked"), ERROR_ACCESS_DENIED);
            EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Batch\\A", KEY_READ, key), ERROR_SUCCESS);
            if (commit) {
                EXPECT_EQ(batch.Commit(), ERROR_SUCCESS);
            }
        }
        EXPECT_EQ(Enumerate(kept.get()), commit ? Names{u"Deep"} : Names{});
        EXPECT_EQ(Enumerate(kept.get(), true), commit ? Names{u"w"} : Names{});
        UniqueKey key;
        EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Batch\\A", KEY_READ, key),
                  commit ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
        if (commit) {
            EXPECT_EQ(Data(key.get(), u"v"), Sz(u"x"));
        }
    }
}

TEST_F(RegistryTest, DeletionRemovesLeavesOnlyAndInvalidatesOpenHandles) {
    UniqueKey parent, child, other;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Del", parent, KEY_ALL_ACCESS), ERROR_SUCCESS);
    ASSERT_EQ(Create(parent.get(), u"Child", child, KEY_ALL_ACCESS), ERROR_SUCCESS);
    ASSERT_EQ(SetText(child.get(), u"v", u"x"), ERROR_SUCCESS);

    // Only leaves are deleted, never a hive root.
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Del"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(parent.get(), nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u""), ERROR_ACCESS_DENIED);
    // One view on the host: either view flag deletes; both at once, or a reserved value, do not.
    EXPECT_EQ(RegDeleteKeyExW(parent.get(), u"Child", KEY_WOW64_32KEY | KEY_WOW64_64KEY, 0),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyExW(parent.get(), u"Child", KEY_WOW64_32KEY, 1), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(RegDeleteKeyExW(parent.get(), u"CHILD", KEY_WOW64_32KEY, 0), ERROR_SUCCESS);

    BYTE data[8];
    DWORD size = sizeof data;
    EXPECT_EQ(RegQueryValueExW(child.get(), u"v", NULL, NULL, data, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(Create(child.get(), u"Again", other), ERROR_KEY_DELETED);
    // Re-creating the name makes a new key; the old handle stays dead.
    ASSERT_EQ(Create(parent.get(), u"Child", other), ERROR_SUCCESS);
    EXPECT_EQ(SetText(child.get(), u"v", u"y"), ERROR_KEY_DELETED);
    EXPECT_FALSE(Data(other.get(), u"v"));
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
    UniqueKey key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Kinds", key), ERROR_SUCCESS);
    EXPECT_FALSE(CloseHandle(key.get())); // the key's own close still succeeds at the end
}

TEST_F(RegistryTest, ThreadsWritingAtOnceLoseNothing) {
    constexpr int kThreads = 4, kValues = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            UniqueKey key;
            ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Threads", key), ERROR_SUCCESS);
            for (int i = 0; i < kValues; ++i) {
                std::u16string name = hostwin::FromUtf8(std::to_string(t * kValues + i));
                ASSERT_EQ(SetText(key.get(), name.c_str(), name), ERROR_SUCCESS);
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    UniqueKey key;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Threads", KEY_READ, key), ERROR_SUCCESS);
    EXPECT_EQ(Enumerate(key.get(), true).size(), static_cast<size_t>(kThreads * kValues));
}

} // namespace

namespace {

// Functions that return their error code answer an unsupported parameter with the code and
// leave the thread's last error alone.
TEST_F(RegistryTest, UnsupportedParametersAreAnsweredWithTheCodeAndKeepTheLastError) {
    MakeKey(HKEY_CURRENT_USER, u"Software\\Plain");
    UniqueKey key;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Plain", KEY_ALL_ACCESS, key), ERROR_SUCCESS);
    BYTE descriptor[64] = {}; // any descriptor at all is beyond this registry
    SECURITY_ATTRIBUTES withDescriptor = {sizeof withDescriptor, descriptor, FALSE};
    DWORD securitySize = 0;
    const std::pair<const char*, std::function<LONG()>> calls[] = {
        {"open with options",
         [&] {
             UniqueKey k;
             return RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 1, KEY_READ, k.put());
         }},
        {"open with an unknown right",
         [&] {
             UniqueKey k;
             return RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, 0x01000000, k.put());
         }},
        {"create volatile",
         [&] {
             UniqueKey k;
             return RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\V", 0, NULL, REG_OPTION_VOLATILE,
                                    KEY_READ, NULL, k.put(), NULL);
         }},
        {"create with a security descriptor",
         [&] {
             UniqueKey k;
             return RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\V", 0, NULL, 0, KEY_READ,
                                    &withDescriptor, k.put(), NULL);
         }},
        {"delete with rights besides the view",
         [&] { return RegDeleteKeyExW(key.get(), u"x", KEY_READ, 0); }},
        {"query the security descriptor size",
         [&] {
             return RegQueryInfoKeyW(key.get(), NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
                                     NULL, &securitySize, NULL);
         }},
    };
    for (const auto& [what, call] : calls) {
        SetLastError(0xBEEF);
        EXPECT_EQ(call(), ERROR_NOT_SUPPORTED) << what;
        EXPECT_EQ(GetLastError(), 0xBEEFu) << what;
    }
}

} // namespace
