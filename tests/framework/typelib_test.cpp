// Type-library registration of the server: the path rules, loading from the module or the
// .tlb beside it, the choice between machine-wide and per-user registration, and the values
// unregistration passes. Paths of chosen length run the probe program placed there.
#include "machine.h"
#include "registry_values.h"
#include "typelib_builder.h"

#include "comholders.h"
#include "errors.h"
#include "core.h"
#include "typelib.h"

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>

using testing_support::KeyExists;
using testing_support::MachineTest;
using namespace typelib_builder;

namespace {

TEST(TypeLibPathTest, ExtensionIsTheLastDotOfTheLastPartOnly) {
    // Path, and the position FindFileExtension returns.
    const std::pair<const char16_t*, size_t> cases[] = {
        {u"C:\\dir\\server.exe", 13},
        {u"C:\\dir.v2\\server", 16}, // the folder's dot is forgotten at the next "\"
        {u"C:\\dir.v2\\server.exe", 16},
        {u"C:\\dir\\server.tar.gz", 17},
        {u"C:/dir.v2/server", 6}, // "/" does not end a part here
        {u"server.", 6},
        {u".profile", 0},
        {u"C:\\dir\\", 7},
        {u"server", 6},
        {u"", 0},
    };
    for (const auto& [path, position] : cases)
        EXPECT_EQ(FindFileExtension(path) - path, static_cast<ptrdiff_t>(position))
            << hostwin::ToUtf8(path);
}

TEST(TypeLibPathTest, DirectoryPartEndsAfterTheLastSeparatorOfAnyKind) {
    const std::pair<const char16_t*, UINT> cases[] = {
        {u"C:\\help\\lib.chm", 8}, {u"C:\\help\\", 8}, {u"lib.chm", 0}, {u"C:lib.chm", 2},
        {u"help/lib.chm", 5},      {u"a\\b/c:d", 6},   {u"\\", 1},      {u"", 0},
    };
    for (const auto& [path, length] : cases)
        EXPECT_EQ(DirectoryPartLength(path), length) << hostwin::ToUtf8(path);
    EXPECT_EQ(DirectoryPartLength(nullptr), 0u);
}

// This test executable carries tollivar's resources, library included.
class ServerTypeLibTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        SetPerUserRegistration(false);
    }
    void TearDown() override {
        SetPerUserRegistration(false);
        MachineTest::TearDown();
    }
    static std::u16string OwnPath() {
        WCHAR path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        return path;
    }
    static std::u16string PlatformKey(const std::u16string& classes) {
        return classes + u"\\TypeLib\\" + kLibIdText + u"\\1.0\\409\\win32";
    }
    // The argument lists of `function` in the call log.
    static std::vector<std::string> Calls(const std::string& function) {
        std::vector<std::string> args;
        for (const hostwin::CallRecord& record : hostwin::CallLog(function))
            args.push_back(record.args);
        return args;
    }
};

TEST_F(ServerTypeLibTest, LoadsFromItsOwnModuleAndHandsOverPathAndLibraryTogether) {
    CBstrHolder path;
    CComPointer<ITypeLib> typeLib;
    ASSERT_EQ(LoadServerTypeLib(nullptr, path.Out(), typeLib.Out()), S_OK);
    EXPECT_EQ(std::u16string(path.Get(), SysStringLen(path.Get())), OwnPath()) << "no quotes";
    CBstrHolder name;
    ASSERT_EQ(typeLib->GetDocumentation(-1, name.Out(), nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::u16string(name.Get()), u"tollivarLib");

    // Each failure leaves both outs empty. GetModuleFileNameW fails for a data-file module.
    HMODULE dataFile = LoadLibraryExW(OwnPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(dataFile, nullptr);
    struct Case {
        const char* what;
        const char* fault;
        DWORD code;
        HINSTANCE instance;
        HRESULT expected;
    };
    const Case cases[] = {
        {"no module file name", nullptr, 0, dataFile, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)},
        {"file name unreadable", "GetModuleFileNameW", ERROR_ACCESS_DENIED, nullptr,
         E_ACCESSDENIED},
        {"no memory for the path", "SysAllocString", ERROR_OUTOFMEMORY, nullptr, E_OUTOFMEMORY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.fault)
            hostwin::InjectFault(c.fault, 1, c.code);
        BSTR bstr = reinterpret_cast<BSTR>(1);
        ITypeLib* library = reinterpret_cast<ITypeLib*>(1);
        EXPECT_EQ(LoadServerTypeLib(c.instance, &bstr, &library), c.expected);
        EXPECT_EQ(bstr, nullptr);
        EXPECT_EQ(library, nullptr);
        hostwin::ClearFaults();
    }
    FreeLibrary(dataFile);
    BSTR bstr = nullptr;
    ITypeLib* library = nullptr;
    EXPECT_EQ(LoadServerTypeLib(nullptr, nullptr, &library), E_POINTER);
    EXPECT_EQ(LoadServerTypeLib(nullptr, &bstr, nullptr), E_POINTER);
}

TEST_F(ServerTypeLibTest, PerUserFlagChoosesTheUsersClassesAndOtherwiseTheMachines) {
    hostwin::EnableCallLog(true);
    struct Case {
        const char* what;
        bool perUser;
        const char* fault; // makes the per-user lookup fail
        const char* registerCall;
        HKEY written;
        HKEY untouched;
    };
    const Case cases[] = {
        {"machine", false, nullptr, "RegisterTypeLib", HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER},
        {"user, not found", true, "GetProcAddress", "RegisterTypeLib", HKEY_LOCAL_MACHINE,
         HKEY_CURRENT_USER},
        {"user, no OLEAUT32", true, "GetModuleHandleW", "RegisterTypeLib", HKEY_LOCAL_MACHINE,
         HKEY_CURRENT_USER},
        // Last: the user's TypeLib key it leaves would draw new classes keys to the user.
        {"user", true, nullptr, "RegisterTypeLibForUser", HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE},
    };
    const std::string unregisterArgs =
        "TypeLib\\" + hostwin::ToUtf8(kLibIdText) + "\\1.0 lcid=409 platform=win32";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetPerUserRegistration(c.perUser);
        hostwin::ClearCallLog();
        for (int step = 0; step < 2; ++step) {
            if (c.fault)
                hostwin::InjectFault(c.fault, 1, ERROR_PROC_NOT_FOUND);
            HRESULT hr =
                step == 0 ? RegisterServerTypeLib(nullptr) : UnregisterServerTypeLib(nullptr);
            hostwin::ClearFaults();
            ASSERT_EQ(hr, S_OK) << "step " << step;
            EXPECT_EQ(KeyExists(c.written, PlatformKey(u"Software\\Classes")), step == 0);
            EXPECT_FALSE(KeyExists(c.untouched, PlatformKey(u"Software\\Classes")));
        }
        std::string unregisterCall = std::string("Un") + c.registerCall;
        unregisterCall[2] = 'R'; // "UnRegisterTypeLib..."
        std::string prefix = c.perUser && !c.fault ? "Software\\Classes\\" : "";
        EXPECT_EQ(Calls(c.registerCall),
                  std::vector<std::string>{prefix + "TypeLib\\" + hostwin::ToUtf8(kLibIdText) +
                                           "\\1.0 path=" + hostwin::ToUtf8(OwnPath()) +
                                           " helpdir=(none)"});
        EXPECT_EQ(Calls(unregisterCall), std::vector<std::string>{prefix + unregisterArgs});
    }
}

TEST_F(ServerTypeLibTest, UnregisteringWhatIsNotRegisteredFailsAsThePlatformDoes) {
    for (bool perUser : {false, true}) {
        SetPerUserRegistration(perUser);
        EXPECT_EQ(UnregisterServerTypeLib(nullptr), TYPE_E_REGISTRYACCESS) << perUser;
    }
    bool flag = true;
    SetPerUserRegistration(false);
    EXPECT_EQ(GetPerUserRegistration(&flag), S_OK);
    EXPECT_FALSE(flag);
    EXPECT_EQ(GetPerUserRegistration(nullptr), E_POINTER);
}

// The probe program, copied to a path of the test's choosing, with .tlb files beside it.
class ProbeTest : public ServerTypeLibTest {
protected:
    // Places the probe at the Windows path "C:\" + `relative` and returns its host path.
    std::string PlaceProbe(const std::string& relative) {
        std::string path = RootPath("drive_c/" + relative);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::filesystem::copy_file(TYPELIB_PROBE_EXE, path,
                                   std::filesystem::copy_options::overwrite_existing);
        return path;
    }
    void PlaceLibrary(const std::string& relative, const std::string& bytes) {
        testing_support::WriteFile(RootPath("drive_c/" + relative), bytes);
    }
    // The probe's HRESULT, from the full exit code it reports.
    static HRESULT Run(const std::string& probe, const char* step, std::string* out = nullptr,
                       std::map<std::string, std::string> env = {}) {
        env["TYPELIB_PROBE_STEP"] = step;
        env["HOSTWIN_SHOW_EXIT_CODE"] = "1";
        testing_support::ProgramResult result = testing_support::RunProgram({probe}, env);
        if (out)
            *out = result.out;
        size_t at = result.err.rfind("exit code 0x");
        if (at == std::string::npos)
            return static_cast<HRESULT>(0xDEADBEEF);
        return static_cast<HRESULT>(std::stoul(result.err.substr(at + 10, 10), nullptr, 16));
    }
    static std::optional<std::u16string> HelpDir() {
        return testing_support::ReadDefaultText(HKEY_CLASSES_ROOT,
                                                u"TypeLib\\" + kLibIdText + u"\\1.0\\HELPDIR");
    }
};

// A relative path below C:\ whose Windows form "C:\..." has `length` characters and ends
// with `name`.
std::string PathOfLength(size_t length, const std::string& name) {
    size_t folder = length - 3 - 1 - name.size();
    return std::string(folder, 'd') + "/" + name;
}

TEST_F(ProbeTest, LoadsTheTlbBesideAModuleOfEveryPathLengthThatFits) {
    const std::string library = BuildLibrary(LibrarySpec());
    struct Case {
        const char* what;
        std::string probe; // below C:\ ...
        std::string tlb;   // ... and the library beside it, if any
        HRESULT expected;
    };
    const Case cases[] = {
        {"folder with a dot", "dir.v2/server", "dir.v2/server.tlb", S_OK},
        {"extension replaced", "dir/server.exe", "dir/server.tlb", S_OK},
        {"no library anywhere", "dir/server.exe", "", TYPE_E_CANTLOADLIBRARY},
        {"259 characters", PathOfLength(259, "p.exe"), PathOfLength(259, "p.tlb"), S_OK},
        {"260 characters", PathOfLength(260, "p.exe"), PathOfLength(260, "p.tlb"),
         HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)},
        {".tlb just fits", PathOfLength(255, "p"), PathOfLength(259, "p.tlb"), S_OK},
        {".tlb would not fit", PathOfLength(256, "p"), PathOfLength(260, "p.tlb"), E_FAIL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(RootPath("drive_c"));
        std::string probe = PlaceProbe(c.probe);
        if (!c.tlb.empty())
            PlaceLibrary(c.tlb, library);
        std::string out;
        EXPECT_EQ(Run(probe, "load", &out), c.expected);
        if (c.expected == S_OK) {
            std::string windows = hostwin::ToUtf8(u"C:\\") + c.tlb;
            std::replace(windows.begin(), windows.end(), '/', '\\');
            EXPECT_EQ(out, windows + "\n");
        }
    }
}

TEST_F(ProbeTest, RegistersTheFolderOfTheLibrarysHelpFileAsHelpDirectory) {
    struct Case {
        std::optional<std::string> helpFile;
        HRESULT expected;
        std::optional<std::u16string> helpDir; // nothing: no registration
    };
    const Case cases[] = {
        {std::nullopt, S_OK, u"C:\\dir"}, // none given: the platform uses the path's folder
        {"C:\\help\\lib.chm", S_OK, u"C:\\help\\"},
        {"lib.chm", S_OK, u""},
        {"C:\\" + std::string(253, 'h') + ".ch", S_OK, u"C:\\"},              // 259 characters
        {"C:\\" + std::string(254, 'h') + ".ch", E_INVALIDARG, std::nullopt}, // 260
    };
    std::string probe = PlaceProbe("dir/server.exe");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.helpFile.value_or("no help file"));
        LibrarySpec spec;
        spec.helpFile = c.helpFile;
        PlaceLibrary("dir/server.tlb", BuildLibrary(spec));
        EXPECT_EQ(Run(probe, "register"), c.expected);
        EXPECT_EQ(HelpDir(), c.helpDir);
        if (c.helpDir) {
            EXPECT_EQ(Run(probe, "unregister"), S_OK);
        }
    }
}

#ifdef TOLLIVAR_WINDOWS_EXE
// The library of the Windows build, read through the PE reader and put beside the probe:
// registration and unregistration pass exactly the values it holds.
TEST_F(ProbeTest, UnregistersTheValuesOfTheWindowsBuildsLibrary) {
    HMODULE windowsExe = LoadLibraryExW(hostwin::WindowsPath(TOLLIVAR_WINDOWS_EXE).c_str(), nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(windowsExe, nullptr);
    HRSRC resource = FindResourceW(windowsExe, MAKEINTRESOURCEW(1), u"TYPELIB");
    ASSERT_NE(resource, nullptr);
    PlaceLibrary(
        "dir/server.tlb",
        std::string(static_cast<const char*>(LockResource(LoadResource(windowsExe, resource))),
                    SizeofResource(windowsExe, resource)));
    FreeLibrary(windowsExe);
    std::string probe = PlaceProbe("dir/server.exe");
    std::string log = RootPath("calls.log");
    for (const char* perUser : {"0", "1"}) {
        SCOPED_TRACE(std::string("per user ") + perUser);
        std::map<std::string, std::string> env{{"HOSTWIN_CALL_LOG", log},
                                               {"TYPELIB_PROBE_PER_USER", perUser}};
        ASSERT_EQ(Run(probe, "register", nullptr, env), S_OK);
        EXPECT_TRUE(KeyExists(*perUser == '1' ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE,
                              PlatformKey(u"Software\\Classes")));
        ASSERT_EQ(Run(probe, "unregister", nullptr, env), S_OK);
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, u"TypeLib\\" + kLibIdText));
    }
    std::string calls = testing_support::ReadFile(log);
    const std::string values =
        "TypeLib\\" + hostwin::ToUtf8(kLibIdText) + "\\1.0 lcid=409 platform=win32)";
    EXPECT_NE(calls.find(" UnRegisterTypeLib(" + values), std::string::npos) << calls;
    EXPECT_NE(calls.find(" UnRegisterTypeLibForUser(Software\\Classes\\" + values),
              std::string::npos)
        << calls;
}
#endif

} // namespace
