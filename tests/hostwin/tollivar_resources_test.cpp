// tollivar.exe's resources, read back through the module functions from every place they
// live: embedded in this host test binary, this binary loaded as a data file, and - when the
// build is given TOLLIVAR_WINDOWS_EXE - the Windows product build itself.
#include "machine.h"

#include <hostwin/control.h>
#include "resource.h"

#include <windows.h>

#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

using testing_support::MachineTest;

namespace {

const WORD kChineseSimplified = 0x0804; // 2052

std::string SelfPath() {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

struct Source {
    const char* name;
    std::string hostPath; // empty: this executable's own module
};

// Test listings name the source, not its bytes.
void PrintTo(const Source& source, std::ostream* out) { *out << source.name; }

std::string SourceName(const ::testing::TestParamInfo<Source>& info) {
    return info.param.name;
}

class TollivarResourcesTest : public MachineTest, public ::testing::WithParamInterface<Source> {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        const Source& source = GetParam();
        if (source.hostPath.empty()) {
            m_module = GetModuleHandleW(nullptr);
        } else {
            std::u16string path = hostwin::WindowsPath(source.hostPath);
            m_module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
            m_loaded = m_module != nullptr;
        }
        ASSERT_NE(m_module, nullptr) << source.hostPath << ": error " << GetLastError();
    }
    void TearDown() override {
        if (m_loaded) {
            EXPECT_TRUE(FreeLibrary(m_module));
        }
        MachineTest::TearDown();
    }

    // The bytes of a resource, or an empty string (with a test failure) when it is missing.
    std::string Resource(LPCWSTR type, LPCWSTR name, WORD language) {
        HRSRC found = language ? FindResourceExW(m_module, type, name, language)
                               : FindResourceW(m_module, name, type);
        if (!found) {
            ADD_FAILURE() << "resource not found, error " << GetLastError();
            return std::string();
        }
        const void* data = LockResource(LoadResource(m_module, found));
        EXPECT_NE(data, nullptr);
        return data ? std::string(static_cast<const char*>(data), SizeofResource(m_module, found))
                    : std::string();
    }

    HMODULE m_module = nullptr;
    bool m_loaded = false;
};

// Little-endian reads that fail the test instead of reading past the data.
uint32_t Read32(const std::string& data, size_t offset) {
    uint32_t value = 0;
    if (offset > data.size() || data.size() - offset < 4) {
        ADD_FAILURE() << "read at " << offset << " past " << data.size() << " bytes";
        return 0;
    }
    std::memcpy(&value, data.data() + offset, 4);
    return value;
}
uint16_t Read16(const std::string& data, size_t offset) {
    uint16_t value = 0;
    if (offset > data.size() || data.size() - offset < 2) {
        ADD_FAILURE() << "read at " << offset << " past " << data.size() << " bytes";
        return 0;
    }
    std::memcpy(&value, data.data() + offset, 2);
    return value;
}

TEST_P(TollivarResourcesTest, ServiceNameIsString100) {
    WCHAR name[64] = {};
    EXPECT_EQ(LoadStringW(m_module, IDS_SERVICENAME, name, 64), 14);
    EXPECT_EQ(std::u16string(name), u"pellardservice");
}

TEST_P(TollivarResourcesTest, RegistryScriptIsKeptByteForByteInChinese) {
    std::string script = Resource(u"REGISTRY", MAKEINTRESOURCEW(IDR_TOLLIVAR), kChineseSimplified);
    EXPECT_EQ(script, std::string("HKCR\r\n{\r\n}\r\n"));
    EXPECT_EQ(script.size(), 12u);
}

TEST_P(TollivarResourcesTest, TypeLibraryDescribesTollivarLibWithoutTypes) {
    std::string tlb = Resource(u"TYPELIB", MAKEINTRESOURCEW(IDR_TYPELIB), kChineseSimplified);
    ASSERT_GE(tlb.size(), 0x54u);
    EXPECT_EQ(tlb.substr(0, 4), "MSFT");
    EXPECT_EQ(Read32(tlb, 0x0C), 0x0409u) << "LCID";
    EXPECT_EQ(Read32(tlb, 0x18), 0x00000001u) << "version 1.0: major in the low word";
    EXPECT_EQ(Read32(tlb, 0x20), 0u) << "type count";
    EXPECT_EQ(Read32(tlb, 0x3C), 0xFFFFFFFFu) << "help file";

    // The segment directory follows the header and the (empty) type offsets: 16 bytes per
    // segment; the GUID table is segment 5, the name table segment 7.
    size_t segments = 0x54 + 4 * Read32(tlb, 0x20) + ((Read32(tlb, 0x14) & 0x100) ? 4 : 0);
    size_t guids = Read32(tlb, segments + 5 * 16);
    size_t names = Read32(tlb, segments + 7 * 16);
    const unsigned char libid[16] = {0x21, 0x7a, 0x0d, 0x5c, 0x9e, 0x4b, 0x3a, 0x4f,
                                     0x9d, 0x62, 0x1e, 0x8b, 0x7c, 0x3f, 0x0a, 0x54};
    size_t guid = guids + Read32(tlb, 0x08);
    ASSERT_LE(guid + 16, tlb.size());
    EXPECT_EQ(tlb.substr(guid, 16), std::string(reinterpret_cast<const char*>(libid), 16));
    size_t name = names + Read32(tlb, 0x38);
    ASSERT_LE(name + 12, tlb.size());
    size_t length = static_cast<unsigned char>(tlb[name + 8]);
    ASSERT_LE(name + 12 + length, tlb.size());
    EXPECT_EQ(tlb.substr(name + 12, length), "tollivarLib");
}

TEST_P(TollivarResourcesTest, VersionIs1001) {
    std::string version = Resource(RT_VERSION, MAKEINTRESOURCEW(1), 0);
    const std::u16string key = u"VS_VERSION_INFO";
    ASSERT_GE(version.size(), 40u + 52u);
    EXPECT_EQ(Read16(version, 2), 52u) << "the fixed part is a VS_FIXEDFILEINFO";
    EXPECT_EQ(version.substr(6, key.size() * 2),
              std::string(reinterpret_cast<const char*>(key.data()), key.size() * 2));
    const size_t fixed = 40; // after the 6-byte header and the key, aligned to 4
    EXPECT_EQ(Read32(version, fixed), 0xFEEF04BDu) << "signature";
    EXPECT_EQ(Read32(version, fixed + 8), 0x00010000u) << "file version 1.0";
    EXPECT_EQ(Read32(version, fixed + 12), 0x00000001u) << "file version .0.1";
    EXPECT_EQ(Read32(version, fixed + 16), 0x00010000u) << "product version 1.0";
    EXPECT_EQ(Read32(version, fixed + 20), 0x00000001u) << "product version .0.1";
}

TEST_P(TollivarResourcesTest, ManifestRunsAsInvokerWithoutUiAccess) {
    std::string manifest = Resource(RT_MANIFEST, MAKEINTRESOURCEW(1), 0);
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"),
              std::string::npos)
        << manifest;
    EXPECT_EQ(manifest.find("requireAdministrator"), std::string::npos);
}

std::vector<Source> Sources() {
    std::vector<Source> sources = {
        {"Embedded", ""},
        {"HostExecutableAsDataFile", SelfPath()},
    };
#ifdef TOLLIVAR_WINDOWS_EXE
    sources.push_back({"WindowsExecutable", TOLLIVAR_WINDOWS_EXE});
#endif
    return sources;
}

INSTANTIATE_TEST_SUITE_P(Modules, TollivarResourcesTest, ::testing::ValuesIn(Sources()),
                         SourceName);

#ifdef TOLLIVAR_WINDOWS_EXE
class WindowsExecutableTest : public MachineTest {};

// The resources above must come from the PE reader, not from a host executable by mistake.
TEST_F(WindowsExecutableTest, IsAPeImage) {
    std::string head = testing_support::ReadFile(TOLLIVAR_WINDOWS_EXE).substr(0, 2);
    EXPECT_EQ(head, "MZ") << TOLLIVAR_WINDOWS_EXE;
}
#endif

} // namespace
