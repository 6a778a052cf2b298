// Modules and resources: system module names and exports, data-file loading and its handle
// accounting, resource lookup by type, name and language, string tables, and images that are
// malformed on purpose.
#include "imagebuilder.h"
#include "machine.h"

#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

using namespace image_builder;
using testing_support::MachineTest;

namespace {

const WORD kChinese = 0x0804;
const WORD kEnglish = 0x0409;
const DWORD kNoString = ERROR_RESOURCE_NAME_NOT_FOUND;
const std::string kScript = "HKCR\r\n{\r\n}\r\n";
const std::vector<Resource> kSample = {
    {u"REGISTRY", 101, kChinese, kScript},
    {u"Custom", u"Named", 0, "named data"},
};

class ModulesTest : public MachineTest {
protected:
    // Writes `bytes` below the machine's C: drive and returns its Windows path.
    std::u16string WriteImage(const std::string& bytes) {
        std::string path = RootPath("drive_c/images/" + std::to_string(m_images++) + ".dll");
        testing_support::WriteFile(path, bytes);
        return hostwin::WindowsPath(path);
    }
    HMODULE LoadImage(const std::string& bytes) {
        return LoadLibraryExW(WriteImage(bytes).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }
    static std::string ResourceBytes(HMODULE module, HRSRC resource) {
        const void* data = LockResource(LoadResource(module, resource));
        return data ? std::string(static_cast<const char*>(data), SizeofResource(module, resource))
                    : "<no data>";
    }
    static HRSRC FindScript(HMODULE module) {
        return FindResourceW(module, MAKEINTRESOURCEW(101), u"REGISTRY");
    }
    int m_images = 0;
};

TEST_F(ModulesTest, SystemModulesAreFoundByNameAndExportOnlyTheirTabledFunctions) {
    const std::pair<const char16_t*, const char16_t*> same[] = {
        {u"kernel32.dll", u"KERNEL32"}, {u"Advapi32", u"ADVAPI32.DLL"},
        {u"ole32", u"OLE32.dll"},       {u"oleaut32", u"OleAut32.DLL"},
        {u"user32", u"USER32.DLL"},     {u"shlwapi", u"SHLWAPI.DLL"},
    };
    std::set<HMODULE> distinct{GetModuleHandleW(nullptr)};
    for (const auto& [name, sameAs] : same) {
        EXPECT_NE(GetModuleHandleW(name), nullptr) << hostwin::ToUtf8(name);
        EXPECT_EQ(GetModuleHandleW(name), GetModuleHandleW(sameAs)) << hostwin::ToUtf8(name);
        distinct.insert(GetModuleHandleW(name));
    }
    EXPECT_EQ(distinct.size(), 7u) << "each system DLL has its own handle, not the executable's";
    // They stay loaded, and carry no resources here.
    EXPECT_TRUE(FreeLibrary(GetModuleHandleW(u"ole32.dll")));
    EXPECT_NE(GetModuleHandleW(u"ole32.dll"), nullptr);
    EXPECT_EQ(FindResourceW(GetModuleHandleW(u"user32"), MAKEINTRESOURCEW(1), RT_VERSION), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
    // Mscoree.dll is not loaded; a trailing dot means no extension at all.
    for (const char16_t* name : {u"Mscoree.dll", u"mscoree", u"kernel32.", u"kernel32.exe"}) {
        SetLastError(0);
        EXPECT_EQ(GetModuleHandleW(name), nullptr) << hostwin::ToUtf8(name);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    }

    HMODULE advapi = GetModuleHandleW(u"advapi32.dll");
    EXPECT_EQ(reinterpret_cast<void (*)()>(GetProcAddress(advapi, "RegDeleteKeyExW")),
              reinterpret_cast<void (*)()>(&RegDeleteKeyExW));
    const std::tuple<HMODULE, LPCSTR, DWORD> failures[] = {
        {advapi, "regdeletekeyexw", ERROR_PROC_NOT_FOUND}, // names are case-sensitive
        {GetModuleHandleW(u"kernel32"), "RegDeleteKeyExW", ERROR_PROC_NOT_FOUND},
        {GetModuleHandleW(nullptr), "wWinMain", ERROR_PROC_NOT_FOUND},
        {reinterpret_cast<HMODULE>(0x1234), "RegDeleteKeyExW", ERROR_INVALID_HANDLE},
        {advapi, reinterpret_cast<LPCSTR>(7), ERROR_NOT_SUPPORTED}, // ordinals
    };
    for (const auto& [module, name, error] : failures) {
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(module, name), nullptr);
        EXPECT_EQ(GetLastError(), error) << (IS_INTRESOURCE(name) ? "ordinal" : name);
    }
}

TEST_F(ModulesTest, LoadsOnlyExistingFilesAsDataAndKeepsEachUntilFreed) {
    std::u16string path = WriteImage(BuildPe(kSample));
    int file = 0;
    // Name, file handle, flags, and the error, 0 when it loads.
    const std::tuple<std::u16string, HANDLE, DWORD, DWORD> cases[] = {
        {path, nullptr, LOAD_LIBRARY_AS_DATAFILE, 0},
        {path, nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE, 0},
        {path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE, 0},
        {path, nullptr, 0, ERROR_NOT_SUPPORTED}, // loading code
        {path, nullptr, LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE, 0},
        // What the registrar tries first: it must load, not leave the caller to fall back.
        {path, nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE, 0},
        {path, nullptr, LOAD_LIBRARY_AS_DATAFILE | 0x8, ERROR_NOT_SUPPORTED}, // altered search
        {path, &file, LOAD_LIBRARY_AS_DATAFILE, ERROR_INVALID_PARAMETER},
        {u"C:\\no\\such.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE, ERROR_MOD_NOT_FOUND},
        {u"C:\\images", nullptr, LOAD_LIBRARY_AS_DATAFILE, ERROR_ACCESS_DENIED}, // a directory
    };
    for (const auto& [name, handle, flags, error] : cases) {
        SCOPED_TRACE(hostwin::ToUtf8(name) + " flags " + std::to_string(flags));
        SetLastError(0);
        HMODULE module = LoadLibraryExW(name.c_str(), handle, flags);
        EXPECT_EQ(module ? 0 : GetLastError(), error);
        EXPECT_EQ(module ? ResourceBytes(module, FindScript(module)) : kScript, kScript);
        EXPECT_EQ(module ? FreeLibrary(module) : TRUE, TRUE);
    }

    // Each data file load is its own Module handle, with its own mapping, until freed.
    size_t before = hostwin::OpenHandleCount(hostwin::HandleKind::Module);
    HMODULE first = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HMODULE second = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(hostwin::OpenHandleCount(hostwin::HandleKind::Module), before + 2);
    // A resource handle is refused, not dereferenced, with another module or none.
    HRSRC resource = FindScript(second);
    EXPECT_EQ(LoadResource(nullptr, resource), nullptr);
    EXPECT_EQ(SizeofResource(first, resource), 0u);
    EXPECT_EQ(LoadResource(second, nullptr), nullptr);
    EXPECT_EQ(SizeofResource(second, reinterpret_cast<HRSRC>(&second)), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));

    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_FALSE(FreeLibrary(first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ResourceBytes(second, resource), kScript) << "the other handle keeps its mapping";
    EXPECT_TRUE(FreeLibrary(second));
    EXPECT_EQ(hostwin::OpenHandleCount(hostwin::HandleKind::Module), before);
    EXPECT_EQ(FindScript(second), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// The same resources read from a PE image, a 64-bit and a 32-bit host ELF file.
TEST_F(ModulesTest, FindsResourcesByTypeNameAndLanguageInEveryImageFormat) {
    // DATA n+1 exists in the languages listed in row n; FindResourceW picks the one given last.
    const std::pair<std::vector<WORD>, WORD> defaults[] = {
        {{0x0C04, kChinese}, kChinese},         // none preferred: the lowest id
        {{kChinese, kEnglish}, kEnglish},       // the user's
        {{kChinese, kEnglish, 0x0000}, 0x0000}, // neutral first
        {{kChinese, 0x0009}, 0x0009},           // English without sublanguage
        {{kChinese, 0x0407, 0x0400}, 0x0400},   // neutral, default sublanguage
    };
    std::vector<Resource> resources = kSample;
    for (int n = 0; n < 5; ++n)
        for (WORD language : defaults[n].first)
            resources.push_back({u"DATA", n + 1, language, std::to_string(language)});
    const std::string res = BuildRes(resources);
    const std::pair<const char*, std::string> images[] = {{"PE", BuildPe(resources)},
                                                          {"ELF64", BuildElf(res, true)},
                                                          {"ELF32", BuildElf(res, false)}};
    // What, type, name, language (0: FindResourceW's choice), and the error, 0 when found.
    const std::tuple<const char*, LPCWSTR, LPCWSTR, WORD, DWORD> lookups[] = {
        {"type in any case, #number", u"registry", u"#101", 0, 0},
        {"other language", u"REGISTRY", MAKEINTRESOURCEW(101), kEnglish,
         ERROR_RESOURCE_LANG_NOT_FOUND},
        {"other name", u"REGISTRY", MAKEINTRESOURCEW(102), 0, ERROR_RESOURCE_NAME_NOT_FOUND},
        {"name as text", u"REGISTRY", u"101", 0, ERROR_RESOURCE_NAME_NOT_FOUND},
        {"other type", u"TYPELIB", MAKEINTRESOURCEW(101), 0, ERROR_RESOURCE_TYPE_NOT_FOUND},
        {"'#' alone", u"#", MAKEINTRESOURCEW(101), 0, ERROR_RESOURCE_TYPE_NOT_FOUND},
    };
    for (const auto& [format, bytes] : images) {
        SCOPED_TRACE(format);
        HMODULE module = LoadImage(bytes);
        ASSERT_NE(module, nullptr) << GetLastError();
        for (const auto& [what, type, name, language, error] : lookups) {
            SetLastError(0);
            HRSRC found = language ? FindResourceExW(module, type, name, language)
                                   : FindResourceW(module, name, type);
            EXPECT_EQ(found ? 0 : GetLastError(), error) << what;
            EXPECT_EQ(found ? ResourceBytes(module, found) : kScript, kScript) << what;
        }
        EXPECT_EQ(ResourceBytes(module, FindResourceW(module, u"named", u"CUSTOM")), "named data");
        for (int n = 0; n < 5; ++n) {
            HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(n + 1), u"DATA");
            EXPECT_EQ(ResourceBytes(module, found), std::to_string(defaults[n].second));
            EXPECT_EQ(FindResourceExW(module, u"DATA", MAKEINTRESOURCEW(n + 1), 0), found);
        }
        EXPECT_TRUE(FreeLibrary(module));
    }
}

TEST_F(ModulesTest, LoadStringCopiesTruncatesOrLendsTheTextAndStaysInsideItsBlock) {
    // This test binary carries tollivar's resources: string 100 is the service name.
    HMODULE self = GetModuleHandleW(nullptr);
    // Block 1 claims 200 characters and holds 2; block 2 ends after two counts.
    HMODULE broken =
        LoadImage(BuildPe({{6, 1, 0, Utf16(u"\u00C8ab")}, {6, 2, 0, std::string(4, '\0')}}));
    ASSERT_NE(broken, nullptr);
    const std::tuple<HMODULE, UINT, int, int, const char16_t*, DWORD> cases[] = {
        // module, id, buffer size, result, text (null: not read), error when the result is 0
        {nullptr, 100, 64, 14, u"pellardservice", 0}, // NULL is this executable too
        {self, 100, 15, 14, u"pellardservice", 0},
        {self, 100, 14, 13, u"pellardservic", 0},
        {self, 100, 1, 0, u"", 0},
        {self, 101, 64, 0, u"", kNoString},  // same block, no string
        {self, 5000, 64, 0, u"", kNoString}, // no such block
        {self, 0x10000, 64, 0, u"", kNoString},
        {self, 100, -1, 0, nullptr, ERROR_INVALID_PARAMETER},
        {broken, 0, 64, 0, u"", kNoString},
        {broken, 16 + 3, 64, 0, u"", kNoString},
    };
    for (const auto& [module, id, size, result, text, error] : cases) {
        SCOPED_TRACE(std::to_string(id) + " into " + std::to_string(size));
        WCHAR buffer[65];
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        SetLastError(0);
        EXPECT_EQ(LoadStringW(module, id, buffer, size), result);
        EXPECT_EQ(text ? std::u16string(buffer) : u"", text ? text : u"");
        EXPECT_EQ(result ? 0 : GetLastError(), error);
        EXPECT_EQ(buffer[std::max(size, 0)], u'#') << "wrote past the buffer";
    }
    EXPECT_TRUE(FreeLibrary(broken));
    EXPECT_EQ(LoadStringW(self, 100, nullptr, 64), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // No buffer size: the caller receives a pointer to the unterminated text in the module.
    const WCHAR* lent = nullptr;
    const WCHAR* again = nullptr;
    EXPECT_EQ(LoadStringW(self, 100, reinterpret_cast<LPWSTR>(&lent), 0), 14);
    ASSERT_NE(lent, nullptr);
    EXPECT_EQ(std::u16string(lent, 14), u"pellardservice");
    LoadStringW(self, 100, reinterpret_cast<LPWSTR>(&again), 0);
    EXPECT_EQ(again, lent) << "the pointer is into the resource, not a copy";
}

// Broken images: each must be refused, or load without the broken resource, and nothing may
// be read outside the file.
using Edit = std::function<void(std::string&)>;
template <class T> Edit Set(size_t at, T value) {
    return [=](std::string& bytes) { Put<T>(bytes, at, value); };
}

TEST_F(ModulesTest, MalformedOrTruncatedImagesAreRefused) {
    using L = PeLayout;
    const std::string pe = BuildPe(kSample);
    // The root directory's first entry, the first name string (a counted "Custom"), and
    // REGISTRY's data entry, which sits just before its data.
    const size_t type = L::kSection + 16, name = pe.find(Utf16(u"\6Custom")),
                 data = pe.find(kScript) - 16;
    // One resource whose type is a string, so that its .res header can be broken field by field.
    const std::string res = BuildRes({{u"REGISTRY", 101, kChinese, kScript}});
    const std::string elf = BuildElf(res, true);
    // The REGISTRY entry follows the 64-byte ELF header and the empty leading .res entry; the
    // headers of the resource and name sections end the file.
    const size_t header = 64 + 32, resSection = elf.size() - 128, names = elf.size() - 64;
    const DWORD kBad = ERROR_BAD_FORMAT, kNoData = ERROR_RESOURCE_DATA_NOT_FOUND;
    struct Case {
        const char* what;
        std::string image;
        Edit edit;
        DWORD loadError;   // 0: loads,
        DWORD findError{}; // and the REGISTRY resource is then found (0) or not
    };
    const Case cases[] = {
        {"no MZ", pe, Set<WORD>(0, 0), kBad},
        {"PE header offset that wraps", pe, Set<DWORD>(0x3C, 0xFFFFFFFE), kBad},
        {"bad PE signature", pe, Set<char>(L::kPeHeader + 1, 'Q'), kBad},
        {"unknown optional header", pe, Set<WORD>(L::kOptionalHeader, 0x107), kBad},
        {"optional header past the end", pe, Set<WORD>(L::kCoffHeader + 16, 0xFFFF), kBad},
        {"optional header without directories", pe, Set<WORD>(L::kCoffHeader + 16, 64), kBad},
        {"section table past the end", pe, Set<WORD>(L::kCoffHeader + 2, 0xFFFF), kBad},
        {"resources outside every section", pe, Set<DWORD>(L::kResourceDirectory, 0x9000), kBad},
        {"section size that wraps", pe, Set<DWORD>(L::kSectionTable + 16, 0xFFFFFFFF), kBad},
        {"more root entries than the section holds", pe, Set<WORD>(L::kSection + 14, 0xFFFF), kBad},
        {"subdirectory outside the section", pe, Set<DWORD>(type + 4, 0xFFFFFF00), kBad},
        {"subdirectory looping back to the root", pe, Set<DWORD>(type + 4, 0x80000000), kBad},
        {"two types sharing one subdirectory", pe, // so work cannot grow past the file's size
         [&](std::string& b) { b.replace(type + 12, 4, b.substr(type + 4, 4)); }, kBad},
        {"data at the type level", pe, Set<DWORD>(type + 4, data - L::kSection), kBad},
        {"name string outside the section", pe, Set<DWORD>(type, 0xFFFFFFF0), kBad},
        {"name string longer than the section", pe, Set<WORD>(name, 0xFFFF), kBad},
        {"number id above 16 bits", pe, Set<DWORD>(type, 0x10006), kBad},
        {"data outside the image", pe, Set<DWORD>(data, 0x50000), kBad},
        {"data size past the section", pe, Set<DWORD>(data + 4, 0xFFFFFFF0), kBad},
        {"no resource directory", pe, Set<DWORD>(L::kDirectoryCount, 2), 0, kNoData},
        {"resource directory zeroed", pe, Set<DWORD>(L::kResourceDirectory, 0), 0, kNoData},

        {"ELF class unknown", elf, Set<char>(4, 3), kBad},
        {"big-endian ELF", elf, Set<char>(5, 2), kBad},
        {"ELF section table past the end", elf, Set<uint64_t>(0x28, 0x7FFFFFFFFFFFFF00), kBad},
        {"section header too small", elf, Set<WORD>(0x3A, 16), kBad},
        {"more sections than the file holds", elf, Set<WORD>(0x3C, 0xFFF0), kBad},
        {"name section index out of range", elf, Set<WORD>(0x3E, 7), kBad},
        {"name section past the end", elf, Set<uint64_t>(names + 24, 0xFFFFFFFFFFFFFFF0), kBad},
        {"resource section past the end", elf, Set<uint64_t>(resSection + 32, 1u << 30), kBad},
        {"resource section without file data", elf, Set<DWORD>(resSection + 4, 8), kBad},
        {"no resource section", elf, Set<char>(elf.find("hostwin_res"), 'X'), 0, kNoData},
        {"no section table", elf, Set<uint64_t>(0x28, 0), 0, kNoData},

        {".res data size past the section", elf, Set<DWORD>(header, 0xFFFFFF00), kBad},
        {".res header smaller than its fields", elf, Set<DWORD>(header + 4, 12), kBad},
        {".res header past the section", elf, Set<DWORD>(header + 4, 0x7FFFFFF0), kBad},
        {"unterminated .res type name", elf,
         [&](std::string& b) { std::fill(&b[header + 8], &b[b.find("HKCR")], 'A'); }, kBad},
        {".res zero padding after the last resource", BuildElf(res + std::string(12, 0), true),
         nullptr, 0, 0},
        {".res stray bytes after the last resource",
         BuildElf(res + std::string("\1\0\0\0", 4), true), nullptr, kBad},
    };
    for (const Case& c : cases) {
        std::string bytes = c.image;
        if (c.edit)
            c.edit(bytes);
        SetLastError(0);
        HMODULE module = LoadImage(bytes);
        EXPECT_EQ(module ? 0 : GetLastError(), c.loadError) << c.what;
        SetLastError(0);
        EXPECT_EQ(!module || FindScript(module) ? 0 : GetLastError(), c.findError) << c.what;
        EXPECT_EQ(module ? FreeLibrary(module) : TRUE, TRUE);
    }
    // Every cut of a whole image, down to nothing: headers, directories, data and padding.
    for (std::string image : {pe, elf, BuildElf(res, false)}) {
        while (!image.empty()) {
            image.pop_back();
            SetLastError(0);
            HMODULE module = LoadImage(image);
            EXPECT_EQ(module ? 0 : GetLastError(), kBad) << "cut to " << image.size();
            EXPECT_EQ(module ? FreeLibrary(module) : TRUE, TRUE);
        }
    }
}

} // namespace
