// Builds binary type libraries with chosen library-level contents, laid out as the platform's
// interface compiler writes them, for tests of the reader and of registration.
#pragma once

#include <oleauto.h>

#include <cstring>
#include <optional>
#include <string>

namespace typelib_builder {

template <class T> void Store(std::string& bytes, size_t offset, T value) {
    if (bytes.size() < offset + sizeof value)
        bytes.resize(offset + sizeof value, '\0');
    std::memcpy(&bytes[offset], &value, sizeof value);
}

inline const GUID kTollivarLibId = {
    0x5c0d7a21, 0x4b9e, 0x4f3a, {0x9d, 0x62, 0x1e, 0x8b, 0x7c, 0x3f, 0x0a, 0x54}};
inline const std::u16string kLibIdText = u"{5C0D7A21-4B9E-4F3A-9D62-1E8B7C3F0A54}";

// What a synthetic binary type library holds.
struct LibrarySpec {
    GUID libid = kTollivarLibId;
    DWORD lcid = 0x0409;
    DWORD syskind = SYS_WIN32;
    WORD major = 1, minor = 0, flags = 0;
    std::string name = "tollivarLib";
    std::optional<std::string> docString, helpFile;
    DWORD helpContext = 0;
    DWORD typeCount = 0;
    bool helpStringDll = false;
};

// Header fields the corruption cases below aim at.
inline const size_t kVarFlags = 0x14, kTypeCount = 0x20, kDocString = 0x24, kNameOffset = 0x38;

// The layout the platform's compiler writes: header, type offsets, segment directory, then
// the GUID, name and string segments, the last of which ends the file.
inline std::string BuildLibrary(const LibrarySpec& spec) {
    std::string bytes;
    Store<DWORD>(bytes, 0x00, 0x5446534D);
    Store<DWORD>(bytes, 0x04, 0x00010002);
    Store<DWORD>(bytes, 0x08, 0); // the LIBID is the first GUID entry
    Store<DWORD>(bytes, 0x0C, spec.lcid);
    Store<DWORD>(bytes, 0x10, spec.lcid);
    Store<DWORD>(bytes, kVarFlags, spec.syskind | 0x40 | (spec.helpStringDll ? 0x100 : 0));
    Store<DWORD>(bytes, 0x18, spec.major | (static_cast<DWORD>(spec.minor) << 16));
    Store<DWORD>(bytes, 0x1C, spec.flags);
    Store<DWORD>(bytes, kTypeCount, spec.typeCount);
    Store<DWORD>(bytes, 0x2C, spec.helpContext);
    Store<DWORD>(bytes, kNameOffset, 0);
    size_t directory = 0x54 + (spec.helpStringDll ? 4 : 0) + 4 * spec.typeCount;
    bytes.resize(directory, '\0');
    for (size_t i = 0; i < 15; ++i) {
        Store<DWORD>(bytes, directory + 16 * i, 0xFFFFFFFF);
        Store<DWORD>(bytes, directory + 16 * i + 4, 0);
        Store<DWORD>(bytes, directory + 16 * i + 8, 0xFFFFFFFF);
        Store<DWORD>(bytes, directory + 16 * i + 12, 0x0F);
    }
    auto segment = [&](size_t index, const std::string& content) {
        Store<DWORD>(bytes, directory + 16 * index, static_cast<DWORD>(bytes.size()));
        Store<DWORD>(bytes, directory + 16 * index + 4, static_cast<DWORD>(content.size()));
        bytes += content;
    };
    std::string guid(24, '\xFF');
    std::memcpy(&guid[0], &spec.libid, 16);
    segment(5, guid);
    std::string name(12, '\xFF');
    name[8] = static_cast<char>(spec.name.size());
    name[9] = 0;
    name += spec.name;
    name.resize((name.size() + 3) / 4 * 4, '\0');
    segment(7, name);
    std::string strings;
    auto addString = [&](size_t field, const std::optional<std::string>& text) {
        Store<DWORD>(bytes, field, text ? static_cast<DWORD>(strings.size()) : 0xFFFFFFFF);
        if (!text)
            return;
        Store<WORD>(strings, strings.size(), static_cast<WORD>(text->size()));
        strings += *text;
        strings.resize((strings.size() + 3) / 4 * 4, '\0');
    };
    addString(kDocString, spec.docString);
    addString(0x3C, spec.helpFile);
    if (!strings.empty())
        segment(8, strings);
    return bytes;
}

// The offset of segment `index` in the directory of `bytes` (built without type offsets).
inline size_t SegmentEntry(size_t index) {
    return 0x54 + 16 * index;
}

} // namespace typelib_builder
