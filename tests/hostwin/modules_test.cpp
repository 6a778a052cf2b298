// Modules and resources: system module names and exports, data-file loading and its handle
// accounting, resource lookup by type, name and language, string tables, and images that are
// malformed on purpose.
#include "imagebuilder.h"
#include "machine.h"

#include <windows.h>

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using namespace image_builder;
using testing_support::MachineTest;

namespace {

const WORD kChinese = 0x0804;
const WORD kEnglish = 0x0409;

class ModulesTest : public MachineTest {
protected:
    // Writes `bytes` below the machine's C: drive and returns its Windows path.
    std::u16string WriteImage(const std::string& name, const std::string& bytes) {
        std::string path = RootPath("drive_c/images/" + name);
        testing_support::WriteFile(path, bytes);
        return hostwin::WindowsPath(path);
    }
    HMODULE LoadData(const std::u16string& path) {
        return LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }
    static std::string ResourceBytes(HMODULE module, HRSRC resource) {
        HGLOBAL loaded = LoadResource(module, resource);
        const void* data = LockResource(loaded);
        DWORD size = SizeofResource(module, resource);
        if (!data)
            return "<no data>";
        return std::string(static_cast<const char*>(data), size);
    }
};

std::vector<Resource> SampleResources() {
    return {
        {6, 7, kChinese, StringBlock({{4, u"pellardservice"}, {5, u"x"}})},
        {u"REGISTRY", 101, kChinese, "HKCR\r\n{\r\n}\r\n"},
        {u"Custom", u"Named", 0, "named data"},
    };
}

TEST_F(ModulesTest, SystemModulesAreKnownByNameWithOrWithoutExtension) {
    struct Case {
        const char16_t* name;
        const char16_t* sameAs; // null: must not be found
    };
    const Case cases[] = {
        {u"kernel32.dll", u"KERNEL32.DLL"},
        {u"Kernel32", u"kernel32.dll"},
        {u"advapi32.dll", u"ADVAPI32"},
        {u"ole32.dll", u"OLE32"},
        {u"oleaut32.dll", u"OleAut32"},
        {u"user32.dll", u"user32"},
        {u"shlwapi.dll", u"SHLWAPI"},
        {u"Mscoree.dll", nullptr},
        {u"mscoree", nullptr},
        {u"kernel32.", nullptr}, // trailing dot: no extension
        {u"kernel32.exe", nullptr},
    };
    std::vector<HMODULE> distinct;
    for (const Case& c : cases) {
        SCOPED_TRACE(hostwin::ToUtf8(c.name));
        SetLastError(0);
        HMODULE module = GetModuleHandleW(c.name);
        if (!c.sameAs) {
            EXPECT_EQ(module, nullptr);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
            continue;
        }
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(module, GetModuleHandleW(c.sameAs));
        EXPECT_NE(module, GetModuleHandleW(nullptr));
        if (std::find(distinct.begin(), distinct.end(), module) == distinct.end())
            distinct.push_back(module);
    }
    EXPECT_EQ(distinct.size(), 6u) << "each system DLL has its own handle";
}

TEST_F(ModulesTest, GetProcAddressFindsOnlyTheTabledExports) {
    HMODULE advapi = GetModuleHandleW(u"advapi32.dll");
    ASSERT_NE(advapi, nullptr);
    FARPROC found = GetProcAddress(advapi, "RegDeleteKeyExW");
    EXPECT_EQ(reinterpret_cast<void (*)()>(found), reinterpret_cast<void (*)()>(&RegDeleteKeyExW));

    struct Case {
        HMODULE module;
        LPCSTR name;
        DWORD error;
    };
    const Case failures[] = {
        {advapi, "regdeletekeyexw", ERROR_PROC_NOT_FOUND}, // names are case-sensitive
        {advapi, "RegDeleteKeyEx", ERROR_PROC_NOT_FOUND},
        {GetModuleHandleW(u"kernel32"), "RegDeleteKeyExW", ERROR_PROC_NOT_FOUND},
        {GetModuleHandleW(nullptr), "wWinMain", ERROR_PROC_NOT_FOUND},
        {reinterpret_cast<HMODULE>(0x1234), "RegDeleteKeyExW", ERROR_INVALID_HANDLE},
        {advapi, reinterpret_cast<LPCSTR>(7), ERROR_NOT_SUPPORTED}, // ordinals
    };
    for (const Case& c : failures) {
        SCOPED_TRACE(IS_INTRESOURCE(c.name) ? "ordinal" : c.name);
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(c.module, c.name), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }
}

TEST_F(ModulesTest, LoadsOnlyAsDataOrImageResource) {
    std::u16string path = WriteImage("sample.dll", BuildPe(SampleResources()));
    struct Case {
        DWORD flags;
        DWORD error; // 0: loads
    };
    const Case cases[] = {
        {LOAD_LIBRARY_AS_DATAFILE, 0},
        {LOAD_LIBRARY_AS_IMAGE_RESOURCE, 0},
        {LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE, 0},
        {0, ERROR_NOT_SUPPORTED},   // loading code
        {0x1, ERROR_NOT_SUPPORTED}, // DONT_RESOLVE_DLL_REFERENCES
        {LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE, ERROR_NOT_SUPPORTED},
        {LOAD_LIBRARY_AS_DATAFILE | 0x8, ERROR_NOT_SUPPORTED}, // ALTERED_SEARCH_PATH
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        SetLastError(0);
        HMODULE module = LoadLibraryExW(path.c_str(), nullptr, c.flags);
        if (c.error) {
            EXPECT_EQ(module, nullptr);
            EXPECT_EQ(GetLastError(), c.error);
            continue;
        }
        ASSERT_NE(module, nullptr);
        EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(101), u"REGISTRY"), nullptr);
        EXPECT_TRUE(FreeLibrary(module));
    }
    int dummy = 0;
    EXPECT_EQ(LoadLibraryExW(path.c_str(), &dummy, LOAD_LIBRARY_AS_DATAFILE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ModulesTest, MissingFilesAndDirectoriesDoNotLoad) {
    std::u16string missing = hostwin::WindowsPath(RootPath("drive_c/no/such.dll"));
    EXPECT_EQ(LoadData(missing), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    WriteImage("inside.dll", "MZ");
    EXPECT_EQ(LoadData(u"C:\\images"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(ModulesTest, DataFileHandlesAreCountedUntilFreed) {
    std::u16string path = WriteImage("sample.dll", BuildPe(SampleResources()));
    size_t before = hostwin::OpenHandleCount(hostwin::HandleKind::Module);
    HMODULE first = LoadData(path);
    HMODULE second = LoadData(path);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(hostwin::OpenHandleCount(hostwin::HandleKind::Module), before + 2);
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_FALSE(FreeLibrary(first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // The other handle still reads its own mapping.
    EXPECT_EQ(ResourceBytes(second, FindResourceW(second, MAKEINTRESOURCEW(101), u"REGISTRY")),
              "HKCR\r\n{\r\n}\r\n");
    EXPECT_TRUE(FreeLibrary(second));
    EXPECT_EQ(hostwin::OpenHandleCount(hostwin::HandleKind::Module), before);
    // A freed module's resources are gone, and modules every process has stay loaded.
    EXPECT_EQ(FindResourceW(second, MAKEINTRESOURCEW(101), u"REGISTRY"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(FreeLibrary(GetModuleHandleW(u"ole32.dll")));
    EXPECT_NE(GetModuleHandleW(u"ole32.dll"), nullptr);
}

// The same resources read from a PE image, a 64-bit and a 32-bit host ELF file.
TEST_F(ModulesTest, FindsResourcesByTypeNameAndLanguageInEveryImageFormat) {
    const std::vector<std::pair<std::string, std::string>> images = {
        {"pe.dll", BuildPe(SampleResources())},
        {"elf64", BuildElf(BuildRes(SampleResources()), true)},
        {"elf32", BuildElf(BuildRes(SampleResources()), false)},
    };
    struct Lookup {
        const char* what;
        LPCWSTR type;
        LPCWSTR name;
        WORD language;    // 0: FindResourceW's choice
        const char* data; // null: not found
        DWORD error;
    };
    const Lookup lookups[] = {
        {"by number", u"REGISTRY", MAKEINTRESOURCEW(101), 0, "HKCR\r\n{\r\n}\r\n", 0},
        {"type in any case", u"registry", MAKEINTRESOURCEW(101), 0, "HKCR\r\n{\r\n}\r\n", 0},
        {"#number names", u"REGISTRY", u"#101", 0, "HKCR\r\n{\r\n}\r\n", 0},
        {"exact language", u"REGISTRY", MAKEINTRESOURCEW(101), kChinese, "HKCR\r\n{\r\n}\r\n", 0},
        {"string names", u"CUSTOM", u"named", 0, "named data", 0},
        {"string type by number", u"#6", u"#7", 0, nullptr, 0},
        {"other language", u"REGISTRY", MAKEINTRESOURCEW(101), kEnglish, nullptr,
         ERROR_RESOURCE_LANG_NOT_FOUND},
        {"other name", u"REGISTRY", MAKEINTRESOURCEW(102), 0, nullptr,
         ERROR_RESOURCE_NAME_NOT_FOUND},
        {"name as text", u"REGISTRY", u"101", 0, nullptr, ERROR_RESOURCE_NAME_NOT_FOUND},
        {"other type", u"TYPELIB", MAKEINTRESOURCEW(101), 0, nullptr,
         ERROR_RESOURCE_TYPE_NOT_FOUND},
        {"'#' with no number", u"#", MAKEINTRESOURCEW(101), 0, nullptr,
         ERROR_RESOURCE_TYPE_NOT_FOUND},
    };
    for (const auto& [file, bytes] : images) {
        HMODULE module = LoadData(WriteImage(file, bytes));
        ASSERT_NE(module, nullptr) << file << ": " << GetLastError();
        for (const Lookup& lookup : lookups) {
            SCOPED_TRACE(file + ": " + lookup.what);
            SetLastError(0);
            HRSRC resource =
                lookup.language ? FindResourceExW(module, lookup.type, lookup.name, lookup.language)
                                : FindResourceW(module, lookup.name, lookup.type);
            if (lookup.error) {
                EXPECT_EQ(resource, nullptr);
                EXPECT_EQ(GetLastError(), lookup.error);
            } else if (lookup.data) {
                EXPECT_EQ(ResourceBytes(module, resource), lookup.data);
            } else {
                EXPECT_NE(resource, nullptr); // the string block, checked by LoadStringW
            }
        }
        WCHAR text[32];
        EXPECT_EQ(LoadStringW(module, 100, text, 32), 14);
        EXPECT_EQ(std::u16string(text), u"pellardservice");
        EXPECT_TRUE(FreeLibrary(module));
    }
}

TEST_F(ModulesTest, DefaultLanguageIsNeutralThenUserThenEnglishThenFirst) {
    struct Case {
        std::vector<WORD> available;
        WORD chosen;
    };
    const Case cases[] = {
        {{kChinese}, kChinese},
        {{0x0C04, kChinese}, kChinese}, // first available: lowest id
        {{kChinese, kEnglish}, kEnglish},
        {{kChinese, kEnglish, 0x0000}, 0x0000},
        {{kChinese, 0x0009}, 0x0009}, // English, no sublanguage
        {{kChinese, 0x0407, 0x0400}, 0x0400},
    };
    int index = 0;
    for (const Case& c : cases) {
        std::vector<Resource> resources;
        for (WORD language : c.available)
            resources.push_back({u"DATA", 1, language, std::to_string(language)});
        HMODULE module = LoadData(WriteImage("lang" + std::to_string(index++), BuildPe(resources)));
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(ResourceBytes(module, FindResourceW(module, MAKEINTRESOURCEW(1), u"DATA")),
                  std::to_string(c.chosen));
        // Language 0 asks for the same choice through FindResourceExW.
        EXPECT_EQ(FindResourceExW(module, u"DATA", MAKEINTRESOURCEW(1), 0),
                  FindResourceW(module, MAKEINTRESOURCEW(1), u"DATA"));
        EXPECT_TRUE(FreeLibrary(module));
    }
}

TEST_F(ModulesTest, ResourceHandlesBelongToTheirModule) {
    HMODULE module = LoadData(WriteImage("sample.dll", BuildPe(SampleResources())));
    ASSERT_NE(module, nullptr);
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(101), u"REGISTRY");
    ASSERT_NE(resource, nullptr);
    // Another module's handle, or no handle at all, is refused rather than dereferenced.
    EXPECT_EQ(LoadResource(nullptr, resource), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
    EXPECT_EQ(SizeofResource(nullptr, resource), 0u);
    EXPECT_EQ(LoadResource(module, nullptr), nullptr);
    EXPECT_EQ(SizeofResource(module, reinterpret_cast<HRSRC>(&module)), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
    // System modules carry no resources here.
    EXPECT_EQ(FindResourceW(GetModuleHandleW(u"user32"), MAKEINTRESOURCEW(1), RT_VERSION), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
    EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(ModulesTest, LoadStringCopiesTruncatesOrLendsTheText) {
    // This test binary carries tollivar's resources: string 100 is the service name.
    HMODULE self = GetModuleHandleW(nullptr);
    struct Case {
        HMODULE module;
        UINT id;
        int bufferChars;
        int result;
        const char16_t* text;
        DWORD error; // for result 0
    };
    const Case cases[] = {
        {self, 100, 64, 14, u"pellardservice", 0},
        {nullptr, 100, 64, 14, u"pellardservice", 0}, // NULL is this executable too
        {self, 100, 15, 14, u"pellardservice", 0},
        {self, 100, 14, 13, u"pellardservic", 0},
        {self, 100, 5, 4, u"pell", 0},
        {self, 100, 1, 0, u"", 0},
        {self, 101, 64, 0, u"", ERROR_RESOURCE_NAME_NOT_FOUND},  // same block, no string
        {self, 5000, 64, 0, u"", ERROR_RESOURCE_NAME_NOT_FOUND}, // no such block
        {self, 0x10000, 64, 0, u"", ERROR_RESOURCE_NAME_NOT_FOUND},
        {self, 100, -1, 0, nullptr, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.id) + " into " + std::to_string(c.bufferChars));
        WCHAR buffer[64];
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        SetLastError(0);
        EXPECT_EQ(LoadStringW(c.module, c.id, buffer, c.bufferChars), c.result);
        if (c.text) {
            EXPECT_EQ(std::u16string(buffer), c.text);
        }
        if (c.result == 0) {
            EXPECT_EQ(GetLastError(), c.error);
        }
        if (c.bufferChars > 0 && c.bufferChars < 64) {
            EXPECT_EQ(buffer[c.bufferChars], u'#') << "wrote past the buffer";
        }
    }
    EXPECT_EQ(LoadStringW(self, 100, nullptr, 64), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // No buffer size: the caller receives a pointer to the unterminated text in the module.
    const WCHAR* lent = nullptr;
    EXPECT_EQ(LoadStringW(self, 100, reinterpret_cast<LPWSTR>(&lent), 0), 14);
    ASSERT_NE(lent, nullptr);
    EXPECT_EQ(std::u16string(lent, 14), u"pellardservice");
    const WCHAR* again = nullptr;
    LoadStringW(self, 100, reinterpret_cast<LPWSTR>(&again), 0);
    EXPECT_EQ(again, lent) << "the pointer is into the resource, not a copy";
}

TEST_F(ModulesTest, MalformedStringBlocksAreNotReadPastTheirEnd) {
    std::string overlong; // claims 200 characters, holds 2
    Put16(overlong, 0, 200);
    overlong += Utf16Bytes(u"ab");
    std::string cut = StringBlock({{3, u"fine"}}).substr(0, 4); // ends after two counts
    HMODULE module = LoadData(WriteImage("strings.dll", BuildPe({
                                                            {6, 1, 0, overlong},
                                                            {6, 2, 0, cut},
                                                        })));
    ASSERT_NE(module, nullptr);
    WCHAR buffer[8];
    for (UINT id : {0u, 1u, 16u + 3, 16u + 15}) {
        SCOPED_TRACE(id);
        SetLastError(0);
        EXPECT_EQ(LoadStringW(module, id, buffer, 8), 0);
        EXPECT_EQ(buffer[0], u'\0');
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    }
    EXPECT_TRUE(FreeLibrary(module));
}

// Broken images: each must be refused (or loaded without the broken resource) and nothing may
// be read outside the file.
struct Breakage {
    const char* what;
    std::function<void(std::string&, const PeLayout&)> apply;
    DWORD loadError; // 0: loads, and the REGISTRY resource is then not found with findError
    DWORD findError;
};

TEST_F(ModulesTest, MalformedPeImagesAreRefused) {
    using L = PeLayout;
    auto inSection = [](const PeLayout&, size_t offset) { return L::kSection + offset; };
    const Breakage cases[] = {
        {"empty file", [](std::string& b, const L&) { b.clear(); }, ERROR_BAD_FORMAT, 0},
        {"no MZ", [](std::string& b, const L&) { b[0] = 'X'; }, ERROR_BAD_FORMAT, 0},
        {"DOS header only", [](std::string& b, const L&) { b.resize(0x3E); }, ERROR_BAD_FORMAT, 0},
        {"PE header offset past the end",
         [](std::string& b, const L&) { Put32(b, 0x3C, 0x7FFFFFF0); }, ERROR_BAD_FORMAT, 0},
        {"PE header offset that wraps",
         [](std::string& b, const L&) { Put32(b, 0x3C, 0xFFFFFFFE); }, ERROR_BAD_FORMAT, 0},
        {"bad PE signature", [](std::string& b, const L&) { b[L::kPeHeader + 1] = 'Q'; },
         ERROR_BAD_FORMAT, 0},
        {"unknown optional header",
         [](std::string& b, const L&) { Put16(b, L::kOptionalHeader, 0x107); }, ERROR_BAD_FORMAT,
         0},
        {"optional header past the end",
         [](std::string& b, const L&) { Put16(b, L::kCoffHeader + 16, 0xFFFF); }, ERROR_BAD_FORMAT,
         0},
        {"optional header too short for its directories",
         [](std::string& b, const L&) { Put16(b, L::kCoffHeader + 16, 64); }, ERROR_BAD_FORMAT, 0},
        {"section table past the end",
         [](std::string& b, const L&) { Put16(b, L::kCoffHeader + 2, 0xFFFF); }, ERROR_BAD_FORMAT,
         0},
        {"resource directory outside every section",
         [](std::string& b, const L&) { Put32(b, L::kResourceDirectory, 0x9000); },
         ERROR_BAD_FORMAT, 0},
        {"section data past the end of the file",
         [](std::string& b, const L&) { Put32(b, L::kSectionTable + 20, 0x7FFFFF00); },
         ERROR_BAD_FORMAT, 0},
        {"section size that wraps",
         [](std::string& b, const L&) { Put32(b, L::kSectionTable + 16, 0xFFFFFFFF); },
         ERROR_BAD_FORMAT, 0},
        {"more directory entries than the section holds",
         [&](std::string& b, const L& l) { Put16(b, inSection(l, L::kRoot + 14), 0xFFFF); },
         ERROR_BAD_FORMAT, 0},
        {"subdirectory outside the section",
         [&](std::string& b, const L& l) {
             Put32(b, inSection(l, L::kFirstTypeEntry + 4), 0x80000000u | 0x7FFFFF00u);
         },
         ERROR_BAD_FORMAT, 0},
        {"subdirectory looping back to the root",
         [&](std::string& b, const L& l) {
             Put32(b, inSection(l, L::kFirstTypeEntry + 4), 0x80000000u);
         },
         ERROR_BAD_FORMAT, 0},
        {"two types sharing one subdirectory", // so work cannot grow past the file's size
         [&](std::string& b, const L& l) {
             Put32(b, inSection(l, L::kFirstTypeEntry + 8 + 4),
                   Get32(b, inSection(l, L::kFirstTypeEntry + 4)));
         },
         ERROR_BAD_FORMAT, 0},
        {"data at the type level",
         [&](std::string& b, const L& l) {
             Put32(b, inSection(l, L::kFirstTypeEntry + 4),
                   static_cast<uint32_t>(l.firstDataEntry));
         },
         ERROR_BAD_FORMAT, 0},
        {"name string outside the section",
         [&](std::string& b, const L& l) {
             Put32(b, inSection(l, L::kFirstTypeEntry), 0x80000000u | 0x7FFFFFF0u);
         },
         ERROR_BAD_FORMAT, 0},
        {"name string longer than the section",
         [&](std::string& b, const L& l) { Put16(b, inSection(l, l.firstNameString), 0xFFFF); },
         ERROR_BAD_FORMAT, 0},
        {"number id above 16 bits",
         [&](std::string& b, const L& l) { Put32(b, inSection(l, L::kFirstTypeEntry), 0x10006); },
         ERROR_BAD_FORMAT, 0},
        {"data outside the image",
         [&](std::string& b, const L& l) { Put32(b, inSection(l, l.firstDataEntry), 0x50000); },
         ERROR_BAD_FORMAT, 0},
        {"data size past the section",
         [&](std::string& b, const L& l) {
             Put32(b, inSection(l, l.firstDataEntry + 4), 0xFFFFFFF0u);
         },
         ERROR_BAD_FORMAT, 0},
        {"truncated inside the resource directory",
         [](std::string& b, const L&) { b.resize(L::kSection + 20); }, ERROR_BAD_FORMAT, 0},
        {"no resource directory", [](std::string& b, const L&) { Put32(b, L::kDirectoryCount, 2); },
         0, ERROR_RESOURCE_DATA_NOT_FOUND},
        {"resource directory entry zeroed",
         [](std::string& b, const L&) { Put32(b, L::kResourceDirectory, 0); }, 0,
         ERROR_RESOURCE_DATA_NOT_FOUND},
    };
    int index = 0;
    for (const Breakage& c : cases) {
        SCOPED_TRACE(c.what);
        PeLayout layout;
        std::string image = BuildPe(SampleResources(), &layout);
        ASSERT_NE(layout.firstNameString, 0u);
        c.apply(image, layout);
        SetLastError(0);
        HMODULE module = LoadData(WriteImage("broken" + std::to_string(index++), image));
        if (c.loadError) {
            EXPECT_EQ(module, nullptr);
            EXPECT_EQ(GetLastError(), c.loadError);
            continue;
        }
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCEW(101), u"REGISTRY"), nullptr);
        EXPECT_EQ(GetLastError(), c.findError);
        EXPECT_TRUE(FreeLibrary(module));
    }
}

TEST_F(ModulesTest, EveryTruncationOfAPeImageIsRefused) {
    std::string image = BuildPe(SampleResources());
    std::u16string path = WriteImage("cut.dll", image);
    HMODULE whole = LoadData(path);
    EXPECT_NE(whole, nullptr);
    if (whole)
        FreeLibrary(whole);
    // Cut the same file shorter and shorter: headers, directory, data and section padding.
    const std::string hostPath = hostwin::HostPath(path);
    for (size_t size = image.size(); size-- > 0;) {
        SCOPED_TRACE(size);
        ASSERT_EQ(truncate(hostPath.c_str(), static_cast<off_t>(size)), 0);
        SetLastError(0);
        HMODULE module = LoadData(path);
        EXPECT_EQ(module, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_FORMAT));
        if (module)
            FreeLibrary(module);
    }
}

TEST_F(ModulesTest, MalformedElfFilesAndResFilesAreRefused) {
    struct Case {
        const char* what;
        std::function<void(std::string&, const ElfLayout&)> apply;
        DWORD loadError;
        DWORD findError;
    };
    using E = ElfLayout;
    const size_t sizeField = 32; // of a 64-bit section header
    const Case cases[] = {
        {"32-bit class byte unknown", [](std::string& b, const E&) { b[4] = 3; }, ERROR_BAD_FORMAT,
         0},
        {"big-endian", [](std::string& b, const E&) { b[5] = 2; }, ERROR_BAD_FORMAT, 0},
        {"truncated header", [](std::string& b, const E&) { b.resize(40); }, ERROR_BAD_FORMAT, 0},
        {"section table past the end",
         [](std::string& b, const E&) { Put64(b, 0x28, 0x7FFFFFFFFFFFFF00ull); }, ERROR_BAD_FORMAT,
         0},
        {"section header too small", [](std::string& b, const E&) { Put16(b, 0x3A, 16); },
         ERROR_BAD_FORMAT, 0},
        {"more sections than the file holds",
         [](std::string& b, const E&) { Put16(b, 0x3C, 0xFFF0); }, ERROR_BAD_FORMAT, 0},
        {"name table index out of range", [](std::string& b, const E&) { Put16(b, 0x3E, 7); },
         ERROR_BAD_FORMAT, 0},
        {"name table past the end",
         [](std::string& b, const E& l) {
             Put64(b, l.sectionTable + 2 * l.entrySize + 24, 0xFFFFFFFFFFFFFFF0ull);
         },
         ERROR_BAD_FORMAT, 0},
        {"resource section past the end",
         [&](std::string& b, const E& l) { Put64(b, l.resourceHeader + sizeField, 1u << 30); },
         ERROR_BAD_FORMAT, 0},
        {"resource section without file data",
         [](std::string& b, const E& l) { Put32(b, l.resourceHeader + 4, 8 /* NOBITS */); },
         ERROR_BAD_FORMAT, 0},
        {"resource data size past the section",
         [](std::string& b, const E& l) { Put32(b, l.resources + 32, 0xFFFFFF00u); },
         ERROR_BAD_FORMAT, 0},
        {"resource header smaller than its fields",
         [](std::string& b, const E& l) { Put32(b, l.resources + 32 + 4, 12); }, ERROR_BAD_FORMAT,
         0},
        {"resource header past the section",
         [](std::string& b, const E& l) { Put32(b, l.resources + 32 + 4, 0x7FFFFFF0u); },
         ERROR_BAD_FORMAT, 0},
        {"unterminated type name",
         [](std::string& b, const E& l) {
             // The type is a string: fill the whole header after the sizes with text.
             size_t headerSize = Get32(b, l.resources + 32 + 4);
             for (size_t i = 8; i < headerSize; ++i)
                 b[l.resources + 32 + i] = 'A';
         },
         ERROR_BAD_FORMAT, 0},
        {"no resource section",
         [](std::string& b, const E&) {
             size_t at = b.find("hostwin_res");
             b[at] = 'X';
         },
         0, ERROR_RESOURCE_DATA_NOT_FOUND},
        {"no section table", [](std::string& b, const E&) { Put64(b, 0x28, 0); }, 0,
         ERROR_RESOURCE_DATA_NOT_FOUND},
    };
    // One resource whose type is a string, so that its header can be broken field by field.
    std::string res = BuildRes({{u"REGISTRY", 101, kChinese, "HKCR\r\n{\r\n}\r\n"}});
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ElfLayout layout;
        std::string file = BuildElf(res, true, &layout);
        c.apply(file, layout);
        SetLastError(0);
        HMODULE module = LoadData(WriteImage("elf" + std::to_string(index++), file));
        if (c.loadError) {
            EXPECT_EQ(module, nullptr);
            EXPECT_EQ(GetLastError(), c.loadError);
            continue;
        }
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCEW(101), u"REGISTRY"), nullptr);
        EXPECT_EQ(GetLastError(), c.findError);
        EXPECT_TRUE(FreeLibrary(module));
    }

    // A linker may pad the section with zeros, but anything else after the last resource is
    // a broken table.
    HMODULE padded = LoadData(WriteImage("padded", BuildElf(res + std::string(12, '\0'), true)));
    ASSERT_NE(padded, nullptr);
    EXPECT_NE(FindResourceW(padded, MAKEINTRESOURCEW(101), u"REGISTRY"), nullptr);
    EXPECT_TRUE(FreeLibrary(padded));
    EXPECT_EQ(LoadData(WriteImage("stray", BuildElf(res + std::string("\1\0\0\0", 4), true))),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_FORMAT));
}

} // namespace
