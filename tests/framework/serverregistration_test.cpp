// Server registration: the AppID entry and its service mark, the class table walk with its
// categories, and the order in which failures stop the steps.
#include "machine.h"
#include "registry_values.h"
#include "test_module.h"

#include <string>
#include <vector>

namespace {

using testing_support::KeyExists;

const std::u16string kAppIdKey = u"AppID\\{00000000-1111-2222-3333-444444444444}";
const std::u16string kLibraryKey = u"TypeLib\\{5C0D7A21-4B9E-4F3A-9D62-1E8B7C3F0A54}";

std::vector<std::string> g_updates; // "A+" registered, "A-" unregistered, in call order
HRESULT g_updateResult[2];          // per class

const CLSID kClassA = {0xA, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
const CLSID kClassB = {0xB, 0, 0, {0, 0, 0, 0, 0, 0, 0, 2}};
const GUID kCategory = {0xC, 0, 0, {0, 0, 0, 0, 0, 0, 0, 3}};
const CategoryMapEntry kCategories[] = {
    {kCategoryImplemented, &kCategory}, {kCategoryRequired, &kCategory}, {kCategoryEnd, NULL}};

HRESULT WINAPI UpdateA(BOOL bRegister) {
    g_updates.push_back(bRegister ? "A+" : "A-");
    return g_updateResult[0];
}
HRESULT WINAPI UpdateB(BOOL bRegister) {
    g_updates.push_back(bRegister ? "B+" : "B-");
    return g_updateResult[1];
}
const CategoryMapEntry* WINAPI CategoriesOfB() {
    return kCategories;
}

std::optional<std::u16string> LocalService() {
    hostwin::UniqueKey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kAppIdKey.c_str(), 0, KEY_READ, key.put()) != 0)
        return std::nullopt;
    std::optional<testing_support::StoredValue> value =
        testing_support::ReadStoredValue(key.get(), u"LocalService");
    if (!value)
        return u"(none)";
    return std::u16string(reinterpret_cast<const char16_t*>(value->data.data()));
}

class ServerRegistrationTest : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        CTestModule::s_appIdScriptResult = S_OK;
        CTestModule::s_appIdScriptRuns[0] = CTestModule::s_appIdScriptRuns[1] = 0;
        g_updates.clear();
        g_updateResult[0] = g_updateResult[1] = S_OK;
        m_entryA.pclsid = &kClassA;
        m_entryA.pfnUpdateRegistry = UpdateA;
        m_entryB.pclsid = &kClassB;
        m_entryB.pfnUpdateRegistry = UpdateB;
        m_entryB.pfnGetCategoryMap = CategoriesOfB;
        // A null slot first and between them: both walks skip it.
        g_testClassTable[1] = &m_entryA;
        g_testClassTable[3] = &m_entryB;
    }
    void TearDown() override {
        for (ClassTableEntry*& slot : g_testClassTable)
            slot = NULL;
        hostwin::ClearFaults();
        MachineTest::TearDown();
    }
    ClassTableEntry m_entryA{};
    ClassTableEntry m_entryB{};
};

TEST_F(ServerRegistrationTest, TheAppIdEntryIsMarkedOnlyForAServiceAndTheKeyOutlivesTheMark) {
    ASSERT_EQ(g_testModule.RegisterAppIdEntry(true), S_OK);
    EXPECT_EQ(LocalService(), u"pellardservice");
    EXPECT_TRUE(g_testModule.IsServiceInstalled());

    // Registering without the flag removes both the service and the mark.
    ASSERT_EQ(g_testModule.RegisterAppIdEntry(false), S_OK);
    EXPECT_EQ(LocalService(), u"(none)");
    EXPECT_FALSE(g_testModule.IsServiceInstalled());
    EXPECT_EQ(CTestModule::s_appIdScriptRuns[1], 2);

    ASSERT_EQ(g_testModule.RegisterAppIdEntry(true), S_OK);
    ASSERT_EQ(g_testModule.UnregisterAppIdEntry(), S_OK);
    EXPECT_EQ(LocalService(), u"(none)");
    EXPECT_FALSE(g_testModule.IsServiceInstalled());
    EXPECT_EQ(CTestModule::s_appIdScriptRuns[0], 1);
}

TEST_F(ServerRegistrationTest, EachFailureEndsTheAppIdStepsWhereItHappens) {
    struct Case {
        const char* what;
        bool unregister;
        bool asService;
        bool serviceBefore;
        bool appIdBefore;
        const char* function; // a failing platform call, or nullptr
        unsigned nth;
        HRESULT scriptResult;
        bool deleteAppIdRoot; // HKCR\AppID itself missing
        HRESULT result;
        int scriptRuns;
        std::optional<std::u16string> mark;
        bool serviceAfter;
    } cases[] = {
        {"removal fails", false, false, true, false, "DeleteService", 1, S_OK, false, E_FAIL, 0,
         std::nullopt, true},
        {"script fails", false, false, false, false, nullptr, 0, E_ACCESSDENIED, false,
         E_ACCESSDENIED, 1, std::nullopt, false},
        {"no AppID root", false, false, false, false, nullptr, 0, S_OK, true,
         static_cast<HRESULT>(0x80070002), 1, std::nullopt, false},
        // The mark is written before the installation fails.
        {"installation fails", false, true, false, false, "CreateServiceW", 1, S_OK, false, E_FAIL,
         1, u"pellardservice", false},
        {"unregister, removal fails", true, false, true, true, "DeleteService", 1, S_OK, false,
         E_FAIL, 0, u"(none)", true},
        // The service goes first; then the missing key ends it before the script.
        {"unregister, never registered", true, false, true, false, nullptr, 0, S_OK, false,
         static_cast<HRESULT>(0x80070002), 0, std::nullopt, false},
        {"unregister, script fails", true, false, false, true, nullptr, 0, E_ACCESSDENIED, false,
         E_ACCESSDENIED, 1, u"(none)", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_testModule.RemoveService();
        RegDeleteKeyW(HKEY_CLASSES_ROOT, kAppIdKey.c_str());
        hostwin::UniqueKey root;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Classes\\AppID", 0, NULL, 0,
                                  KEY_WRITE, NULL, root.put(), NULL),
                  ERROR_SUCCESS);
        root.reset();
        if (c.appIdBefore) {
            ASSERT_EQ(g_testModule.RegisterAppIdEntry(false), S_OK);
        }
        if (c.serviceBefore) {
            ASSERT_TRUE(g_testModule.InstallService());
        }
        if (c.deleteAppIdRoot) {
            ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Classes\\AppID"), 0);
        }
        CTestModule::s_appIdScriptRuns[0] = CTestModule::s_appIdScriptRuns[1] = 0;
        CTestModule::s_appIdScriptResult = c.scriptResult;
        if (c.function)
            hostwin::InjectFault(c.function, c.nth, ERROR_ACCESS_DENIED);
        EXPECT_EQ(c.unregister ? g_testModule.UnregisterAppIdEntry()
                               : g_testModule.RegisterAppIdEntry(c.asService),
                  c.result);
        hostwin::ClearFaults();
        CTestModule::s_appIdScriptResult = S_OK;
        EXPECT_EQ(CTestModule::s_appIdScriptRuns[c.unregister ? 0 : 1], c.scriptRuns);
        EXPECT_EQ(LocalService(), c.mark);
        EXPECT_EQ(g_testModule.IsServiceInstalled() != FALSE, c.serviceAfter);
    }
    g_testModule.RemoveService();
}

TEST_F(ServerRegistrationTest, ClassesAreWalkedFirstToLastAndTheFirstFailureStopsTheRest) {
    struct Case {
        const char* what;
        bool unregister;
        const CLSID* only;
        HRESULT resultA;
        std::vector<std::string> updates;
        HRESULT result;
    } cases[] = {
        {"register all", false, nullptr, S_OK, {"A+", "B+"}, S_OK},
        {"unregister all", true, nullptr, S_OK, {"A-", "B-"}, S_OK},
        {"register B only", false, &kClassB, S_OK, {"B+"}, S_OK},
        {"unregister A only", true, &kClassA, S_OK, {"A-"}, S_OK},
        {"A fails", false, nullptr, E_ACCESSDENIED, {"A+"}, E_ACCESSDENIED},
        {"A fails to unregister", true, nullptr, E_ACCESSDENIED, {"A-"}, E_ACCESSDENIED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_updates.clear();
        g_updateResult[0] = c.resultA;
        // The library is asked for: a failure before it leaves it out.
        HRESULT hr = c.unregister ? g_testModule.UnregisterComServer(FALSE, c.only)
                                  : g_testModule.RegisterComServer(TRUE, c.only);
        EXPECT_EQ(hr, c.result);
        EXPECT_EQ(g_updates, c.updates);
        if (!c.unregister) {
            EXPECT_EQ(KeyExists(HKEY_CLASSES_ROOT, kLibraryKey), SUCCEEDED(c.result));
        }
        UnregisterServerTypeLib(g_comModule.m_hInstTypeLib);
    }
}

// Without the component categories manager (the host has none) the category steps succeed and
// touch nothing, not even empty category keys.
TEST_F(ServerRegistrationTest, WithoutACategoriesManagerTheCategoryStepsDoNothing) {
    const std::u16string classB = u"CLSID\\{0000000B-0000-0000-0000-000000000002}\\";
    const std::u16string keys[] = {classB + u"Implemented Categories",
                                   classB + u"Required Categories"};
    for (const std::u16string& path : keys) {
        hostwin::UniqueKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, NULL, 0, KEY_WRITE, NULL,
                                  key.put(), NULL),
                  ERROR_SUCCESS);
    }
    hostwin::EnableCallLog(true);
    EXPECT_EQ(g_testModule.RegisterComServer(FALSE), S_OK);
    EXPECT_EQ(g_testModule.UnregisterComServer(FALSE), S_OK);
    // Asked for once each way, for the one class with a category list.
    EXPECT_EQ(hostwin::CallLog("CoCreateInstance").size(), 2u);
    hostwin::EnableCallLog(false);
    for (const std::u16string& path : keys)
        EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, path)) << hostwin::ToUtf8(path);
    // A null class and a class without a list are never asked for.
    hostwin::ClearCallLog();
    hostwin::EnableCallLog(true);
    EXPECT_EQ(UpdateClassCategories(GUID_NULL, kCategories, true), S_OK);
    EXPECT_EQ(UpdateClassCategories(kClassB, NULL, false), S_OK);
    EXPECT_TRUE(hostwin::CallLog("CoCreateInstance").empty());
    hostwin::EnableCallLog(false);
}

} // namespace
