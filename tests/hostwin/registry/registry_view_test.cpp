// The registry's key view and access policy: the rights a handle gets and may use, read-only
// keys and a standard user's machine hive, and the merged classes view.
#include "registry_keys.h"

#include <windows.h>

#include <cstring>

namespace {

using namespace registry_keys;

class RegistryViewTest : public testing_support::MachineTest {};

TEST_F(RegistryViewTest, HandlesAllowOnlyWhatTheyWereOpenedFor) {
    MakeKey(HKEY_CURRENT_USER, u"Software\\Rights");
    // The calls, in an order that leaves the value in place: query, delete and set the value,
    // enumerate sub-keys. `allowed` names those the access lets through.
    const char* const calls = "qdse";
    const std::pair<REGSAM, const char*> cases[] = {
        {KEY_READ, "qe"}, {KEY_WRITE, "ds"}, {KEY_QUERY_VALUE, "q"}, {KEY_ENUMERATE_SUB_KEYS, "e"}};
    for (const auto& [access, allowed] : cases) {
        SCOPED_TRACE(allowed);
        UniqueKey key;
        ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Rights", access, key), ERROR_SUCCESS);
        BYTE data[16];
        WCHAR name[16];
        DWORD size = sizeof data, count = 16;
        const LONG results[] = {RegQueryValueExW(key.get(), u"v", NULL, NULL, data, &size),
                                RegDeleteValueW(key.get(), u"v"), SetText(key.get(), u"v", u"x"),
                                RegEnumKeyExW(key.get(), 0, name, &count, NULL, NULL, NULL, NULL)};
        for (int i = 0; i < 4; ++i) {
            LONG granted = calls[i] == 'e' ? ERROR_NO_MORE_ITEMS : ERROR_SUCCESS;
            EXPECT_EQ(results[i], std::strchr(allowed, calls[i]) ? granted : ERROR_ACCESS_DENIED)
                << calls[i];
        }
    }
}

// A key marked read-only, and the whole machine hive for a standard user, refuse every write
// and stay readable.
TEST_F(RegistryViewTest, ReadOnlyKeysAndTheMachineHiveOfAStandardUserRefuseWrites) {
    MakeKey(HKEY_LOCAL_MACHINE, u"Software\\Locked");
    MakeKey(HKEY_LOCAL_MACHINE, u"Software\\Locked\\Child");
    for (bool standardUser : {true, false}) {
        SCOPED_TRACE(standardUser ? "standard user" : "read-only key");
        std::optional<StandardUser> user;
        if (standardUser)
            user.emplace();
        else
            ASSERT_TRUE(hostwin::MarkKeyReadOnly(HKEY_LOCAL_MACHINE, u"Software\\Locked"));
        UniqueKey key;
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
        EXPECT_EQ(Data(key.get(), u"v"), Sz(u"x"));
        EXPECT_EQ(SetText(key.get(), u"v", u"y"), ERROR_ACCESS_DENIED);
    }
}

TEST_F(RegistryViewTest, ClassesRootMergesTheUserAndMachineClasses) {
    UniqueKey key, user, machine, child;
    // A new classes key belongs to the machine.
    ASSERT_EQ(Create(HKEY_CLASSES_ROOT, u"AppID\\New", key), ERROR_SUCCESS);
    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"Software\\Classes\\AppID\\New", KEY_READ, machine),
              ERROR_SUCCESS);
    EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Classes\\AppID", KEY_READ, user),
              ERROR_FILE_NOT_FOUND);

    // "Shared" exists in both; "MachineOnly" only in the machine's classes.
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Classes\\Shared", user), ERROR_SUCCESS);
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"Software\\Classes\\Shared", machine), ERROR_SUCCESS);
    ASSERT_EQ(SetText(user.get(), u"v", u"user"), ERROR_SUCCESS);
    ASSERT_EQ(SetText(machine.get(), u"v", u"machine"), ERROR_SUCCESS);
    ASSERT_EQ(Create(user.get(), u"U", child), ERROR_SUCCESS);
    ASSERT_EQ(Create(machine.get(), u"M", child), ERROR_SUCCESS);
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"Software\\Classes\\MachineOnly", child), ERROR_SUCCESS);

    // Values come from the user's part, sub-keys from both; writes go to the user's part.
    ASSERT_EQ(Open(HKEY_CLASSES_ROOT, u"shared", KEY_ALL_ACCESS, key), ERROR_SUCCESS);
    EXPECT_EQ(Data(key.get(), u"v"), Sz(u"user"));
    EXPECT_EQ(Sorted(Enumerate(key.get())), (Names{u"M", u"U"}));
    ASSERT_EQ(SetText(key.get(), u"written", u"here"), ERROR_SUCCESS);
    ASSERT_EQ(Create(key.get(), u"New", child), ERROR_SUCCESS);
    EXPECT_EQ(Data(user.get(), u"written"), Sz(u"here"));
    EXPECT_EQ(Sorted(Enumerate(user.get())), (Names{u"New", u"U"}));

    // A standard user writes only where the user's classes have the key.
    StandardUser standardUser;
    EXPECT_EQ(Open(HKEY_CLASSES_ROOT, u"MachineOnly", KEY_WRITE, child), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open(HKEY_CLASSES_ROOT, u"Shared", KEY_WRITE, child), ERROR_SUCCESS);
    EXPECT_EQ(Create(HKEY_CLASSES_ROOT, u"Brand New", child), ERROR_ACCESS_DENIED);
}

} // namespace
