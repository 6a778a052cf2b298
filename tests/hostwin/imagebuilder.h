// Builds small PE images, .res files and ELF executables with chosen resources, so that tests
// can feed the resource readers both well-formed input and precisely broken input.
#pragma once

#include <windows.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace image_builder {

// A resource type or name: a number, or a string when `name` is not empty.
struct Id {
    WORD number = 0;
    std::u16string name;
    Id(int value) : number(static_cast<WORD>(value)) {}
    Id(const char16_t* text) : name(text) {}
    bool operator<(const Id& other) const {
        // Named entries come first in a PE directory, then numbers ascending.
        if (name.empty() != other.name.empty())
            return !name.empty();
        return name.empty() ? number < other.number : name < other.name;
    }
};

struct Resource {
    Id type;
    Id name;
    WORD language;
    std::string data;
};

inline void Put16(std::string& bytes, size_t offset, uint32_t value) {
    if (bytes.size() < offset + 2)
        bytes.resize(offset + 2);
    bytes[offset] = static_cast<char>(value & 0xFF);
    bytes[offset + 1] = static_cast<char>((value >> 8) & 0xFF);
}
inline void Put32(std::string& bytes, size_t offset, uint32_t value) {
    Put16(bytes, offset, value & 0xFFFF);
    Put16(bytes, offset + 2, value >> 16);
}
inline void Put64(std::string& bytes, size_t offset, uint64_t value) {
    Put32(bytes, offset, static_cast<uint32_t>(value));
    Put32(bytes, offset + 4, static_cast<uint32_t>(value >> 32));
}
inline uint32_t Get32(const std::string& bytes, size_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}
inline void Align(std::string& bytes, size_t alignment) {
    bytes.resize((bytes.size() + alignment - 1) / alignment * alignment, '\0');
}
inline std::string Utf16Bytes(const std::u16string& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

// A string table block: sixteen counted UTF-16 strings, empty where `strings` has none.
inline std::string StringBlock(const std::map<int, std::u16string>& strings) {
    std::string block;
    for (int i = 0; i < 16; ++i) {
        auto it = strings.find(i);
        std::u16string text = it == strings.end() ? std::u16string() : it->second;
        Put16(block, block.size(), static_cast<uint32_t>(text.size()));
        block += Utf16Bytes(text);
    }
    return block;
}

// Where the pieces of a built PE image are, for tests that break one of them.
struct PeLayout {
    static constexpr size_t kPeHeader = 0x40;
    static constexpr size_t kCoffHeader = kPeHeader + 4;
    static constexpr size_t kOptionalHeader = kCoffHeader + 20;
    static constexpr size_t kDirectoryCount = kOptionalHeader + 92;
    static constexpr size_t kResourceDirectory = kOptionalHeader + 96 + 2 * 8;
    static constexpr size_t kSectionTable = kOptionalHeader + 224;
    static constexpr size_t kSection = 0x200;
    static constexpr uint32_t kSectionRva = 0x1000;
    // Offsets inside the resource section.
    static constexpr size_t kRoot = 0;
    static constexpr size_t kFirstTypeEntry = 16;
    size_t firstDataEntry = 0;  // the leaf of the first resource
    size_t firstNameString = 0; // 0 when no name is a string
};

// A PE32 image with one section, ".rsrc", holding a resource directory of `resources`.
inline std::string BuildPe(const std::vector<Resource>& resources, PeLayout* layout = nullptr) {
    std::map<Id, std::map<Id, std::map<WORD, size_t>>> tree;
    for (size_t i = 0; i < resources.size(); ++i)
        tree[resources[i].type][resources[i].name][resources[i].language] = i;

    std::string section;
    std::vector<std::pair<size_t, std::u16string>> namePatches; // entry offset, string
    std::vector<std::pair<size_t, size_t>> leafPatches;         // entry offset, resource
    auto directory = [&section](size_t named, size_t numbered) {
        size_t at = section.size();
        section.resize(at + 16 + 8 * (named + numbered), '\0');
        Put16(section, at + 12, static_cast<uint32_t>(named));
        Put16(section, at + 14, static_cast<uint32_t>(numbered));
        return at;
    };
    auto countNamed = [](const auto& level) {
        size_t named = 0;
        for (const auto& item : level)
            named += item.first.name.empty() ? 0 : 1;
        return named;
    };
    auto entryName = [&](size_t entry, const Id& id) {
        if (id.name.empty())
            Put32(section, entry, id.number);
        else
            namePatches.emplace_back(entry, id.name);
    };

    size_t root = directory(countNamed(tree), tree.size() - countNamed(tree));
    size_t typeIndex = 0;
    for (const auto& [type, names] : tree) {
        size_t typeEntry = root + 16 + 8 * typeIndex++;
        entryName(typeEntry, type);
        size_t nameDirectory = directory(countNamed(names), names.size() - countNamed(names));
        Put32(section, typeEntry + 4, 0x80000000u | static_cast<uint32_t>(nameDirectory));
        size_t nameIndex = 0;
        for (const auto& [name, languages] : names) {
            size_t nameEntry = nameDirectory + 16 + 8 * nameIndex++;
            entryName(nameEntry, name);
            size_t languageDirectory = directory(0, languages.size());
            Put32(section, nameEntry + 4, 0x80000000u | static_cast<uint32_t>(languageDirectory));
            size_t languageIndex = 0;
            for (const auto& [language, resource] : languages) {
                size_t languageEntry = languageDirectory + 16 + 8 * languageIndex++;
                Put32(section, languageEntry, language);
                leafPatches.emplace_back(languageEntry, resource);
            }
        }
    }
    PeLayout where;
    for (const auto& [entry, text] : namePatches) {
        size_t at = section.size();
        if (where.firstNameString == 0)
            where.firstNameString = at;
        Put16(section, at, static_cast<uint32_t>(text.size()));
        section += Utf16Bytes(text);
        Put32(section, entry, 0x80000000u | static_cast<uint32_t>(at));
    }
    Align(section, 4);
    std::vector<size_t> dataEntries(resources.size());
    for (const auto& [entry, resource] : leafPatches) {
        size_t at = section.size();
        section.resize(at + 16, '\0');
        Put32(section, entry + 4, static_cast<uint32_t>(at));
        dataEntries[resource] = at;
    }
    for (size_t i = 0; i < resources.size(); ++i) {
        Align(section, 4);
        Put32(section, dataEntries[i],
              PeLayout::kSectionRva + static_cast<uint32_t>(section.size()));
        Put32(section, dataEntries[i] + 4, static_cast<uint32_t>(resources[i].data.size()));
        section += resources[i].data;
    }
    where.firstDataEntry = resources.empty() ? 0 : dataEntries[0];

    std::string image(PeLayout::kSection, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    Put32(image, 0x3C, PeLayout::kPeHeader);
    image.replace(PeLayout::kPeHeader, 4, std::string("PE\0\0", 4));
    Put16(image, PeLayout::kCoffHeader, 0x14C); // i386
    Put16(image, PeLayout::kCoffHeader + 2, 1); // one section
    Put16(image, PeLayout::kCoffHeader + 16, 224);
    Put16(image, PeLayout::kCoffHeader + 18, 0x0102);
    Put16(image, PeLayout::kOptionalHeader, 0x10B); // PE32
    Put32(image, PeLayout::kDirectoryCount, 16);
    Put32(image, PeLayout::kResourceDirectory, PeLayout::kSectionRva);
    Put32(image, PeLayout::kResourceDirectory + 4, static_cast<uint32_t>(section.size()));
    size_t header = PeLayout::kSectionTable;
    image.replace(header, 5, ".rsrc");
    Put32(image, header + 8, static_cast<uint32_t>(section.size()));
    Put32(image, header + 12, PeLayout::kSectionRva);
    std::string raw = section;
    Align(raw, 0x200);
    Put32(image, header + 16, static_cast<uint32_t>(raw.size()));
    Put32(image, header + 20, PeLayout::kSection);
    image += raw;
    if (layout)
        *layout = where;
    return image;
}

// A .res header field: 0xFFFF and a number, or a terminated UTF-16 string.
inline std::string ResId(const Id& id) {
    std::string bytes;
    if (id.name.empty()) {
        Put16(bytes, 0, 0xFFFF);
        Put16(bytes, 2, id.number);
    } else {
        bytes = Utf16Bytes(id.name);
        bytes.append(2, '\0');
    }
    return bytes;
}

inline std::string ResEntry(const Id& type, const Id& name, WORD language,
                            const std::string& data) {
    std::string header(8, '\0');
    header += ResId(type) + ResId(name);
    Align(header, 4);
    size_t trailer = header.size();
    header.resize(trailer + 16, '\0');
    Put16(header, trailer + 4, 0x1030); // memory flags as windres writes them
    Put16(header, trailer + 6, language);
    Put32(header, 0, static_cast<uint32_t>(data.size()));
    Put32(header, 4, static_cast<uint32_t>(header.size()));
    std::string entry = header + data;
    Align(entry, 4);
    return entry;
}

// A compiled resource file: the empty leading entry, then `resources`.
inline std::string BuildRes(const std::vector<Resource>& resources) {
    std::string bytes = ResEntry(0, 0, 0, "");
    for (const Resource& resource : resources)
        bytes += ResEntry(resource.type, resource.name, resource.language, resource.data);
    return bytes;
}

// Where the pieces of a built ELF file are.
struct ElfLayout {
    size_t sectionTable = 0;
    size_t entrySize = 0;
    size_t resourceHeader = 0; // section header of the resources
    size_t resources = 0;      // file offset of the .res bytes
};

// A minimal little-endian ELF file whose section `sectionName` holds `res`.
inline std::string BuildElf(const std::string& res, bool is64, ElfLayout* layout = nullptr,
                            const std::string& sectionName = "hostwin_res") {
    std::string names = std::string("\0", 1) + sectionName + std::string("\0", 1) + ".shstrtab" +
                        std::string("\0", 1);
    size_t headerSize = is64 ? 64 : 52;
    size_t entrySize = is64 ? 64 : 40;
    std::string file(headerSize, '\0');
    file.replace(0, 4,
                 "\x7F"
                 "ELF");
    file[4] = is64 ? 2 : 1; // class
    file[5] = 1;            // little-endian
    file[6] = 1;            // version
    size_t resources = file.size();
    file += res;
    Align(file, 8);
    size_t nameTable = file.size();
    file += names;
    Align(file, 8);
    size_t table = file.size();
    file.resize(table + 3 * entrySize, '\0');
    auto section = [&](size_t index, uint32_t name, uint32_t type, uint64_t offset, uint64_t size) {
        size_t at = table + index * entrySize;
        Put32(file, at, name);
        Put32(file, at + 4, type);
        if (is64) {
            Put64(file, at + 24, offset);
            Put64(file, at + 32, size);
        } else {
            Put32(file, at + 16, static_cast<uint32_t>(offset));
            Put32(file, at + 20, static_cast<uint32_t>(size));
        }
    };
    section(1, 1, 1 /* PROGBITS */, resources, res.size());
    section(2, static_cast<uint32_t>(1 + sectionName.size() + 1), 3 /* STRTAB */, nameTable,
            names.size());
    if (is64) {
        Put64(file, 0x28, table);
        Put16(file, 0x3A, static_cast<uint32_t>(entrySize));
        Put16(file, 0x3C, 3);
        Put16(file, 0x3E, 2);
    } else {
        Put32(file, 0x20, static_cast<uint32_t>(table));
        Put16(file, 0x2E, static_cast<uint32_t>(entrySize));
        Put16(file, 0x30, 3);
        Put16(file, 0x32, 2);
    }
    if (layout)
        *layout = ElfLayout{table, entrySize, table + entrySize, resources};
    return file;
}

} // namespace image_builder
