// The reg tool, run out of process as a user runs it: output and messages, exit codes,
// several processes on one store, export and import, and what a crash does.
#include "machine.h"
#include "registry_values.h"

#include <windows.h>

#include <filesystem>
#include <thread>

using hostwin::EncodeUtf16Le;
using hostwin::UniqueKey;
using testing_support::KeyExists;
using testing_support::MachineTest;
using testing_support::ProgramResult;
using testing_support::ReadFile;
using testing_support::WriteFile;

namespace {

const std::string kAppIdKey = "HKCR\\AppID\\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}";
const std::string kNotFound =
    "ERROR: The system was unable to find the specified registry key or value.\n";
const std::string kAddSyntax = "ERROR: Invalid syntax.\nType \"REG ADD /?\" for usage.\n";
const char* const kDone = "The operation completed successfully.\n";

ProgramResult Reg(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
    args.insert(args.begin(), REG_EXE);
    return testing_support::RunProgram(args, env);
}

// Runs reg and passes when it exits with 0, showing its error output when not.
testing::AssertionResult Succeeds(std::vector<std::string> args,
                                  std::map<std::string, std::string> env = {}) {
    ProgramResult result = Reg(std::move(args), std::move(env));
    if (result.exitStatus == 0)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "exit status " << result.exitStatus << ": " << result.err;
}

// A value as stored: its type and bytes.
using Stored = std::pair<DWORD, std::vector<BYTE>>;

Stored Sz(const std::u16string& text) {
    return {REG_SZ, testing_support::SzBytes(text)};
}

// Nothing when the key or the value is missing.
std::optional<Stored> Value(HKEY root, const char16_t* path, const char16_t* name) {
    UniqueKey key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return std::nullopt;
    std::optional<testing_support::StoredValue> value =
        testing_support::ReadStoredValue(key.get(), name);
    return value ? std::optional(Stored{value->type, value->data}) : std::nullopt;
}

class RegToolTest : public MachineTest {};

TEST_F(RegToolTest, AValueAddedByOneProcessIsSeenByAnotherAndSurvivesExportAndImport) {
    ProgramResult add =
        Reg({"add", kAppIdKey, "/v", "LocalService", "/t", "REG_SZ", "/d", "pellardservice", "/f"});
    ASSERT_EQ(add.exitStatus, 0) << add.err;
    EXPECT_EQ(add.out, kDone);
    ASSERT_TRUE(
        Succeeds({"add", kAppIdKey + "\\Sub", "/v", "n", "/t", "REG_DWORD", "/d", "7", "/f"}));
    EXPECT_EQ(Reg({"query", kAppIdKey}).out,
              "\nHKEY_CLASSES_ROOT\\AppID\\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}\n"
              "    LocalService    REG_SZ    pellardservice\n\n"
              "HKEY_CLASSES_ROOT\\AppID\\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}\\Sub\n");
    // New classes keys belong to the machine.
    EXPECT_EQ(Value(HKEY_LOCAL_MACHINE,
                    u"Software\\Classes\\AppID\\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}",
                    u"LocalService"),
              Sz(u"pellardservice"));

    // A fresh machine gets the same tree back: exported there again, the file is the same.
    ASSERT_TRUE(Succeeds({"export", kAppIdKey, RootPath("appid.reg"), "/y"}));
    const std::string exported = ReadFile(RootPath("appid.reg"));
    EXPECT_EQ(exported.substr(0, 2), "\xFF\xFE"); // UTF-16LE, as Windows writes it
    const std::map<std::string, std::string> fresh = {{"HOSTWIN_ROOT", RootPath("fresh")}};
    ASSERT_TRUE(Succeeds({"import", RootPath("appid.reg")}, fresh));
    ASSERT_TRUE(Succeeds({"export", kAppIdKey, RootPath("again.reg"), "/y"}, fresh));
    EXPECT_EQ(ReadFile(RootPath("again.reg")), exported);
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
    for (int i = 0; i < kProcesses; ++i) {
        EXPECT_EQ(results[i].exitStatus, 0) << i << ": " << results[i].err;
        EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, u"Software\\Race",
                        hostwin::FromUtf8("v" + std::to_string(i)).c_str()),
                  Stored(REG_DWORD, {static_cast<BYTE>(i), 0, 0, 0}));
    }
}

TEST_F(RegToolTest, AddWritesEachTypeAndQueryShowsItAsWindowsDoes) {
    const std::vector<BYTE> list = EncodeUtf16Le(std::u16string(u"a\0bc\0\0", 6));
    const std::tuple<const char*, const char*, const char*, Stored> cases[] = {
        {"text", "REG_SZ", "hello world", Sz(u"hello world")},
        {"multi", "REG_MULTI_SZ", "a\\0bc", {REG_MULTI_SZ, list}},
        {"hex", "REG_DWORD", "0x10", {REG_DWORD, {0x10, 0, 0, 0}}},
        {"decimal", "REG_DWORD", "4294967295", {REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}}},
        {"wide", "REG_QWORD", "0x100000000", {REG_QWORD, {0, 0, 0, 0, 1, 0, 0, 0}}},
        {"widest", "REG_QWORD", "18446744073709551615", {REG_QWORD, std::vector<BYTE>(8, 0xFF)}},
        {"bytes", "REG_BINARY", "0aff", {REG_BINARY, {0x0A, 0xFF}}},
        {"nothing", "REG_NONE", "", {REG_NONE, {}}},
    };
    for (const auto& [name, type, data, stored] : cases) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(
            Succeeds({"add", "HKCU\\Software\\Types", "/v", name, "/t", type, "/d", data, "/f"}));
        EXPECT_EQ(Value(HKEY_CURRENT_USER, u"Software\\Types", hostwin::FromUtf8(name).c_str()),
                  stored);
    }
    EXPECT_EQ(Reg({"query", "hkcu\\Software\\Types"}).out,
              "\nHKEY_CURRENT_USER\\Software\\Types\n"
              "    text    REG_SZ    hello world\n"
              "    multi    REG_MULTI_SZ    a\\0bc\n"
              "    hex    REG_DWORD    0x10\n"
              "    decimal    REG_DWORD    0xffffffff\n"
              "    wide    REG_QWORD    0x100000000\n"
              "    widest    REG_QWORD    0xffffffffffffffff\n"
              "    bytes    REG_BINARY    0AFF\n"
              "    nothing    REG_NONE    \n\n");
    EXPECT_EQ(
        Reg({"query", "HKCU\\Software\\Types", "/ve"}).out,
        "\nHKEY_CURRENT_USER\\Software\\Types\n    (Default)    REG_SZ    (value not set)\n\n");

    // Without /f an existing value is kept unless the user says yes (stdin is empty).
    ProgramResult asked = Reg({"add", "HKCU\\Software\\Types", "/v", "text", "/d", "changed"});
    EXPECT_EQ(asked.exitStatus, 0);
    EXPECT_NE(asked.out.find("Value text exists, overwrite(Yes/No)?"), std::string::npos);
    EXPECT_EQ(Value(HKEY_CURRENT_USER, u"Software\\Types", u"text"), std::get<3>(cases[0]));
}

// Types reg cannot add, written through the API: a big-endian DWORD reads most significant
// byte first, and a sub-key name of the longest length still enumerates.
TEST_F(RegToolTest, QueryShowsBigEndianDwordsAndSubKeysOfTheLongestName) {
    UniqueKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Order", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    const BYTE bytes[] = {0x12, 0x34, 0x56, 0x78};
    for (DWORD type : {REG_DWORD_BIG_ENDIAN, REG_DWORD}) {
        const char16_t* name = type == REG_DWORD ? u"little" : u"big";
        ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, bytes, sizeof bytes), ERROR_SUCCESS);
    }
    const std::string longest(255, 'k');
    UniqueKey sub;
    ASSERT_EQ(RegCreateKeyExW(key.get(), hostwin::FromUtf8(longest).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, sub.put(), nullptr),
              ERROR_SUCCESS);
    ProgramResult query = Reg({"query", "HKCU\\Software\\Order", "/s"});
    EXPECT_EQ(query.exitStatus, 0) << query.err;
    EXPECT_EQ(query.out, "\nHKEY_CURRENT_USER\\Software\\Order\n"
                         "    big    REG_DWORD_BIG_ENDIAN    0x12345678\n"
                         "    little    REG_DWORD    0x78563412\n\n"
                         "HKEY_CURRENT_USER\\Software\\Order\\" +
                             longest + "\n\n");
}

TEST_F(RegToolTest, FailuresPrintTheWindowsMessageAndExitWithOne) {
    WriteFile(RootPath("plain.txt"), "just text\n");
    // Bytes that are not text, even in a comment, mean nothing of the file is applied.
    WriteFile(RootPath("bad.reg"), "Windows Registry Editor Version 5.00\n\n"
                                   "[HKEY_CURRENT_USER\\Software\\Bad]\n\"ok\"=\"fine\"\n"
                                   "; caf\xE9\n");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"query", "HKLM\\Software\\Missing"}, kNotFound},
        {{"query", "HKLM\\Software", "/v", "missing"}, kNotFound},
        {{"delete", "HKCU\\Software\\Missing", "/f"}, kNotFound},
        {{"delete", "HKLM\\Software", "/v", "missing", "/f"}, kNotFound},
        {{"query", "HKXX\\Software"},
         "ERROR: Invalid key name.\nType \"REG QUERY /?\" for usage.\n"},
        {{"query", "HKLM", "/bogus"}, "ERROR: Invalid syntax.\nType \"REG QUERY /?\" for usage.\n"},
        {{"add", "HKCU\\x", "/v", "a", "/ve"}, kAddSyntax},
        {{"add", "HKCU\\x", "/t", "REG_DWORD", "/d", "zz"}, kAddSyntax},
        // Numbers beyond their type are refused, never wrapped.
        {{"add", "HKCU\\x", "/t", "REG_DWORD", "/d", "4294967296"}, kAddSyntax},
        {{"add", "HKCU\\x", "/t", "REG_DWORD", "/d", "0x100000000"}, kAddSyntax},
        {{"add", "HKCU\\x", "/t", "REG_DWORD", "/d", "-1"}, kAddSyntax},
        {{"add", "HKCU\\x", "/t", "REG_QWORD", "/d", "18446744073709551616"}, kAddSyntax},
        {{"add", "HKCU\\x", "/t", "REG_QWORD", "/d", "0x10000000000000000"}, kAddSyntax},
        {{"add", "HKCU\\x", "/t", "REG_BINARY", "/d", "abc"}, kAddSyntax},
        {{"add", "HKCU\\x", "/t", "REG_LINK"}, kAddSyntax},
        {{"frobnicate"}, "ERROR: Invalid syntax.\nType \"REG /?\" for usage.\n"},
        {{"import", RootPath("missing.reg")},
         "ERROR: Error opening the file. There may be a disk or file system error.\n"},
        {{"import", RootPath("plain.txt")},
         "ERROR: The specified file is not a registry file. You can import only registry files.\n"},
        {{"import", RootPath("bad.reg")},
         "ERROR: Line 5 of " + RootPath("bad.reg") +
             " is not valid UTF-8; nothing was imported.\n"},
    };
    for (const auto& [args, err] : cases) {
        SCOPED_TRACE(args[0] + " " + (args.size() > 1 ? args[1] : ""));
        ProgramResult result = Reg(args);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.err, err);
    }
    ProgramResult denied =
        Reg({"add", "HKLM\\Software\\Denied", "/f"}, {{"HOSTWIN_ELEVATED", "0"}});
    EXPECT_EQ(denied.exitStatus, 1);
    EXPECT_EQ(denied.err, "ERROR: Access is denied.\n");
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"x"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, u"Software\\Denied"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Software\\Bad"));
}

// Each bad input fails with exit code 1 and its message, and leaves the registry as it was:
// every bad file starts with a good entry that must not be applied.
TEST_F(RegToolTest, BadInputIsRefusedWithItsMessageAndChangesNothing) {
    const std::string good = "[HKEY_CURRENT_USER\\Software\\Bad]\r\n\"ok\"=\"fine\"\r\n";
    const std::string header = "Windows Registry Editor Version 5.00\r\n";
    auto file = [&](const std::string& name, const std::string& content) {
        WriteFile(RootPath(name), content);
        return RootPath(name);
    };
    std::string odd = "\xFF\xFE";
    for (char c : header + good)
        odd += std::string{c, '\0'};
    odd += 'x'; // half of a UTF-16 unit, on line 4
    std::filesystem::create_directories(RootPath("folder.reg"));
    const std::string unreadable = "/proc/self/mem"; // a regular file whose reading fails
    const std::string cannotOpen =
        "ERROR: Error opening the file. There may be a disk or file system error.\n";
    auto line = [](int number, const std::string& path, const std::string& what) {
        return "ERROR: Line " + std::to_string(number) + " of " + path + " " + what +
               "; nothing was imported.\n";
    };
    const std::string notRegistryFile =
        "ERROR: The specified file is not a registry file. You can import only registry files.\n";
    const std::string utf8 = file("utf8.reg", header + good + "\"n\"=\"\xC3\x28\"\r\n");
    std::string wideNoMark;
    for (char c : header + good)
        wideNoMark += std::string{c, '\0'};

    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"import", RootPath("folder.reg")}, cannotOpen},
        {{"import", "/dev/zero"}, cannotOpen},
        {{"import", unreadable}, cannotOpen},
        {{"import", file("odd.reg", odd)},
         line(4, RootPath("odd.reg"), "ends in half a UTF-16 character")},
        {{"import", utf8}, line(4, utf8, "is not valid UTF-8")},
        // The header must be the first line, exactly; the body is read only under it.
        {{"import", file("empty.reg", "")}, notRegistryFile},
        {{"import", file("late.reg", "\r\n" + header + good)}, notRegistryFile},
        {{"import", file("four.reg", "Windows Registry Editor Version 4.00\r\n" + good)},
         notRegistryFile},
        {{"import", file("nomark.reg", wideNoMark)}, notRegistryFile},
        // Where a file is expected, an absolute path of one component is a file, not a switch;
        // where none is, it is an unknown switch.
        {{"import", "/tollivar-no-such-file.reg"}, cannotOpen},
        {{"export", "HKCU\\Software\\Missing", "/tollivar-out.reg", "/y"}, kNotFound},
        {{"query", "HKCU\\Software", "/tmp"},
         "ERROR: Invalid syntax.\nType \"REG QUERY /?\" for usage.\n"},
        {{"add", "HKCU\\Software\\Bad\xFF", "/f"},
         "ERROR: Argument 2 (\"HKCU\\Software\\Bad\\xFF\") is not valid UTF-8.\n"},
        {{"add", "HKCU\\Software\\Bad", "/v", "n\xC3", "/d", "x", "/f"},
         "ERROR: Argument 4 (\"n\\xC3\") is not valid UTF-8.\n"},
    };
    ASSERT_TRUE(Succeeds({"export", "HKCU", RootPath("before.reg"), "/y"}));
    for (const auto& [args, err] : cases) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        ProgramResult result = Reg(args);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.err, err);
    }
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Software\\Bad"));
    ASSERT_TRUE(Succeeds({"export", "HKCU", RootPath("after.reg"), "/y"}));
    EXPECT_EQ(ReadFile(RootPath("after.reg")), ReadFile(RootPath("before.reg")));
}

// A line Windows' importer passes over is skipped and named, with the reason, and the rest of
// the file is applied: each such line as the first line of the body and as the last line of
// the file (without a final line break). The key holds exactly the good entry and the sub-key
// it had before.
TEST_F(RegToolTest, ImportSkipsLinesThatAreNoEntryAndAppliesTheRest) {
    const std::string good = "[HKEY_CURRENT_USER\\Software\\Skip]\r\n\"ok\"=\"fine\"";
    const std::string notEntry = "is not a registry entry";
    const std::string badString = "has a malformed quoted string";
    const std::string badData = "has malformed value data";
    const std::string typographic = "uses typographic quotes where \" belongs";
    const std::string outside = "is a value outside a key section";
    const struct {
        std::string lines;
        std::vector<std::string> reasons; // one per line, from the first
        const char* header = "Windows Registry Editor Version 5.00";
    } cases[] = {
        {"# a comment", {notEntry + " (comments start with ;)"}},
        // Neither comment swallows the line below it, though it ends as a continued line does.
        {"# C:\\temp\\", {notEntry + " (comments start with ;)"}},
        {"; C:\\temp\\", {}},
        {"-[HKEY_CURRENT_USER\\Software\\Skip\\Keep]", {notEntry + " ([-KEY] deletes a key)"}},
        {"\xE2\x80\x9Cv\xE2\x80\x9D=\xE2\x80\x9Cx\xE2\x80\x9D", {typographic}},
        {"\"v\"=\xE2\x80\x9Cx\xE2\x80\x9D", {typographic}},
        {"\"v\" /T REG_DWORD /D 5", {"has no = after the value name"}},
        {"just words", {notEntry}},
        {"\"v\"=\"a\\qb\"", {badString}},
        {"\"v\"=\"a\\\"", {badString}},
        {"\"v=\"x\"", {"has no = after the value name"}},
        {"\"v\"=dword:zz", {badData}},
        {"\"v\"=dword:100000000", {badData}}, // nine digits would wrap round to 0
        {"\"v\"=hex(100000000):00", {badData}},
        {"\"v\"=hex:01,0123456789abcdef0123456789", {badData}},
        {"\"v\"=hex:01,\\\r\n  zz", {badData}}, // named by its first line
        {"\"v\"=", {badData}},
        {"\"v\"=hex(2):ff,00", {"has string data that is not valid UTF-8"}, "REGEDIT4"},
        // A key that cannot be used opens none: its values do not land in the key before it.
        {"[HKEY_BOGUS\\Skip]\r\n\"v\"=\"x\"", {"has an invalid key name", outside}},
        {"[HKEY_CURRENT_USER\\Software\\Skip\\New\r\n@=\"x\"",
         {"has an invalid key name", outside}},
        {"[-HKEY_CURRENT_USER\\Software\\Skip\\Gone]\r\n\"v\"=\"x\"", {"", outside}},
    };
    for (const auto& c : cases) {
        for (const bool first : {true, false}) {
            SCOPED_TRACE(c.lines + (first ? " (first)" : " (last)"));
            // The key as the last case left it (checked below) is removed in-process.
            RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Skip\\Keep");
            RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Skip");
            UniqueKey keep;
            ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Skip\\Keep", 0, NULL, 0,
                                      KEY_READ, NULL, keep.put(), NULL),
                      ERROR_SUCCESS);
            const std::string path = RootPath("skip.reg");
            WriteFile(path,
                      std::string(c.header) + "\r\n" +
                          (first ? c.lines + "\r\n" + good + "\r\n" : good + "\r\n" + c.lines));
            std::string warnings;
            for (size_t i = 0; i < c.reasons.size(); ++i)
                if (!c.reasons[i].empty())
                    warnings += "WARNING: Line " + std::to_string((first ? 2 : 4) + i) + " of " +
                                path + " " + c.reasons[i] + "; it was skipped.\n";
            ProgramResult result = Reg({"import", path});
            EXPECT_EQ(result.exitStatus, 0);
            EXPECT_EQ(result.err, warnings + kDone);
            EXPECT_EQ(Value(HKEY_CURRENT_USER, u"Software\\Skip", u"ok"), Sz(u"fine"));
            UniqueKey key;
            ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Skip", 0, KEY_READ, key.put()),
                      ERROR_SUCCESS);
            DWORD subKeys = 0, values = 0;
            ASSERT_EQ(RegQueryInfoKeyW(key.get(), NULL, NULL, NULL, &subKeys, NULL, NULL, &values,
                                       NULL, NULL, NULL, NULL),
                      ERROR_SUCCESS);
            EXPECT_EQ(subKeys, 1u);
            EXPECT_EQ(values, 1u);
            EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Software\\Skip\\Keep"));
        }
    }
}

// REGEDIT4 files are text in the ANSI code page (UTF-8 here): quoted strings and the bytes of
// string types given in hex become UTF-16; other hex data stays as it is.
TEST_F(RegToolTest, ARegedit4FileIsReadAsAnsiText) {
    WriteFile(RootPath("four.reg"), "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Four]\r\n"
                                    "\"s\"=\"caf\xC3\xA9\"\r\n\"e\"=hex(2):25,c3,a9,00\r\n"
                                    "\"m\"=hex(7):61,00,62,00,00\r\n\"b\"=hex:c3,a9\r\n");
    ASSERT_TRUE(Succeeds({"import", RootPath("four.reg")}));
    const std::pair<const char16_t*, Stored> imported[] = {
        {u"s", Sz(u"caf\u00E9")},
        {u"e", {REG_EXPAND_SZ, hostwin::EncodeUtf16Le(std::u16string(u"%\u00E9\0", 3))}},
        {u"m", {REG_MULTI_SZ, hostwin::EncodeUtf16Le(std::u16string(u"a\0b\0\0", 5))}},
        {u"b", {REG_BINARY, {0xC3, 0xA9}}},
    };
    for (const auto& [name, stored] : imported)
        EXPECT_EQ(Value(HKEY_CURRENT_USER, u"Software\\Four", name), stored)
            << hostwin::ToUtf8(name);
}

TEST_F(RegToolTest, DeleteRemovesValuesAndWholeTrees) {
    for (const char* path : {"HKCU\\Software\\Tree\\A\\B", "HKCU\\Software\\Tree\\C"})
        ASSERT_TRUE(Succeeds({"add", path, "/v", "v", "/d", "x", "/f"}));

    EXPECT_TRUE(Succeeds({"delete", "HKCU\\Software\\Tree\\C", "/v", "v", "/f"}));
    EXPECT_FALSE(Value(HKEY_CURRENT_USER, u"Software\\Tree\\C", u"v"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Software\\Tree\\C"));

    EXPECT_EQ(Reg({"delete", "HKCU\\Software\\Tree"}).out, // stdin is empty
              "Permanently delete the registry key HKEY_CURRENT_USER\\Software\\Tree (Yes/No)? "
              "The operation was canceled by the user.\n");
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Software\\Tree\\A\\B"));

    ProgramResult tree = Reg({"delete", "HKCU\\Software\\Tree", "/f"});
    EXPECT_EQ(tree.exitStatus, 0) << tree.err;
    EXPECT_EQ(tree.out, kDone);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Software\\Tree"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Software"));
}

TEST_F(RegToolTest, ImportAppliesEveryEntryKind) {
    ASSERT_TRUE(Succeeds({"add", "HKCU\\Software\\Imp\\Gone\\Deeper", "/f"}));
    ASSERT_TRUE(Succeeds(
        {"add", "HKCU\\Software\\Imp", "/v", "old", "/t", "REG_BINARY", "/d", "01", "/f"}));
    WriteFile(RootPath("in.reg"), "Windows Registry Editor Version 5.00\r\n\r\n; a comment\r\n"
                                  "[HKEY_CURRENT_USER\\Software\\Imp]\r\n@=\"default\"\r\n"
                                  "\"s\"=\"a \\\"quoted\\\" C:\\\\path\"\r\n"
                                  "\"d\"=dword:0000002a\r\n\"b\"=hex:01,02,\\\r\n  03\r\n"
                                  "\"e\"=hex(2):25,00,00,00\r\n\"old\"=-\r\n\r\n"
                                  "[-HKEY_CURRENT_USER\\Software\\Imp\\Gone]\r\n"
                                  "[-HKEY_CURRENT_USER\\Software\\Never\\There]\r\n");
    ProgramResult import = Reg({"import", RootPath("in.reg")});
    ASSERT_EQ(import.exitStatus, 0) << import.err;
    EXPECT_EQ(import.err, kDone);
    const std::pair<const char16_t*, Stored> imported[] = {
        {u"", Sz(u"default")},
        {u"s", Sz(u"a \"quoted\" C:\\path")},
        {u"d", {REG_DWORD, {0x2a, 0, 0, 0}}},
        {u"b", {REG_BINARY, {1, 2, 3}}},
        {u"e", {REG_EXPAND_SZ, {0x25, 0, 0, 0}}},
    };
    for (const auto& [name, stored] : imported)
        EXPECT_EQ(Value(HKEY_CURRENT_USER, u"Software\\Imp", name), stored)
            << hostwin::ToUtf8(name);
    EXPECT_FALSE(Value(HKEY_CURRENT_USER, u"Software\\Imp", u"old"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Software\\Imp\\Gone"));
}

TEST_F(RegToolTest, ExportAndImportKeepStringsThatAQuotedFormWouldChange) {
    const std::pair<const char16_t*, std::vector<BYTE>> odd[] = {
        {u"v0", EncodeUtf16Le(u"no final NUL")},
        {u"v1", EncodeUtf16Le(std::u16string(u"two\0parts\0", 10))},
        {u"v2", EncodeUtf16Le(std::u16string(u"line\r\nbreak\0", 12))},
        {u"v3", {}},
    };
    {
        UniqueKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Raw", 0, NULL, 0, KEY_ALL_ACCESS,
                                  NULL, key.put(), NULL),
                  ERROR_SUCCESS);
        for (const auto& [name, data] : odd)
            ASSERT_EQ(RegSetValueExW(key.get(), name, 0, REG_SZ, data.data(),
                                     static_cast<DWORD>(data.size())),
                      ERROR_SUCCESS);
    }
    ASSERT_TRUE(Succeeds({"export", "HKCU\\Software\\Raw", RootPath("raw.reg"), "/y"}));
    ASSERT_TRUE(Succeeds({"delete", "HKCU\\Software\\Raw", "/f"}));
    ASSERT_TRUE(Succeeds({"import", RootPath("raw.reg")}));
    for (const auto& [name, data] : odd)
        EXPECT_EQ(Value(HKEY_CURRENT_USER, u"Software\\Raw", name), Stored(REG_SZ, data))
            << hostwin::ToUtf8(name);
}

// Two processes: one exports a tree while the other deletes it. The export is the whole tree
// as it was, or a failure; never a success with part of it.
TEST_F(RegToolTest, AnExportRacingADeletionWritesTheWholeTreeOrFails) {
    constexpr int kKeys = 300;
    std::string tree = "Windows Registry Editor Version 5.00\r\n";
    for (int i = 0; i < kKeys; ++i)
        tree += "[HKEY_CURRENT_USER\\Software\\Race\\K" + std::to_string(i / 10) + "\\K" +
                std::to_string(i) + "]\r\n\"v\"=\"x\"\r\n";
    WriteFile(RootPath("tree.reg"), tree);
    const std::vector<BYTE> keyLine =
        hostwin::EncodeUtf16Le(u"[HKEY_CURRENT_USER\\Software\\Race\\K");
    const std::string needle(keyLine.begin(), keyLine.end());
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(Succeeds({"import", RootPath("tree.reg")}));
        ProgramResult exported, deleted;
        std::thread deleter([&] { deleted = Reg({"delete", "HKCU\\Software\\Race", "/f"}); });
        exported = Reg({"export", "HKCU\\Software\\Race", RootPath("race.reg"), "/y"});
        deleter.join();
        EXPECT_EQ(deleted.exitStatus, 0) << deleted.err;
        if (exported.exitStatus != 0) {
            EXPECT_EQ(exported.exitStatus, 1);
            EXPECT_EQ(exported.err, kNotFound);
            continue;
        }
        const std::string file = ReadFile(RootPath("race.reg"));
        size_t keys = 0;
        for (size_t at = file.find(needle); at != std::string::npos; at = file.find(needle, at + 1))
            ++keys;
        EXPECT_EQ(keys, kKeys + kKeys / 10u); // the 300 keys and their 30 parents
    }
}

TEST_F(RegToolTest, ACrashBeforeCommitLeavesThePreviousState) {
    ASSERT_TRUE(Succeeds({"add", "HKCU\\Software\\Before", "/v", "v", "/d", "kept", "/f"}));
    const std::vector<std::string> add = {"add", "HKCU\\Software\\A\\B\\C", "/v", "x", "/d", "y",
                                          "/f"};
    // First write of the process: creating three nested keys at once; -1: killed.
    EXPECT_EQ(Reg(add, {{"HOSTWIN_REGISTRY_CRASH_BEFORE_COMMIT", "1"}}).exitStatus, -1);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Software\\A"));
    // Second write: the keys are committed, the value is not.
    EXPECT_EQ(Reg(add, {{"HOSTWIN_REGISTRY_CRASH_BEFORE_COMMIT", "2"}}).exitStatus, -1);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Software\\A\\B\\C"));
    EXPECT_FALSE(Value(HKEY_CURRENT_USER, u"Software\\A\\B\\C", u"x"));

    EXPECT_EQ(Value(HKEY_CURRENT_USER, u"Software\\Before", u"v"), Sz(u"kept"));
    EXPECT_TRUE(Succeeds(add));
}

} // namespace

namespace {

// A name added in one case is the same name in the other, to the tool and to the registry
// functions alike, beyond ASCII too.
TEST_F(RegToolTest, NamesMatchAcrossCaseInEveryScript) {
    const struct {
        const char* script;
        std::string added, other;
    } cases[] = {
        {"Cyrillic", "ПРИВЕТ", "привет"},
        {"Greek, final sigma", "ΟΔΟΣ", "οδος"},
        {"Greek, final sigma lower", "οδος", "ΟΔΟΣ"},
        {"Latin-1 and y diaeresis", "ÀÉÿ", "àéŸ"},
        {"Latin Extended-A", "ĀčŁž", "āČłŽ"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        const std::string key = "HKCU\\Software\\T\\" + c.added;
        ASSERT_TRUE(Succeeds({"add", key, "/v", c.added, "/d", "x", "/f"}));
        const std::string otherKey = "HKCU\\Software\\T\\" + c.other;
        ProgramResult query = Reg({"query", otherKey, "/v", c.other});
        EXPECT_EQ(query.exitStatus, 0) << query.err;
        UniqueKey opened;
        EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER,
                                (u"Software\\T\\" + hostwin::FromUtf8(c.other)).c_str(), 0,
                                KEY_READ, opened.put()),
                  ERROR_SUCCESS);
        opened.reset();
        EXPECT_TRUE(Succeeds({"delete", otherKey, "/v", c.other, "/f"}));
        EXPECT_EQ(Reg({"query", key, "/v", c.added}).exitStatus, 1) << "the value is gone";
        EXPECT_TRUE(Succeeds({"delete", otherKey, "/f"}));
        EXPECT_FALSE(
            KeyExists(HKEY_CURRENT_USER, (u"Software\\T\\" + hostwin::FromUtf8(c.added)).c_str()));
    }
    // Sharp s and dotless i have no uppercase of their own: they stay different names.
    ASSERT_TRUE(Succeeds({"add", "HKCU\\Software\\T", "/v", "straße", "/d", "x", "/f"}));
    EXPECT_EQ(Reg({"query", "HKCU\\Software\\T", "/v", "STRASSE"}).exitStatus, 1);
    ASSERT_TRUE(Succeeds({"add", "HKCU\\Software\\T", "/v", "fıle", "/d", "x", "/f"}));
    EXPECT_EQ(Reg({"query", "HKCU\\Software\\T", "/v", "FILE"}).exitStatus, 1);
}

} // namespace
