// The reg tool, run out of process as a user runs it: output and messages, exit codes,
// several processes on one store, export and import, and what a crash or a damaged store does.
#include "machine.h"
#include "registry_values.h"

#include <windows.h>

#include <filesystem>
#include <thread>

using testing_support::MachineTest;
using testing_support::ProgramResult;
using testing_support::ReadStoredValue;
using testing_support::RunProgram;
using testing_support::StoredValue;
using testing_support::TestKey;
using testing_support::Utf16Bytes;

namespace {

const char* const kAppIdKey = "HKCR\\AppID\\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}";
const char* const kNotFound =
    "ERROR: The system was unable to find the specified registry key or value.\n";
const char* const kDone = "The operation completed successfully.\n";

ProgramResult Reg(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
    args.insert(args.begin(), REG_EXE);
    return RunProgram(args, env);
}

// The value's bytes, or nothing when the key or value is missing.
std::optional<std::vector<BYTE>> ReadValue(HKEY root, const char16_t* path, const char16_t* name,
                                           DWORD* type = nullptr) {
    TestKey key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, key.Out()) != ERROR_SUCCESS)
        return std::nullopt;
    std::optional<StoredValue> value = ReadStoredValue(key.Get(), name);
    if (!value)
        return std::nullopt;
    if (type)
        *type = value->type;
    return value->data;
}

bool KeyExists(HKEY root, const char16_t* path) {
    TestKey key;
    return RegOpenKeyExW(root, path, 0, KEY_READ, key.Out()) == ERROR_SUCCESS;
}

class RegToolTest : public MachineTest {};

TEST_F(RegToolTest, AValueAddedByOneProcessIsSeenByAnotherAndSurvivesExportAndImport) {
    ProgramResult add =
        Reg({"add", kAppIdKey, "/v", "LocalService", "/t", "REG_SZ", "/d", "pellardservice", "/f"});
    ASSERT_EQ(add.exitStatus, 0) << add.err;
    EXPECT_EQ(add.out, kDone);
    ASSERT_EQ(Reg({"add", std::string(kAppIdKey) + "\\Sub", "/v", "n", "/t", "REG_DWORD", "/d", "7",
                   "/f"})
                  .exitStatus,
              0);

    ProgramResult query = Reg({"query", kAppIdKey});
    ASSERT_EQ(query.exitStatus, 0) << query.err;
    EXPECT_EQ(query.out, "\nHKEY_CLASSES_ROOT\\AppID\\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}\n"
                         "    LocalService    REG_SZ    pellardservice\n\n"
                         "HKEY_CLASSES_ROOT\\AppID\\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}\\Sub\n");
    // New classes keys belong to the machine.
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE,
                        u"Software\\Classes\\AppID\\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}",
                        u"LocalService"),
              Utf16Bytes(std::u16string(u"pellardservice", 15)));

    const std::string exported = RootPath("appid.reg");
    ProgramResult exportRun = Reg({"export", kAppIdKey, exported, "/y"});
    ASSERT_EQ(exportRun.exitStatus, 0) << exportRun.err;
    const std::string text = testing_support::ReadFile(exported);
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(0, 2), "\xFF\xFE"); // UTF-16LE, as Windows writes it

    // A fresh machine gets the same tree back, byte for byte when exported again.
    const std::map<std::string, std::string> fresh = {{"HOSTWIN_ROOT", RootPath("fresh")}};
    ProgramResult import = Reg({"import", exported}, fresh);
    ASSERT_EQ(import.exitStatus, 0) << import.err;
    ProgramResult again = Reg({"export", kAppIdKey, RootPath("again.reg"), "/y"}, fresh);
    ASSERT_EQ(again.exitStatus, 0) << again.err;
    EXPECT_EQ(testing_support::ReadFile(RootPath("again.reg")), text);
    ProgramResult machine = Reg({"query",
                                 "HKEY_LOCAL_MACHINE\\Software\\Classes\\AppID\\"
                                 "{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}",
                                 "/v", "LocalService"},
                                fresh);
    EXPECT_EQ(machine.exitStatus, 0);
    EXPECT_NE(machine.out.find("LocalService    REG_SZ    pellardservice"), std::string::npos);
}

TEST_F(RegToolTest, FiftyProcessesAddingAtOnceLoseNoValue) {
    constexpr int kProcesses = 50;
    std::vector<ProgramResult> results(kProcesses);
    std::vector<std::thread> threads;
    for (int i = 0; i < kProcesses; ++i)
        threads.emplace_back([i, &results] {
            results[i] = Reg({"add", "HKLM\\Software\\Race", "/v", "v" + std::to_string(i), "/t",
                              "REG_DWORD", "/d", std::to_string(i), "/f"});
        });
    for (std::thread& thread : threads)
        thread.join();
    for (int i = 0; i < kProcesses; ++i)
        EXPECT_EQ(results[i].exitStatus, 0) << i << ": " << results[i].err;

    TestKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Race", 0, KEY_READ, key.Out()),
              ERROR_SUCCESS);
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKeyW(key.Get(), NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL,
                               NULL, NULL),
              ERROR_SUCCESS);
    EXPECT_EQ(values, static_cast<DWORD>(kProcesses));
    for (int i = 0; i < kProcesses; ++i) {
        std::u16string name = hostwin::FromUtf8("v" + std::to_string(i));
        DWORD data = 0, size = sizeof data;
        EXPECT_EQ(RegQueryValueExW(key.Get(), name.c_str(), NULL, NULL,
                                   reinterpret_cast<BYTE*>(&data), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(data, static_cast<DWORD>(i));
    }
}

TEST_F(RegToolTest, AddWritesEachTypeAndQueryShowsItAsWindowsDoes) {
    struct Case {
        const char* name;
        const char* type;
        const char* data;
        const char* shown;
        std::vector<BYTE> stored;
    } cases[] = {
        {"text", "REG_SZ", "hello world", "hello world",
         Utf16Bytes(std::u16string(u"hello world", 12))},
        {"expand", "REG_EXPAND_SZ", "%PATH%", "%PATH%", Utf16Bytes(std::u16string(u"%PATH%", 7))},
        {"multi", "REG_MULTI_SZ", "a\\0bc", "a\\0bc", Utf16Bytes(std::u16string(u"a\0bc\0\0", 6))},
        {"hex", "REG_DWORD", "0x10", "0x10", {0x10, 0, 0, 0}},
        {"decimal", "REG_DWORD", "4294967295", "0xffffffff", {0xFF, 0xFF, 0xFF, 0xFF}},
        {"wide", "REG_QWORD", "0x100000000", "0x100000000", {0, 0, 0, 0, 1, 0, 0, 0}},
        {"bytes", "REG_BINARY", "0aff", "0AFF", {0x0A, 0xFF}},
        {"nothing", "REG_NONE", "", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProgramResult add =
            Reg({"add", "HKCU\\Software\\Types", "/v", c.name, "/t", c.type, "/d", c.data, "/f"});
        ASSERT_EQ(add.exitStatus, 0) << add.err;
        ProgramResult query = Reg({"query", "hkcu\\Software\\Types", "/v", c.name});
        EXPECT_EQ(query.exitStatus, 0);
        EXPECT_EQ(query.out, std::string("\nHKEY_CURRENT_USER\\Software\\Types\n    ") + c.name +
                                 "    " + c.type + "    " + c.shown + "\n\n");
        EXPECT_EQ(
            ReadValue(HKEY_CURRENT_USER, u"Software\\Types", hostwin::FromUtf8(c.name).c_str()),
            c.stored);
    }
    ProgramResult unset = Reg({"query", "HKCU\\Software\\Types", "/ve"});
    EXPECT_EQ(
        unset.out,
        "\nHKEY_CURRENT_USER\\Software\\Types\n    (Default)    REG_SZ    (value not set)\n\n");

    // Without /f an existing value is kept unless the user says yes.
    ProgramResult asked = Reg({"add", "HKCU\\Software\\Types", "/v", "text", "/d", "changed"});
    EXPECT_EQ(asked.exitStatus, 0);
    EXPECT_NE(asked.out.find("Value text exists, overwrite(Yes/No)?"), std::string::npos);
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"Software\\Types", u"text"), cases[0].stored);
}

TEST_F(RegToolTest, FailuresPrintTheWindowsMessageAndExitWithOne) {
    testing_support::WriteFile(RootPath("plain.txt"), "just text\n");
    struct Case {
        std::vector<std::string> args;
        std::string err;
        std::map<std::string, std::string> env;
    } cases[] = {
        {{"query", "HKLM\\Software\\Missing"}, kNotFound, {}},
        {{"query", "HKLM\\Software", "/v", "missing"}, kNotFound, {}},
        {{"delete", "HKCU\\Software\\Missing", "/f"}, kNotFound, {}},
        {{"delete", "HKLM\\Software", "/v", "missing", "/f"}, kNotFound, {}},
        {{"query", "HKXX\\Software"},
         "ERROR: Invalid key name.\nType \"REG QUERY /?\" for usage.\n",
         {}},
        {{"query", "HKLM", "/bogus"},
         "ERROR: Invalid syntax.\nType \"REG QUERY /?\" for usage.\n",
         {}},
        {{"add", "HKCU\\x", "/v", "a", "/ve"},
         "ERROR: Invalid syntax.\nType \"REG ADD /?\" for usage.\n",
         {}},
        {{"add", "HKCU\\x", "/t", "REG_DWORD", "/d", "zz"},
         "ERROR: Invalid syntax.\nType \"REG ADD /?\" for usage.\n",
         {}},
        {{"add", "HKCU\\x", "/t", "REG_DWORD", "/d", "4294967296"},
         "ERROR: Invalid syntax.\nType \"REG ADD /?\" for usage.\n",
         {}},
        {{"add", "HKCU\\x", "/t", "REG_BINARY", "/d", "abc"},
         "ERROR: Invalid syntax.\nType \"REG ADD /?\" for usage.\n",
         {}},
        {{"add", "HKCU\\x", "/t", "REG_LINK"},
         "ERROR: Invalid syntax.\nType \"REG ADD /?\" for usage.\n",
         {}},
        {{"frobnicate"}, "ERROR: Invalid syntax.\nType \"REG /?\" for usage.\n", {}},
        {{"add", "HKLM\\Software\\Denied", "/f"},
         "ERROR: Access is denied.\n",
         {{"HOSTWIN_ELEVATED", "0"}}},
        {{"import", RootPath("missing.reg")},
         "ERROR: Error opening the file. There may be a disk or file system error.\n",
         {}},
        {{"import", RootPath("plain.txt")},
         "ERROR: The specified file is not a registry file. You can import only registry files.\n",
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        ProgramResult result = Reg(c.args, c.env);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.err, c.err);
    }
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"x"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, u"Software\\Denied"));
}

TEST_F(RegToolTest, DeleteRemovesValuesAndWholeTrees) {
    for (const char* path : {"HKCU\\Software\\Tree\\A\\B", "HKCU\\Software\\Tree\\C"})
        ASSERT_EQ(Reg({"add", path, "/v", "v", "/d", "x", "/f"}).exitStatus, 0);
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\Tree", "/v", "keep", "/d", "x", "/f"}).exitStatus, 0);

    ProgramResult value = Reg({"delete", "HKCU\\Software\\Tree\\C", "/v", "v", "/f"});
    EXPECT_EQ(value.exitStatus, 0) << value.err;
    EXPECT_FALSE(ReadValue(HKEY_CURRENT_USER, u"Software\\Tree\\C", u"v"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Software\\Tree\\C"));

    ProgramResult unconfirmed = Reg({"delete", "HKCU\\Software\\Tree"}); // stdin is empty
    EXPECT_EQ(unconfirmed.out,
              "Permanently delete the registry key HKEY_CURRENT_USER\\Software\\Tree (Yes/No)? "
              "The operation was canceled by the user.\n");
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Software\\Tree\\A\\B"));

    ProgramResult tree = Reg({"delete", "HKCU\\Software\\Tree", "/f"});
    EXPECT_EQ(tree.exitStatus, 0) << tree.err;
    EXPECT_EQ(tree.out, kDone);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Software\\Tree"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Software"));
}

TEST_F(RegToolTest, ImportAppliesEveryEntryKindAndRefusesMalformedFiles) {
    {
        TestKey old;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Imp\\Gone\\Deeper", 0, NULL, 0,
                                  KEY_ALL_ACCESS, NULL, old.Out(), NULL),
                  ERROR_SUCCESS);
        TestKey imp;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Imp", 0, NULL, 0, KEY_ALL_ACCESS,
                                  NULL, imp.Out(), NULL),
                  ERROR_SUCCESS);
        BYTE one = 1;
        ASSERT_EQ(RegSetValueExW(imp.Get(), u"old", 0, REG_BINARY, &one, 1), ERROR_SUCCESS);
    }
    testing_support::WriteFile(RootPath("in.reg"),
                               "Windows Registry Editor Version 5.00\r\n"
                               "\r\n"
                               "; a comment\r\n"
                               "[HKEY_CURRENT_USER\\Software\\Imp]\r\n"
                               "@=\"default\"\r\n"
                               "\"s\"=\"a \\\"quoted\\\" C:\\\\path\"\r\n"
                               "\"d\"=dword:0000002a\r\n"
                               "\"b\"=hex:01,02,\\\r\n"
                               "  03\r\n"
                               "\"e\"=hex(2):25,00,00,00\r\n"
                               "\"old\"=-\r\n"
                               "\r\n"
                               "[-HKEY_CURRENT_USER\\Software\\Imp\\Gone]\r\n"
                               "[-HKEY_CURRENT_USER\\Software\\Never\\There]\r\n");
    ProgramResult import = Reg({"import", RootPath("in.reg")});
    ASSERT_EQ(import.exitStatus, 0) << import.err;
    EXPECT_EQ(import.err, kDone);

    DWORD type = 0;
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"Software\\Imp", u""),
              Utf16Bytes(std::u16string(u"default", 8)));
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"Software\\Imp", u"s"),
              Utf16Bytes(std::u16string(u"a \"quoted\" C:\\path", 19)));
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"Software\\Imp", u"d", &type),
              (std::vector<BYTE>{0x2a, 0, 0, 0}));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"Software\\Imp", u"b"), (std::vector<BYTE>{1, 2, 3}));
    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"Software\\Imp", u"e", &type),
              (std::vector<BYTE>{0x25, 0, 0, 0}));
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_FALSE(ReadValue(HKEY_CURRENT_USER, u"Software\\Imp", u"old"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Software\\Imp\\Gone"));

    // A bad line anywhere means nothing of the file is applied.
    testing_support::WriteFile(RootPath("bad.reg"), "Windows Registry Editor Version 5.00\n\n"
                                                    "[HKEY_CURRENT_USER\\Software\\Bad]\n"
                                                    "\"ok\"=\"fine\"\n"
                                                    "\"x\"=dword:zz\n");
    ProgramResult bad = Reg({"import", RootPath("bad.reg")});
    EXPECT_EQ(bad.exitStatus, 1);
    EXPECT_NE(bad.err.find("Line 5"), std::string::npos) << bad.err;
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Software\\Bad"));
}

TEST_F(RegToolTest, ExportKeepsStringsThatAQuotedFormWouldChange) {
    TestKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Raw", 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                              key.Out(), NULL),
              ERROR_SUCCESS);
    const std::vector<std::vector<BYTE>> odd = {
        Utf16Bytes(u"no final NUL"),
        Utf16Bytes(std::u16string(u"two\0parts\0", 10)),
        Utf16Bytes(std::u16string(u"line\r\nbreak\0", 12)),
        {},
    };
    for (size_t i = 0; i < odd.size(); ++i) {
        std::u16string name = hostwin::FromUtf8("v" + std::to_string(i));
        ASSERT_EQ(RegSetValueExW(key.Get(), name.c_str(), 0, REG_SZ, odd[i].data(),
                                 static_cast<DWORD>(odd[i].size())),
                  ERROR_SUCCESS);
    }
    ASSERT_EQ(Reg({"export", "HKCU\\Software\\Raw", RootPath("raw.reg"), "/y"}).exitStatus, 0);
    const std::map<std::string, std::string> fresh = {{"HOSTWIN_ROOT", RootPath("fresh")}};
    ProgramResult import = Reg({"import", RootPath("raw.reg")}, fresh);
    ASSERT_EQ(import.exitStatus, 0) << import.err;
    ProgramResult query = Reg({"query", "HKCU\\Software\\Raw"}, fresh);
    EXPECT_NE(query.out.find("v0    REG_SZ    no final NUL"), std::string::npos) << query.out;
    EXPECT_NE(query.out.find("v1    REG_SZ    two"), std::string::npos) << query.out;
    // The bytes themselves, read on the fresh machine by the tool's own export.
    ASSERT_EQ(Reg({"export", "HKCU\\Software\\Raw", RootPath("raw2.reg"), "/y"}, fresh).exitStatus,
              0);
    EXPECT_EQ(testing_support::ReadFile(RootPath("raw2.reg")),
              testing_support::ReadFile(RootPath("raw.reg")));
}

TEST_F(RegToolTest, ACrashBeforeCommitLeavesThePreviousState) {
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\Before", "/v", "v", "/d", "kept", "/f"}).exitStatus, 0);

    // First write of the process: creating three nested keys at once.
    ProgramResult first = Reg({"add", "HKCU\\Software\\A\\B\\C", "/v", "x", "/d", "y", "/f"},
                              {{"HOSTWIN_REGISTRY_CRASH_BEFORE_COMMIT", "1"}});
    EXPECT_EQ(first.exitStatus, -1); // killed
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Software\\A"));

    // Second write: the keys are committed, the value is not.
    ProgramResult second = Reg({"add", "HKCU\\Software\\A\\B\\C", "/v", "x", "/d", "y", "/f"},
                               {{"HOSTWIN_REGISTRY_CRASH_BEFORE_COMMIT", "2"}});
    EXPECT_EQ(second.exitStatus, -1);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Software\\A\\B\\C"));
    EXPECT_FALSE(ReadValue(HKEY_CURRENT_USER, u"Software\\A\\B\\C", u"x"));

    EXPECT_EQ(ReadValue(HKEY_CURRENT_USER, u"Software\\Before", u"v"),
              Utf16Bytes(std::u16string(u"kept", 5)));
    EXPECT_EQ(Reg({"add", "HKCU\\Software\\A\\B\\C", "/v", "x", "/d", "y", "/f"}).exitStatus, 0);
}

TEST_F(RegToolTest, ADamagedStoreIsNamedAndNeverReplaced) {
    const std::string store = RootPath("registry/registry.db");
    const std::string garbage(4096, '\x5A');
    testing_support::WriteFile(store, garbage);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"query", "HKLM\\Software"},
          std::vector<std::string>{"add", "HKLM\\Software\\New", "/f"}}) {
        ProgramResult result = Reg(args);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_NE(result.err.find(store), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("ERROR: The configuration registry database is corrupt."),
                  std::string::npos)
            << result.err;
    }
    EXPECT_EQ(testing_support::ReadFile(store), garbage);
}

} // namespace
