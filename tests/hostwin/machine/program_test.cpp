// This program's Windows view of itself: the Windows command-line rules (split and build, on
// plain data), its command line and its module path.
#include "machine.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class ProgramTest : public testing_support::MachineTest {};

TEST_F(ProgramTest, SplitsAndBuildsCommandLinesLikeTheWindowsRuntime) {
    struct Case {
        std::u16string line;
        std::vector<std::u16string> argv;
        bool built; // BuildCommandLine(argv) gives this very line
    } cases[] = {
        {u"C:\\bin\\a.exe", {u"C:\\bin\\a.exe"}, true},
        {u"a.exe  b\tc  ", {u"a.exe", u"b", u"c"}, false},
        {u"\"C:\\Program Files\\a.exe\" /Service",
         {u"C:\\Program Files\\a.exe", u"/Service"},
         true},
        // The program name knows no escapes: a trailing backslash stays.
        {u"\"C:\\dir\\\" b", {u"C:\\dir\\", u"b"}, false},
        {u"a \"b c\" \"\"", {u"a", u"b c", u""}, true},
        {u"a b\"c d\"e", {u"a", u"bc de"}, false},
        {u"a \"tab\there\" \\\\server\\share", {u"a", u"tab\there", u"\\\\server\\share"}, true},
        {u"a x\\y\\", {u"a", u"x\\y\\"}, true},
        {u"a \"x y\\\\\"", {u"a", u"x y\\"}, true},
        {u"a \"say \\\"hi\\\"\"", {u"a", u"say \"hi\""}, true},
        {u"a \"x\\\\\\\"y\"", {u"a", u"x\\\"y"}, true},
        {u"a x\\\\\"y z\"", {u"a", u"x\\y z"}, false},
        {u"a \"x\"\"y\"", {u"a", u"x\"y"}, false},
        {u"a \"unterminated arg", {u"a", u"unterminated arg"}, false},
        {u"", {u""}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(hostwin::SplitCommandLine(c.line), c.argv) << hostwin::ToUtf8(c.line);
        if (c.built) {
            EXPECT_EQ(hostwin::ToUtf8(hostwin::BuildCommandLine(c.argv)), hostwin::ToUtf8(c.line));
        }
    }
}

TEST_F(ProgramTest, ModuleFileNameIsTheWindowsPathTruncatedAsWindowsDoes) {
    std::u16string expected = u"Z:" + hostwin::FromUtf8(fs::read_symlink("/proc/self/exe"));
    std::replace(expected.begin(), expected.end(), u'/', u'\\');
    const DWORD length = static_cast<DWORD>(expected.size());
    struct Case {
        DWORD size;
        DWORD result;
        std::u16string text;
        DWORD error; // 0: not set
    } cases[] = {
        {MAX_PATH * 4, length, expected, 0},
        {length + 1, length, expected, 0},
        {length, length, expected.substr(0, length - 1), ERROR_INSUFFICIENT_BUFFER},
        {1, 1, u"", ERROR_INSUFFICIENT_BUFFER},
    };
    for (const Case& c : cases) {
        std::vector<WCHAR> buffer(MAX_PATH * 4, u'#');
        SetLastError(0);
        EXPECT_EQ(GetModuleFileNameW(NULL, buffer.data(), c.size), c.result) << c.size;
        EXPECT_EQ(hostwin::ToUtf8(buffer.data()), hostwin::ToUtf8(c.text)) << c.size;
        EXPECT_EQ(GetLastError(), c.error) << c.size;
    }
    WCHAR buffer[8];
    EXPECT_EQ(GetModuleFileNameW(GetModuleHandleW(NULL), buffer, 0), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x1000), buffer, 8), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    // The command line starts with the same path; arguments follow.
    std::u16string line = GetCommandLineW();
    EXPECT_EQ(hostwin::ToUtf8(line.substr(0, expected.size())), hostwin::ToUtf8(expected));
}

} // namespace
