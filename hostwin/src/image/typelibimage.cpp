// The binary type-library layout, as far as the library itself is concerned:
//
//   header (0x54 bytes)      signature "MSFT", format version 0x00010002, offsets of the
//                            library's GUID, name, help string and help file, its LCID,
//                            system kind (low nibble of the flags word), version and flags
//   [4 bytes]                when flag 0x100 is set: a help string DLL
//   4 bytes per type         offsets of the type descriptions
//   segment directory        15 entries of {offset, length, -1, 0x0F}; an absent segment has
//                            offset -1. The GUID table is segment 5, names 7, strings 8.
//
// A GUID entry is the GUID followed by two 32-bit links; a name entry is two 32-bit links,
// the name's length in its next byte, a flags byte, a 16-bit hash and the characters; a
// string entry is a 16-bit length and the characters. Texts are in the library's code page.
#include "image/typelibimage.h"

#include <cstdint>
#include <cstring>

namespace hostwin {

namespace {

constexpr DWORD kSignature = 0x5446534D; // "MSFT"
constexpr DWORD kFormatVersion = 0x00010002;
constexpr size_t kHeaderSize = 0x54;
constexpr DWORD kHasHelpStringDll = 0x100;
constexpr size_t kSegmentCount = 15;
constexpr size_t kSegmentEntrySize = 16;
constexpr size_t kGuidSegment = 5;
constexpr size_t kNameSegment = 7;
constexpr size_t kStringSegment = 8;
constexpr DWORD kAbsent = 0xFFFFFFFF;

struct Segment {
    size_t offset = 0;
    size_t length = 0; // 0 for an absent segment
};

class Reader {
public:
    Reader(const BYTE* data, size_t size) : m_data(data), m_size(size) {}

    // False when [offset, offset + count) is not inside the bytes.
    bool Fits(size_t offset, size_t count) const {
        return offset <= m_size && count <= m_size - offset;
    }
    DWORD Dword(size_t offset) const {
        DWORD value = 0;
        std::memcpy(&value, m_data + offset, 4);
        return value;
    }
    WORD Word(size_t offset) const {
        WORD value = 0;
        std::memcpy(&value, m_data + offset, 2);
        return value;
    }
    const BYTE* At(size_t offset) const { return m_data + offset; }

private:
    const BYTE* m_data;
    size_t m_size;
};

// An item of `count` bytes at `position` inside a segment; false when it does not fit there.
bool InSegment(const Segment& segment, DWORD position, size_t count, size_t* offset) {
    if (position > segment.length || count > segment.length - position)
        return false;
    *offset = segment.offset + position;
    return true;
}

// ASCII only: other bytes would need the library's code page, which the host does not carry.
bool DecodeText(const BYTE* bytes, size_t count, std::u16string* text) {
    text->clear();
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] == 0 || bytes[i] >= 0x80)
            return false;
        text->push_back(static_cast<char16_t>(bytes[i]));
    }
    return true;
}

// A string-table entry; `position` kAbsent leaves *text empty and succeeds.
bool ReadString(const Reader& reader, const Segment& strings, DWORD position,
                std::optional<std::u16string>* text) {
    if (position == kAbsent) {
        text->reset();
        return true;
    }
    size_t offset = 0;
    if (!InSegment(strings, position, 2, &offset))
        return false;
    WORD length = reader.Word(offset);
    size_t characters = 0;
    if (!InSegment(strings, position + 2, length, &characters))
        return false;
    std::u16string decoded;
    if (!DecodeText(reader.At(characters), length, &decoded))
        return false;
    *text = std::move(decoded);
    return true;
}

} // namespace

HRESULT ReadTypeLibraryImage(const BYTE* data, size_t size, TypeLibraryImage* image) {
    Reader reader(data, size);
    if (!reader.Fits(0, 8) || reader.Dword(0) != kSignature)
        return TYPE_E_CANTLOADLIBRARY;
    if (reader.Dword(4) != kFormatVersion)
        return TYPE_E_UNSUPFORMAT;
    if (!reader.Fits(0, kHeaderSize))
        return TYPE_E_INVDATAREAD;

    const DWORD varFlags = reader.Dword(0x14);
    const DWORD typeCount = reader.Dword(0x20);
    // In 64 bits, so that no type count can wrap the directory's offset around.
    const uint64_t directory = kHeaderSize + ((varFlags & kHasHelpStringDll) ? 4 : 0) +
                               static_cast<uint64_t>(typeCount) * 4;
    if (directory > size ||
        !reader.Fits(static_cast<size_t>(directory), kSegmentCount * kSegmentEntrySize))
        return TYPE_E_INVDATAREAD;
    Segment segments[kSegmentCount];
    for (size_t i = 0; i < kSegmentCount; ++i) {
        DWORD offset = reader.Dword(directory + i * kSegmentEntrySize);
        DWORD length = reader.Dword(directory + i * kSegmentEntrySize + 4);
        if (offset == kAbsent)
            continue;
        if (!reader.Fits(offset, length))
            return TYPE_E_INVDATAREAD;
        segments[i] = Segment{offset, length};
    }

    TypeLibraryImage read;
    size_t guid = 0;
    if (!InSegment(segments[kGuidSegment], reader.Dword(0x08), sizeof(GUID), &guid))
        return TYPE_E_INVDATAREAD;
    std::memcpy(&read.attributes.guid, reader.At(guid), sizeof(GUID));
    read.attributes.lcid = reader.Dword(0x0C);
    read.attributes.syskind = static_cast<SYSKIND>(varFlags & 0x0F);
    read.attributes.wMajorVerNum = static_cast<WORD>(reader.Dword(0x18) & 0xFFFF);
    read.attributes.wMinorVerNum = static_cast<WORD>(reader.Dword(0x18) >> 16);
    read.attributes.wLibFlags = static_cast<WORD>(reader.Dword(0x1C));
    read.typeCount = typeCount;
    read.helpContext = reader.Dword(0x2C);

    size_t nameEntry = 0;
    if (!InSegment(segments[kNameSegment], reader.Dword(0x38), 12, &nameEntry))
        return TYPE_E_INVDATAREAD;
    const size_t nameLength = *reader.At(nameEntry + 8);
    size_t nameCharacters = 0;
    if (!InSegment(segments[kNameSegment], reader.Dword(0x38) + 12, nameLength, &nameCharacters) ||
        !DecodeText(reader.At(nameCharacters), nameLength, &read.name))
        return TYPE_E_INVDATAREAD;

    const Segment& strings = segments[kStringSegment];
    if (!ReadString(reader, strings, reader.Dword(0x24), &read.docString) ||
        !ReadString(reader, strings, reader.Dword(0x3C), &read.helpFile))
        return TYPE_E_INVDATAREAD;

    *image = std::move(read);
    return S_OK;
}

} // namespace hostwin
