// The machine layout: one canonical root for every spelling, the keys of a fresh machine, and
// the paths between the Windows and host views.
#include "machine.h"
#include "registry_values.h"

#include "machine/machine_layout.h"

#include <windows.h>
#include <hostwin/text.h>

#include <filesystem>

namespace fs = std::filesystem;
using hostwin::UniqueKey;

namespace {

class MachineLayoutTest : public testing_support::MachineTest {};

TEST_F(MachineLayoutTest, EverySpellingOfARootHasOneCanonicalForm) {
    const std::string canonical = fs::canonical(Root()).string();
    fs::create_directories(Root() + "/a/b");
    fs::create_directory_symlink(canonical + "/a", Root() + "/link");
    const struct {
        const char* what;
        std::string spelling, startFolder, expected;
    } cases[] = {
        {"canonical already", canonical, "/", canonical},
        {"trailing slashes", canonical + "///", "/", canonical},
        {"dot and dot-dot", canonical + "/a/./b/../..", "/", canonical},
        {"symlink", canonical + "/link/b", "/", canonical + "/a/b"},
        {"relative", "b", canonical + "/a", canonical + "/a/b"},
        {"relative upwards", "../..", canonical + "/a/b", canonical},
        {"missing tail made normal", canonical + "/link/new/./x/", "/", canonical + "/a/new/x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(hostwin::layout::CanonicalRoot(c.spelling, c.startFolder), c.expected) << c.what;

    setenv("HOSTWIN_ROOT", (Root() + "/link/..//").c_str(), 1);
    EXPECT_EQ(hostwin::MachineRoot(), canonical);
    EXPECT_EQ(hostwin::layout::RegistryStore(), canonical + "/registry/registry.db");
    setenv("HOSTWIN_ROOT", Root().c_str(), 1);
}

TEST_F(MachineLayoutTest, AFreshMachineHoldsTheKeysAFreshWindowsHolds) {
    const struct {
        HKEY root;
        const char16_t* path;
    } keys[] = {
        {HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\AppID"},
        {HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\CLSID"},
        {HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\Interface"},
        {HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\TypeLib"},
        {HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft"},
        {HKEY_CURRENT_USER, u"Software\\Classes"},
        {HKEY_CURRENT_USER, u"Software\\Microsoft"},
        // Through the merged view too.
        {HKEY_CLASSES_ROOT, u"TypeLib"},
    };
    for (const auto& key : keys) {
        UniqueKey opened;
        EXPECT_EQ(RegOpenKeyExW(key.root, key.path, 0, KEY_READ, opened.put()), ERROR_SUCCESS)
            << hostwin::ToUtf8(key.path);
    }
}

TEST_F(MachineLayoutTest, MapsPathsBetweenWindowsAndHostViews) {
    struct Case {
        std::u16string windows;
        std::string host;
    } cases[] = {
        {u"C:\\pellard\\bin\\pellard.exe", Root() + "/drive_c/pellard/bin/pellard.exe"},
        {u"c:\\", Root() + "/drive_c/"},
        {u"Z:\\usr\\bin\\env", "/usr/bin/env"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(hostwin::HostPath(c.windows), c.host);
    EXPECT_EQ(hostwin::WindowsPath(Root() + "/drive_c/pellard/bin/pellard.exe"),
              u"C:\\pellard\\bin\\pellard.exe");
    EXPECT_EQ(hostwin::WindowsPath("/usr/bin/env"), u"Z:\\usr\\bin\\env");
    std::u16string sibling = u"Z:" + hostwin::FromUtf8(Root() + "/drive_cx/file");
    for (char16_t& c : sibling)
        if (c == u'/')
            c = u'\\';
    EXPECT_EQ(hostwin::WindowsPath(Root() + "/drive_cx/file"), sibling)
        << "only the drive_c folder itself maps to C:";
}

} // namespace
