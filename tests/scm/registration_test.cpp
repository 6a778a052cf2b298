// tollivar's registration switches driven as a person drives them on a fresh machine, each
// result read back with reg and sc: what every switch leaves behind, the standard user's
// failures and the message boxes that tell them.
#include "registry_values.h"
#include "scm_support.h"

#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using scm_support::AwaitCondition;
using testing_support::KeyExists;
using testing_support::ProgramResult;
using testing_support::ReadDefaultText;

const char kAppIdKey[] = "HKCR\\AppID\\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}";
const std::u16string kLibraryPath = u"TypeLib\\{5C0D7A21-4B9E-4F3A-9D62-1E8B7C3F0A54}";

class RegistrationTest : public testing_support::MachineTest {
protected:
    ProgramResult Run(const char* program, std::vector<std::string> args,
                      const std::map<std::string, std::string>& extra = {}) {
        args.insert(args.begin(), program);
        std::map<std::string, std::string> environment = {{"HOSTWIN_ROOT", Root()},
                                                          {"HOSTWIN_TIME_SCALE", "0.01"},
                                                          {"HOSTWIN_SHOW_EXIT_CODE", "1"}};
        for (const auto& [name, value] : extra)
            environment[name] = value;
        return testing_support::RunProgram(args, environment);
    }
    // tollivar.exe with one command line; its full exit code.
    DWORD Tollivar(const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& extra = {},
                   const char* program = TOLLIVAR_EXE) {
        ProgramResult result = Run(program, args, extra);
        size_t at = result.err.rfind("exit code 0x");
        EXPECT_NE(at, std::string::npos) << result.err;
        return at == std::string::npos
                   ? 0xDEADBEEF
                   : static_cast<DWORD>(std::stoul(result.err.substr(at + 10, 10), nullptr, 16));
    }
    std::string Sc(const std::vector<std::string>& args) { return Run(SC_EXE, args).out; }
    std::string Reg(const std::vector<std::string>& args) { return Run(REG_EXE, args).out; }

    std::vector<std::string> MessageBoxTexts() { return testing_support::MessageBoxTexts(Root()); }

    // The library's path as registered below `classes`, if it is.
    static std::optional<std::u16string> LibraryPath(HKEY root, const std::u16string& classes) {
        return ReadDefaultText(root, classes + kLibraryPath + u"\\1.0\\409\\win32");
    }
    static std::optional<std::u16string> LocalService() {
        hostwin::UniqueKey key;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, u"AppID\\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}", 0,
                          KEY_READ, key.put()) != ERROR_SUCCESS)
            return std::nullopt;
        std::optional<testing_support::StoredValue> value =
            testing_support::ReadStoredValue(key.get(), u"LocalService");
        if (!value)
            return std::u16string(u"(none)");
        std::u16string text(reinterpret_cast<const char16_t*>(value->data.data()),
                            value->data.size() / 2);
        EXPECT_EQ(value->type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(text.back(), u'\0') << "written with its final NUL";
        return text.substr(0, text.size() - 1);
    }
    bool ServiceExists() { return Sc({"qc", "pellardservice"}).find("1060") == std::string::npos; }

    void StartService() {
        scm_support::InstallAgent(Root());
        std::string start = Sc({"start", "pellardservice"});
        ASSERT_NE(start.find("SERVICE_NAME: pellardservice"), std::string::npos) << start;
        ASSERT_TRUE(AwaitCondition([&] {
            return Sc({"query", "pellardservice"}).find("4  RUNNING") != std::string::npos;
        }));
    }
};

TEST_F(RegistrationTest, ServiceInstallsAnAutomaticServiceAndRegistersTheLibraryTheSameEachTime) {
    const std::u16string exe = hostwin::WindowsPath(TOLLIVAR_EXE);
    std::string states[2];
    for (std::string& state : states) {
        ASSERT_EQ(Tollivar({"/Service"}), 0u);
        state = Reg({"query", kAppIdKey}) + Sc({"qc", "pellardservice"}) +
                Sc({"qdescription", "pellardservice"}) +
                Reg({"query", "HKLM\\Software\\Classes\\" + hostwin::ToUtf8(kLibraryPath), "/s"});
    }
    EXPECT_EQ(states[0], states[1]);

    EXPECT_EQ(LocalService(), u"pellardservice");
    std::string config = Sc({"qc", "pellardservice"});
    for (const std::string& line : std::vector<std::string>{
             "        START_TYPE         : 2   AUTO_START\n",
             "        ERROR_CONTROL      : 0   IGNORE\n",
             "        BINARY_PATH_NAME   : \"" + hostwin::ToUtf8(exe) + "\"\n",
             "        DISPLAY_NAME       : pellardservice\n",
             "        DEPENDENCIES       : RPCSS\n        SERVICE_START_NAME : LocalSystem\n",
         })
        EXPECT_NE(config.find(line), std::string::npos) << line << config;
    EXPECT_NE(Sc({"qdescription", "pellardservice"}).find("DESCRIPTION:  pellard\n"),
              std::string::npos);
    EXPECT_EQ(LibraryPath(HKEY_LOCAL_MACHINE, u"Software\\Classes\\"), exe);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Software\\Classes\\" + kLibraryPath));
    EXPECT_TRUE(MessageBoxTexts().empty());

    // The service it installed runs.
    StartService();
    EXPECT_EQ(scm_support::AgentCount(), 1);
}

TEST_F(RegistrationTest, RegServerInAnySpellingRemovesTheServiceAndItsMarkAndRegistersTheLibrary) {
    ASSERT_EQ(Tollivar({"/Service"}), 0u);
    StartService();
    bool first = true;
    int runs = 0;
    for (const char* spelling : {"-regserver", "/REGSERVER", "-RegServer", "/rEGsERVER"}) {
        SCOPED_TRACE(spelling);
        if (!first) {
            ASSERT_EQ(Tollivar({"/Service"}), 0u);
        }
        // A running service (the first time) is asked to stop once and deleted at once; the
        // manager completes the deletion when it has stopped.
        const std::string log = RootPath("calls" + std::to_string(++runs) + ".log");
        ASSERT_EQ(Tollivar({spelling}, {{"HOSTWIN_CALL_LOG", log}}), 0u);
        std::string calls = testing_support::ReadFile(log);
        size_t stop = calls.find("ControlService(control=1)");
        ASSERT_NE(stop, std::string::npos) << calls;
        EXPECT_EQ(calls.find("ControlService(", stop + 1), std::string::npos) << "one request";
        EXPECT_NE(calls.find("DeleteService(", stop), std::string::npos) << calls;
        first = false;
        EXPECT_TRUE(AwaitCondition([&] { return !ServiceExists(); }));
        EXPECT_EQ(LocalService(), u"(none)");
        EXPECT_EQ(LibraryPath(HKEY_CLASSES_ROOT, u""), hostwin::WindowsPath(TOLLIVAR_EXE));
    }
    EXPECT_TRUE(AwaitCondition([&] { return scm_support::AgentCount() == 0; }));
    EXPECT_TRUE(MessageBoxTexts().empty()) << "neither the running nor a stopped service is news";
}

TEST_F(RegistrationTest, UnregServerLeavesTheKeyWithoutItsMarkAndNeitherServiceNorLibrary) {
    ASSERT_EQ(Tollivar({"/Service"}), 0u);
    ASSERT_EQ(Tollivar({"/UnregServer"}), 0u);
    EXPECT_EQ(LocalService(), u"(none)");
    EXPECT_FALSE(ServiceExists());
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kLibraryPath));

    // A library that is no longer registered cannot be unregistered, and the AppID step is then
    // not run.
    ASSERT_EQ(Tollivar({"/Service"}), 0u);
    ASSERT_EQ(Run(REG_EXE, {"delete", "HKCR\\" + hostwin::ToUtf8(kLibraryPath), "/f"}).exitStatus,
              0);
    EXPECT_EQ(Tollivar({"-unregserver"}), static_cast<DWORD>(TYPE_E_REGISTRYACCESS));
    EXPECT_EQ(LocalService(), u"pellardservice");
    EXPECT_TRUE(MessageBoxTexts().empty());
}

// A service already stopping refuses the stop with 1061: that is no news, so the removal shows
// no box and the manager deletes the service once it has stopped.
TEST_F(RegistrationTest, RemovingAStoppingServiceShowsNoBox) {
    ASSERT_EQ(Tollivar({"/Service"}), 0u);
    scm_support::InstallAgent(Root());
    // The service's stop is held just after it reported STOP_PENDING.
    ProgramResult start = Run(SC_EXE, {"start", "pellardservice"},
                              {{"HOSTWIN_DELAYS", "tollivar.exe:PostThreadMessageW@1=3000"}});
    ASSERT_EQ(start.exitStatus, 0) << start.out;
    ASSERT_TRUE(AwaitCondition([&] {
        return Sc({"query", "pellardservice"}).find("4  RUNNING") != std::string::npos;
    }));
    std::thread stopper([&] { Sc({"stop", "pellardservice"}); });
    const bool stopping = AwaitCondition([&] {
        return Sc({"query", "pellardservice"}).find("3  STOP_PENDING") != std::string::npos;
    });
    const DWORD removed = Tollivar({"/UnregServer"});
    stopper.join();
    ASSERT_TRUE(stopping);
    EXPECT_EQ(removed, 0u);
    EXPECT_TRUE(MessageBoxTexts().empty());
    EXPECT_TRUE(AwaitCondition([&] { return !ServiceExists(); }));
    EXPECT_TRUE(AwaitCondition([&] { return scm_support::AgentCount() == 0; }));
}

TEST_F(RegistrationTest, PerUserSwitchesKeepTheAppIdUnderTheClassesRootAndTheLibraryWithTheUser) {
    ASSERT_EQ(Tollivar({"/RegServerPerUser"}), 0u);
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE,
                          u"Software\\Classes\\AppID\\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}"));
    EXPECT_EQ(LocalService(), u"(none)");
    EXPECT_EQ(LibraryPath(HKEY_CURRENT_USER, u"Software\\Classes\\"),
              hostwin::WindowsPath(TOLLIVAR_EXE));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, u"Software\\Classes\\" + kLibraryPath));

    // "-UnregServerPerUser" is its own switch, not "UnregServer" with something after it.
    ASSERT_EQ(Tollivar({"-UnregServerPerUser"}), 0u);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Software\\Classes\\" + kLibraryPath));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE,
                          u"Software\\Classes\\AppID\\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}"));
}

TEST_F(RegistrationTest, AStandardUserIsStoppedByTheMachinesClassesOrElseByTheServiceManager) {
    const std::map<std::string, std::string> user = {{"HOSTWIN_ELEVATED", "0"}};
    // Finding no service is silent: the manager cannot be opened to look.
    EXPECT_EQ(Tollivar({"/Service"}, user), static_cast<DWORD>(E_ACCESSDENIED));
    EXPECT_TRUE(MessageBoxTexts().empty());
    EXPECT_EQ(LocalService(), std::nullopt);

    // With AppID in the user's own classes the entry is written there, and installing fails.
    ASSERT_EQ(Run(REG_EXE, {"add", "HKCU\\Software\\Classes\\AppID", "/f"}, user).exitStatus, 0);
    EXPECT_EQ(Tollivar({"/Service"}, user), static_cast<DWORD>(E_FAIL));
    EXPECT_EQ(MessageBoxTexts(), std::vector<std::string>{"Could not open Service Manager"});
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER,
                          u"Software\\Classes\\AppID\\{5c0d7a21-4b9e-4f3a-9d62-1e8b7c3f0a54}"));
    EXPECT_EQ(LocalService(), u"pellardservice");
    EXPECT_FALSE(ServiceExists());
}

TEST_F(RegistrationTest, WithoutASwitchTheRegisteredCourseRuns) {
    // No AppID entry: nothing runs and the registry's error is the exit code.
    EXPECT_EQ(Tollivar({}), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Tollivar({"-Service=1", "/Servicex", "-regserver:"}),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(ServiceExists());
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kLibraryPath));
}

// A program path holding "-Service " is a switch: blanks end switch words, also in the path.
TEST_F(RegistrationTest, AFolderNamedLikeTheSwitchInstallsTheService) {
    const std::string exe = RootPath("drive_c/x -Service y/tollivar.exe");
    fs::create_directories(fs::path(exe).parent_path());
    fs::copy_file(TOLLIVAR_EXE, exe);
    ASSERT_EQ(Tollivar({}, {}, exe.c_str()), 0u);
    EXPECT_NE(Sc({"qc", "pellardservice"})
                  .find("BINARY_PATH_NAME   : \"C:\\x -Service y\\tollivar.exe\"\n"),
              std::string::npos);
    // ... and a later server switch still wins over it.
    ASSERT_EQ(Tollivar({"/UnregServer"}, {}, exe.c_str()), 0u);
    EXPECT_FALSE(ServiceExists());
}

} // namespace
