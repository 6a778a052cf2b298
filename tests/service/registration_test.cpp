// tollivar's own registration steps: the service entry made to start automatically with its
// description, which failures count, and the AppID script with and without the per-user flag.
#include "machine.h"
#include "registry_values.h"
#include "service_manager.h"

#include "tollivarmodule.h"

#include <optional>
#include <string>

namespace {

struct EntryState {
    bool exists = false;
    DWORD startType = 0;
    DWORD errorControl = 0;
    std::u16string description;
};

EntryState ReadEntry() {
    EntryState state;
    testing_support::OpenedService entry =
        testing_support::OpenServiceEntry(u"pellardservice", SERVICE_QUERY_CONFIG);
    if (entry.service) {
        alignas(QUERY_SERVICE_CONFIGW) BYTE buffer[8192];
        DWORD needed = 0;
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
        state.exists =
            QueryServiceConfigW(entry.service.get(), config, sizeof buffer, &needed) != FALSE;
        state.startType = config->dwStartType;
        state.errorControl = config->dwErrorControl;
        auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer);
        if (QueryServiceConfig2W(entry.service.get(), SERVICE_CONFIG_DESCRIPTION, buffer,
                                 sizeof buffer, &needed) &&
            description->lpDescription != NULL)
            state.description = description->lpDescription;
    }
    return state;
}

class TollivarRegistrationTest : public testing_support::MachineTest {
protected:
    void TearDown() override {
        hostwin::ClearFaults();
        g_module.RemoveService();
        SetPerUserRegistration(false);
        MachineTest::TearDown();
    }
};

TEST_F(TollivarRegistrationTest, OnlyOpeningTheManagerOrTheServiceCountsAfterTheAppIdStep) {
    struct Case {
        const char* what;
        bool installedBefore;
        const char* function; // fails with access denied; nullptr for none
        unsigned nth;         // counted from the start of ConfigureServiceEntry
        HRESULT result;
        DWORD startType;
        DWORD errorControl;
        const char16_t* description;
    } cases[] = {
        {"all well", false, nullptr, 0, S_OK, SERVICE_AUTO_START, SERVICE_ERROR_IGNORE, u"pellard"},
        // Manager opens: removal's look, installation's look and creation, this step's look,
        // then its own.
        {"no manager to change", false, "OpenSCManagerW", 5, E_ACCESSDENIED, SERVICE_DEMAND_START,
         SERVICE_ERROR_NORMAL, u""},
        {"no service to change", false, "OpenServiceW", 4, E_ACCESSDENIED, SERVICE_DEMAND_START,
         SERVICE_ERROR_NORMAL, u""},
        {"configuration refused", false, "ChangeServiceConfigW", 1, S_OK, SERVICE_DEMAND_START,
         SERVICE_ERROR_NORMAL, u"pellard"},
        {"description refused", false, "ChangeServiceConfig2W", 1, S_OK, SERVICE_AUTO_START,
         SERVICE_ERROR_IGNORE, u""},
        // The old entry could not be removed: that failure is the result, and the entry that
        // is still there is changed all the same.
        {"removal refused", true, "DeleteService", 1, E_FAIL, SERVICE_AUTO_START,
         SERVICE_ERROR_IGNORE, u"pellard"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_module.RemoveService();
        if (c.installedBefore) {
            ASSERT_TRUE(g_module.InstallService());
        }
        if (c.function)
            hostwin::InjectFault(c.function, c.nth, ERROR_ACCESS_DENIED);
        EXPECT_EQ(g_module.ConfigureServiceEntry(true), c.result);
        hostwin::ClearFaults();
        EntryState entry = ReadEntry();
        ASSERT_TRUE(entry.exists);
        EXPECT_EQ(entry.startType, c.startType);
        EXPECT_EQ(entry.errorControl, c.errorControl);
        EXPECT_EQ(entry.description, c.description);
    }
}

TEST_F(TollivarRegistrationTest, WithoutTheServiceFlagTheManagerIsLeftAlone) {
    ASSERT_TRUE(g_module.InstallService());
    hostwin::EnableCallLog(true);
    EXPECT_EQ(g_module.ConfigureServiceEntry(false), S_OK);
    EXPECT_TRUE(hostwin::CallLog("ChangeServiceConfigW").empty());
    hostwin::EnableCallLog(false);
    EXPECT_FALSE(ReadEntry().exists) << "the framework step removed it";
}

// The script is an empty classes block: machine-wide it writes nothing; per user it makes, and
// then removes, the user's classes key (taken away first, so that its making shows).
TEST_F(TollivarRegistrationTest, TheAppIdScriptFollowsThePerUserFlag) {
    const std::u16string userClasses = u"Software\\Classes";
    ASSERT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, userClasses.c_str()), ERROR_SUCCESS);
    for (bool perUser : {false, true}) {
        SCOPED_TRACE(perUser);
        SetPerUserRegistration(perUser);
        EXPECT_EQ(CtollivarModule::ApplyAppIdScript(TRUE), S_OK);
        EXPECT_EQ(testing_support::KeyExists(HKEY_CURRENT_USER, userClasses), perUser);
        EXPECT_EQ(CtollivarModule::ApplyAppIdScript(FALSE), S_OK);
        EXPECT_FALSE(testing_support::KeyExists(HKEY_CURRENT_USER, userClasses));
    }
}

} // namespace
