// Resource tables read from untrusted bytes: a PE image's resource directory, a compiled .res
// file, or the .res embedded in an ELF executable's "hostwin_res" section. Every offset is
// checked against the buffer, so truncated or hostile input yields ERROR_BAD_FORMAT, never a
// read outside it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace hostwin {

// A resource type or name: a number, or a string compared without regard to case.
struct ResourceId {
    bool isNumber = true;
    WORD number = 0;
    std::u16string name; // upper-cased

    static ResourceId Number(WORD value);
    static ResourceId Name(std::u16string text);
    // The id an API argument stands for: MAKEINTRESOURCE values and "#123" are numbers.
    static ResourceId FromArgument(LPCWSTR argument);
    bool operator==(const ResourceId& other) const;
    std::string Describe() const; // for the call log
};

struct ResourceEntry {
    ResourceId type;
    ResourceId name;
    WORD language = 0;
    const BYTE* data = nullptr; // points into the buffer the table was read from
    DWORD size = 0;
};

// The resources of one module. Entries never move once read, so their addresses serve as
// resource handles (HRSRC).
class ResourceTable {
public:
    const std::vector<ResourceEntry>& Entries() const { return m_entries; }
    bool Empty() const { return m_entries.empty(); }
    // True when `entry` is the address of one of this table's entries.
    bool Contains(const ResourceEntry* entry) const;

    // The entry with this type and name in `language`; language 0 picks as FindResourceW
    // does (neutral, the user's default, English, then the first available). Null with
    // ERROR_RESOURCE_{DATA,TYPE,NAME,LANG}_NOT_FOUND in *error when there is none.
    const ResourceEntry* Find(const ResourceId& type, const ResourceId& name, WORD language,
                              DWORD* error) const;

    // Each reader replaces the table; on failure it is left empty. They return ERROR_SUCCESS
    // or ERROR_BAD_FORMAT.
    DWORD ReadResFile(const BYTE* data, size_t size);
    DWORD ReadPeImage(const BYTE* data, size_t size);
    DWORD ReadElfImage(const BYTE* data, size_t size);
    // PE or ELF, told apart by their signatures.
    DWORD ReadImage(const BYTE* data, size_t size);

private:
    std::vector<ResourceEntry> m_entries;
};

// The language the host's user runs in (English, United States).
constexpr WORD kUserDefaultLanguage = 0x0409;

} // namespace hostwin
