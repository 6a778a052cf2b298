// CRegKey against the host registry: ownership of the held key, the string reading rules,
// the bytes each write stores, and deletion of single keys and whole trees.
#include "machine.h"
#include "registry_values.h"
#include "test_module.h"

#include "regkey.h"

#include <crtdbg.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <sstream>

using testing_support::MachineTest;
using testing_support::ReadStoredValue;
using testing_support::StoredValue;
using testing_support::Utf16Bytes;

namespace {

bool KeyExists(const WCHAR* path) {
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void MakeKeys(std::initializer_list<const WCHAR*> paths) {
    for (const WCHAR* path : paths) {
        CRegKey key;
        ASSERT_EQ(key.CreateKey(HKEY_CURRENT_USER, path, NULL, REG_OPTION_NON_VOLATILE,
                                KEY_READ | KEY_WRITE, NULL, NULL),
                  ERROR_SUCCESS)
            << hostwin::ToUtf8(path);
    }
}

std::vector<std::string> Warnings() {
    std::vector<std::string> texts;
    for (const hostwin::DebugReport& report : hostwin::DebugReports())
        if (report.reportType == _CRT_WARN)
            texts.push_back(hostwin::ToUtf8(report.text));
    return texts;
}

// The keys deleted, in order, whichever delete function did it.
std::vector<std::string> DeletedKeys() {
    std::vector<std::string> keys;
    for (const hostwin::CallRecord& record : hostwin::CallLog())
        if (record.function == "RegDeleteKeyExW" || record.function == "RegDeleteKeyW")
            keys.push_back(record.args.substr(0, record.args.find(',')));
    return keys;
}

class RegKeyTest : public MachineTest {};

TEST_F(RegKeyTest, AFailedOpenOrCreateKeepsTheOldKeyHeldAndUsable) {
    MakeKeys({u"Software\\Old", u"Software\\New"});
    CRegKey key;
    ASSERT_EQ(
        key.OpenKey(HKEY_CURRENT_USER, u"Software\\Old", KEY_READ | KEY_WRITE | KEY_WOW64_64KEY),
        ERROR_SUCCESS);
    const HKEY old = key;
    ASSERT_NE(old, HKEY(NULL));
    EXPECT_EQ(key.m_viewFlags, static_cast<REGSAM>(KEY_WOW64_64KEY));

    DWORD disposition = 12345;
    hostwin::InjectFault("RegCreateKeyExW", 1, ERROR_NO_SYSTEM_RESOURCES);
    struct Case {
        const char* what;
        LONG result;
        std::function<LONG()> call;
    } cases[] = {
        {"open of a missing key", ERROR_FILE_NOT_FOUND,
         [&] { return key.OpenKey(HKEY_CURRENT_USER, u"Software\\Missing", KEY_READ); }},
        {"failed create", ERROR_NO_SYSTEM_RESOURCES,
         [&] {
             return key.CreateKey(HKEY_CURRENT_USER, u"Software\\Other", NULL, 0, KEY_READ, NULL,
                                  &disposition);
         }},
        {"create through a bad parent", ERROR_INVALID_HANDLE,
         [&] {
             return key.CreateKey(reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x7770)), u"x",
                                  NULL, 0, KEY_READ, NULL, &disposition);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(key.m_hKey, old);
        EXPECT_EQ(key.m_viewFlags, static_cast<REGSAM>(KEY_WOW64_64KEY));
        EXPECT_EQ(key.WriteDwordValue(u"still", 1), ERROR_SUCCESS);
    }
    EXPECT_EQ(disposition, 12345u) << "the disposition is stored only on success";

    ASSERT_EQ(key.OpenKey(HKEY_CURRENT_USER, u"Software\\New", KEY_READ | KEY_WOW64_32KEY),
              ERROR_SUCCESS);
    EXPECT_NE(key.m_hKey, old);
    EXPECT_EQ(key.m_viewFlags, static_cast<REGSAM>(KEY_WOW64_32KEY));
    EXPECT_EQ(RegCloseKey(old), ERROR_INVALID_HANDLE) << "the old key was closed";
}

TEST_F(RegKeyTest, CreateReportsTheDispositionAndAFailedCloseStillHoldsTheNewKey) {
    CRegKey key;
    DWORD disposition = 0;
    ASSERT_EQ(key.CreateKey(HKEY_CURRENT_USER, u"Software\\Made", NULL, REG_OPTION_NON_VOLATILE,
                            KEY_READ | KEY_WRITE, NULL, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    const HKEY first = key;
    ASSERT_EQ(key.CreateKey(HKEY_CURRENT_USER, u"Software\\Made", NULL, REG_OPTION_NON_VOLATILE,
                            KEY_READ | KEY_WRITE, NULL, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));

    // Closing the previous key fails: the open's result is that failure, yet the new key is
    // held and the old one is still open for the caller to deal with.
    const HKEY second = key;
    hostwin::InjectFault("RegCloseKey", 1, ERROR_INVALID_HANDLE);
    EXPECT_EQ(key.OpenKey(HKEY_CURRENT_USER, u"Software\\Made", KEY_READ), ERROR_INVALID_HANDLE);
    EXPECT_NE(key.m_hKey, second);
    EXPECT_NE(key.m_hKey, HKEY(NULL));
    EXPECT_EQ(RegCloseKey(second), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(first), ERROR_INVALID_HANDLE);
}

TEST_F(RegKeyTest, AttachDetachAndCloseHandOwnershipOver) {
    HKEY raw = NULL;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Raw", 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                              &raw, NULL),
              ERROR_SUCCESS);
    const size_t open = hostwin::OpenHandleCount(hostwin::HandleKind::RegistryKey);
    {
        CRegKey key;
        EXPECT_EQ(key.CloseKey(), ERROR_SUCCESS);
        EXPECT_EQ(key.DetachHandle(), HKEY(NULL));
        key.AttachHandle(raw);
        EXPECT_EQ(static_cast<HKEY>(key), raw);
        EXPECT_EQ(key.m_viewFlags, 0u);
        EXPECT_EQ(key.DetachHandle(), raw);
        EXPECT_EQ(key.m_hKey, HKEY(NULL));
        key.AttachHandle(raw);
    } // destroyed holding `raw`
    EXPECT_EQ(hostwin::OpenHandleCount(hostwin::HandleKind::RegistryKey), open - 1);
    EXPECT_EQ(RegCloseKey(raw), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(hostwin::DebugReports().empty()) << "no precondition was broken";
}

TEST_F(RegKeyTest, ReadStringValueAcceptsOnlyNulEndedTexts) {
    CRegKey key;
    ASSERT_EQ(key.CreateKey(HKEY_CURRENT_USER, u"Software\\Read", NULL, 0, KEY_READ | KEY_WRITE,
                            NULL, NULL),
              ERROR_SUCCESS);
    struct Case {
        const char* what;
        DWORD type;
        std::vector<BYTE> data; // empty and no type: no value at all
        bool withBuffer;
        ULONG capacity;
        LONG result;
        ULONG count;
        std::u16string text; // read back when the call succeeds with a buffer
    } cases[] = {
        {"dword", REG_DWORD, {1, 0, 0, 0}, true, 8, ERROR_INVALID_DATA, 0, u""},
        {"multi", REG_MULTI_SZ, Utf16Bytes(std::u16string(u"a\0\0", 3)), true, 8,
         ERROR_INVALID_DATA, 0, u""},
        {"missing", REG_NONE, {}, true, 8, ERROR_FILE_NOT_FOUND, 0, u""},
        {"no bytes", REG_SZ, {}, true, 8, ERROR_SUCCESS, 0, u""},
        {"no bytes, no room", REG_SZ, {}, true, 0, ERROR_MORE_DATA, 0, u""},
        {"just a NUL", REG_SZ, Utf16Bytes(std::u16string(1, u'\0')), true, 8, ERROR_SUCCESS, 1,
         u""},
        {"text", REG_SZ, Utf16Bytes(std::u16string(u"abc", 4)), true, 8, ERROR_SUCCESS, 4, u"abc"},
        {"exact fit", REG_SZ, Utf16Bytes(std::u16string(u"abc", 4)), true, 4, ERROR_SUCCESS, 4,
         u"abc"},
        {"expand", REG_EXPAND_SZ, Utf16Bytes(std::u16string(u"%x%", 4)), true, 8, ERROR_SUCCESS, 4,
         u"%x%"},
        {"too small", REG_SZ, Utf16Bytes(std::u16string(u"abc", 4)), true, 3, ERROR_MORE_DATA, 0,
         u""},
        {"size only", REG_SZ, Utf16Bytes(std::u16string(u"abc", 4)), false, 0, ERROR_SUCCESS, 4,
         u""},
        {"no final NUL", REG_SZ, Utf16Bytes(u"abc"), true, 8, ERROR_INVALID_DATA, 0, u""},
        {"odd size", REG_SZ, {'a', 0, 'b'}, true, 8, ERROR_INVALID_DATA, 0, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RegDeleteValueW(key, u"v");
        if (c.type != REG_NONE) {
            ASSERT_EQ(RegSetValueExW(key, u"v", 0, c.type, c.data.data(),
                                     static_cast<DWORD>(c.data.size())),
                      ERROR_SUCCESS);
        }
        WCHAR buffer[9];
        std::fill(buffer, buffer + 9, u'#');
        ULONG count = c.capacity;
        EXPECT_EQ(key.ReadStringValue(u"v", c.withBuffer ? buffer : NULL, &count), c.result);
        EXPECT_EQ(count, c.count);
        if (c.withBuffer && c.result == ERROR_SUCCESS) {
            EXPECT_EQ(std::u16string(buffer), c.text);
        }
        EXPECT_EQ(buffer[c.capacity], u'#') << "wrote past the buffer";
    }
}

TEST_F(RegKeyTest, WritesStoreTheTextWithItsNulAndTheListWithItsEnd) {
    CRegKey key;
    ASSERT_EQ(key.CreateKey(HKEY_CURRENT_USER, u"Software\\Write", NULL, 0, KEY_READ | KEY_WRITE,
                            NULL, NULL),
              ERROR_SUCCESS);
    struct Case {
        const char* what;
        std::function<LONG()> write;
        LONG result;
        DWORD type; // expected stored type when the write succeeds
        std::vector<BYTE> data;
    } cases[] = {
        {"three characters", [&] { return key.WriteStringValue(u"v", u"abc", REG_SZ); },
         ERROR_SUCCESS, REG_SZ, Utf16Bytes(std::u16string(u"abc", 4))},
        {"empty text", [&] { return key.WriteStringValue(u"v", u"", REG_SZ); }, ERROR_SUCCESS,
         REG_SZ, Utf16Bytes(std::u16string(1, u'\0'))},
        {"expandable", [&] { return key.WriteStringValue(u"v", u"%p%", REG_EXPAND_SZ); },
         ERROR_SUCCESS, REG_EXPAND_SZ, Utf16Bytes(std::u16string(u"%p%", 4))},
        {"number",
         [&] { return key.WriteDwordValue(u"v", 0x12345678); },
         ERROR_SUCCESS,
         REG_DWORD,
         {0x78, 0x56, 0x34, 0x12}},
        {"list", [&] { return key.WriteMultiStringValue(u"v", u"a\0bc\0"); }, ERROR_SUCCESS,
         REG_MULTI_SZ, Utf16Bytes(std::u16string(u"a\0bc\0\0", 6))},
        {"empty list", [&] { return key.WriteMultiStringValue(u"v", u""); }, ERROR_SUCCESS,
         REG_MULTI_SZ, Utf16Bytes(std::u16string(1, u'\0'))},
        {"null text",
         [&] { return key.WriteStringValue(u"v", NULL, REG_SZ); },
         ERROR_INVALID_DATA,
         0,
         {}},
        {"null list",
         [&] { return key.WriteMultiStringValue(u"v", NULL); },
         ERROR_INVALID_DATA,
         0,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RegDeleteValueW(key, u"v");
        EXPECT_EQ(c.write(), c.result);
        std::optional<StoredValue> stored = ReadStoredValue(key, u"v");
        if (c.result != ERROR_SUCCESS) {
            EXPECT_FALSE(stored);
            continue;
        }
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->type, c.type);
        EXPECT_EQ(stored->data, c.data);
    }
    EXPECT_TRUE(hostwin::DebugReports().empty());

    // A text under a non-text type is a caller's mistake: reported and not written.
    EXPECT_EQ(key.WriteStringValue(u"v", u"abc", REG_MULTI_SZ), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ReadStoredValue(key, u"v"));
    ASSERT_EQ(hostwin::DebugReports().size(), 1u);
    EXPECT_EQ(hostwin::DebugReports()[0].reportType, _CRT_ASSERT);

    EXPECT_EQ(key.WriteDwordValue(u"gone", 1), ERROR_SUCCESS);
    EXPECT_EQ(key.RemoveValue(u"gone"), ERROR_SUCCESS);
    EXPECT_EQ(key.RemoveValue(u"gone"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegKeyTest, KeysOpenedForReadingOrMarkedReadOnlyRefuseWrites) {
    MakeKeys({u"Software\\Guarded\\Child", u"Software\\Locked"});
    ASSERT_TRUE(hostwin::MarkKeyReadOnly(HKEY_CURRENT_USER, u"Software\\Locked"));
    CRegKey key;
    ASSERT_EQ(key.OpenKey(HKEY_CURRENT_USER, u"Software\\Guarded", KEY_READ), ERROR_SUCCESS);
    EXPECT_EQ(key.WriteStringValue(u"v", u"x", REG_SZ), ERROR_ACCESS_DENIED);
    EXPECT_EQ(key.WriteDwordValue(u"v", 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(key.WriteMultiStringValue(u"v", u"x\0"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(key.RemoveValue(u"v"), ERROR_ACCESS_DENIED);

    const HKEY held = key;
    EXPECT_EQ(key.OpenKey(HKEY_CURRENT_USER, u"Software\\Locked", KEY_READ | KEY_WRITE),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(key.CreateKey(HKEY_CURRENT_USER, u"Software\\Locked", NULL, 0, KEY_READ | KEY_WRITE,
                            NULL, NULL),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(key.m_hKey, held);
    EXPECT_EQ(key.OpenKey(HKEY_CURRENT_USER, u"Software\\Locked", KEY_READ), ERROR_SUCCESS);
}

TEST_F(RegKeyTest, RecurseDeleteKeyRemovesTheTreeChildrenFirst) {
    MakeKeys({u"Software\\Parent\\T\\A\\A1", u"Software\\Parent\\T\\A\\A2\\Deep",
              u"Software\\Parent\\T\\B", u"Software\\Parent\\Sibling"});
    CRegKey parent;
    ASSERT_EQ(parent.OpenKey(HKEY_CURRENT_USER, u"Software\\Parent", KEY_READ | KEY_WRITE),
              ERROR_SUCCESS);
    ASSERT_EQ(parent.WriteDwordValue(u"kept", 1), ERROR_SUCCESS);

    hostwin::EnableCallLog(true);
    EXPECT_EQ(parent.RecurseDeleteKey(u"T"), ERROR_SUCCESS);
    hostwin::EnableCallLog(false);
    const std::string base = "HKEY_CURRENT_USER\\Software\\Parent\\T";
    EXPECT_EQ(DeletedKeys(),
              (std::vector<std::string>{base + "\\A\\A1", base + "\\A\\A2\\Deep", base + "\\A\\A2",
                                        base + "\\A", base + "\\B", base}));
    EXPECT_FALSE(KeyExists(u"Software\\Parent\\T"));
    EXPECT_TRUE(KeyExists(u"Software\\Parent\\Sibling"));
    EXPECT_TRUE(ReadStoredValue(parent, u"kept"));
    EXPECT_TRUE(Warnings().empty());

    // A key that is already gone is reported to the caller, without a trace.
    EXPECT_EQ(parent.RecurseDeleteKey(u"T"), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(Warnings().empty());
}

TEST_F(RegKeyTest, RecurseDeleteKeyStopsAtTheFirstKeyItCannotOpen) {
    MakeKeys({u"Software\\P\\T\\A\\Locked", u"Software\\P\\T\\A\\Later", u"Software\\P\\T\\B"});
    ASSERT_TRUE(hostwin::MarkKeyReadOnly(HKEY_CURRENT_USER, u"Software\\P\\T\\A\\Locked"));
    CRegKey parent;
    ASSERT_EQ(parent.OpenKey(HKEY_CURRENT_USER, u"Software\\P", KEY_READ | KEY_WRITE),
              ERROR_SUCCESS);
    EXPECT_EQ(parent.RecurseDeleteKey(u"T"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Warnings(),
              std::vector<std::string>{"traceCOM - CRegKey::RecurseDeleteKey : Failed to "
                                       "Open Key Locked(Error = 5)\n"});
    // Children are taken in name order: "Later" went before "Locked" stopped the walk.
    EXPECT_FALSE(KeyExists(u"Software\\P\\T\\A\\Later"));
    for (const WCHAR* kept : {u"Software\\P\\T\\A\\Locked", u"Software\\P\\T\\B"})
        EXPECT_TRUE(KeyExists(kept)) << hostwin::ToUtf8(kept);

    EXPECT_EQ(parent.RemoveSubKey(u"T"), ERROR_ACCESS_DENIED) << "it still has sub-keys";
}

// Run in a child process (see the next test): the RegDeleteKeyExW lookup happens once per
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
    for (const WCHAR* gone : {u"Software\\View\\A", u"Software\\View\\B", u"Software\\View\\C"})
        EXPECT_FALSE(KeyExists(gone)) << hostwin::ToUtf8(gone);
}

TEST_F(RegKeyTest, RemoveSubKeyUsesTheLookedUpDeleteWithTheViewOrFallsBack) {
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 0);
    self[length] = 0;
    struct Case {
        const char* what;
        std::map<std::string, std::string> env;
        std::vector<std::string> deletes; // "function(key, view)" as the call log has them
    } cases[] = {
        {"found",
         {},
         {"RegDeleteKeyExW(HKEY_CURRENT_USER\\Software\\View\\A, 0x200)",
          "RegDeleteKeyExW(HKEY_CURRENT_USER\\Software\\View\\C\\Inner, 0x200)",
          "RegDeleteKeyExW(HKEY_CURRENT_USER\\Software\\View\\C, 0x200)",
          "RegDeleteKeyExW(HKEY_CURRENT_USER\\Software\\View\\B, 0x100)"}},
        {"not found",
         {{"REGKEY_TEST_LOOKUP_FAILS", "1"}},
         {"RegDeleteKeyW(HKEY_CURRENT_USER\\Software\\View\\A)",
          "RegDeleteKeyW(HKEY_CURRENT_USER\\Software\\View\\C\\Inner)",
          "RegDeleteKeyW(HKEY_CURRENT_USER\\Software\\View\\C)",
          "RegDeleteKeyW(HKEY_CURRENT_USER\\Software\\View\\B)"}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string log = RootPath(std::string("calls-") + (c.env.empty() ? "a" : "b"));
        c.env["HOSTWIN_CALL_LOG"] = log;
        testing_support::ProgramResult child = testing_support::RunProgram(
            {self, "--gtest_also_run_disabled_tests",
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
