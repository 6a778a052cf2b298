// Resource tables from PE images, .res files and host ELF executables. All reads go through
// a bounds-checked view; sizes are added in 64 bits so that no offset can wrap.
#include "image/peimage.h"

#include <hostwin/text.h>

#include <algorithm>
#include <cstring>
#include <set>

namespace hostwin {

namespace {

// A read-only window on untrusted bytes.
class ByteView {
public:
    ByteView(const BYTE* data, uint64_t size) : m_data(data), m_size(size) {}
    uint64_t Size() const { return m_size; }
    const BYTE* At(uint64_t offset) const { return m_data + offset; }
    bool Has(uint64_t offset, uint64_t count) const {
        return offset <= m_size && count <= m_size - offset;
    }
    bool U16(uint64_t offset, WORD* value) const { return Read(offset, value); }
    bool U32(uint64_t offset, DWORD* value) const { return Read(offset, value); }
    bool U64(uint64_t offset, uint64_t* value) const { return Read(offset, value); }
    ByteView Sub(uint64_t offset, uint64_t count) const { return ByteView(At(offset), count); }

private:
    // Little-endian, the byte order of every format read here and of the host.
    template <class T> bool Read(uint64_t offset, T* value) const {
        if (!Has(offset, sizeof(T)))
            return false;
        std::memcpy(value, m_data + offset, sizeof(T));
        return true;
    }

    const BYTE* m_data;
    uint64_t m_size;
};

constexpr WORD kPrimaryLanguageMask = 0x03FF;
constexpr WORD kNeutralDefaultSublanguage = 0x0400; // LANG_NEUTRAL, SUBLANG_DEFAULT

// ---- compiled .res ----

// A type or name field of a .res header: 0xFFFF then a number, or a zero-terminated string.
bool ReadResId(const ByteView& header, uint64_t* offset, ResourceId* id) {
    WORD first = 0;
    if (!header.U16(*offset, &first))
        return false;
    if (first == 0xFFFF) {
        WORD number = 0;
        if (!header.U16(*offset + 2, &number))
            return false;
        *id = ResourceId::Number(number);
        *offset += 4;
        return true;
    }
    std::u16string text;
    for (uint64_t at = *offset;; at += 2) {
        WORD c = 0;
        if (!header.U16(at, &c))
            return false; // unterminated
        if (c == 0) {
            *offset = at + 2;
            break;
        }
        text.push_back(static_cast<char16_t>(c));
    }
    *id = ResourceId::Name(std::move(text));
    return true;
}

bool AllZero(const ByteView& view, uint64_t from) {
    for (uint64_t i = from; i < view.Size(); ++i)
        if (*view.At(i) != 0)
            return false;
    return true;
}

DWORD ReadRes(const ByteView& file, std::vector<ResourceEntry>& entries) {
    // Fixed part after the type and name: DataVersion, MemoryFlags, LanguageId, Version,
    // Characteristics.
    constexpr uint64_t kTrailer = 16;
    uint64_t offset = 0;
    while (offset < file.Size()) {
        // A linker may pad the section; trailing zeros end the table.
        if (AllZero(file, offset))
            break;
        DWORD dataSize = 0, headerSize = 0;
        if (!file.U32(offset, &dataSize) || !file.U32(offset + 4, &headerSize))
            return ERROR_BAD_FORMAT;
        if (headerSize < 8 + 4 + 4 + kTrailer || !file.Has(offset, headerSize) ||
            !file.Has(offset + headerSize, dataSize))
            return ERROR_BAD_FORMAT;
        ByteView header = file.Sub(offset, headerSize);
        uint64_t at = 8;
        ResourceEntry entry;
        if (!ReadResId(header, &at, &entry.type) || !ReadResId(header, &at, &entry.name))
            return ERROR_BAD_FORMAT;
        at = (at + 3) & ~uint64_t(3);
        if (!header.U16(at + 6, &entry.language) || !header.Has(at, kTrailer))
            return ERROR_BAD_FORMAT;
        entry.data = file.At(offset + headerSize);
        entry.size = dataSize;
        // The leading empty entry (type 0) only marks the file as 32-bit.
        if (!(entry.type.isNumber && entry.type.number == 0))
            entries.push_back(std::move(entry));
        offset = (offset + headerSize + dataSize + 3) & ~uint64_t(3);
    }
    return ERROR_SUCCESS;
}

// ---- PE ----

struct Section {
    DWORD virtualSize;
    DWORD virtualAddress;
    DWORD rawSize;
    DWORD rawOffset;
};

class PeImage {
public:
    explicit PeImage(const ByteView& file) : m_file(file) {}

    // Reads the headers; *resourceRva is 0 when the image has no resource directory.
    bool ReadHeaders(DWORD* resourceRva) {
        *resourceRva = 0;
        WORD mz = 0;
        DWORD peOffset = 0, signature = 0;
        if (!m_file.U16(0, &mz) || mz != 0x5A4D || !m_file.U32(0x3C, &peOffset) ||
            !m_file.U32(peOffset, &signature) || signature != 0x00004550)
            return false;
        uint64_t coff = uint64_t(peOffset) + 4;
        WORD sectionCount = 0, optionalSize = 0, magic = 0;
        if (!m_file.U16(coff + 2, &sectionCount) || !m_file.U16(coff + 16, &optionalSize))
            return false;
        uint64_t optional = coff + 20;
        if (!m_file.Has(optional, optionalSize) || !m_file.U16(optional, &magic))
            return false;
        ByteView header = m_file.Sub(optional, optionalSize);
        uint64_t countOffset = 0;
        if (magic == 0x10B)
            countOffset = 92; // PE32
        else if (magic == 0x20B)
            countOffset = 108; // PE32+
        else
            return false;
        DWORD directoryCount = 0;
        if (!header.U32(countOffset, &directoryCount))
            return false;
        uint64_t sectionTable = optional + optionalSize;
        if (!m_file.Has(sectionTable, uint64_t(sectionCount) * 40))
            return false;
        for (WORD i = 0; i < sectionCount; ++i) {
            uint64_t at = sectionTable + uint64_t(i) * 40;
            Section section{};
            m_file.U32(at + 8, &section.virtualSize);
            m_file.U32(at + 12, &section.virtualAddress);
            m_file.U32(at + 16, &section.rawSize);
            m_file.U32(at + 20, &section.rawOffset);
            // File data past the end means a truncated image.
            if (uint64_t(section.rawOffset) + section.rawSize > m_file.Size())
                return false;
            m_sections.push_back(section);
        }
        constexpr DWORD kResourceDirectory = 2;
        if (directoryCount <= kResourceDirectory)
            return true;
        uint64_t directory = countOffset + 4 + kResourceDirectory * 8;
        DWORD size = 0;
        if (!header.U32(directory, resourceRva) || !header.U32(directory + 4, &size))
            return false;
        return true;
    }

    // File offset of `count` bytes at `rva`, all of them inside one section's file data.
    // *available receives the bytes from there to the end of that section's file data.
    bool MapRva(DWORD rva, uint64_t count, uint64_t* fileOffset, uint64_t* available) const {
        for (const Section& section : m_sections) {
            uint64_t extent = std::max(section.virtualSize, section.rawSize);
            if (rva < section.virtualAddress || rva - section.virtualAddress >= extent)
                continue;
            uint64_t inSection = rva - section.virtualAddress;
            if (inSection > section.rawSize || count > section.rawSize - inSection)
                return false; // not backed by the file
            uint64_t offset = uint64_t(section.rawOffset) + inSection;
            uint64_t left = section.rawSize - inSection;
            if (!m_file.Has(offset, count))
                return false;
            *fileOffset = offset;
            *available = std::min<uint64_t>(left, m_file.Size() - offset);
            return true;
        }
        return false;
    }

    const ByteView& File() const { return m_file; }

private:
    const ByteView& m_file;
    std::vector<Section> m_sections;
};

// Walks the three levels (type, name, language) of a resource directory. Each directory may
// be reached once: a second visit means a loop (or shared subtrees no compiler writes), and
// refusing it bounds the work by the directory's size.
class DirectoryWalker {
public:
    DirectoryWalker(const PeImage& image, const ByteView& tree, std::vector<ResourceEntry>& out)
        : m_image(image), m_tree(tree), m_out(out) {}

    bool Walk(DWORD offset, int level, ResourceEntry path) {
        if (!m_visited.insert(offset).second)
            return false;
        WORD named = 0, numbered = 0;
        if (!m_tree.U16(uint64_t(offset) + 12, &named) ||
            !m_tree.U16(uint64_t(offset) + 14, &numbered))
            return false;
        uint64_t count = uint64_t(named) + numbered;
        uint64_t first = uint64_t(offset) + 16;
        if (!m_tree.Has(first, count * 8))
            return false;
        for (uint64_t i = 0; i < count; ++i) {
            DWORD nameField = 0, target = 0;
            m_tree.U32(first + i * 8, &nameField);
            m_tree.U32(first + i * 8 + 4, &target);
            ResourceId id;
            if (!ReadId(nameField, &id))
                return false;
            if (level == 0)
                path.type = id;
            else if (level == 1)
                path.name = id;
            else if (!id.isNumber)
                return false; // languages are numbers
            else
                path.language = id.number;
            bool isDirectory = (target & 0x80000000u) != 0;
            if (isDirectory != (level < 2))
                return false; // leaves only at the language level
            if (isDirectory) {
                if (!Walk(target & 0x7FFFFFFFu, level + 1, path))
                    return false;
            } else if (!ReadLeaf(target, path)) {
                return false;
            }
        }
        return true;
    }

private:
    bool ReadId(DWORD field, ResourceId* id) const {
        if ((field & 0x80000000u) == 0) {
            if (field > 0xFFFF)
                return false;
            *id = ResourceId::Number(static_cast<WORD>(field));
            return true;
        }
        uint64_t at = field & 0x7FFFFFFFu;
        WORD length = 0;
        if (!m_tree.U16(at, &length) || !m_tree.Has(at + 2, uint64_t(length) * 2))
            return false;
        std::u16string text(length, u'\0');
        std::memcpy(&text[0], m_tree.At(at + 2), uint64_t(length) * 2);
        *id = ResourceId::Name(std::move(text));
        return true;
    }

    bool ReadLeaf(DWORD offset, ResourceEntry entry) {
        DWORD rva = 0, size = 0;
        if (!m_tree.U32(offset, &rva) || !m_tree.U32(uint64_t(offset) + 4, &size) ||
            !m_tree.Has(offset, 16))
            return false;
        uint64_t fileOffset = 0, available = 0;
        if (!m_image.MapRva(rva, size, &fileOffset, &available))
            return false;
        entry.data = m_image.File().At(fileOffset);
        entry.size = size;
        m_out.push_back(std::move(entry));
        return true;
    }

    const PeImage& m_image;
    const ByteView& m_tree;
    std::vector<ResourceEntry>& m_out;
    std::set<DWORD> m_visited;
};

DWORD ReadPe(const ByteView& file, std::vector<ResourceEntry>& entries) {
    PeImage image(file);
    DWORD resourceRva = 0;
    if (!image.ReadHeaders(&resourceRva))
        return ERROR_BAD_FORMAT;
    if (resourceRva == 0)
        return ERROR_SUCCESS; // an image without resources
    uint64_t root = 0, available = 0;
    if (!image.MapRva(resourceRva, 16, &root, &available))
        return ERROR_BAD_FORMAT;
    // Directory offsets count from the root and stay within its section.
    ByteView tree = file.Sub(root, available);
    DirectoryWalker walker(image, tree, entries);
    return walker.Walk(0, 0, ResourceEntry()) ? ERROR_SUCCESS : ERROR_BAD_FORMAT;
}

// ---- ELF ----

struct ElfSection {
    DWORD name;
    DWORD type;
    uint64_t offset;
    uint64_t size;
    DWORD link;
};

constexpr DWORD kSectionNoBits = 8;     // SHT_NOBITS: occupies no file space
constexpr WORD kExtendedIndex = 0xFFFF; // SHN_XINDEX

bool ReadElfSection(const ByteView& file, bool is64, uint64_t at, ElfSection* section) {
    if (is64) {
        return file.U32(at, &section->name) && file.U32(at + 4, &section->type) &&
               file.U64(at + 24, &section->offset) && file.U64(at + 32, &section->size) &&
               file.U32(at + 40, &section->link);
    }
    DWORD offset = 0, size = 0;
    bool ok = file.U32(at, &section->name) && file.U32(at + 4, &section->type) &&
              file.U32(at + 16, &offset) && file.U32(at + 20, &size) &&
              file.U32(at + 24, &section->link);
    section->offset = offset;
    section->size = size;
    return ok;
}

DWORD ReadElf(const ByteView& file, std::vector<ResourceEntry>& entries) {
    static const BYTE kMagic[4] = {0x7F, 'E', 'L', 'F'};
    if (!file.Has(0, 16) || std::memcmp(file.At(0), kMagic, 4) != 0)
        return ERROR_BAD_FORMAT;
    BYTE elfClass = *file.At(4), byteOrder = *file.At(5);
    if ((elfClass != 1 && elfClass != 2) || byteOrder != 1)
        return ERROR_BAD_FORMAT; // 32- or 64-bit, little-endian only
    bool is64 = elfClass == 2;
    uint64_t tableOffset = 0;
    WORD entrySize = 0, count16 = 0, namesIndex16 = 0;
    bool ok;
    if (is64) {
        ok = file.U64(0x28, &tableOffset) && file.U16(0x3A, &entrySize) &&
             file.U16(0x3C, &count16) && file.U16(0x3E, &namesIndex16);
    } else {
        DWORD offset32 = 0;
        ok = file.U32(0x20, &offset32) && file.U16(0x2E, &entrySize) && file.U16(0x30, &count16) &&
             file.U16(0x32, &namesIndex16);
        tableOffset = offset32;
    }
    if (!ok)
        return ERROR_BAD_FORMAT;
    if (tableOffset == 0)
        return ERROR_SUCCESS; // no section table, so no resources
    if (entrySize < (is64 ? 64 : 40))
        return ERROR_BAD_FORMAT;

    // Large counts live in the first section header.
    ElfSection zero{};
    if (!ReadElfSection(file, is64, tableOffset, &zero))
        return ERROR_BAD_FORMAT;
    uint64_t count = count16 != 0 ? count16 : zero.size;
    uint64_t namesIndex = namesIndex16 != kExtendedIndex ? namesIndex16 : zero.link;
    if (count > file.Size() / entrySize || !file.Has(tableOffset, count * entrySize) ||
        namesIndex >= count)
        return ERROR_BAD_FORMAT;

    ElfSection names{};
    if (!ReadElfSection(file, is64, tableOffset + namesIndex * entrySize, &names) ||
        names.type == kSectionNoBits || !file.Has(names.offset, names.size))
        return ERROR_BAD_FORMAT;
    ByteView nameTable = file.Sub(names.offset, names.size);

    static const char kSectionName[] = "hostwin_res";
    for (uint64_t i = 0; i < count; ++i) {
        ElfSection section{};
        if (!ReadElfSection(file, is64, tableOffset + i * entrySize, &section))
            return ERROR_BAD_FORMAT;
        if (!nameTable.Has(section.name, sizeof kSectionName) ||
            std::memcmp(nameTable.At(section.name), kSectionName, sizeof kSectionName) != 0)
            continue;
        if (section.type == kSectionNoBits || !file.Has(section.offset, section.size))
            return ERROR_BAD_FORMAT;
        return ReadRes(file.Sub(section.offset, section.size), entries);
    }
    return ERROR_SUCCESS; // a host executable built without resources
}

} // namespace

ResourceId ResourceId::Number(WORD value) {
    ResourceId id;
    id.isNumber = true;
    id.number = value;
    return id;
}

ResourceId ResourceId::Name(std::u16string text) {
    ResourceId id;
    id.isNumber = false;
    id.name = FoldName(std::move(text));
    return id;
}

ResourceId ResourceId::FromArgument(LPCWSTR argument) {
    if (IS_INTRESOURCE(argument))
        return Number(LOWORD(reinterpret_cast<ULONG_PTR>(argument)));
    std::u16string text(argument);
    if (text.size() > 1 && text.size() <= 6 && text[0] == u'#') {
        DWORD value = 0;
        bool digits = true;
        for (size_t i = 1; i < text.size() && digits; ++i) {
            digits = text[i] >= u'0' && text[i] <= u'9';
            value = value * 10 + (text[i] - u'0');
        }
        if (digits && value <= 0xFFFF)
            return Number(static_cast<WORD>(value));
    }
    return Name(std::move(text));
}

bool ResourceId::operator==(const ResourceId& other) const {
    if (isNumber != other.isNumber)
        return false;
    return isNumber ? number == other.number : name == other.name;
}

std::string ResourceId::Describe() const {
    if (isNumber)
        return "#" + std::to_string(number);
    std::string text;
    for (char16_t c : name)
        text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return text;
}

bool ResourceTable::Contains(const ResourceEntry* entry) const {
    if (m_entries.empty())
        return false;
    uintptr_t first = reinterpret_cast<uintptr_t>(m_entries.data());
    uintptr_t at = reinterpret_cast<uintptr_t>(entry);
    if (at < first)
        return false;
    uintptr_t distance = at - first;
    return distance % sizeof(ResourceEntry) == 0 &&
           distance / sizeof(ResourceEntry) < m_entries.size();
}

const ResourceEntry* ResourceTable::Find(const ResourceId& type, const ResourceId& name,
                                         WORD language, DWORD* error) const {
    if (m_entries.empty()) {
        *error = ERROR_RESOURCE_DATA_NOT_FOUND;
        return nullptr;
    }
    std::vector<const ResourceEntry*> candidates;
    bool typeFound = false;
    for (const ResourceEntry& entry : m_entries) {
        if (!(entry.type == type))
            continue;
        typeFound = true;
        if (entry.name == name)
            candidates.push_back(&entry);
    }
    if (candidates.empty()) {
        *error = typeFound ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND;
        return nullptr;
    }
    auto inLanguage = [&](WORD wanted) -> const ResourceEntry* {
        for (const ResourceEntry* entry : candidates)
            if (entry->language == wanted)
                return entry;
        return nullptr;
    };
    if (language != 0) {
        if (const ResourceEntry* entry = inLanguage(language))
            return entry;
        *error = ERROR_RESOURCE_LANG_NOT_FOUND;
        return nullptr;
    }
    const WORD preferred[] = {0, kUserDefaultLanguage,
                              static_cast<WORD>(kUserDefaultLanguage & kPrimaryLanguageMask),
                              kNeutralDefaultSublanguage, 0x0409};
    for (WORD wanted : preferred)
        if (const ResourceEntry* entry = inLanguage(wanted))
            return entry;
    // The first available, in the order a PE directory keeps: lowest language id.
    return *std::min_element(
        candidates.begin(), candidates.end(),
        [](const ResourceEntry* a, const ResourceEntry* b) { return a->language < b->language; });
}

namespace {
template <class Reader>
DWORD Replace(std::vector<ResourceEntry>& entries, const BYTE* data, size_t size, Reader read) {
    entries.clear();
    std::vector<ResourceEntry> readEntries;
    DWORD error = data ? read(ByteView(data, size), readEntries) : ERROR_BAD_FORMAT;
    if (error == ERROR_SUCCESS)
        entries = std::move(readEntries);
    return error;
}
} // namespace

DWORD ResourceTable::ReadResFile(const BYTE* data, size_t size) {
    return Replace(m_entries, data, size, ReadRes);
}

DWORD ResourceTable::ReadPeImage(const BYTE* data, size_t size) {
    return Replace(m_entries, data, size, ReadPe);
}

DWORD ResourceTable::ReadElfImage(const BYTE* data, size_t size) {
    return Replace(m_entries, data, size, ReadElf);
}

DWORD ResourceTable::ReadImage(const BYTE* data, size_t size) {
    if (data && size >= 4 && data[0] == 0x7F && data[1] == 'E' && data[2] == 'L' && data[3] == 'F')
        return ReadElfImage(data, size);
    return ReadPeImage(data, size);
}

} // namespace hostwin
