// The command line: where switches start, how a switch word ends, which of several switches
// acts, and what each switch then does to the registry through the module's layers.
#include "machine.h"
#include "registry_values.h"
#include "test_module.h"

#include <string>
#include <vector>

namespace {

const LPCWSTR kServerWords[] = {u"UnregServer", u"RegServer", u"UnregServerPerUser",
                                u"RegServerPerUser", u"Service"};

TEST(CommandLineTest, FindSwitchStartGivesThePlaceAfterTheFirstCharacterOfTheSet) {
    struct Case {
        const char16_t* text;
        const char16_t* set;
        int after; // offset of the result; -1 for NULL
    } cases[] = {
        {u"-a", u"-/", 1}, {u"x/a -b", u"-/", 2}, {u"abc-", u"-/", 4}, {u"abc", u"-/", -1},
        {u"", u"-/", -1},  {u"a-b", u"", -1},     {u"a/b-c", u"-", 4}, // only characters of the set
                                                                       // count, wherever they stand
                                                                       // in it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hostwin::ToUtf8(c.text));
        LPCWSTR found = FindSwitchStart(c.text, c.set);
        EXPECT_EQ(found == NULL ? -1 : static_cast<int>(found - c.text), c.after);
    }
    EXPECT_EQ(FindSwitchStart(NULL, szTokens), nullptr);
}

TEST(CommandLineTest, ASwitchWordEndsOnlyAtTheEndABlankOrATab) {
    struct Case {
        const char16_t* candidate;
        const char16_t* word;
        int result;
    } cases[] = {
        {u"Service", u"Service", 0},
        {u"SERVICE", u"Service", 0},
        {u"sErViCe", u"Service", 0},
        {u"Service rest", u"Service", 0},
        {u"Service\tx", u"Service", 0},
        {u"Service=1", u"Service", 1}, // '=' > end of word
        {u"Service:", u"Service", 1},  // so is ':'
        {u"Servicex", u"Service", 1},  // and any letter
        {u"Servic", u"Service", -1},   // the candidate ends first
        {u"Servic e", u"Service", -1}, // a blank inside ends it too
        {u"", u"Service", -1},
        {u"RegServerPerUser", u"RegServer", 1},
        {u"UnregServerPerUser", u"UnregServer", 1},
        {u"RegServer", u"RegServerPerUser", -1},
        {u"A", u"B", -1}, // compared in upper case, as unsigned values
        {u"b", u"A", 1},
        {u"\u00E9", u"\u00C9", 0}, // the platform's case mapping, beyond ASCII
        {u"\uFF41", u"a", 1},      // a wide letter above every ASCII one
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hostwin::ToUtf8(c.candidate) + " / " + hostwin::ToUtf8(c.word));
        EXPECT_EQ(CompareSwitchWord(c.candidate, c.word), c.result);
    }
}

TEST(CommandLineTest, TheFirstSwitchStartThatHoldsAWordActsAndTheTableOrderBreaksNoTies) {
    struct Case {
        const char16_t* line;
        int word; // index in kServerWords, -1 for none
    } cases[] = {
        {u"tollivar.exe", -1},
        {u"tollivar.exe /RegServer", 1},
        {u"tollivar.exe -regserver", 1},
        {u"tollivar.exe -UNREGSERVER", 0},
        {u"tollivar.exe -UnregServerPerUser", 2},
        {u"tollivar.exe /RegServerPerUser", 3},
        {u"tollivar.exe -Service", 4},
        {u"tollivar.exe /RegServer /UnregServer", 1},
        {u"tollivar.exe /UnregServer /RegServer", 0},
        {u"tollivar.exe -Service=1 -Servicex -Service: -RegServer", 1},
        {u"tollivar.exe --RegServer", 1}, // the second '-' starts a candidate too
        {u"tollivar.exe -/Service", 4},
        {u"tollivar.exe - RegServer", -1}, // the word must follow at once
        {u"\"C:\\a -Service b\\tollivar.exe\"", 4},
        {u"\"C:\\a-Service\\tollivar.exe\"", -1}, // ended by '\', which is no end of a word
        {u"tollivar.exe x/Service\ty", 4},
        {u"tollivar.exe /Service\"", -1},
        {u"", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hostwin::ToUtf8(c.line));
        EXPECT_EQ(FindFirstSwitch(c.line, kServerWords, 5), c.word);
    }
}

// What ParseServiceSwitches sets off, seen in the registry of a fresh machine. The test
// module's AppID script only counts its runs.
class SwitchesTest : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        CTestModule::s_appIdScriptResult = S_OK;
        CTestModule::s_appIdScriptRuns[0] = CTestModule::s_appIdScriptRuns[1] = 0;
        SetPerUserRegistration(false);
    }
    void TearDown() override {
        SetPerUserRegistration(false);
        MachineTest::TearDown();
    }
};

TEST_F(SwitchesTest, EveryServerSwitchBeatsServiceAndOnlyTheFirstActs) {
    enum Course { kStart, kRegister, kRegisterService, kUnregister };
    struct Case {
        const char16_t* line;
        Course course;
        bool perUser;
    } cases[] = {
        {u"t.exe", kStart, false},
        {u"t.exe -Servicex /Service=1", kStart, false},
        {u"t.exe -Service", kRegisterService, false},
        {u"t.exe -Service /RegServer", kRegister, false},
        {u"t.exe -Service -UnregServer", kUnregister, false},
        {u"t.exe /service /regserverperuser", kRegister, true},
        {u"t.exe -Service -unregserverperuser", kUnregister, true},
        {u"t.exe /RegServer /UnregServerPerUser", kRegister, false},
    };
    const std::u16string appId = u"AppID\\{00000000-1111-2222-3333-444444444444}";
    for (const Case& c : cases) {
        SCOPED_TRACE(hostwin::ToUtf8(c.line));
        // Registered as a service beforehand, so that every course leaves its own trace.
        CTestModule::s_appIdScriptRuns[0] = CTestModule::s_appIdScriptRuns[1] = 0;
        ASSERT_EQ(g_testModule.ConfigureServiceEntry(true), S_OK);
        SetPerUserRegistration(c.perUser); // the library where the switch looks for it
        ASSERT_EQ(g_testModule.RegisterComServer(TRUE), S_OK);
        SetPerUserRegistration(false);
        ASSERT_TRUE(g_testModule.IsServiceInstalled());

        HRESULT hr = E_UNEXPECTED;
        bool start = g_testModule.ParseServiceSwitches(c.line, &hr);
        EXPECT_EQ(start, c.course == kStart);
        EXPECT_EQ(hr, S_OK);
        bool perUser = false;
        GetPerUserRegistration(&perUser);
        EXPECT_EQ(perUser, c.perUser);
        EXPECT_EQ(CTestModule::s_appIdScriptRuns[1],
                  c.course == kRegister || c.course == kRegisterService ? 2 : 1);
        EXPECT_EQ(CTestModule::s_appIdScriptRuns[0], c.course == kUnregister ? 1 : 0);
        EXPECT_EQ(g_testModule.IsServiceInstalled() != FALSE,
                  c.course == kStart || c.course == kRegisterService);
        std::optional<testing_support::StoredValue> mark;
        {
            hostwin::UniqueKey key;
            ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, appId.c_str(), 0, KEY_READ, key.put()),
                      ERROR_SUCCESS);
            mark = testing_support::ReadStoredValue(key.get(), u"LocalService");
        }
        EXPECT_EQ(mark.has_value(), c.course == kStart || c.course == kRegisterService);
        SetPerUserRegistration(false);
        HRESULT cleanup = S_OK;
        g_testModule.ParseServiceSwitches(u"t.exe /UnregServer", &cleanup);
        g_testModule.ParseServiceSwitches(u"t.exe /UnregServerPerUser", &cleanup);
        SetPerUserRegistration(false);
    }
}

TEST_F(SwitchesTest, AFailedStepEndsTheSwitchWithItsResult) {
    // The AppID step fails: no classes or library are registered after it.
    CTestModule::s_appIdScriptResult = E_ACCESSDENIED;
    HRESULT hr = S_OK;
    EXPECT_FALSE(g_testModule.ParseServiceSwitches(u"t.exe -RegServer", &hr));
    EXPECT_EQ(hr, E_ACCESSDENIED);
    EXPECT_FALSE(testing_support::KeyExists(HKEY_CLASSES_ROOT,
                                            u"TypeLib\\{5C0D7A21-4B9E-4F3A-9D62-1E8B7C3F0A54}"));

    // Unregistering a library that is not registered fails; the AppID step is then not run.
    CTestModule::s_appIdScriptResult = S_OK;
    EXPECT_FALSE(g_testModule.ParseServiceSwitches(u"t.exe -UnregServer", &hr));
    EXPECT_EQ(hr, TYPE_E_REGISTRYACCESS);
    EXPECT_EQ(CTestModule::s_appIdScriptRuns[0], 0);
}

} // namespace
