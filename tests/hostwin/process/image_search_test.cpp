// The executable-search rules of CreateProcessW on plain data: which files are tried, in which
// order, for an application name or a command line.
#include "process/image_search.h"

#include <gtest/gtest.h>

namespace {

using Paths = std::vector<std::u16string>;

const hostwin::SearchFolders kFolders{u"C:\\prog\\", u"Z:\\cwd\\"};

Paths Searched(const std::u16string& name) {
    return {u"C:\\prog\\" + name, u"Z:\\cwd\\" + name, u"C:\\Windows\\System32\\" + name,
            u"C:\\Windows\\" + name};
}

TEST(ImageSearchTest, CandidatesFollowTheWindowsRules) {
    const struct {
        const char* what;
        const char16_t* application;
        std::u16string commandLine;
        std::vector<Paths> groups;
        std::vector<bool> searched;
    } cases[] = {
        {"application name taken as it is",
         u"C:\\a\\tool",
         u"ignored.exe x",
         {{u"C:\\a\\tool"}},
         {false}},
        {"path gets .exe", nullptr, u"C:\\a\\tool", {{u"C:\\a\\tool.exe"}}, {false}},
        {"extension kept", nullptr, u"C:\\a\\tool.bin", {{u"C:\\a\\tool.bin"}}, {false}},
        {"a dot in a folder is no extension",
         nullptr,
         u"C:\\a.d\\tool",
         {{u"C:\\a.d\\tool.exe"}},
         {false}},
        {"bare name searched", nullptr, u"tool", {Searched(u"tool.exe")}, {true}},
        {"every blank is a reading",
         nullptr,
         u"tool /x",
         {Searched(u"tool.exe"), {u"tool /x.exe"}},
         {true, false}},
        {"drive-relative name is a path", nullptr, u"C:tool", {{u"C:tool.exe"}}, {false}},
        {"quoted name with blanks is one name",
         nullptr,
         u"  \"C:\\Program Files\\t\" /x",
         {{u"C:\\Program Files\\t.exe"}},
         {false}},
        {"unterminated quote runs to the end",
         nullptr,
         u"\"C:\\a b\\t",
         {{u"C:\\a b\\t.exe"}},
         {false}},
        {"unquoted blanks tried shortest first, runs once",
         nullptr,
         u"C:\\Program  Files\\t x",
         {{u"C:\\Program.exe"}, {u"C:\\Program  Files\\t.exe"}, {u"C:\\Program  Files\\t x.exe"}},
         {false, false, false}},
        {"tab is a blank",
         nullptr,
         u"a\tb",
         {Searched(u"a.exe"), Searched(u"a\tb.exe")},
         {true, true}},
        {"trailing blanks add nothing", nullptr, u"tool   ", {Searched(u"tool.exe")}, {true}},
        {"empty line tries nothing", nullptr, u"   ", {}, {}},
    };
    for (const auto& c : cases) {
        std::vector<hostwin::CandidateGroup> groups =
            hostwin::ModuleCandidates(c.application, c.commandLine, kFolders);
        ASSERT_EQ(groups.size(), c.groups.size()) << c.what;
        for (size_t i = 0; i < groups.size(); ++i) {
            EXPECT_EQ(groups[i].paths, c.groups[i]) << c.what << " #" << i;
            EXPECT_EQ(groups[i].searched, c.searched[i]) << c.what << " #" << i;
        }
    }
}

} // namespace
