// OLE Automation: BSTRs, type libraries read from .tlb files and module resources (synthetic,
// damaged, and tollivar's own), and the registry keys of their registration, machine-wide and
// per user.
#include "imagebuilder.h"
#include "machine.h"
#include "registry_values.h"
#include "typelib_builder.h"

#include <comcat.h>
#include <oleauto.h>
#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

using image_builder::Put;
using namespace typelib_builder;
using testing_support::KeyExists;
using testing_support::MachineTest;
using testing_support::ReadDefaultText;

namespace {

// Frees what GetDocumentation hands out.
struct Documentation {
    BSTR name = nullptr, docString = nullptr, helpFile = nullptr;
    DWORD helpContext = 0xFFFF;
    ~Documentation() {
        SysFreeString(name);
        SysFreeString(docString);
        SysFreeString(helpFile);
    }
};

std::optional<std::u16string> Text(BSTR text) {
    if (!text)
        return std::nullopt;
    return std::u16string(text, SysStringLen(text));
}

class TypeLibTest : public MachineTest {
protected:
    // Writes `bytes` below the machine's C: drive and returns its Windows path.
    std::u16string WriteLibrary(const std::string& bytes, const std::string& name = "lib.tlb") {
        std::string path = RootPath("drive_c/libs/" + name);
        testing_support::WriteFile(path, bytes);
        return hostwin::WindowsPath(path);
    }
};

TEST_F(TypeLibTest, StringsKeepTheirLengthAndNullStaysNull) {
    const std::u16string cases[] = {u"", u"x", u"tollivarLib", std::u16string(300, u'\u00e9')};
    for (const std::u16string& text : cases) {
        BSTR copy = SysAllocString(text.c_str());
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(SysStringLen(copy), text.size());
        EXPECT_EQ(std::u16string(copy), text);
        EXPECT_EQ(copy[text.size()], 0) << "terminated";
        SysFreeString(copy);
    }
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
}

// Checks every library-level answer of `library` against what `spec` built, then releases it.
void ExpectLibrary(ITypeLib* library, const LibrarySpec& spec) {
    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attributes), S_OK);
    EXPECT_EQ(attributes->guid, spec.libid);
    EXPECT_EQ(attributes->lcid, spec.lcid);
    EXPECT_EQ(attributes->syskind, static_cast<SYSKIND>(spec.syskind));
    EXPECT_EQ(attributes->wMajorVerNum, spec.major);
    EXPECT_EQ(attributes->wMinorVerNum, spec.minor);
    EXPECT_EQ(attributes->wLibFlags, spec.flags);
    library->ReleaseTLibAttr(attributes);
    EXPECT_EQ(library->GetTypeInfoCount(), spec.typeCount);
    Documentation doc;
    ASSERT_EQ(
        library->GetDocumentation(-1, &doc.name, &doc.docString, &doc.helpContext, &doc.helpFile),
        S_OK);
    auto expected = [](const std::optional<std::string>& text) {
        return text ? std::optional<std::u16string>(hostwin::FromUtf8(*text)) : std::nullopt;
    };
    EXPECT_EQ(Text(doc.name), hostwin::FromUtf8(spec.name));
    EXPECT_EQ(Text(doc.docString), expected(spec.docString));
    EXPECT_EQ(Text(doc.helpFile), expected(spec.helpFile));
    EXPECT_EQ(doc.helpContext, spec.helpContext);
    EXPECT_EQ(library->Release(), 0u);
}

TEST_F(TypeLibTest, ReadsTheLibraryLevelFieldsOfASyntheticLibrary) {
    LibrarySpec plain;
    LibrarySpec full;
    full.libid = {0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};
    full.lcid = 0x0407;
    full.syskind = SYS_WIN64;
    full.major = 0x12;
    full.minor = 0x34;
    full.flags = 0x0A;
    full.name = "Lib"; // needs padding
    full.docString = "A library";
    full.helpFile = "C:\\help\\lib.chm";
    full.helpContext = 77;
    full.helpStringDll = true; // shifts the directory by 4 bytes
    LibrarySpec typed = plain;
    typed.typeCount = 3; // shifts it by 12
    typed.docString = "";
    for (const LibrarySpec& spec : {plain, full, typed}) {
        SCOPED_TRACE(spec.name + " with " + std::to_string(spec.typeCount) + " types");
        ITypeLib* library = nullptr;
        ASSERT_EQ(LoadTypeLib(WriteLibrary(BuildLibrary(spec)).c_str(), &library), S_OK);
        ExpectLibrary(library, spec);
    }
}

TEST_F(TypeLibTest, DocumentationAnswersOnlyWhatIsAskedAndOnlyForTheLibrary) {
    LibrarySpec spec;
    spec.typeCount = 1;
    ITypeLib* library = nullptr;
    ASSERT_EQ(LoadTypeLib(WriteLibrary(BuildLibrary(spec)).c_str(), &library), S_OK);
    EXPECT_EQ(library->GetDocumentation(-1, nullptr, nullptr, nullptr, nullptr), S_OK);
    Documentation doc;
    EXPECT_EQ(library->GetDocumentation(1, &doc.name, nullptr, nullptr, nullptr),
              TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(library->GetDocumentation(-2, &doc.name, nullptr, nullptr, nullptr),
              TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(doc.name, nullptr);
    library->Release();

    // A failed copy, of the first text or a later one, leaves nothing behind: the outs stay
    // empty and the sanitizer build finds any copy that was not freed.
    spec.docString = "doc";
    spec.helpFile = "help.chm";
    ASSERT_EQ(LoadTypeLib(WriteLibrary(BuildLibrary(spec), "doc.tlb").c_str(), &library), S_OK);
    for (unsigned failing : {1u, 2u, 3u}) {
        hostwin::InjectFault("SysAllocString", failing, ERROR_OUTOFMEMORY);
        Documentation partial;
        EXPECT_EQ(library->GetDocumentation(-1, &partial.name, &partial.docString, nullptr,
                                            &partial.helpFile),
                  E_OUTOFMEMORY)
            << failing;
        EXPECT_EQ(partial.name, nullptr);
        EXPECT_EQ(partial.docString, nullptr);
        EXPECT_EQ(partial.helpFile, nullptr);
        hostwin::ClearFaults();
    }
    library->Release();
}

TEST_F(TypeLibTest, DamagedLibrariesFailWithTheirCodeAndNeverReadOutside) {
    const std::string good = BuildLibrary([] {
        LibrarySpec spec;
        spec.docString = "documented";
        return spec;
    }());
    using Damage = std::function<void(std::string&)>;
    const std::tuple<const char*, Damage, HRESULT> cases[] = {
        {"empty", [](std::string& b) { b.clear(); }, TYPE_E_CANTLOADLIBRARY},
        {"other signature", [](std::string& b) { b[3] = 'X'; }, TYPE_E_CANTLOADLIBRARY},
        {"other format version", [](std::string& b) { Put<DWORD>(b, 4, 0x00010001); },
         TYPE_E_UNSUPFORMAT},
        {"header cut short", [](std::string& b) { b.resize(0x53); }, TYPE_E_INVDATAREAD},
        {"header only", [](std::string& b) { b.resize(0x54); }, TYPE_E_INVDATAREAD},
        {"type count past the end", [](std::string& b) { Put<DWORD>(b, kTypeCount, 0xFFFFFFFF); },
         TYPE_E_INVDATAREAD},
        {"segment past the end",
         [](std::string& b) { Put<DWORD>(b, SegmentEntry(7) + 4, 0x7FFFFFFF); },
         TYPE_E_INVDATAREAD},
        {"no GUID table", [](std::string& b) { Put<DWORD>(b, SegmentEntry(5), 0xFFFFFFFF); },
         TYPE_E_INVDATAREAD},
        {"LIBID past its table", [](std::string& b) { Put<DWORD>(b, 8, 9); }, TYPE_E_INVDATAREAD},
        {"no name", [](std::string& b) { Put<DWORD>(b, kNameOffset, 0xFFFFFFFF); },
         TYPE_E_INVDATAREAD},
        {"name longer than its table",
         [](std::string& b) {
             size_t names = 0;
             std::memcpy(&names, &b[SegmentEntry(7)], 4);
             b[names + 8] = 13;
         },
         TYPE_E_INVDATAREAD},
        {"name not ASCII",
         [](std::string& b) {
             size_t names = 0;
             std::memcpy(&names, &b[SegmentEntry(7)], 4);
             b[names + 12] = '\xE9';
         },
         TYPE_E_INVDATAREAD},
        {"doc string past its table", [](std::string& b) { Put<DWORD>(b, kDocString, 14); },
         TYPE_E_INVDATAREAD},
        {"doc string longer than its table",
         [](std::string& b) {
             size_t strings = 0;
             std::memcpy(&strings, &b[SegmentEntry(8)], 4);
             Put<WORD>(b, strings, 0xFFFF);
         },
         TYPE_E_INVDATAREAD},
    };
    int index = 0;
    for (const auto& [what, damage, expected] : cases) {
        SCOPED_TRACE(what);
        std::string bytes = good;
        damage(bytes);
        ITypeLib* library = reinterpret_cast<ITypeLib*>(1);
        std::u16string path = WriteLibrary(bytes, std::to_string(index++) + ".tlb");
        EXPECT_EQ(LoadTypeLib(path.c_str(), &library), expected);
        EXPECT_EQ(library, nullptr);
    }
    // Every cut of the file, first byte to last, is refused: the last segment ends the file.
    for (size_t size = 0; size < good.size(); ++size) {
        ITypeLib* library = nullptr;
        std::u16string path = WriteLibrary(good.substr(0, size), "cut.tlb");
        EXPECT_TRUE(FAILED(LoadTypeLib(path.c_str(), &library))) << size << " bytes";
        EXPECT_EQ(library, nullptr);
    }
}

TEST_F(TypeLibTest, ReadsTheLibraryResourceOfModulesAndRefusesWhatHasNone) {
    LibrarySpec spec;
    spec.name = "InAnImage";
    const std::string library = BuildLibrary(spec);
    std::string cut = library.substr(0, library.size() - 1);
    const std::string withLibrary =
        image_builder::BuildPe({{u"TYPELIB", 1, 0x0804, library}, {u"TYPELIB", 2, 0, "x"}});
    // Name, bytes, and the expected result.
    const std::tuple<const char*, std::string, HRESULT> cases[] = {
        {"pe.dll", withLibrary, S_OK},
        {"other.dll", image_builder::BuildPe({{u"TYPELIB", 2, 0, library}}),
         TYPE_E_CANTLOADLIBRARY},
        {"damaged.dll", image_builder::BuildPe({{u"TYPELIB", 1, 0, cut}}), TYPE_E_INVDATAREAD},
        {"text.tlb", "not a library at all", TYPE_E_CANTLOADLIBRARY},
    };
    for (const auto& [name, bytes, expected] : cases) {
        SCOPED_TRACE(name);
        ITypeLib* loaded = nullptr;
        EXPECT_EQ(LoadTypeLib(WriteLibrary(bytes, name).c_str(), &loaded), expected);
        if (!loaded)
            continue;
        Documentation doc;
        EXPECT_EQ(loaded->GetDocumentation(-1, &doc.name, nullptr, nullptr, nullptr), S_OK);
        EXPECT_EQ(Text(doc.name), u"InAnImage");
        loaded->Release();
    }
    // A host program without resources, a folder, a missing file, and no path at all.
    ITypeLib* loaded = reinterpret_cast<ITypeLib*>(1);
    for (const std::u16string& path :
         {hostwin::WindowsPath(PELLARD_EXE), std::u16string(u"C:\\libs"),
          std::u16string(u"C:\\no\\such.tlb")}) {
        EXPECT_EQ(LoadTypeLib(path.c_str(), &loaded), TYPE_E_CANTLOADLIBRARY)
            << hostwin::ToUtf8(path);
        EXPECT_EQ(loaded, nullptr);
    }
    EXPECT_EQ(LoadTypeLib(nullptr, &loaded), E_INVALIDARG);
    EXPECT_EQ(LoadTypeLib(u"", &loaded), E_INVALIDARG);
    EXPECT_EQ(LoadTypeLib(u"C:\\libs\\pe.dll", nullptr), E_INVALIDARG);
}

// tollivar's own library, from each place it lives, on this thread that never initialised COM.
class TollivarLibraryTest : public TypeLibTest,
                            public ::testing::WithParamInterface<std::string> {};

TEST_P(TollivarLibraryTest, IsTollivarLibVersion1ForEnglishWin32WithoutTypes) {
    std::u16string path = hostwin::WindowsPath(GetParam());
    if (GetParam().empty()) { // this executable, by the name the platform reports for it
        WCHAR own[MAX_PATH] = {};
        ASSERT_GT(GetModuleFileNameW(nullptr, own, MAX_PATH), 0u);
        path = own;
    }
    ITypeLib* library = nullptr;
    ASSERT_EQ(LoadTypeLib(path.c_str(), &library), S_OK) << hostwin::ToUtf8(path);
    ExpectLibrary(library, LibrarySpec()); // tollivarLib 1.0, 0x0409, win32, flags 0, no types
}

std::vector<std::string> LibrarySources() {
    return {"",
#ifdef TOLLIVAR_WINDOWS_EXE
            TOLLIVAR_WINDOWS_EXE
#endif
    };
}

INSTANTIATE_TEST_SUITE_P(Modules, TollivarLibraryTest, ::testing::ValuesIn(LibrarySources()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return std::string(info.index == 0 ? "HostExecutable"
                                                                : "WindowsExecutable");
                         });

// The two forms of registration, the root whose classes hold the keys, and the other root.
struct Form {
    const char* name;
    HRESULT(WINAPI* registerLibrary)(ITypeLib*, OLECHAR*, OLECHAR*);
    HRESULT(WINAPI* unregisterLibrary)(REFGUID, WORD, WORD, LCID, SYSKIND);
    HKEY root, otherRoot;
};
const Form kForms[] = {
    {"machine", &RegisterTypeLib, &UnRegisterTypeLib, HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER},
    {"user", &RegisterTypeLibForUser, &UnRegisterTypeLibForUser, HKEY_CURRENT_USER,
     HKEY_LOCAL_MACHINE},
};
const std::u16string kLibraryKey = u"Software\\Classes\\TypeLib\\" + kLibIdText;

class TypeLibRegistrationTest : public TypeLibTest {
protected:
    void SetUp() override {
        TypeLibTest::SetUp();
        m_path = WriteLibrary(BuildLibrary(LibrarySpec()), "server.tlb");
        ASSERT_EQ(LoadTypeLib(m_path.c_str(), &m_library), S_OK);
    }
    void TearDown() override {
        if (m_library)
            m_library->Release();
        TypeLibTest::TearDown();
    }
    std::u16string m_path;
    ITypeLib* m_library = nullptr;
};

TEST_F(TypeLibRegistrationTest, WritesNamePathFlagsAndHelpFolderWhereEachFormKeepsThem) {
    // A failure injected into the program's StringFromGUID2 is not the library calls' own:
    // they name the LIBID key all the same.
    hostwin::InjectFault("StringFromGUID2", 0, ERROR_INSUFFICIENT_BUFFER);
    for (const Form& form : kForms) {
        for (bool helpDir : {false, true}) {
            SCOPED_TRACE(std::string(form.name) + (helpDir ? " with" : " without") + " help");
            WCHAR help[] = u"C:\\help\\";
            ASSERT_EQ(form.registerLibrary(m_library, m_path.data(), helpDir ? help : nullptr),
                      S_OK);
            const std::u16string version = kLibraryKey + u"\\1.0";
            EXPECT_EQ(ReadDefaultText(form.root, version), u"tollivarLib");
            EXPECT_EQ(ReadDefaultText(form.root, version + u"\\409\\win32"), m_path);
            EXPECT_EQ(ReadDefaultText(form.root, version + u"\\FLAGS"), u"0");
            EXPECT_EQ(ReadDefaultText(form.root, version + u"\\HELPDIR"),
                      helpDir ? u"C:\\help\\" : u"C:\\libs");
            EXPECT_FALSE(KeyExists(form.otherRoot, kLibraryKey));

            ASSERT_EQ(form.unregisterLibrary(kTollivarLibId, 1, 0, 0x0409, SYS_WIN32), S_OK);
            EXPECT_FALSE(KeyExists(form.root, kLibraryKey));
            EXPECT_EQ(form.unregisterLibrary(kTollivarLibId, 1, 0, 0x0409, SYS_WIN32),
                      TYPE_E_REGISTRYACCESS)
                << "no longer registered";
        }
    }
}

TEST_F(TypeLibRegistrationTest, UnregisteringLeavesOtherVersionsLocalesAndPlatforms) {
    LibrarySpec version2;
    version2.major = 2;
    LibrarySpec german = LibrarySpec();
    german.lcid = 0x0407;
    LibrarySpec win64;
    win64.syskind = SYS_WIN64;
    // Registered beside 1.0 for English win32, and the key that must survive its removal.
    const std::pair<LibrarySpec, std::u16string> neighbours[] = {
        {version2, u"\\2.0\\409\\win32"},
        {german, u"\\1.0\\407\\win32"},
        {win64, u"\\1.0\\409\\win64"},
    };
    const Form& form = kForms[0];
    int index = 0;
    for (const auto& [spec, survivor] : neighbours) {
        SCOPED_TRACE(hostwin::ToUtf8(survivor));
        std::u16string path = WriteLibrary(BuildLibrary(spec), std::to_string(index++) + ".tlb");
        ITypeLib* other = nullptr;
        ASSERT_EQ(LoadTypeLib(path.c_str(), &other), S_OK);
        ASSERT_EQ(RegisterTypeLib(other, path.data(), nullptr), S_OK);
        other->Release();
        ASSERT_EQ(RegisterTypeLib(m_library, m_path.data(), nullptr), S_OK);

        ASSERT_EQ(UnRegisterTypeLib(kTollivarLibId, 1, 0, 0x0409, SYS_WIN32), S_OK);
        EXPECT_FALSE(KeyExists(form.root, kLibraryKey + u"\\1.0\\409\\win32"));
        EXPECT_EQ(ReadDefaultText(form.root, kLibraryKey + survivor), path);
        ASSERT_EQ(UnRegisterTypeLib(spec.libid, spec.major, spec.minor, spec.lcid,
                                    static_cast<SYSKIND>(spec.syskind)),
                  S_OK);
        EXPECT_FALSE(KeyExists(form.root, kLibraryKey)) << "the last one takes the LIBID key";
    }
}

TEST_F(TypeLibRegistrationTest, AStandardUserRegistersOnlyForHimself) {
    const std::u16string machineKey = kLibraryKey + u"\\1.0\\409\\win32";
    ASSERT_EQ(RegisterTypeLib(m_library, m_path.data(), nullptr), S_OK);
    setenv("HOSTWIN_ELEVATED", "0", 1);
    EXPECT_EQ(RegisterTypeLib(m_library, m_path.data(), nullptr), TYPE_E_REGISTRYACCESS);
    EXPECT_EQ(UnRegisterTypeLib(kTollivarLibId, 1, 0, 0x0409, SYS_WIN32), TYPE_E_REGISTRYACCESS);
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, machineKey));
    EXPECT_EQ(RegisterTypeLibForUser(m_library, m_path.data(), nullptr), S_OK);
    EXPECT_EQ(UnRegisterTypeLibForUser(kTollivarLibId, 1, 0, 0x0409, SYS_WIN32), S_OK);
    unsetenv("HOSTWIN_ELEVATED");
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, machineKey));
}

TEST_F(TypeLibRegistrationTest, RefusesWhatItCannotWrite) {
    WCHAR path[] = u"C:\\libs\\server.tlb";
    EXPECT_EQ(RegisterTypeLib(nullptr, path, nullptr), E_INVALIDARG);
    EXPECT_EQ(RegisterTypeLib(m_library, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(UnRegisterTypeLib(kTollivarLibId, 1, 0, 0x0409, static_cast<SYSKIND>(7)),
              E_INVALIDARG);
    LibrarySpec typed;
    typed.typeCount = 1;
    ITypeLib* withTypes = nullptr;
    ASSERT_EQ(LoadTypeLib(WriteLibrary(BuildLibrary(typed), "typed.tlb").c_str(), &withTypes),
              S_OK);
    EXPECT_EQ(RegisterTypeLib(withTypes, path, nullptr), E_NOTIMPL)
        << "the host cannot register type descriptions";
    withTypes->Release();
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, u"TypeLib\\" + kLibIdText));
}

TEST_F(TypeLibTest, PerUserFormsAreFoundByNameAndTheCategoriesManagerIsNotRegistered) {
    HMODULE oleaut = GetModuleHandleW(u"OLEAUT32.DLL");
    EXPECT_EQ(reinterpret_cast<void (*)()>(GetProcAddress(oleaut, "RegisterTypeLibForUser")),
              reinterpret_cast<void (*)()>(&RegisterTypeLibForUser));
    EXPECT_EQ(reinterpret_cast<void (*)()>(GetProcAddress(oleaut, "UnRegisterTypeLibForUser")),
              reinterpret_cast<void (*)()>(&UnRegisterTypeLibForUser));
    EXPECT_EQ(GetProcAddress(oleaut, "RegisterTypeLib"), nullptr) << "called directly";

    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    void* manager = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                               IID_ICatRegister, &manager),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(manager, nullptr);
    CoUninitialize();
    const GUID zero{};
    EXPECT_EQ(GUID_NULL, zero);
}

} // namespace
