// The registry-script text layer on plain strings: expansion of %NAME% and "%%", the per-user
// rewriting of top-level HKCR, and the tokenizer with its quoting and its length bound.
#include "machine.h"

#include "registrar.h"

#include <crtdbg.h>

#include <string>
#include <utility>
#include <vector>

using testing_support::DebugReportTexts;
using testing_support::MachineTest;

namespace {

const std::u16string kPerUserOpening = u"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses";
const std::u16string kPerUserClosing = u"\r\n\t}\r\n}\r\n";

class ScriptTextTest : public MachineTest {
protected:
    void TearDown() override {
        SetPerUserRegistration(false);
        MachineTest::TearDown();
    }

    // Expands `script` with the given replacements, defined in order.
    std::pair<HRESULT, std::u16string>
    Expand(const std::u16string& script,
           const std::vector<std::pair<std::u16string, std::u16string>>& replacements = {}) {
        CRegObject registrar;
        EXPECT_EQ(registrar.Initialize(), S_OK);
        for (const auto& [name, value] : replacements)
            EXPECT_EQ(registrar.DefineReplacement(name.c_str(), value.c_str()), S_OK);
        ScriptParser parser(&registrar);
        LPOLESTR expanded = reinterpret_cast<LPOLESTR>(1);
        HRESULT hr = parser.ExpandScript(script.c_str(), &expanded);
        std::u16string text = expanded != NULL ? std::u16string(expanded) : u"<null>";
        CoTaskMemFree(expanded);
        return {hr, text};
    }
};

struct ExpansionCase {
    const char* name;
    std::u16string script;
    bool perUser;
    HRESULT hr;
    std::u16string expanded; // "<null>" when the output must be null
    const char* trace;       // the one level-0 trace expected, or null for none
};

TEST_F(ScriptTextTest, ExpandsReplacementsPercentsAndPerUserRoots) {
    const std::u16string name31(31, u'N');
    const std::u16string name32(32, u'N');
    const ExpansionCase cases[] = {
        {"empty script", u"", false, S_OK, u"", nullptr},
        {"earliest definition wins", u"a %APPID% b", false, S_OK, u"a first b", nullptr},
        {"names ignore case", u"%appid%%Module%", false, S_OK, u"firstm", nullptr},
        {"double percent", u"100%% '%%'", false, S_OK, u"100% '%'", nullptr},
        {"31-unit name", u"x%" + name31 + u"%y", false, S_OK, u"xlongy", nullptr},
        {"32-unit name", u"%" + name32 + u"%", false, E_FAIL, u"<null>", nullptr},
        {"no closing percent", u"HKCR { %APPID", false, DISP_E_EXCEPTION, u"<null>",
         "traceRegistrar - Error no closing % found\n"},
        {"percent at the end", u"abc%", false, DISP_E_EXCEPTION, u"<null>",
         "traceRegistrar - Error no closing % found\n"},
        {"unknown name", u"%NOPE%", false, DISP_E_EXCEPTION, u"<null>",
         "traceRegistrar - Map Entry not found\n"},
        {"value inserted unchanged", u"'%QUOTE%'", false, S_OK, u"'it's'", nullptr},
        {"combining mark kept", u"e\u0301%%\u0301", false, S_OK, u"e\u0301%\u0301", nullptr},
        {"HKCR kept without per-user", u"HKCR\r\n{\r\n}\r\n", false, S_OK, u"HKCR\r\n{\r\n}\r\n",
         nullptr},
        {"own script per user", u"HKCR\r\n{\r\n}\r\n", true, S_OK,
         kPerUserOpening + u"\r\n{\r\n" + kPerUserClosing + u"}\r\n", nullptr},
        {"nested HKCR kept", u"HKCR { HKCR { } }", true, S_OK,
         kPerUserOpening + u" { HKCR { } " + kPerUserClosing + u"}", nullptr},
        {"quoted brace does not close", u"HKCR { '}' 'it''s }' }", true, S_OK,
         kPerUserOpening + u" { '}' 'it''s }' " + kPerUserClosing + u"}", nullptr},
        {"second root rewritten too", u"HKCR{}HKCR{}", true, S_OK,
         kPerUserOpening + u"{" + kPerUserClosing + u"}" + kPerUserOpening + u"{" +
             kPerUserClosing + u"}",
         nullptr},
        {"other spellings kept", u"hkcr { } HKEY_CLASSES_ROOT { }", true, S_OK,
         u"hkcr { } HKEY_CLASSES_ROOT { }", nullptr},
        {"values not examined", u"HKCR { %BRACE% }", true, S_OK,
         kPerUserOpening + u" { } " + kPerUserClosing + u"}", nullptr},
        {"root name alone", u"HKCR", true, S_OK, kPerUserOpening, nullptr},
    };
    for (const ExpansionCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetPerUserRegistration(c.perUser);
        hostwin::ClearDebugReports();
        auto [hr, text] = Expand(c.script, {{u"APPID", u"first"},
                                            {u"appid", u"second"},
                                            {u"Module", u"m"},
                                            {name31, u"long"},
                                            {name32, u"longer"},
                                            {u"QUOTE", u"it's"},
                                            {u"BRACE", u"}"}});
        EXPECT_EQ(hr, c.hr);
        EXPECT_EQ(hostwin::ToUtf8(text), hostwin::ToUtf8(c.expanded));
        std::vector<std::string> expectedTraces;
        if (c.trace)
            expectedTraces.push_back(c.trace);
        EXPECT_EQ(DebugReportTexts(_CRT_WARN), expectedTraces);
    }
}

TEST_F(ScriptTextTest, RefusesMissingArgumentsAndReportsAllocationFailure) {
    CRegObject registrar;
    ASSERT_EQ(registrar.Initialize(), S_OK);
    ScriptParser parser(&registrar);
    LPOLESTR expanded = NULL;
    EXPECT_EQ(parser.ExpandScript(NULL, &expanded), E_POINTER);
    EXPECT_EQ(parser.ExpandScript(u"x", NULL), E_POINTER);

    hostwin::InjectFault("CoTaskMemAlloc", 1, ERROR_OUTOFMEMORY);
    expanded = reinterpret_cast<LPOLESTR>(1);
    EXPECT_EQ(parser.ExpandScript(u"HKCR { }", &expanded), E_OUTOFMEMORY);
    EXPECT_EQ(expanded, nullptr);

    // Growing: a value far longer than twice the script forces reallocations.
    ASSERT_EQ(registrar.DefineReplacement(u"BIG", std::u16string(5000, u'v').c_str()), S_OK);
    hostwin::InjectFault("CoTaskMemRealloc", 1, ERROR_OUTOFMEMORY);
    EXPECT_EQ(parser.ExpandScript(u"%BIG%", &expanded), E_OUTOFMEMORY);
    EXPECT_EQ(expanded, nullptr);
    ASSERT_EQ(parser.ExpandScript(u"%BIG%%BIG%", &expanded), S_OK);
    EXPECT_EQ(std::u16string(expanded), std::u16string(10000, u'v'));
    CoTaskMemFree(expanded);
}

TEST_F(ScriptTextTest, ExpansionBufferGrowsByDoublingAndRefusesOverflow) {
    ExpansionBuffer small(99);
    EXPECT_EQ(small.m_capacity, 1000) << "a request below 100 becomes 1000";
    ExpansionBuffer exact(100);
    EXPECT_EQ(exact.m_capacity, 100);
    std::u16string chunk(99, u'a');
    ASSERT_TRUE(exact.AppendChars(chunk.c_str(), 99));
    EXPECT_EQ(exact.m_capacity, 200) << "needed 100 is not below 100: doubled once";
    ASSERT_TRUE(exact.AppendString(u"bc"));
    EXPECT_EQ(exact.m_length, 101);
    EXPECT_FALSE(exact.AppendString(NULL));
    EXPECT_FALSE(exact.AppendChars(u"x", 0x7FFFFFFF)) << "the length would overflow";
    EXPECT_EQ(exact.m_length, 101) << "a refused append changes nothing";
    LPOLESTR text = exact.TakeText();
    EXPECT_EQ(std::u16string(text), chunk + u"bc");
    EXPECT_EQ(exact.m_text, nullptr);
    EXPECT_EQ(exact.m_capacity, 0);
    CoTaskMemFree(text);
}

struct TokenCase {
    const char* name;
    std::u16string text;
    std::vector<std::u16string> tokens; // read before the first failure
    const char* trace;                  // level-0 trace at the failure, or null
};

TEST_F(ScriptTextTest, SplitsTokensAtBlanksAndUnquotes) {
    const TokenCase cases[] = {
        {"doubled quote", u"'a''b'", {u"a'b"}, nullptr},
        {"empty quoted token", u"'' x", {u"", u"x"}, nullptr},
        {"blanks kept in quotes", u"'a b'c", {u"a b", u"c"}, nullptr},
        {"brace is no separator", u"HKCR{ }", {u"HKCR{", u"}"}, nullptr},
        {"equals is no separator", u"Val x=s", {u"Val", u"x=s"}, nullptr},
        {"every blank separates", u"\ta\r\nb c\n", {u"a", u"b", u"c"}, nullptr},
        {"quotes inside an unquoted token", u"it's %x%", {u"it's", u"%x%"}, nullptr},
        {"unclosed quote",
         u"ok 'abc",
         {u"ok"},
         "traceRegistrar - NextToken : Unexpected End of File\n"},
        {"doubled quote at the end",
         u"'ab''",
         {},
         "traceRegistrar - NextToken : Unexpected End of File\n"},
        {"blanks only", u" \r\n\t ", {}, nullptr},
        {"combining mark stays with its letter",
         u"e\u0301 '\u0301'",
         {u"e\u0301", u"\u0301"},
         nullptr},
    };
    for (const TokenCase& c : cases) {
        SCOPED_TRACE(c.name);
        hostwin::ClearDebugReports();
        ScriptParser parser(NULL);
        parser.m_cursor = c.text.c_str();
        std::vector<std::u16string> tokens;
        OLECHAR token[kTokenCapacity];
        HRESULT hr;
        while ((hr = parser.NextToken(token)) == S_OK)
            tokens.push_back(token);
        EXPECT_EQ(hr, DISP_E_EXCEPTION) << "the text always ends in a failed read";
        EXPECT_EQ(tokens, c.tokens);
        std::vector<std::string> expectedTraces;
        if (c.trace)
            expectedTraces.push_back(c.trace);
        EXPECT_EQ(DebugReportTexts(_CRT_WARN), expectedTraces);
    }
}

TEST_F(ScriptTextTest, TokensHoldAtMost4094Units) {
    struct {
        const char* name;
        std::u16string token;
        bool quoted;
        bool accepted;
    } cases[] = {
        {"4094 units", std::u16string(4094, u'k'), false, true},
        {"4095 units", std::u16string(4095, u'k'), false, false},
        {"4094 units quoted", std::u16string(4094, u'k'), true, true},
        {"4095 units quoted", std::u16string(4095, u'k'), true, false},
        // A character of two units must fit whole: 4092 + 2 fits, 4093 + 2 does not.
        {"two-unit character at the bound", std::u16string(4092, u'k') + u"e\u0301", false, true},
        {"two-unit character past the bound", std::u16string(4093, u'k') + u"e\u0301", false,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::u16string text = c.quoted ? u"'" + c.token + u"' next" : c.token + u" next";
        ScriptParser parser(NULL);
        parser.m_cursor = text.c_str();
        std::vector<OLECHAR> token(kTokenCapacity);
        if (!c.accepted) {
            EXPECT_EQ(parser.NextToken(token.data()), DISP_E_EXCEPTION);
            continue;
        }
        ASSERT_EQ(parser.NextToken(token.data()), S_OK);
        EXPECT_EQ(std::u16string(token.data()), c.token);
        ASSERT_EQ(parser.NextToken(token.data()), S_OK);
        EXPECT_EQ(std::u16string(token.data()), u"next");
    }
}

TEST_F(ScriptTextTest, DoublesSingleQuotesWithinTheCapacity) {
    struct {
        const char* source;
        DWORD capacity;
        const char* expected;
    } cases[] = {
        {"C:\\it's\\a.exe", 100, "C:\\it''s\\a.exe"},
        {"''", 5, "''''"},
        {"''", 4, "'''"}, // the second quote's partner no longer fits
        {"a'", 3, "a'"},  // a quote at the last place loses its partner
        {"abc", 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        std::vector<OLECHAR> out(c.capacity + 1, u'#');
        DoubleSingleQuotes(out.data(), c.capacity, hostwin::FromUtf8(c.source).c_str());
        EXPECT_EQ(hostwin::ToUtf8(out.data()), c.expected);
        EXPECT_EQ(out[c.capacity], u'#') << "nothing written past the capacity";
    }
    OLECHAR untouched = u'#';
    DoubleSingleQuotes(&untouched, 0, u"x");
    EXPECT_EQ(untouched, u'#');
}

TEST_F(ScriptTextTest, ModuleReplacementsDoubleQuotesAndQuoteAnExecutablesPath) {
    const std::u16string longPath = u"C:\\" + std::u16string(250, u'\'') + u"\\t.exe";
    const std::u16string longDoubled = u"C:\\" + std::u16string(500, u'\'') + u"\\t.exe";
    struct {
        const char* name;
        std::u16string path;
        bool executable;
        std::u16string module;
        std::u16string moduleRaw;
    } cases[] = {
        {"executable", u"C:\\it's\\a.exe", true, u"\"C:\\it''s\\a.exe\"", u"C:\\it''s\\a.exe"},
        {"library", u"C:\\it's\\a.dll", false, u"C:\\it''s\\a.dll", u"C:\\it''s\\a.dll"},
        // The longest path a module can have, nearly all quotes: doubled, it still fits whole.
        {"longest path of quotes", longPath, true, u"\"" + longDoubled + u"\"", longDoubled},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_LE(c.path.size(), static_cast<size_t>(MAX_PATH - 1));
        CRegObject registrar;
        ASSERT_EQ(registrar.Initialize(), S_OK);
        ASSERT_EQ(DefineModuleReplacements(&registrar, c.path.c_str(), c.executable), S_OK);
        EXPECT_EQ(std::u16string(registrar.LookupReplacement(u"Module")), c.module);
        EXPECT_EQ(std::u16string(registrar.LookupReplacement(u"Module_Raw")), c.moduleRaw);
    }
}

} // namespace
