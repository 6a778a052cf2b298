// tollivar's registration switches driven as a person drives them on a fresh machine, each
// result read back with reg and sc: what every switch leaves behind, the standard user's
// failures and the message boxes that tell them.
#include "registry_values.h"
#include "scm_support.h"

#include <algorithm>
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

// A reinstall that meets the old service on its way down, or still starting (when it takes no
// stop), waits for the marked entry to go and makes it anew; an entry still there after the
// wait fails with its code and no box. Never 0 without the entry. The old service is held in
// its state for 3 s; the wait is 30 s, which the time scale of the installing process makes
// 0.3 s (the entry outlives it) or leaves whole (the entry goes within it).
TEST_F(RegistrationTest, ServiceOverAServiceOnItsWayDownEndsWithTheEntryOrSaysWhy) {
    struct Case {
        const char* what;
        const char* hold; // keeps the old service in its state for 3 s
        bool stopFirst;   // stopped by hand before the reinstall
        const char* state;
        const char* timeScale; // of the installing process
        DWORD exitCode;
        std::vector<std::string> boxes;
    } cases[] = {
        {"stopping, short wait",
         "tollivar.exe:RegisterEventSourceW@1=3000",
         true,
         "3  STOP_PENDING",
         "0.01",
         0x80070430,
         {}},
        {"stopping, full wait",
         "tollivar.exe:RegisterEventSourceW@1=3000",
         true,
         "3  STOP_PENDING",
         "1",
         0,
         {}},
        {"starting, short wait",
         "tollivar.exe:CreateProcessW@1=3000",
         false,
         "2  START_PENDING",
         "0.01",
         0x80070430,
         {"Could not stop service"}},
        {"starting, full wait",
         "tollivar.exe:CreateProcessW@1=3000",
         false,
         "2  START_PENDING",
         "1",
         0,
         {"Could not stop service"}},
    };
    scm_support::InstallAgent(Root());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(RootPath("messagebox.jsonl"));
        ASSERT_EQ(Tollivar({"/Service"}), 0u);
        ASSERT_EQ(Run(SC_EXE, {"start", "pellardservice"}, {{"HOSTWIN_DELAYS", c.hold}}).exitStatus,
                  0);
        if (c.stopFirst) {
            ASSERT_TRUE(AwaitCondition([&] {
                return Sc({"query", "pellardservice"}).find("4  RUNNING") != std::string::npos;
            }));
            ASSERT_EQ(Run(SC_EXE, {"stop", "pellardservice"}).exitStatus, 0);
        }
        std::string state = Sc({"query", "pellardservice"});
        ASSERT_NE(state.find(c.state), std::string::npos) << state;

        EXPECT_EQ(Tollivar({"/Service"}, {{"HOSTWIN_TIME_SCALE", c.timeScale}}), c.exitCode);
        EXPECT_EQ(MessageBoxTexts(), c.boxes);
        // Once the old service has ended (a failed install leaves one that was starting
        // running, to be stopped by hand), the entry is there, the new one, or it is not and the
        // exit code said so.
        ASSERT_TRUE(AwaitCondition([&] {
            if (Sc({"query", "pellardservice"}).find("4  RUNNING") != std::string::npos)
                Run(SC_EXE, {"stop", "pellardservice"});
            return scm_support::AgentCount(u"tollivar.exe") == 0;
        }));
        if (c.exitCode == 0) {
            std::string config = Sc({"qc", "pellardservice"});
            EXPECT_NE(config.find("START_TYPE         : 2   AUTO_START\n"), std::string::npos)
                << config;
            EXPECT_NE(Sc({"qdescription", "pellardservice"}).find("DESCRIPTION:  pellard\n"),
                      std::string::npos);
            EXPECT_NE(Sc({"query", "pellardservice"}).find("1  STOPPED"), std::string::npos);
        } else {
            EXPECT_TRUE(AwaitCondition([&] { return !ServiceExists(); }));
        }
        ASSERT_TRUE(AwaitCondition([] { return scm_support::AgentCount() == 0; }));
    }
}

// A registration switch where no desktop is visible shows no box: caption and text go to the
// Application log as the message-box error and to standard error, and the exit code is the same.
TEST_F(RegistrationTest, WithoutAVisibleWindowStationAFailureIsLoggedInsteadOfShown) {
    const std::map<std::string, std::string> noManager = {
        {"HOSTWIN_FAULTS", "tollivar.exe:OpenSCManagerW@*=5"}};
    std::map<std::string, std::string> invisible = noManager;
    invisible["HOSTWIN_WINDOW_STATION"] = "invisible";

    EXPECT_EQ(Tollivar({"/Service"}, noManager), static_cast<DWORD>(E_FAIL));
    EXPECT_EQ(MessageBoxTexts(), std::vector<std::string>{"Could not open Service Manager"});
    EXPECT_FALSE(fs::exists(RootPath("eventlog/Application.jsonl")));
    fs::remove(RootPath("messagebox.jsonl"));

    ProgramResult hidden = Run(TOLLIVAR_EXE, {"/Service"}, invisible);
    EXPECT_NE(hidden.err.find("exit code 0x80004005"), std::string::npos) << hidden.err;
    EXPECT_NE(hidden.err.find("pellardservice: Could not open Service Manager\n"),
              std::string::npos)
        << hidden.err;
    EXPECT_EQ(testing_support::ReadFile(RootPath("messagebox.jsonl")), "");
    std::string events = testing_support::ReadFile(RootPath("eventlog/Application.jsonl"));
    EXPECT_EQ(std::count(events.begin(), events.end(), '\n'), 1) << events;
    EXPECT_NE(events.find("\"category\":0,\"id\":3221225474,\"source\":\"pellardservice\","
                          "\"strings\":[\"pellardservice\",\"Could not open Service Manager\"]"),
              std::string::npos)
        << "message 0xC0000002, caption and text apart: " << events;
    EXPECT_NE(events.find("\"type\":1}"), std::string::npos) << "an error: " << events;
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

const std::u16string kEventLog = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
const std::u16string kEventSource = kEventLog + u"\\pellardservice";

// The source's message file as registered, with its type checked; nothing without the key.
std::optional<std::u16string> MessageFile() {
    hostwin::UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventSource.c_str(), 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS)
        return std::nullopt;
    std::optional<testing_support::StoredValue> file =
        testing_support::ReadStoredValue(key.get(), u"EventMessageFile");
    std::optional<testing_support::StoredValue> types =
        testing_support::ReadStoredValue(key.get(), u"TypesSupported");
    if (!file || !types)
        return u"(incomplete)";
    EXPECT_EQ(file->type, static_cast<DWORD>(REG_SZ)) << "the package writes no expandable text";
    EXPECT_EQ(types->type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(types->data, std::vector<BYTE>({7, 0, 0, 0}));
    std::optional<std::u16string> text =
        hostwin::DecodeUtf16Le(file->data.data(), file->data.size());
    EXPECT_TRUE(text && !text->empty() && text->back() == u'\0') << "written with its final NUL";
    return text ? text->substr(0, text->size() - 1) : u"(not text)";
}

// The event source follows the service entry: the "Service" switch names the message file
// beside the program when there is one, and every switch removes it with the service entry.
TEST_F(RegistrationTest, TheEventSourceNamesTheMessageFileBesideTheProgramWhileTheServiceIsThere) {
    const std::string installed = RootPath("drive_c/Program Files/tollivar/tollivar.exe");
    const std::string bare = RootPath("drive_c/bare/tollivar.exe");
    const std::string folder = RootPath("drive_c/folder/tollivar.exe");
    // "C:\\" + folder + "\\tollivarmsg.dll": 259 characters, the most a path holds, and 260.
    const std::string longest(240, 'l'), tooLong(241, 't');
    const std::string fits = RootPath("drive_c/" + longest + "/tollivar.exe");
    const std::string cut = RootPath("drive_c/" + tooLong + "/tollivar.exe");
    for (const std::string& exe : {installed, bare, folder, fits, cut}) {
        fs::create_directories(fs::path(exe).parent_path());
        fs::copy_file(TOLLIVAR_EXE, exe);
        if (exe != bare && exe != folder)
            fs::copy_file(TOLLIVARMSG_DLL, fs::path(exe).parent_path() / "tollivarmsg.dll");
    }
    fs::create_directories(RootPath("drive_c/folder/tollivarmsg.dll")); // a folder is no file
    const std::u16string file = u"C:\\Program Files\\tollivar\\tollivarmsg.dll";
    const struct {
        const std::string* program;
        const char* word;
        std::optional<std::u16string> messageFile;
    } steps[] = {
        {&installed, "/Service", file},
        {&bare, "/Service", std::nullopt},
        {&installed, "-service", file},
        {&folder, "/Service", std::nullopt},
        {&installed, "/Service", file},
        {&installed, "/RegServer", std::nullopt},
        {&installed, "/Service", file},
        {&installed, "/UnregServer", std::nullopt},
        {&installed, "/RegServerPerUser", std::nullopt},
        {&installed, "/Service", file},
        {&installed, "/UnregServerPerUser", std::nullopt},
        {&fits, "/Service", u"C:\\" + hostwin::FromUtf8(longest) + u"\\tollivarmsg.dll"},
        {&cut, "/Service", std::nullopt},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(*step.program + " " + step.word);
        EXPECT_EQ(Tollivar({step.word}, {}, step.program->c_str()), 0u);
        EXPECT_EQ(MessageFile(), step.messageFile);
    }
    EXPECT_TRUE(MessageBoxTexts().empty());
}

// The source's own failure is the switch's result only when nothing before it failed; a message
// file whose presence cannot be told leaves the source as it was.
TEST_F(RegistrationTest, TheEventSourcesFailureCountsOnlyWhenNothingBeforeItFailed) {
    ASSERT_EQ(Tollivar({"/Service"}), 0u);
    ASSERT_EQ(Run(REG_EXE, {"add", "HKLM\\" + hostwin::ToUtf8(kEventSource), "/v",
                            "EventMessageFile", "/d", "C:\\old\\tollivarmsg.dll", "/f"})
                  .exitStatus,
              0);
    EXPECT_EQ(Tollivar({"/Service"}, {{"HOSTWIN_FAULTS", "GetFileAttributesW@1=5"}}),
              static_cast<DWORD>(E_ACCESSDENIED));
    EXPECT_EQ(MessageFile(), u"C:\\old\\tollivarmsg.dll");
    EXPECT_TRUE(ServiceExists()) << "the service entry is made before";

    // The log's key may not be written. Without the AppID key unregistering fails first, and
    // that is the result.
    ASSERT_TRUE(hostwin::MarkKeyReadOnly(HKEY_LOCAL_MACHINE, kEventLog));
    ASSERT_EQ(Run(REG_EXE, {"delete", kAppIdKey, "/f"}).exitStatus, 0);
    EXPECT_EQ(Tollivar({"/UnregServer"}), static_cast<DWORD>(0x80070002));
    EXPECT_FALSE(ServiceExists());
    // Otherwise the source's failure is the result, the service entry made or removed all the
    // same; like any failure of that step it ends the switch before the type library.
    EXPECT_EQ(Tollivar({"/Service"}), static_cast<DWORD>(E_ACCESSDENIED));
    EXPECT_TRUE(ServiceExists());
    EXPECT_EQ(LocalService(), u"pellardservice");
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kLibraryPath));
    EXPECT_EQ(Tollivar({"/RegServer"}), static_cast<DWORD>(E_ACCESSDENIED));
    EXPECT_TRUE(AwaitCondition([&] { return !ServiceExists(); }));
    EXPECT_EQ(LocalService(), u"(none)");
    EXPECT_TRUE(hostwin::MarkKeyReadOnly(HKEY_LOCAL_MACHINE, kEventLog, false));
    EXPECT_EQ(MessageFile(), u"C:\\old\\tollivarmsg.dll");

    // Without its name (the string could not be loaded) the program names no source: the log's
    // own key gets no value and its sources, this one included, stay.
    ASSERT_EQ(
        Run(REG_EXE, {"add", "HKLM\\" + hostwin::ToUtf8(kEventLog) + "\\other", "/f"}).exitStatus,
        0);
    const std::map<std::string, std::string> nameless = {{"HOSTWIN_FAULTS", "LoadStringW@1=1814"}};
    ASSERT_EQ(Tollivar({"/Service"}), 0u);
    EXPECT_EQ(Tollivar({"/UnregServer"}, nameless), 0u);
    EXPECT_EQ(Tollivar({"/Service"}, nameless), static_cast<DWORD>(E_FAIL));
    EXPECT_EQ(Reg({"query", "HKLM\\" + hostwin::ToUtf8(kEventLog)}),
              "\nHKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application"
              "\\other\nHKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\"
              "Application\\pellardservice\n");
}

} // namespace
