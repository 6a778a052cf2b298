// tollivar.exe's resources, read back through the module functions from every place they
// live: embedded in this host test binary, this binary loaded as a data file, and - when the
// build is given TOLLIVAR_WINDOWS_EXE - the Windows product build itself.
#include "machine.h"

#include "resource.h"

#include <windows.h>

#include <string>
#include <vector>

using testing_support::MachineTest;

namespace {

const WORD kChineseSimplified = 0x0804; // 2052

// The parameter is the host path of the file to load as data; empty for this executable.
class TollivarResourcesTest : public MachineTest,
                              public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        std::u16string path = hostwin::WindowsPath(GetParam());
        m_module = GetParam().empty()
                       ? GetModuleHandleW(nullptr)
                       : LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(m_module, nullptr) << GetParam() << ": error " << GetLastError();
    }
    void TearDown() override {
        EXPECT_TRUE(GetParam().empty() || !m_module || FreeLibrary(m_module));
        MachineTest::TearDown();
    }

    // The bytes of a resource, or an empty string (with a test failure) when it is missing.
    std::string Resource(LPCWSTR type, LPCWSTR name, WORD language) {
        HRSRC found = language ? FindResourceExW(m_module, type, name, language)
                               : FindResourceW(m_module, name, type);
        EXPECT_NE(found, nullptr) << "resource not found, error " << GetLastError();
        const void* data = LockResource(LoadResource(m_module, found));
        return data ? std::string(static_cast<const char*>(data), SizeofResource(m_module, found))
                    : std::string();
    }

    HMODULE m_module = nullptr;
};

// A little-endian field; a read that starts past the end throws, failing the test.
uint32_t Read32(const std::string& data, size_t offset) {
    uint32_t value = 0;
    data.copy(reinterpret_cast<char*>(&value), 4, offset);
    return value;
}

TEST_P(TollivarResourcesTest, ServiceNameRegistryScriptAndManifest) {
    WCHAR name[64] = {};
    EXPECT_EQ(LoadStringW(m_module, IDS_SERVICENAME, name, 64), 14);
    EXPECT_EQ(std::u16string(name), u"pellardservice");
    EXPECT_EQ(Resource(u"REGISTRY", MAKEINTRESOURCEW(IDR_TOLLIVAR), kChineseSimplified),
              std::string("HKCR\r\n{\r\n}\r\n"));
    std::string manifest = Resource(RT_MANIFEST, MAKEINTRESOURCEW(1), 0);
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"),
              std::string::npos)
        << manifest;
    EXPECT_EQ(manifest.find("requireAdministrator"), std::string::npos);
}

TEST_P(TollivarResourcesTest, VersionIs1001AndTypeLibraryDescribesTollivarLib) {
    std::string version = Resource(RT_VERSION, MAKEINTRESOURCEW(1), 0);
    // VS_FIXEDFILEINFO follows the 6-byte header and the "VS_VERSION_INFO" key, aligned.
    EXPECT_EQ(Read32(version, 40), 0xFEEF04BDu) << "signature";
    for (size_t at : {48, 56}) { // file, then product version
        EXPECT_EQ(Read32(version, at), 0x00010000u) << at << ": 1.0";
        EXPECT_EQ(Read32(version, at + 4), 0x00000001u) << at << ": .0.1";
    }

    std::string tlb = Resource(u"TYPELIB", MAKEINTRESOURCEW(IDR_TYPELIB), kChineseSimplified);
    ASSERT_EQ(tlb.substr(0, 4), "MSFT");
    EXPECT_EQ(Read32(tlb, 0x0C), 0x0409u) << "LCID";
    EXPECT_EQ(Read32(tlb, 0x18), 0x00000001u) << "version 1.0: major in the low word";
    EXPECT_EQ(Read32(tlb, 0x20), 0u) << "type count";
    // The segment directory follows the header and the (empty) type offsets: 16 bytes per
    // segment; the GUID table is segment 5, the name table segment 7.
    size_t segments = 0x54 + 4 * Read32(tlb, 0x20) + ((Read32(tlb, 0x14) & 0x100) ? 4 : 0);
    const std::string libid("\x21\x7a\x0d\x5c\x9e\x4b\x3a\x4f\x9d\x62\x1e\x8b\x7c\x3f\x0a\x54", 16);
    size_t guid = Read32(tlb, segments + 5 * 16) + Read32(tlb, 0x08);
    EXPECT_EQ(tlb.substr(guid, 16), libid);
    size_t name = Read32(tlb, segments + 7 * 16) + Read32(tlb, 0x38);
    EXPECT_EQ(tlb.substr(name + 12, static_cast<unsigned char>(tlb.at(name + 8))), "tollivarLib");
}

std::vector<std::string> Sources() {
    return {"", "/proc/self/exe",
#ifdef TOLLIVAR_WINDOWS_EXE
            TOLLIVAR_WINDOWS_EXE
#endif
    };
}

std::string SourceName(const ::testing::TestParamInfo<std::string>& info) {
    const char* names[] = {"Embedded", "HostExecutableAsDataFile", "WindowsExecutable"};
    return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(Modules, TollivarResourcesTest, ::testing::ValuesIn(Sources()),
                         SourceName);

#ifdef TOLLIVAR_WINDOWS_EXE
class WindowsExecutableTest : public MachineTest {};

// The resources above must come from the PE reader, not from a host executable by mistake.
TEST_F(WindowsExecutableTest, IsAPeImage) {
    EXPECT_EQ(testing_support::ReadFile(TOLLIVAR_WINDOWS_EXE).substr(0, 2), "MZ");
}
#endif

} // namespace
