// libFuzzer target: arbitrary bytes imported as a .reg file into a scratch registry, as
// `reg import` does (UTF-16LE after a byte-order mark, else UTF-8, "REGEDIT4" or the version 5
// header).
//
// Beyond crashes, sanitizer reports and leaked handles, two checks can fail:
// - a file refused as malformed changes nothing (the import parses all of it first; lines
//   that are no entry are skipped, not refused);
// - an export has no line that import skips;
// - whatever an import wrote reads back the same after an export of every stored root and an
//   import of those exports into an empty registry.
#include "regtool.h"

#include <hostwin/control.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct StoredRoot {
    HKEY key;
    const char16_t* name;
};
// HKEY_CLASSES_ROOT is a view of the other two, not a store of its own.
const StoredRoot kStoredRoots[] = {{HKEY_CURRENT_USER, u"HKEY_CURRENT_USER"},
                                   {HKEY_LOCAL_MACHINE, u"HKEY_LOCAL_MACHINE"},
                                   {HKEY_USERS, u"HKEY_USERS"},
                                   {HKEY_CURRENT_CONFIG, u"HKEY_CURRENT_CONFIG"}};

std::string g_root;

void Fail(const char* what) {
    std::fprintf(stderr, "regfile_fuzz: %s\n", what);
    std::abort();
}

// Sized, so that no name or data can pass for the text around it.
void AppendBytes(const std::vector<BYTE>& bytes, std::vector<BYTE>* out) {
    const std::string size = std::to_string(bytes.size()) + ":";
    out->insert(out->end(), size.begin(), size.end());
    out->insert(out->end(), bytes.begin(), bytes.end());
}

// The whole tree below `key`: each key's path, then its values (name, type, data) in
// enumeration order. Names are compared unit by unit, letter case included.
void DumpTree(HKEY key, const std::u16string& path, std::vector<BYTE>* out) {
    std::vector<regtool::Value> values;
    std::vector<std::u16string> children;
    if (regtool::ReadKey(key, &values, &children) != ERROR_SUCCESS)
        Fail("the registry could not be read");
    out->push_back('K');
    AppendBytes(hostwin::EncodeUtf16Le(path), out);
    for (const regtool::Value& value : values) {
        out->push_back('V');
        AppendBytes(hostwin::EncodeUtf16Le(value.name), out);
        AppendBytes(std::vector<BYTE>{static_cast<BYTE>(value.type),
                                      static_cast<BYTE>(value.type >> 8),
                                      static_cast<BYTE>(value.type >> 16),
                                      static_cast<BYTE>(value.type >> 24)},
                    out);
        AppendBytes(value.data, out);
    }
    for (const std::u16string& child : children) {
        HKEY childKey = NULL;
        if (RegOpenKeyExW(key, child.c_str(), 0, KEY_READ, &childKey) != ERROR_SUCCESS)
            Fail("a listed key could not be opened");
        DumpTree(childKey, path + u"\\" + child, out);
        RegCloseKey(childKey);
    }
}

std::vector<BYTE> DumpRegistry() {
    std::vector<BYTE> out;
    for (const StoredRoot& root : kStoredRoots)
        DumpTree(root.key, root.name, &out);
    return out;
}

// Empty roots, and the classes key HKEY_CLASSES_ROOT writes to.
void ResetRegistry() {
    for (const StoredRoot& root : kStoredRoots) {
        std::vector<regtool::Value> values;
        std::vector<std::u16string> children;
        if (regtool::ReadKey(root.key, &values, &children) != ERROR_SUCCESS)
            Fail("a root could not be read");
        for (const std::u16string& child : children) {
            if (regtool::DeleteTree(root.key, child) != ERROR_SUCCESS)
                Fail("a key could not be deleted");
        }
        for (const regtool::Value& value : values) {
            if (RegDeleteValueW(root.key, value.name.c_str()) != ERROR_SUCCESS)
                Fail("a value could not be deleted");
        }
    }
    HKEY classes = NULL;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes", 0, NULL, 0, KEY_READ, NULL,
                        &classes, NULL) != ERROR_SUCCESS)
        Fail("the classes key could not be created");
    RegCloseKey(classes);
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out)
        Fail("the input file could not be written");
}

std::vector<BYTE> g_emptyRegistry;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A scratch machine of our own, in memory where there is a tmpfs.
    std::string base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/regfile-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == NULL)
        std::abort();
    setenv("HOSTWIN_ROOT", pattern.c_str(), 1);
    g_root = pattern;
    std::atexit([] { std::filesystem::remove_all(g_root); });
    ResetRegistry();
    g_emptyRegistry = DumpRegistry();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const hostwin::HandleCounts before = hostwin::OpenHandleCounts();
    const std::string input = g_root + "/input.reg";
    WriteFile(input, data, size);

    std::string error;
    std::vector<regtool::SkippedLine> skipped;
    const LONG rc = regtool::ImportFile(input, &error, &skipped);
    if (rc != ERROR_SUCCESS && error.empty())
        Fail("an import failed without a message");
    const std::vector<BYTE> imported = DumpRegistry();
    if (rc == ERROR_BAD_FORMAT && imported != g_emptyRegistry)
        Fail("a file refused as malformed changed the registry");

    if (imported != g_emptyRegistry) {
        std::vector<std::string> exports;
        for (const StoredRoot& root : kStoredRoots) {
            regtool::KeyPath path;
            path.root = root.key;
            path.rootName = root.name;
            exports.push_back(g_root + "/" + hostwin::ToUtf8(root.name) + ".reg");
            if (regtool::ExportKey(path, exports.back(), &error) != ERROR_SUCCESS)
                Fail("a root could not be exported");
        }
        ResetRegistry();
        for (const std::string& file : exports) {
            skipped.clear();
            if (regtool::ImportFile(file, &error, &skipped) != ERROR_SUCCESS) {
                std::fprintf(stderr, "%s\n", error.c_str());
                Fail("an export could not be imported");
            }
            if (!skipped.empty()) {
                std::fprintf(stderr, "line %zu %s\n", skipped[0].number, skipped[0].reason.c_str());
                Fail("an export has a line that import skips");
            }
        }
        if (DumpRegistry() != imported)
            Fail("an export imported again reads back differently");
        ResetRegistry();
    }

    if (hostwin::OpenHandleCounts() != before)
        Fail("a handle was leaked");
    return 0;
}
