// The registry functions: names, values as raw bytes, enumeration, access rights, deletion,
// the merged classes view and the store's failure modes.
#include "machine.h"
#include "registry_values.h"

#include <windows.h>

#include <cstdlib>
#include <optional>
#include <thread>

using testing_support::MachineTest;
using testing_support::ReadStoredValue;
using testing_support::StoredValue;
using testing_support::TestKey;
using testing_support::Utf16Bytes;

namespace {

// Sets an environment variable for one test and restores it afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name))
            m_old = old;
        setenv(name, value, 1);
    }
    ~ScopedEnv() {
        if (m_old)
            setenv(m_name, m_old->c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

LONG Create(HKEY parent, const char16_t* path, TestKey& key, REGSAM access = KEY_READ | KEY_WRITE,
            DWORD* disposition = nullptr) {
    return RegCreateKeyExW(parent, path, 0, NULL, REG_OPTION_NON_VOLATILE, access, NULL, key.Out(),
                           disposition);
}

LONG Open(HKEY parent, const char16_t* path, REGSAM access, TestKey& key) {
    return RegOpenKeyExW(parent, path, 0, access, key.Out());
}

LONG SetBytes(HKEY key, const char16_t* name, DWORD type, const std::vector<BYTE>& data) {
    return RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
}

LONG SetText(HKEY key, const char16_t* name, const std::u16string& text) {
    return SetBytes(key, name, REG_SZ, Utf16Bytes(text + u'\0'));
}

std::u16string Text(const StoredValue& value) {
    std::u16string text;
    for (size_t i = 0; i + 1 < value.data.size(); i += 2)
        text += static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
    if (!text.empty() && text.back() == u'\0')
        text.pop_back();
    return text;
}

std::vector<std::u16string> SubKeys(HKEY key) {
    std::vector<std::u16string> names;
    WCHAR name[256];
    for (DWORD index = 0;; ++index) {
        DWORD count = 256;
        LONG rc = RegEnumKeyExW(key, index, name, &count, NULL, NULL, NULL, NULL);
        if (rc != ERROR_SUCCESS) {
            EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
            return names;
        }
        names.emplace_back(name, count);
    }
}

std::vector<std::u16string> ValueNames(HKEY key) {
    std::vector<std::u16string> names;
    WCHAR name[256];
    for (DWORD index = 0;; ++index) {
        DWORD count = 256;
        LONG rc = RegEnumValueW(key, index, name, &count, NULL, NULL, NULL, NULL);
        if (rc != ERROR_SUCCESS) {
            EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
            return names;
        }
        names.emplace_back(name, count);
    }
}

class RegistryTest : public MachineTest {};

TEST_F(RegistryTest, NamesCompareWithoutCaseAndKeepTheirFirstSpelling) {
    TestKey key;
    DWORD disposition = 0;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"Software\\Tollivar\\Deep\\", key, KEY_ALL_ACCESS,
                     &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(SetText(key.Get(), u"Mixed", u"1"), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key.Get(), u"MIXED", u"2"), ERROR_SUCCESS);

    TestKey again;
    ASSERT_EQ(
        Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\TOLLIVAR\\deep", again, KEY_READ, &disposition),
        ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(ValueNames(again.Get()), std::vector<std::u16string>{u"Mixed"});
    std::optional<StoredValue> value = ReadStoredValue(again.Get(), u"mixed");
    ASSERT_TRUE(value);
    EXPECT_EQ(Text(*value), u"2");

    TestKey parent;
    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"software\\tollivar", KEY_READ, parent), ERROR_SUCCESS);
    EXPECT_EQ(SubKeys(parent.Get()), std::vector<std::u16string>{u"Deep"});
}

TEST_F(RegistryTest, BadKeyPathsAreRefused) {
    TestKey key;
    const std::u16string longName(256, u'x');
    struct Case {
        std::u16string path;
        LONG create;
        LONG open;
    } cases[] = {
        {u"\\Leading", ERROR_BAD_PATHNAME, ERROR_FILE_NOT_FOUND},
        {u"a\\\\b", ERROR_BAD_PATHNAME, ERROR_FILE_NOT_FOUND},
        {longName, ERROR_INVALID_PARAMETER, ERROR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hostwin::ToUtf8(c.path));
        EXPECT_EQ(Create(HKEY_CURRENT_USER, c.path.c_str(), key), c.create);
        EXPECT_EQ(key.Get(), HKEY(NULL));
        EXPECT_EQ(Open(HKEY_CURRENT_USER, c.path.c_str(), KEY_READ, key), c.open);
    }
    EXPECT_EQ(Create(HKEY_CURRENT_USER, std::u16string(255, u'x').c_str(), key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ValuesKeepTheirTypeAndExactBytes) {
    struct Case {
        const char16_t* name;
        DWORD type;
        std::vector<BYTE> data;
    } cases[] = {
        {u"", REG_SZ, Utf16Bytes(std::u16string(u"default", 8))},
        {u"three", REG_SZ, Utf16Bytes(std::u16string(u"abc", 4))},
        {u"unterminated", REG_SZ, Utf16Bytes(u"abc")},
        {u"empty", REG_SZ, {}},
        {u"expand", REG_EXPAND_SZ, Utf16Bytes(std::u16string(u"%SystemRoot%", 13))},
        {u"multi", REG_MULTI_SZ, Utf16Bytes(std::u16string(u"a\0bc\0\0", 6))},
        {u"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
        {u"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {u"binary", REG_BINARY, {0x00, 0xFF, 0x00, 0x10}},
        {u"none", REG_NONE, {}},
        {u"custom", 0x1234, {9}},
    };
    {
        TestKey key;
        ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Values", key), ERROR_SUCCESS);
        for (const Case& c : cases)
            ASSERT_EQ(SetBytes(key.Get(), c.name, c.type, c.data), ERROR_SUCCESS);
    }
    TestKey key;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Values", KEY_READ, key), ERROR_SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(hostwin::ToUtf8(c.name));
        std::optional<StoredValue> value = ReadStoredValue(key.Get(), c.name);
        ASSERT_TRUE(value);
        EXPECT_EQ(value->type, c.type);
        EXPECT_EQ(value->data, c.data);
    }
    std::optional<StoredValue> viaNull =
        ReadStoredValue(key.Get(), nullptr); // null names the default value
    ASSERT_TRUE(viaNull);
    EXPECT_EQ(Text(*viaNull), u"default");
}

TEST_F(RegistryTest, QueryFollowsTheSizeProtocol) {
    TestKey key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Sizes", key), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key.Get(), u"v", u"abc"), ERROR_SUCCESS); // 8 bytes
    struct Case {
        const char* what;
        bool withBuffer;
        DWORD capacity;
        LONG result;
        DWORD size;
        bool filled;
    } cases[] = {
        {"size only", false, 0, ERROR_SUCCESS, 8, false},
        {"too small", true, 7, ERROR_MORE_DATA, 8, false},
        {"empty buffer", true, 0, ERROR_MORE_DATA, 8, false},
        {"exact", true, 8, ERROR_SUCCESS, 8, true},
        {"larger", true, 64, ERROR_SUCCESS, 8, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<BYTE> buffer(64, 0xCC);
        DWORD size = c.capacity, type = 0;
        EXPECT_EQ(RegQueryValueExW(key.Get(), u"v", NULL, &type,
                                   c.withBuffer ? buffer.data() : NULL, &size),
                  c.result);
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(buffer[0], c.filled ? 'a' : 0xCC);
        EXPECT_EQ(buffer[8], 0xCC); // never past the data
    }
    BYTE buffer[8];
    DWORD reserved = 0, size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExW(key.Get(), u"missing", NULL, NULL, buffer, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(key.Get(), u"v", NULL, NULL, buffer, NULL), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(key.Get(), u"v", &reserved, NULL, buffer, &size),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key.Get(), u"x", 0, REG_BINARY, NULL, 4), ERROR_NOACCESS);
}

TEST_F(RegistryTest, EnumerationSortsKeysAndKeepsValueOrder) {
    TestKey key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Enum", key, KEY_ALL_ACCESS), ERROR_SUCCESS);
    for (const char16_t* name : {u"b", u"A", u"c"}) {
        TestKey child;
        ASSERT_EQ(Create(key.Get(), name, child), ERROR_SUCCESS);
    }
    for (const char16_t* name : {u"zeta", u"alpha", u"mid"})
        ASSERT_EQ(SetText(key.Get(), name, u"x"), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key.Get(), u"ALPHA", u"longer text"), ERROR_SUCCESS); // keeps its place

    EXPECT_EQ(SubKeys(key.Get()), (std::vector<std::u16string>{u"A", u"b", u"c"}));
    EXPECT_EQ(ValueNames(key.Get()), (std::vector<std::u16string>{u"zeta", u"alpha", u"mid"}));

    WCHAR name[4];
    DWORD count = 1; // no room for "A" and its NUL
    EXPECT_EQ(RegEnumKeyExW(key.Get(), 0, name, &count, NULL, NULL, NULL, NULL), ERROR_MORE_DATA);
    count = 4;
    EXPECT_EQ(RegEnumValueW(key.Get(), 0, name, &count, NULL, NULL, NULL, NULL), ERROR_MORE_DATA);
    count = 4;
    EXPECT_EQ(RegEnumKeyExW(key.Get(), 3, name, &count, NULL, NULL, NULL, NULL),
              ERROR_NO_MORE_ITEMS);

    BYTE data[4];
    DWORD size = sizeof data, type = 0;
    count = 8;
    WCHAR valueName[8];
    EXPECT_EQ(RegEnumValueW(key.Get(), 1, valueName, &count, NULL, &type, data, &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 24u); // "longer text" and its NUL

    DWORD subKeys = 0, maxSubKey = 0, values = 0, maxValueName = 0, maxValue = 0;
    ASSERT_EQ(RegQueryInfoKeyW(key.Get(), NULL, NULL, NULL, &subKeys, &maxSubKey, NULL, &values,
                               &maxValueName, &maxValue, NULL, NULL),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 3u);
    EXPECT_EQ(maxSubKey, 1u);
    EXPECT_EQ(values, 3u);
    EXPECT_EQ(maxValueName, 5u);
    EXPECT_EQ(maxValue, 24u);
}

TEST_F(RegistryTest, HandlesAllowOnlyWhatTheyWereOpenedFor) {
    {
        TestKey setup;
        ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Rights\\Child", setup), ERROR_SUCCESS);
        ASSERT_EQ(SetText(setup.Get(), u"v", u"x"), ERROR_SUCCESS);
    }
    BYTE data[16];
    WCHAR name[16];
    auto query = [&](HKEY key) {
        DWORD size = sizeof data;
        return RegQueryValueExW(key, u"v", NULL, NULL, data, &size);
    };
    auto set = [&](HKEY key) { return SetText(key, u"v", u"y"); };
    auto remove = [&](HKEY key) { return RegDeleteValueW(key, u"v"); };
    auto enumerate = [&](HKEY key) {
        DWORD count = 16;
        return RegEnumKeyExW(key, 0, name, &count, NULL, NULL, NULL, NULL);
    };
    auto info = [&](HKEY key) {
        DWORD subKeys = 0;
        return RegQueryInfoKeyW(key, NULL, NULL, NULL, &subKeys, NULL, NULL, NULL, NULL, NULL, NULL,
                                NULL);
    };
    struct Case {
        const char* what;
        REGSAM access;
        LONG query, set, remove, enumerate, info;
    } cases[] = {
        {"KEY_READ", KEY_READ, 0, 5, 5, 0, 0},
        {"KEY_WRITE", KEY_WRITE, 5, 0, 0, 5, 5},
        {"query only", KEY_QUERY_VALUE, 0, 5, 5, 5, 0},
        {"enumerate only", KEY_ENUMERATE_SUB_KEYS, 5, 5, 5, 0, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestKey key;
        ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Rights\\Child", c.access, key),
                  ERROR_SUCCESS);
        EXPECT_EQ(query(key.Get()), c.query);
        EXPECT_EQ(set(key.Get()), c.set);
        EXPECT_EQ(enumerate(key.Get()), c.enumerate == 0 ? ERROR_NO_MORE_ITEMS : c.enumerate);
        EXPECT_EQ(info(key.Get()), c.info);
        EXPECT_EQ(remove(key.Get()), c.remove);
        if (c.remove == 0) {
            ASSERT_EQ(SetText(key.Get(), u"v", u"x"), ERROR_SUCCESS);
        }
    }
}

TEST_F(RegistryTest, ReadOnlyKeysRefuseEveryWrite) {
    {
        TestKey setup;
        ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"Software\\Locked\\Child", setup), ERROR_SUCCESS);
    }
    ASSERT_TRUE(hostwin::MarkKeyReadOnly(HKEY_LOCAL_MACHINE, u"Software\\Locked"));
    EXPECT_FALSE(hostwin::MarkKeyReadOnly(HKEY_LOCAL_MACHINE, u"Software\\Missing"));

    TestKey key;
    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"Software\\Locked", KEY_WRITE, key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"Software\\Locked", KEY_SET_VALUE, key),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, u"Software\\Locked", key, KEY_READ | KEY_WRITE),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, u"Software\\Locked\\New", key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Locked\\Child"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Locked"), ERROR_ACCESS_DENIED);

    // Reading stays possible, and a handle that asks for as much as it may get gets read rights.
    EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, u"Software\\Locked", key, KEY_READ), ERROR_SUCCESS);
    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"Software\\Locked", 0x02000000 /* MAXIMUM_ALLOWED */, key),
              ERROR_SUCCESS);
    EXPECT_EQ(SetText(key.Get(), u"v", u"x"), ERROR_ACCESS_DENIED);

    ASSERT_TRUE(hostwin::MarkKeyReadOnly(HKEY_LOCAL_MACHINE, u"Software\\Locked", false));
    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"Software\\Locked", KEY_WRITE, key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, StandardUserCannotWriteTheMachineHive) {
    {
        TestKey setup;
        ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"Software\\Vendor", setup), ERROR_SUCCESS);
        ASSERT_EQ(SetText(setup.Get(), u"v", u"x"), ERROR_SUCCESS);
    }
    ScopedEnv user("HOSTWIN_ELEVATED", "0");
    TestKey key;
    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"Software\\Vendor", KEY_WRITE, key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, u"Software\\Vendor\\New", key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetText(HKEY_LOCAL_MACHINE, u"v", u"x"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Vendor"), ERROR_ACCESS_DENIED);

    ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"Software\\Vendor", KEY_READ, key), ERROR_SUCCESS);
    std::optional<StoredValue> value = ReadStoredValue(key.Get(), u"v");
    ASSERT_TRUE(value);
    EXPECT_EQ(Text(*value), u"x");

    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Mine", key), ERROR_SUCCESS);
    EXPECT_EQ(SetText(key.Get(), u"v", u"x"), ERROR_SUCCESS);
}

TEST_F(RegistryTest, DeletionRemovesLeavesOnlyAndInvalidatesOpenHandles) {
    TestKey parent, child;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Del", parent, KEY_ALL_ACCESS), ERROR_SUCCESS);
    ASSERT_EQ(Create(parent.Get(), u"Child", child, KEY_ALL_ACCESS), ERROR_SUCCESS);
    ASSERT_EQ(SetText(child.Get(), u"v", u"x"), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Del"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(parent.Get(), u"Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(parent.Get(), nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u""), ERROR_ACCESS_DENIED); // never a hive root
    ASSERT_EQ(RegDeleteKeyW(parent.Get(), u"CHILD"), ERROR_SUCCESS);

    BYTE data[8];
    DWORD size = sizeof data;
    WCHAR name[8];
    DWORD count = 8;
    TestKey grandChild;
    EXPECT_EQ(RegQueryValueExW(child.Get(), u"v", NULL, NULL, data, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(SetText(child.Get(), u"v", u"y"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumKeyExW(child.Get(), 0, name, &count, NULL, NULL, NULL, NULL),
              ERROR_KEY_DELETED);
    EXPECT_EQ(Create(child.Get(), u"Again", grandChild), ERROR_KEY_DELETED);

    // Re-creating the name makes a new key; the old handle stays dead.
    TestKey fresh;
    ASSERT_EQ(Create(parent.Get(), u"Child", fresh), ERROR_SUCCESS);
    EXPECT_EQ(SetText(child.Get(), u"v", u"y"), ERROR_KEY_DELETED);
    EXPECT_FALSE(ReadStoredValue(fresh.Get(), u"v"));

    // The deleted key's own handle deletes nothing more.
    EXPECT_EQ(RegDeleteKeyW(child.Get(), u""), ERROR_KEY_DELETED);
}

TEST_F(RegistryTest, DeleteKeyExTakesEitherViewFlag) {
    for (const char16_t* name : {u"a", u"b", u"c", u"d", u"e"}) {
        TestKey key;
        ASSERT_EQ(
            Create(HKEY_CURRENT_USER, (std::u16string(u"Software\\View\\") + name).c_str(), key),
            ERROR_SUCCESS);
    }
    TestKey parent;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\View", KEY_READ, parent), ERROR_SUCCESS);
    struct Case {
        const char16_t* name;
        REGSAM view;
        DWORD reserved;
        LONG result;
    } cases[] = {
        {u"a", KEY_WOW64_32KEY, 0, ERROR_SUCCESS},
        {u"b", KEY_WOW64_64KEY, 0, ERROR_SUCCESS},
        {u"c", 0, 0, ERROR_SUCCESS},
        {u"d", KEY_WOW64_32KEY | KEY_WOW64_64KEY, 0, ERROR_INVALID_PARAMETER},
        {u"e", KEY_WOW64_32KEY, 1, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hostwin::ToUtf8(c.name));
        EXPECT_EQ(RegDeleteKeyExW(parent.Get(), c.name, c.view, c.reserved), c.result);
    }
    EXPECT_EQ(SubKeys(parent.Get()), (std::vector<std::u16string>{u"d", u"e"}));
}

TEST_F(RegistryTest, ClassesRootMergesTheUserAndMachineClasses) {
    const std::u16string appId = u"AppID\\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}";
    {
        TestKey created;
        ASSERT_EQ(Create(HKEY_CLASSES_ROOT, appId.c_str(), created), ERROR_SUCCESS);
        ASSERT_EQ(SetText(created.Get(), u"LocalService", u"pellardservice"), ERROR_SUCCESS);
    }
    {
        TestKey machine, user;
        EXPECT_EQ(
            Open(HKEY_LOCAL_MACHINE, (u"Software\\Classes\\" + appId).c_str(), KEY_READ, machine),
            ERROR_SUCCESS);
        EXPECT_EQ(Open(HKEY_CURRENT_USER, (u"Software\\Classes\\" + appId).c_str(), KEY_READ, user),
                  ERROR_FILE_NOT_FOUND);
    }

    // "Shared" exists in both; "MachineOnly" only in the machine's classes.
    {
        TestKey user, machine, userChild, machineChild, machineOnly;
        ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Classes\\Shared", user), ERROR_SUCCESS);
        ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"Software\\Classes\\Shared", machine), ERROR_SUCCESS);
        ASSERT_EQ(SetText(user.Get(), u"v", u"user"), ERROR_SUCCESS);
        ASSERT_EQ(SetText(machine.Get(), u"v", u"machine"), ERROR_SUCCESS);
        ASSERT_EQ(Create(user.Get(), u"U", userChild), ERROR_SUCCESS);
        ASSERT_EQ(Create(machine.Get(), u"M", machineChild), ERROR_SUCCESS);
        ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"Software\\Classes\\MachineOnly", machineOnly),
                  ERROR_SUCCESS);
    }
    TestKey shared;
    ASSERT_EQ(Open(HKEY_CLASSES_ROOT, u"shared", KEY_ALL_ACCESS, shared), ERROR_SUCCESS);
    std::optional<StoredValue> value = ReadStoredValue(shared.Get(), u"v");
    ASSERT_TRUE(value);
    EXPECT_EQ(Text(*value), u"user");
    EXPECT_EQ(SubKeys(shared.Get()), (std::vector<std::u16string>{u"M", u"U"}));

    ASSERT_EQ(SetText(shared.Get(), u"written", u"here"), ERROR_SUCCESS);
    {
        TestKey newChild;
        ASSERT_EQ(Create(shared.Get(), u"New", newChild), ERROR_SUCCESS);
    }
    TestKey user;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Classes\\Shared", KEY_READ, user), ERROR_SUCCESS);
    EXPECT_TRUE(ReadStoredValue(user.Get(), u"written"));
    EXPECT_EQ(SubKeys(user.Get()), (std::vector<std::u16string>{u"New", u"U"}));

    ScopedEnv standardUser("HOSTWIN_ELEVATED", "0");
    TestKey key;
    EXPECT_EQ(Open(HKEY_CLASSES_ROOT, u"MachineOnly", KEY_WRITE, key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open(HKEY_CLASSES_ROOT, u"Shared", KEY_WRITE, key), ERROR_SUCCESS);
    EXPECT_EQ(Create(HKEY_CLASSES_ROOT, u"Brand New", key), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, PredefinedAndForeignHandles) {
    for (HKEY empty : {HKEY_PERFORMANCE_DATA, HKEY_DYN_DATA}) {
        TestKey key;
        EXPECT_EQ(Open(empty, u"Anything", KEY_READ, key), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(Create(empty, u"Anything", key), ERROR_ACCESS_DENIED);
        DWORD subKeys = 7, values = 7;
        EXPECT_EQ(RegQueryInfoKeyW(empty, NULL, NULL, NULL, &subKeys, NULL, NULL, &values, NULL,
                                   NULL, NULL, NULL),
                  ERROR_SUCCESS);
        EXPECT_EQ(subKeys + values, 0u);
    }
    HKEY same = NULL;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, NULL, 0, KEY_READ, &same), ERROR_SUCCESS);
    EXPECT_EQ(same, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);

    HKEY bogus = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x4444));
    BYTE data[4];
    DWORD size = sizeof data;
    EXPECT_EQ(RegCloseKey(bogus), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExW(bogus, u"v", NULL, NULL, data, &size), ERROR_INVALID_HANDLE);

    // An event handle is no key, and a key handle is no kernel object.
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, NULL);
    ASSERT_NE(event, HANDLE(NULL));
    EXPECT_EQ(RegCloseKey(static_cast<HKEY>(event)), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(event));
    TestKey key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Kinds", key), ERROR_SUCCESS);
    EXPECT_FALSE(CloseHandle(key.Get())); // the key's own close still succeeds at the end
}

TEST_F(RegistryTest, ThreadsWritingAtOnceLoseNothing) {
    constexpr int kThreads = 4, kValues = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            TestKey key;
            ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Threads", key), ERROR_SUCCESS);
            for (int i = 0; i < kValues; ++i) {
                std::u16string name = hostwin::FromUtf8(std::to_string(t * kValues + i));
                ASSERT_EQ(SetText(key.Get(), name.c_str(), name), ERROR_SUCCESS);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    TestKey key;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Threads", KEY_READ, key), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(key.Get()).size(), static_cast<size_t>(kThreads * kValues));
}

TEST_F(RegistryTest, DamagedStoreFailsLoudlyAndIsLeftAsItIs) {
    const std::string path = hostwin::RegistryStorePath();
    EXPECT_EQ(path, RootPath("registry/registry.db"));
    const std::string garbage = "this is not a registry store, just bytes\n";
    testing_support::WriteFile(path, garbage);

    TestKey key;
    EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Software", KEY_READ, key), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(Create(HKEY_CURRENT_USER, u"Software\\After", key), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(SetText(HKEY_CURRENT_USER, u"v", u"x"), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(testing_support::ReadFile(path), garbage);
}

} // namespace
