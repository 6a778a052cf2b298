// The service entry: what a new entry holds, which failure shows which message, and which ones
// stop the removal. Failures are injected into the host's service manager.
#include "machine.h"
#include "service_manager.h"
#include "test_module.h"

#include <filesystem>
#include <string>
#include <vector>

namespace {

class ServiceInstallTest : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        hostwin::EnableCallLog(true);
    }
    void TearDown() override {
        hostwin::ClearFaults();
        hostwin::EnableCallLog(false);
        MachineTest::TearDown();
    }

    std::vector<std::string> MessageBoxTexts() const {
        return testing_support::MessageBoxTexts(Root());
    }
    static size_t Calls(const std::string& function, const std::string& argsPart = "") {
        size_t count = 0;
        for (const hostwin::CallRecord& call : hostwin::CallLog(function))
            count += call.args.find(argsPart) != std::string::npos;
        return count;
    }
};

TEST_F(ServiceInstallTest, ANewEntryStartsOnDemandRunsTheQuotedProgramAndNeedsOnlyRpcss) {
    ASSERT_TRUE(g_testModule.InstallService());
    testing_support::OpenedService entry =
        testing_support::OpenServiceEntry(u"pellardservice", SERVICE_QUERY_CONFIG);
    ASSERT_TRUE(entry.service);
    alignas(QUERY_SERVICE_CONFIGW) BYTE buffer[8192];
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceConfigW(entry.service.get(), config, sizeof buffer, &needed));
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    WCHAR path[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    EXPECT_EQ(std::u16string(config->lpBinaryPathName),
              u"\"" + std::u16string(path, length) + u"\"");
    EXPECT_EQ(std::u16string(config->lpDisplayName), u"pellardservice");
    EXPECT_EQ(std::u16string(config->lpDependencies, 7), std::u16string(u"RPCSS\0\0", 7));
    entry = {};

    // Installing again leaves the entry alone.
    hostwin::ClearCallLog();
    EXPECT_TRUE(g_testModule.InstallService());
    EXPECT_EQ(Calls("CreateServiceW"), 0u);
    EXPECT_TRUE(MessageBoxTexts().empty());
}

TEST_F(ServiceInstallTest, EachFailureShowsItsOwnMessageAndAFailedStopStillDeletes) {
    struct Case {
        const char* what;
        bool installed;       // an entry exists before
        bool install;         // InstallService, else RemoveService
        const char* function; // the platform call that fails, nullptr for none
        unsigned nth;         // which of its calls, counted from the operation's start; 0 all
        DWORD error;
        BOOL result;
        std::vector<std::string> messages;
        bool installedAfter;
    } cases[] = {
        {"install, no manager",
         false,
         true,
         "OpenSCManagerW",
         2,
         ERROR_ACCESS_DENIED,
         FALSE,
         {"Could not open Service Manager"},
         false},
        {"install, creation refused",
         false,
         true,
         "CreateServiceW",
         1,
         ERROR_ACCESS_DENIED,
         FALSE,
         {"Could not start service"},
         false},
        // An entry marked for deletion is waited for, then made anew, without a box.
        {"install, the old entry goes",
         false,
         true,
         "CreateServiceW",
         1,
         ERROR_SERVICE_MARKED_FOR_DELETE,
         TRUE,
         {},
         true},
        {"install, no program path",
         false,
         true,
         "GetModuleFileNameW",
         1,
         ERROR_NOT_ENOUGH_MEMORY,
         FALSE,
         {},
         false},
        {"install, a standard user",
         false,
         true,
         "OpenSCManagerW",
         0,
         ERROR_ACCESS_DENIED,
         FALSE,
         {"Could not open Service Manager"},
         false},
        {"remove, nothing there", false, false, nullptr, 0, 0, TRUE, {}, false},
        {"remove, cannot even look",
         true,
         false,
         "OpenSCManagerW",
         1,
         ERROR_ACCESS_DENIED,
         TRUE,
         {},
         true},
        {"remove, stopped", true, false, nullptr, 0, 0, TRUE, {}, false},
        {"remove, no manager",
         true,
         false,
         "OpenSCManagerW",
         2,
         ERROR_ACCESS_DENIED,
         FALSE,
         {"Could not open Service Manager"},
         true},
        {"remove, no service",
         true,
         false,
         "OpenServiceW",
         2,
         ERROR_ACCESS_DENIED,
         FALSE,
         {"Could not open service"},
         true},
        {"remove, stop refused",
         true,
         false,
         "ControlService",
         1,
         ERROR_ACCESS_DENIED,
         TRUE,
         {"Could not stop service"},
         false},
        // Refused while pending, but not stopping: the stop did not happen and is reported.
        {"remove, busy",
         true,
         false,
         "ControlService",
         1,
         ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
         TRUE,
         {"Could not stop service"},
         false},
        {"remove, deletion refused",
         true,
         false,
         "DeleteService",
         1,
         ERROR_ACCESS_DENIED,
         FALSE,
         {"Could not delete service"},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.installed) {
            ASSERT_TRUE(g_testModule.InstallService());
        }
        testing_support::WriteFile(RootPath("messagebox.jsonl"), "");
        if (c.function)
            hostwin::InjectFault(c.function, c.nth, c.error);
        EXPECT_EQ(c.install ? g_testModule.InstallService() : g_testModule.RemoveService(),
                  c.result);
        hostwin::ClearFaults();
        EXPECT_EQ(MessageBoxTexts(), c.messages);
        EXPECT_EQ(g_testModule.IsServiceInstalled(), c.installedAfter ? TRUE : FALSE);
        g_testModule.RemoveService();
        ExpectNoLeakedHandles();
    }
}

// Every manager and service handle is closed before a message is shown: the box may stay up
// for a long time.
TEST_F(ServiceInstallTest, HandlesAreClosedBeforeTheMessageIsShown) {
    ASSERT_TRUE(g_testModule.InstallService());
    hostwin::ClearCallLog();
    hostwin::InjectFault("DeleteService", 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(g_testModule.RemoveService());
    std::vector<hostwin::CallRecord> calls = hostwin::CallLog();
    size_t box = 0, lastClose = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].function == "MessageBoxW")
            box = i;
        if (calls[i].function == "CloseServiceHandle")
            lastClose = i;
    }
    ASSERT_NE(box, 0u);
    EXPECT_LT(lastClose, box);
    EXPECT_EQ(Calls("ControlService", "control=1"), 1u);
}

// The entry holds the quoted path: a path of 259 characters still fits, one that may have been
// cut is refused without a word. Each length is a copy of the probe program at that path.
TEST_F(ServiceInstallTest, APathThatMayHaveBeenCutInstallsNothingAndSaysNothing) {
    for (size_t length : {259u, 260u, 300u}) {
        SCOPED_TRACE(length);
        // "C:\" + two folders + "\p.exe": no part longer than Linux allows.
        const size_t folders = length - 3 - 1 - 6;
        const std::string relative = std::string(folders / 2, 'd') + "/" +
                                     std::string(folders - folders / 2, 'e') + "/p.exe";
        const std::string path = RootPath("drive_c/" + relative);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::filesystem::copy_file(TYPELIB_PROBE_EXE, path,
                                   std::filesystem::copy_options::overwrite_existing);
        testing_support::ProgramResult result = testing_support::RunProgram(
            {path}, {{"TYPELIB_PROBE_STEP", "install-service"}, {"HOSTWIN_SHOW_EXIT_CODE", "1"}});
        const bool fits = length < MAX_PATH;
        EXPECT_NE(result.err.find(fits ? "exit code 0x00000000" : "exit code 0x80004005"),
                  std::string::npos)
            << result.err;
        testing_support::OpenedService entry =
            testing_support::OpenServiceEntry(u"probeservice", SERVICE_QUERY_CONFIG | DELETE);
        EXPECT_EQ(entry.service.valid(), fits);
        if (entry.service) {
            alignas(QUERY_SERVICE_CONFIGW) BYTE buffer[8192];
            auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
            DWORD needed = 0;
            ASSERT_TRUE(QueryServiceConfigW(entry.service.get(), config, sizeof buffer, &needed));
            EXPECT_EQ(std::u16string(config->lpBinaryPathName).size(), length + 2);
            DeleteService(entry.service.get());
        }
        entry = {};
        EXPECT_TRUE(MessageBoxTexts().empty());
    }
}

} // namespace
