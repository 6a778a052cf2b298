// CRegKey against the host registry: ownership of the held key, the string reading rules,
// the bytes each write stores, and deletion of single keys and whole trees.
#include "machine.h"
#include "registry_values.h"

#include "regkey.h"

#include <crtdbg.h>

#include <cstdlib>
#include <functional>
#include <sstream>

using hostwin::EncodeUtf16Le;
using hostwin::UniqueKey;
using testing_support::DebugReportTexts;
using testing_support::KeyExists;
using testing_support::MachineTest;
using testing_support::ReadStoredValue;

namespace {

using Stored = std::pair<DWORD, std::vector<BYTE>>;

void MakeKeys(std::initializer_list<const WCHAR*> paths) {
    for (const WCHAR* path : paths) {
        UniqueKey key;
        ASSERT_EQ(
            RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, NULL, 0, KEY_READ, NULL, key.put(), NULL),
            ERROR_SUCCESS)
            << hostwin::ToUtf8(path);
    }
}

class RegKeyTest : public MachineTest {};

TEST_F(RegKeyTest, AFailedOpenOrCreateKeepsTheOldKeyHeldAndUsable) {
    MakeKeys({u"Software\\Old", u"Software\\New", u"Software\\Locked"});
    ASSERT_TRUE(hostwin::MarkKeyReadOnly(HKEY_CURRENT_USER, u"Software\\Locked"));
    CRegKey key;
    ASSERT_EQ(
        key.OpenKey(HKEY_CURRENT_USER, u"Software\\Old", KEY_READ | KEY_WRITE | KEY_WOW64_64KEY),
        ERROR_SUCCESS);
    const HKEY old = key;
    auto expectOldKeptFor = [&](LONG result, LONG expected) {
        SCOPED_TRACE(expected);
        EXPECT_EQ(result, expected);
        EXPECT_EQ(key.m_hKey, old);
        EXPECT_EQ(key.m_viewFlags, static_cast<REGSAM>(KEY_WOW64_64KEY));
        EXPECT_EQ(key.WriteDwordValue(u"still", 1), ERROR_SUCCESS);
    };
    expectOldKeptFor(key.OpenKey(HKEY_CURRENT_USER, u"Software\\Missing", KEY_READ),
                     ERROR_FILE_NOT_FOUND);
    expectOldKeptFor(key.OpenKey(HKEY_CURRENT_USER, u"Software\\Locked", KEY_WRITE),
                     ERROR_ACCESS_DENIED);
    DWORD disposition = 12345;
    hostwin::InjectFault("RegCreateKeyExW", 1, ERROR_NO_SYSTEM_RESOURCES);
    expectOldKeptFor(
        key.CreateKey(HKEY_CURRENT_USER, u"Software\\Other", NULL, 0, KEY_READ, NULL, &disposition),
        ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_EQ(disposition, 12345u) << "the disposition is stored only on success";

    ASSERT_EQ(key.CreateKey(HKEY_CURRENT_USER, u"Software\\New", NULL, 0,
                            KEY_READ | KEY_WOW64_32KEY, NULL, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_NE(key.m_hKey, old);
    EXPECT_EQ(RegCloseKey(old), ERROR_INVALID_HANDLE) << "the old key was closed";
    EXPECT_EQ(key.WriteStringValue(u"v", u"x"), ERROR_ACCESS_DENIED) << "opened for reading";

    // When closing the held key fails, that is the result, yet the new key is held and the
    // old one is still open for the caller to deal with.
    const HKEY second = key;
    hostwin::InjectFault("RegCloseKey", 1, ERROR_INVALID_HANDLE);
    EXPECT_EQ(key.OpenKey(HKEY_CURRENT_USER, u"Software\\Old", KEY_READ), ERROR_INVALID_HANDLE);
    EXPECT_NE(key.m_hKey, second);
    EXPECT_NE(key.m_hKey, HKEY(NULL));
    EXPECT_EQ(RegCloseKey(second), ERROR_SUCCESS);
}

TEST_F(RegKeyTest, AttachDetachAndCloseHandOwnershipOver) {
    HKEY raw = NULL;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Raw", 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                              &raw, NULL),
              ERROR_SUCCESS);
    {
        CRegKey key;
        key.AttachHandle(raw);
        EXPECT_EQ(key.DetachHandle(), raw);
        EXPECT_EQ(key.m_hKey, HKEY(NULL));
        key.AttachHandle(raw);
    } // destroyed holding `raw`
    EXPECT_EQ(RegCloseKey(raw), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(hostwin::DebugReports().empty()) << "no precondition was broken";
}

TEST_F(RegKeyTest, ReadStringValueAcceptsOnlyNulEndedTexts) {
    CRegKey key;
    ASSERT_EQ(key.CreateKey(HKEY_CURRENT_USER, u"Software\\Read", NULL, 0, KEY_READ | KEY_WRITE,
                            NULL, NULL),
              ERROR_SUCCESS);
    const std::vector<BYTE> abc = EncodeUtf16Le(std::u16string(u"abc", 4));
    // What, the value's type and bytes, whether a buffer is passed and its capacity; the
    // result, the count and the text read back when it succeeds.
    const std::tuple<const char*, DWORD, std::vector<BYTE>, bool, ULONG, LONG, ULONG,
                     std::u16string>
        cases[] = {
            {"dword", REG_DWORD, {1, 0, 0, 0}, true, 8, ERROR_INVALID_DATA, 0, u""},
            {"no bytes", REG_SZ, {}, true, 8, ERROR_SUCCESS, 0, u""},
            {"no bytes, no room", REG_SZ, {}, true, 0, ERROR_MORE_DATA, 0, u""},
            {"just a NUL", REG_SZ, {0, 0}, true, 8, ERROR_SUCCESS, 1, u""},
            {"text", REG_SZ, abc, true, 8, ERROR_SUCCESS, 4, u"abc"},
            {"exact fit", REG_SZ, abc, true, 4, ERROR_SUCCESS, 4, u"abc"},
            {"expand", REG_EXPAND_SZ, abc, true, 8, ERROR_SUCCESS, 4, u"abc"},
            {"too small", REG_SZ, abc, true, 3, ERROR_MORE_DATA, 0, u""},
            {"size only", REG_SZ, abc, false, 0, ERROR_SUCCESS, 4, u""},
            {"no final NUL", REG_SZ, EncodeUtf16Le(u"abc"), true, 8, ERROR_INVALID_DATA, 0, u""},
            {"odd size", REG_SZ, {0, 0, 'b'}, true, 8, ERROR_INVALID_DATA, 0, u""},
        };
    for (const auto& [what, type, data, withBuffer, capacity, result, count, text] : cases) {
        SCOPED_TRACE(what);
        ASSERT_EQ(RegSetValueExW(key, u"v", 0, type, data.data(), static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
        WCHAR buffer[9];
        std::fill(buffer, buffer + 9, u'#');
        ULONG read = capacity;
        EXPECT_EQ(key.ReadStringValue(u"v", withBuffer ? buffer : NULL, &read), result);
        EXPECT_EQ(read, count);
        if (withBuffer && result == ERROR_SUCCESS) {
            EXPECT_EQ(std::u16string(buffer), text);
        }
        EXPECT_EQ(buffer[capacity], u'#') << "wrote past the buffer";
    }
}

TEST_F(RegKeyTest, WritesStoreTheTextWithItsNulAndTheListWithItsEnd) {
    CRegKey key;
    ASSERT_EQ(key.CreateKey(HKEY_CURRENT_USER, u"Software\\Write", NULL, 0, KEY_READ | KEY_WRITE,
                            NULL, NULL),
              ERROR_SUCCESS);
    // What a successful write stored; RemoveValue takes it away again for the next one.
    auto stored = [&](LONG written) -> std::optional<Stored> {
        EXPECT_EQ(written, ERROR_SUCCESS);
        std::optional<testing_support::StoredValue> value = ReadStoredValue(key, u"v");
        EXPECT_EQ(key.RemoveValue(u"v"), ERROR_SUCCESS);
        return value ? std::optional(Stored{value->type, value->data}) : std::nullopt;
    };
    EXPECT_EQ(stored(key.WriteStringValue(u"v", u"abc")),
              Stored(REG_SZ, EncodeUtf16Le(std::u16string(u"abc", 4)))); // 8 bytes
    EXPECT_EQ(stored(key.WriteStringValue(u"v", u"%p%", REG_EXPAND_SZ)),
              Stored(REG_EXPAND_SZ, EncodeUtf16Le(std::u16string(u"%p%", 4))));
    EXPECT_EQ(stored(key.WriteDwordValue(u"v", 0x12345678)),
              Stored(REG_DWORD, {0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(stored(key.WriteMultiStringValue(u"v", u"a\0bc\0")),
              Stored(REG_MULTI_SZ, EncodeUtf16Le(std::u16string(u"a\0bc\0\0", 6))));
    EXPECT_EQ(stored(key.WriteMultiStringValue(u"v", u"")), Stored(REG_MULTI_SZ, {0, 0}));

    // Null texts are refused; a text under a non-text type is a caller's mistake, reported.
    EXPECT_EQ(key.WriteStringValue(u"v", NULL), ERROR_INVALID_DATA);
    EXPECT_EQ(key.WriteMultiStringValue(u"v", NULL), ERROR_INVALID_DATA);
    EXPECT_EQ(key.WriteStringValue(u"v", u"abc", REG_MULTI_SZ), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.RemoveValue(u"v"), ERROR_FILE_NOT_FOUND) << "none of them wrote";
    EXPECT_EQ(hostwin::DebugReports().size(), 1u);
    EXPECT_EQ(DebugReportTexts(_CRT_ASSERT).size(), 1u);
}

TEST_F(RegKeyTest, RecurseDeleteKeyStopsAtTheFirstKeyItCannotOpenAndOtherwiseRemovesTheTree) {
    MakeKeys({u"Software\\P\\T\\A\\Later", u"Software\\P\\T\\A\\Locked\\Deep", u"Software\\P\\T\\B",
              u"Software\\P\\Sibling"});
    ASSERT_TRUE(hostwin::MarkKeyReadOnly(HKEY_CURRENT_USER, u"Software\\P\\T\\A\\Locked"));
    CRegKey parent;
    ASSERT_EQ(parent.OpenKey(HKEY_CURRENT_USER, u"Software\\P", KEY_READ | KEY_WRITE),
              ERROR_SUCCESS);
    ASSERT_EQ(parent.WriteDwordValue(u"kept", 1), ERROR_SUCCESS);
    EXPECT_EQ(parent.RecurseDeleteKey(u"T"), ERROR_ACCESS_DENIED);
    const std::vector<std::string> trace = {
        "traceCOM - CRegKey::RecurseDeleteKey : Failed to Open Key Locked(Error = 5)\n"};
    EXPECT_EQ(DebugReportTexts(_CRT_WARN), trace);
    // Children are taken in name order: "Later" went before "Locked" stopped the walk.
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Software\\P\\T\\A\\Later"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Software\\P\\T\\A\\Locked\\Deep"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Software\\P\\T\\B"));
    EXPECT_EQ(parent.RemoveSubKey(u"T"), ERROR_ACCESS_DENIED) << "it still has sub-keys";

    ASSERT_TRUE(hostwin::MarkKeyReadOnly(HKEY_CURRENT_USER, u"Software\\P\\T\\A\\Locked", false));
    EXPECT_EQ(parent.RecurseDeleteKey(u"T"), ERROR_SUCCESS);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Software\\P\\T"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Software\\P\\Sibling"));
    EXPECT_TRUE(ReadStoredValue(parent, u"kept"));
    // A key that is already gone is reported to the caller, without a trace.
    EXPECT_EQ(parent.RecurseDeleteKey(u"T"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(DebugReportTexts(_CRT_WARN), trace);
}

// Run in a child process by the next test: the RegDeleteKeyExW lookup happens once per
// process, so each way it can turn out needs a process of its own.
TEST_F(RegKeyTest, DISABLED_ChildRemovesSubKeysInTheViewOfItsOpen) {
    // The fixture starts each test without faults, so the parent asks for this one by name.
    if (std::getenv("REGKEY_TEST_LOOKUP_FAILS"))
        hostwin::InjectFault("GetProcAddress", 0, ERROR_PROC_NOT_FOUND);
    MakeKeys({u"Software\\View\\A", u"Software\\View\\B", u"Software\\View\\C\\Inner"});
    CRegKey key;
    ASSERT_EQ(
        key.OpenKey(HKEY_CURRENT_USER, u"Software\\View", KEY_READ | KEY_WRITE | KEY_WOW64_32KEY),
        ERROR_SUCCESS);
    EXPECT_EQ(key.RemoveSubKey(u"A"), ERROR_SUCCESS);
    // A later failing lookup would not matter: it is not made again.
    hostwin::InjectFault("GetProcAddress", 0, ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(key.RecurseDeleteKey(u"C"), ERROR_SUCCESS);
    ASSERT_EQ(
        key.OpenKey(HKEY_CURRENT_USER, u"Software\\View", KEY_READ | KEY_WRITE | KEY_WOW64_64KEY),
        ERROR_SUCCESS);
    EXPECT_EQ(key.RemoveSubKey(u"B"), ERROR_SUCCESS);
}

TEST_F(RegKeyTest, RemoveSubKeyUsesTheLookedUpDeleteWithTheViewOrFallsBack) {
    struct Case {
        std::map<std::string, std::string> env;
        std::vector<std::string> deletes; // "function(key, view)" as the call log has them
    } cases[] = {
        {{},
         {"RegDeleteKeyExW(HKEY_CURRENT_USER\\Software\\View\\A, 0x200)",
          "RegDeleteKeyExW(HKEY_CURRENT_USER\\Software\\View\\C\\Inner, 0x200)",
          "RegDeleteKeyExW(HKEY_CURRENT_USER\\Software\\View\\C, 0x200)",
          "RegDeleteKeyExW(HKEY_CURRENT_USER\\Software\\View\\B, 0x100)"}},
        {{{"REGKEY_TEST_LOOKUP_FAILS", "1"}},
         {"RegDeleteKeyW(HKEY_CURRENT_USER\\Software\\View\\A)",
          "RegDeleteKeyW(HKEY_CURRENT_USER\\Software\\View\\C\\Inner)",
          "RegDeleteKeyW(HKEY_CURRENT_USER\\Software\\View\\C)",
          "RegDeleteKeyW(HKEY_CURRENT_USER\\Software\\View\\B)"}},
    };
    for (Case& c : cases) {
        const std::string log = RootPath("calls-" + std::to_string(c.env.size()));
        c.env["HOSTWIN_CALL_LOG"] = log;
        testing_support::ProgramResult child = testing_support::RunProgram(
            {"/proc/self/exe", "--gtest_also_run_disabled_tests",
             "--gtest_filter=RegKeyTest.DISABLED_ChildRemovesSubKeysInTheViewOfItsOpen"},
            c.env);
        EXPECT_EQ(child.exitStatus, 0) << child.out << child.err;
        std::vector<std::string> deletes;
        std::istringstream lines(testing_support::ReadFile(log));
        for (std::string line; std::getline(lines, line);) {
            std::string call = line.substr(line.find(' ') + 1); // after the pid
            if (call.rfind("RegDeleteKey", 0) == 0)
                deletes.push_back(call);
        }
        EXPECT_EQ(deletes, c.deletes);
    }
}

} // namespace

namespace {

// A caller's broken precondition is reported with the condition's own text, once per call.
TEST_F(RegKeyTest, BrokenPreconditionsAreReportedWithTheirConditions) {
    const struct {
        const char* condition;
        std::function<void(CRegKey&)> misuse;
    } cases[] = {
        {"hKeyParent != 0", [](CRegKey& k) { k.OpenKey(NULL, u"Software", KEY_READ); }},
        {"hKeyParent != 0",
         [](CRegKey& k) { k.CreateKey(NULL, u"Software", NULL, 0, KEY_READ, NULL, NULL); }},
        {"m_hKey != 0",
         [](CRegKey& k) {
             WCHAR text[4];
             ULONG count = 4;
             k.ReadStringValue(u"v", text, &count);
         }},
        {"m_hKey != 0", [](CRegKey& k) { k.WriteStringValue(u"v", u"x"); }},
        {"m_hKey != 0", [](CRegKey& k) { k.WriteDwordValue(u"v", 1); }},
        {"m_hKey != 0", [](CRegKey& k) { k.WriteMultiStringValue(u"v", u"x\0"); }},
        {"m_hKey != 0", [](CRegKey& k) { k.RemoveValue(u"v"); }},
        {"m_hKey != 0", [](CRegKey& k) { k.RemoveSubKey(u"v"); }},
        {"m_hKey == 0",
         [](CRegKey& k) {
             k.OpenKey(HKEY_CURRENT_USER, u"Software", KEY_READ);
             HKEY held = k.m_hKey;
             k.AttachHandle(held); // attaching over a held key
         }},
    };
    for (const auto& c : cases) {
        hostwin::ClearDebugReports();
        CRegKey key;
        c.misuse(key);
        EXPECT_EQ(DebugReportTexts(_CRT_ASSERT), std::vector<std::string>{c.condition})
            << c.condition;
    }
}

} // namespace
