// Builds small PE images, .res files and ELF executables with chosen resources, so that tests
// can feed the resource readers both well-formed input and precisely broken input.
#pragma once

#include "registry_values.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace image_builder {

// A resource type or name: a number, or a string when `name` is not empty.
struct Id {
    WORD number = 0;
    std::u16string name;
    Id(int value) : number(static_cast<WORD>(value)) {}
    Id(const char16_t* text) : name(text) {}
    // Named entries come first in a PE directory, then numbers ascending.
    bool operator<(const Id& other) const {
        return std::make_tuple(name.empty(), number, name) <
               std::make_tuple(other.name.empty(), other.number, other.name);
    }
};

struct Resource {
    Id type, name;
    WORD language;
    std::string data;
};

// Writes `value` little-endian at `offset`, growing `bytes` as needed.
template <class T> void Put(std::string& bytes, size_t offset, T value) {
    bytes.resize(std::max(bytes.size(), offset + sizeof value));
    std::memcpy(&bytes[offset], &value, sizeof value);
}
inline void Align(std::string& bytes, size_t alignment) {
    bytes.resize((bytes.size() + alignment - 1) / alignment * alignment, '\0');
}
inline std::string Utf16(const std::u16string& text) {
    std::vector<BYTE> bytes = hostwin::EncodeUtf16Le(text);
    return std::string(bytes.begin(), bytes.end());
}

// Where the headers of a built PE image are, for tests that break one of them.
struct PeLayout {
    static constexpr size_t kPeHeader = 0x40;
    static constexpr size_t kCoffHeader = kPeHeader + 4;
    static constexpr size_t kOptionalHeader = kCoffHeader + 20;
    static constexpr size_t kDirectoryCount = kOptionalHeader + 92;
    static constexpr size_t kResourceDirectory = kOptionalHeader + 96 + 2 * 8;
    static constexpr size_t kSectionTable = kOptionalHeader + 224;
    static constexpr size_t kSection = 0x200; // file offset of the resource section
    static constexpr size_t kSectionRva = 0x1000;
};

// A PE32 image with one section holding a resource directory of `resources`: the directories
// depth first, then the counted string names, then each resource's data entry and its data.
inline std::string BuildPe(const std::vector<Resource>& resources) {
    std::map<Id, std::map<Id, std::map<Id, size_t>>> tree; // type, name, language: index
    for (size_t i = 0; i < resources.size(); ++i)
        tree[resources[i].type][resources[i].name][resources[i].language] = i;
    std::string s;
    std::vector<std::pair<size_t, std::u16string>> names; // entry, string name
    std::vector<size_t> leaves(resources.size());         // language entry of each resource
    auto directory = [&](auto& self, const auto& level) -> DWORD {
        size_t at = s.size(), named = 0, entry = at + 16;
        for (const auto& item : level)
            named += !item.first.name.empty();
        Put<WORD>(s, at + 12, named);
        Put<WORD>(s, at + 14, level.size() - named);
        s.resize(at + 16 + 8 * level.size());
        for (const auto& [id, child] : level) {
            if (id.name.empty())
                Put<DWORD>(s, entry, id.number);
            else
                names.emplace_back(entry, id.name);
            if constexpr (std::is_same_v<std::decay_t<decltype(child)>, size_t>)
                leaves[child] = entry;
            else
                Put<DWORD>(s, entry + 4, 0x80000000u | self(self, child));
            entry += 8;
        }
        return at;
    };
    directory(directory, tree);
    for (const auto& [entry, text] : names) {
        Put<DWORD>(s, entry, 0x80000000u | s.size());
        s += Utf16(char16_t(text.size()) + text);
    }
    for (size_t i = 0; i < resources.size(); ++i) {
        Align(s, 4);
        size_t entry = s.size();
        Put<DWORD>(s, leaves[i] + 4, entry);
        Put<DWORD>(s, entry, PeLayout::kSectionRva + entry + 16);
        Put<DWORD>(s, entry + 4, resources[i].data.size());
        s.resize(entry + 16);
        s += resources[i].data;
    }
    // The header fields the readers use, each written as 32 bits over unused neighbours.
    using L = PeLayout;
    std::string image(L::kSection, '\0'), raw = s;
    Align(raw, 0x200);
    const std::pair<size_t, size_t> fields[] = {
        {0, 'M' | 'Z' << 8},
        {0x3C, L::kPeHeader},
        {L::kPeHeader, 'P' | 'E' << 8},
        {L::kCoffHeader + 2, 1},     // one section
        {L::kCoffHeader + 16, 224},  // optional header size
        {L::kOptionalHeader, 0x10B}, // PE32
        {L::kDirectoryCount, 16},    // directory 2, the resources: address and size
        {L::kResourceDirectory, L::kSectionRva},
        {L::kResourceDirectory + 4, s.size()},
        {L::kSectionTable + 8, s.size()},        // the section: virtual size and address, file size
        {L::kSectionTable + 12, L::kSectionRva}, // and offset
        {L::kSectionTable + 16, raw.size()},
        {L::kSectionTable + 20, L::kSection},
    };
    for (const auto& [at, value] : fields)
        Put<DWORD>(image, at, value);
    return image + raw;
}

// A compiled resource file: the empty leading entry, then `resources`. An entry is its data
// and header sizes, type and name (0xFFFF and a number, or a terminated UTF-16 string), a
// 16-byte trailer holding the language, then the data, each piece 4-byte aligned.
inline std::string BuildRes(std::vector<Resource> resources) {
    resources.insert(resources.begin(), Resource{0, 0, 0, ""});
    std::string bytes;
    for (const Resource& resource : resources) {
        std::string header(8, '\0');
        for (const Id* id : {&resource.type, &resource.name})
            header +=
                Utf16(id->name.empty() ? std::u16string{0xFFFF, id->number} : id->name + u'\0');
        Align(header, 4);
        header.resize(header.size() + 16, '\0');
        Put<WORD>(header, header.size() - 10, resource.language);
        Put<DWORD>(header, 0, resource.data.size());
        Put<DWORD>(header, 4, header.size());
        bytes += header + resource.data;
        Align(bytes, 4);
    }
    return bytes;
}

// A minimal little-endian ELF file: the header, `res`, the section names, then the section
// table, whose section 1 is "hostwin_res" holding `res` and section 2 the names.
inline std::string BuildElf(const std::string& res, bool is64) {
    const std::string names("\0hostwin_res\0.shstrtab\0", 23);
    const size_t entrySize = is64 ? 64 : 40, word = is64 ? 8 : 4;
    std::string file = std::string("\x7F") + "ELF" + (is64 ? '\2' : '\1') + "\1\1"; // LE, v1
    auto putWord = [&](size_t at, uint64_t value) {
        is64 ? Put<uint64_t>(file, at, value) : Put<DWORD>(file, at, value);
    };
    file.resize(is64 ? 64 : 52);
    const size_t resources = file.size();
    file += res;
    Align(file, 8);
    size_t nameTable = file.size();
    file += names;
    Align(file, 8);
    const size_t table = file.size();
    file.resize(table + 3 * entrySize);
    auto section = [&](size_t index, DWORD name, DWORD type, uint64_t offset, uint64_t size) {
        size_t at = table + index * entrySize;
        Put<DWORD>(file, at, name);
        Put<DWORD>(file, at + 4, type);
        putWord(at + 2 * word + 8, offset);
        putWord(at + 3 * word + 8, size);
    };
    section(1, 1, 1 /* PROGBITS */, resources, res.size());
    section(2, 13, 3 /* STRTAB */, nameTable, names.size());
    putWord(is64 ? 0x28 : 0x20, table);
    size_t counts = is64 ? 0x3A : 0x2E; // entry size, entry count, index of the name section
    Put<DWORD>(file, counts, entrySize | 3 << 16);
    Put<WORD>(file, counts + 4, 2);
    return file;
}

// A message table (RT_MESSAGETABLE): blocks of consecutive ids, each entry its flags (0 ANSI,
// 1 UTF-16LE, 2 UTF-8) and its encoded text, written NUL-ended and padded to 4 bytes as the
// message compiler writes them.
struct MessageBlock {
    DWORD low;
    std::vector<std::pair<WORD, std::string>> entries;
};
inline std::string BuildMessageTable(const std::vector<MessageBlock>& blocks) {
    std::string s;
    Put<DWORD>(s, 0, blocks.size());
    s.resize(4 + 12 * blocks.size());
    for (size_t b = 0; b < blocks.size(); ++b) {
        Put<DWORD>(s, 4 + 12 * b, blocks[b].low);
        Put<DWORD>(s, 8 + 12 * b, blocks[b].low + blocks[b].entries.size() - 1);
        Put<DWORD>(s, 12 + 12 * b, s.size());
        for (const auto& [flags, text] : blocks[b].entries) {
            std::string entry(4, '\0');
            entry += text + std::string(flags == 1 ? 2 : 1, '\0');
            Align(entry, 4);
            Put<WORD>(entry, 0, entry.size());
            Put<WORD>(entry, 2, flags);
            s += entry;
        }
    }
    return s;
}

} // namespace image_builder
