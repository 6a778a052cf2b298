// The registrar object and the module's UpdateRegistryFromScript: replacements, script
// resources read from this test program's own file and from built images, the per-user
// registration of the program's own script, the module path limits, and temporary buffers.
#include "imagebuilder.h"
#include "machine.h"
#include "registry_values.h"

#include "registrar.h"
#include "resource.h"
#include "tempbuffer.h"
#include "test_module.h"

#include <crtdbg.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

using hostwin::UniqueKey;
using testing_support::DebugReportTexts;
using testing_support::MachineTest;

namespace {

bool KeyExists(HKEY root, const std::u16string& path) {
    UniqueKey key;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

void MakeKey(const std::u16string& path) {
    UniqueKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, NULL, 0, KEY_WRITE, NULL,
                              key.put(), NULL),
              ERROR_SUCCESS);
}

// Every key below `root` by path, with its value names: enough to see any change.
void ListTree(HKEY root, const std::u16string& path, std::vector<std::string>* out) {
    UniqueKey key;
    if (RegOpenKeyExW(root, path.empty() ? NULL : path.c_str(), 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS)
        return;
    out->push_back(hostwin::ToUtf8(path));
    WCHAR name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumValueW(key.get(), i, name, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        out->push_back(hostwin::ToUtf8(path) + " = " + hostwin::ToUtf8(name));
    }
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(key.get(), i, name, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        ListTree(root, path.empty() ? std::u16string(name) : path + u"\\" + name, out);
    }
}

std::vector<std::string> WholeRegistry() {
    std::vector<std::string> keys;
    ListTree(HKEY_CURRENT_USER, u"", &keys);
    ListTree(HKEY_LOCAL_MACHINE, u"", &keys);
    return keys;
}

std::vector<std::string> RegistrarTraces() {
    std::vector<std::string> out;
    for (const std::string& line : DebugReportTexts(_CRT_WARN))
        if (line.rfind("traceRegistrar - ", 0) == 0)
            out.push_back(line.substr(17));
    return out;
}

class RegistrarTest : public MachineTest {
protected:
    void TearDown() override {
        SetPerUserRegistration(false);
        MachineTest::TearDown();
    }

    // Writes a PE image with `resources` below the machine's C: drive; its Windows path.
    std::u16string WriteImage(const std::vector<image_builder::Resource>& resources) {
        std::string path = RootPath("drive_c/image" + std::to_string(m_images++) + ".dll");
        testing_support::WriteFile(path, image_builder::BuildPe(resources));
        return hostwin::WindowsPath(path);
    }

    HRESULT ApplyFrom(const std::u16string& file, LPCOLESTR resource, BOOL bRegister = TRUE) {
        CRegObject registrar;
        EXPECT_EQ(registrar.Initialize(), S_OK);
        hostwin::ClearDebugReports();
        return registrar.ApplyScriptResource(file.c_str(), resource, u"REGISTRY", bRegister);
    }

    int m_images = 0;
};

TEST_F(RegistrarTest, ReplacementsAreCopiedFirstDefinitionWinsAndNullIsRefused) {
    CRegObject registrar;
    ASSERT_EQ(registrar.Initialize(), S_OK);
    std::u16string value = u"one";
    EXPECT_EQ(registrar.DefineReplacement(u"Name", value.c_str()), S_OK);
    value = u"changed";
    EXPECT_EQ(registrar.DefineReplacement(u"NAME", u"two"), S_OK);
    EXPECT_EQ(registrar.DefineReplacement(NULL, u"x"), E_INVALIDARG);
    EXPECT_EQ(registrar.DefineReplacement(u"x", NULL), E_INVALIDARG);
    EXPECT_EQ(registrar.m_replacements.GetSize(), 2) << "duplicates are kept, refusals are not";
    EXPECT_EQ(std::u16string(registrar.LookupReplacement(u"name")), u"one");

    hostwin::ClearDebugReports();
    EXPECT_EQ(registrar.ClearAllReplacements(), S_OK);
    EXPECT_EQ(registrar.LookupReplacement(u"name"), nullptr);
    EXPECT_EQ(RegistrarTraces(), std::vector<std::string>{"Map Entry not found\n"});

    // Not a COM object: nothing is counted and no interface is handed out.
    void* untouched = &registrar;
    EXPECT_EQ(registrar.QueryInterface(IID_IUnknown, &untouched), E_NOTIMPL);
    EXPECT_EQ(untouched, &registrar);
    EXPECT_EQ(registrar.AddRef(), 1u);
    EXPECT_EQ(registrar.Release(), 0u);
}

TEST_F(RegistrarTest, AFailedInitializeIsReturnedAndTheRegistrarDestroyedWithoutComplaint) {
    hostwin::InjectFault("InitializeCriticalSectionEx", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(g_testModule.UpdateRegistryFromScript(IDR_TOLLIVAR, TRUE),
              HResultFromWin32(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_TRUE(DebugReportTexts(_CRT_ASSERT).empty()) << "no failed check for the unused lock";
}

TEST_F(RegistrarTest, PerUserFlagIsStoredAndNeedsAPlaceToGo) {
    bool flag = true;
    EXPECT_EQ(GetPerUserRegistration(&flag), S_OK);
    EXPECT_FALSE(flag);
    EXPECT_EQ(SetPerUserRegistration(true), S_OK);
    EXPECT_EQ(GetPerUserRegistration(&flag), S_OK);
    EXPECT_TRUE(flag);
    EXPECT_EQ(GetPerUserRegistration(NULL), E_POINTER);
}

TEST_F(RegistrarTest, OwnScriptChangesNothingUnlessRegistrationIsPerUser) {
    const std::vector<std::string> before = WholeRegistry();
    const ReplacementEntry entries[] = {{u"APPID", u"{mine}"}, {u"Bad", NULL}, {NULL, NULL}};
    hostwin::EnableCallLog(true);
    EXPECT_EQ(g_testModule.UpdateRegistryFromScript(IDR_TOLLIVAR, TRUE, entries), S_OK);
    EXPECT_EQ(g_testModule.UpdateRegistryFromScript(IDR_TOLLIVAR, FALSE), S_OK);
    EXPECT_EQ(WholeRegistry(), before);
    // The image-resource load is tried first and works, so there is no second load.
    std::vector<std::string> loads;
    for (const hostwin::CallRecord& call : hostwin::CallLog("LoadLibraryExW"))
        loads.push_back(call.args.substr(call.args.rfind(' ') + 1));
    EXPECT_EQ(loads, (std::vector<std::string>{"flags=0x60", "flags=0x60"}));
    EXPECT_EQ(hostwin::CallLog("FreeLibrary").size(), 2u);
}

TEST_F(RegistrarTest, PerUserOwnScriptCreatesAndRemovesTheUsersClasses) {
    struct {
        const char* name;
        bool otherSoftwareKey; // a fresh Windows user hive has Software\Microsoft and more
        bool softwareRemains;
    } cases[] = {
        {"bare user hive", false, false},
        {"user hive with other software", true, true},
    };
    SetPerUserRegistration(true);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            CRegKey user;
            ASSERT_EQ(user.OpenKey(HKEY_CURRENT_USER, NULL, KEY_READ | KEY_WRITE), ERROR_SUCCESS);
            user.RecurseDeleteKey(u"Software");
        }
        if (c.otherSoftwareKey)
            MakeKey(u"Software\\Microsoft");
        ASSERT_EQ(g_testModule.UpdateRegistryFromScript(IDR_TOLLIVAR, TRUE), S_OK);
        ASSERT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Software\\Classes"));
        {
            // A value does not keep a key.
            CRegKey classes;
            ASSERT_EQ(classes.OpenKey(HKEY_CURRENT_USER, u"Software\\Classes", KEY_WRITE),
                      ERROR_SUCCESS);
            ASSERT_EQ(classes.WriteStringValue(u"v", u"x"), ERROR_SUCCESS);
        }
        ASSERT_EQ(g_testModule.UpdateRegistryFromScript(IDR_TOLLIVAR, FALSE), S_OK);
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, u"Software\\Classes"));
        EXPECT_EQ(KeyExists(HKEY_CURRENT_USER, u"Software"), c.softwareRemains);
    }
}

TEST_F(RegistrarTest, ScriptResourceFailuresReturnTheLastErrorWithTheirTrace) {
    // A resource id that does not exist: the integer form of the trace.
    EXPECT_EQ(g_testModule.UpdateRegistryFromScript(999, TRUE),
              HResultFromWin32(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(RegistrarTraces(),
              std::vector<std::string>{"Failed to FindResource on ID:999 TYPE:REGISTRY\n"});

    const std::u16string image = WriteImage({
        {u"REGISTRY", 1, 0, ""},
        {u"REGISTRY", u"NAMED", 0, "HKCU { Named }"},
        {u"REGISTRY", 3, 0, "HKCU { Fallback }"},
        {u"REGISTRY", 4, 0, "HKCU { Long = s '" + std::string(600, 'x') + "' }"},
    });
    struct {
        const char* name;
        const char* fault; // "Function@n=code", or null
        LPCOLESTR resource;
        HRESULT hr;
        std::vector<std::string> traces;
    } cases[] = {
        {"zero-byte script",
         nullptr,
         MAKEINTRESOURCEW(1),
         HResultFromWin32(ERROR_INVALID_PARAMETER),
         {}},
        {"named script", nullptr, u"named", S_OK, {"HKCU { Named }\n"}},
        {"missing name",
         nullptr,
         u"OTHER",
         HResultFromWin32(ERROR_RESOURCE_NAME_NOT_FOUND),
         {"Failed to FindResource on ID:OTHER TYPE:REGISTRY\n"}},
        {"first load fails, second works",
         "LoadLibraryExW",
         MAKEINTRESOURCEW(3),
         S_OK,
         {"HKCU { Fallback }\n"}},
        {"resource cannot be loaded",
         "LoadResource",
         MAKEINTRESOURCEW(3),
         HResultFromWin32(ERROR_ACCESS_DENIED),
         {"Failed to LoadResource\n"}},
        {"script beyond the stack buffer", nullptr, MAKEINTRESOURCEW(4), S_OK, {}},
        {"no heap for a long script", "CoTaskMemAlloc", MAKEINTRESOURCEW(4), E_OUTOFMEMORY, {}},
        {"conversion fails",
         "MultiByteToWideChar",
         MAKEINTRESOURCEW(3),
         HResultFromWin32(ERROR_ACCESS_DENIED),
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.fault)
            hostwin::InjectFault(c.fault, 1, ERROR_ACCESS_DENIED);
        EXPECT_EQ(ApplyFrom(image, c.resource), c.hr);
        if (c.hr == S_OK && c.traces.empty()) {
            EXPECT_EQ(RegistrarTraces().size(), 1u) << "only the script itself";
        } else
            EXPECT_EQ(RegistrarTraces(), c.traces);
        hostwin::ClearFaults();
    }
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Named"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Fallback"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, u"Long"));

    hostwin::InjectFault("LoadLibraryExW", 0, ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(ApplyFrom(u"C:\\no\\such.dll", MAKEINTRESOURCEW(1)),
              HResultFromWin32(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(RegistrarTraces(),
              std::vector<std::string>{"Failed to LoadLibrary on C:\\no\\such.dll\n"});
}

// Run in a child process by the next test, from a copy of this program at a chosen path.
TEST_F(RegistrarTest, DISABLED_ChildUpdatesFromItsOwnFile) {
    // A bare user hive, so that a script that ran is seen creating the classes key.
    ASSERT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Classes"), ERROR_SUCCESS);
    SetPerUserRegistration(true);
    HRESULT hr = g_testModule.UpdateRegistryFromScript(IDR_TOLLIVAR, TRUE);
    std::printf("hr=0x%08X classes=%d\n", static_cast<unsigned>(hr),
                KeyExists(HKEY_CURRENT_USER, u"Software\\Classes") ? 1 : 0);
}

TEST_F(RegistrarTest, ExecutablePathsOf260CharactersFailBeforeAnyResourceIsRead) {
    struct {
        size_t windowsLength;
        const char* result;
        bool resourceRead;
    } cases[] = {{259, "hr=0x00000000 classes=1", true}, {260, "hr=0x8007007A classes=0", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.windowsLength);
        // The child runs on a machine of its own, where this path lies on Z:, the drive's two
        // characters before the host path.
        const std::string base = RootPath("long/");
        const std::string file = "/t.exe";
        std::string dir = base + std::string(c.windowsLength - 2 - base.size() - file.size(), 'p');
        std::filesystem::create_directories(dir);
        std::string program = dir + file;
        std::filesystem::copy_file("/proc/self/exe", program);
        ASSERT_EQ(hostwin::WindowsPath(program).size(), c.windowsLength);

        const std::string log = RootPath("calls-" + std::to_string(c.windowsLength));
        testing_support::ProgramResult child = testing_support::RunProgram(
            {program, "--gtest_also_run_disabled_tests",
             "--gtest_filter=RegistrarTest.DISABLED_ChildUpdatesFromItsOwnFile"},
            {{"HOSTWIN_CALL_LOG", log}});
        EXPECT_EQ(child.exitStatus, 0) << child.err;
        EXPECT_NE(child.out.find(c.result), std::string::npos) << child.out;
        const std::string calls = testing_support::ReadFile(log);
        EXPECT_EQ(calls.find("LoadLibraryExW") != std::string::npos, c.resourceRead);
        std::filesystem::remove_all(base);
    }
}

TEST_F(RegistrarTest, TemporaryBuffersUseTheHeapOnlyBeyondTheirInlinePart) {
    CTempBuffer<WCHAR, 4> buffer;
    WCHAR* small = buffer.TryAllocate(4);
    ASSERT_NE(small, nullptr);
    hostwin::InjectFault("CoTaskMemAlloc", 0, ERROR_OUTOFMEMORY);
    EXPECT_EQ(buffer.TryAllocate(3), small) << "the inline part needs no heap";
    EXPECT_EQ(buffer.TryAllocate(5), nullptr);
    EXPECT_EQ(static_cast<WCHAR*>(buffer), nullptr);
    try {
        buffer.Allocate(5);
        ADD_FAILURE() << "a refused heap allocation must raise";
    } catch (const CHResultException& e) {
        EXPECT_EQ(e.m_errorCode, E_OUTOFMEMORY);
    }
    hostwin::ClearFaults();
    try {
        buffer.Allocate(0x80000000u);
        ADD_FAILURE() << "a size beyond 32 bits must raise";
    } catch (const CHResultException& e) {
        EXPECT_EQ(e.m_errorCode, HResultFromWin32(ERROR_ARITHMETIC_OVERFLOW));
    }
    EXPECT_EQ(buffer.TryAllocate(0x80000000u), nullptr);
    WCHAR* large = buffer.Allocate(1000);
    ASSERT_NE(large, nullptr);
    EXPECT_NE(large, small);
    large[999] = u'x'; // the whole of it is usable (ASan checks)
}

} // namespace
