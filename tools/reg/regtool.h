// Shared pieces of the reg tool: key names as the command line writes them, reading keys and
// values through the registry functions, and the .reg text format.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace regtool {

// A key as the user names it: a root ("HKLM", "HKEY_LOCAL_MACHINE", ...) and a path below it.
struct KeyPath {
    HKEY root = NULL;
    std::u16string rootName; // full form, as output prints it
    std::u16string subKey;   // without leading or trailing backslash
    std::u16string Full() const { return subKey.empty() ? rootName : rootName + u"\\" + subKey; }
};
// False for an unknown root or a malformed path.
bool ParseKeyPath(const std::u16string& text, KeyPath* path);

struct Value {
    std::u16string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// The key's values in enumeration order, and its subkey names.
LONG ReadValues(HKEY key, std::vector<Value>* values);
LONG ReadSubKeys(HKEY key, std::vector<std::u16string>* names);
// Both of the above, stopping at the first failure.
LONG ReadKey(HKEY key, std::vector<Value>* values, std::vector<std::u16string>* names);
// Deletes `name` below `parent` with everything under it, children first.
LONG DeleteTree(HKEY parent, const std::u16string& name);

// "REG_SZ", "REG_DWORD", ...; 0 and false for an unknown name.
bool TypeFromName(const std::string& name, DWORD* type);
std::string TypeName(DWORD type);
// Data as `reg query` shows it.
std::string FormatData(DWORD type, const std::vector<BYTE>& data);

// `bytes` for a message: invalid UTF-8 bytes shown as \xNN.
std::string Printable(const std::string& bytes);

// The Windows text for a registry error, with its "ERROR: " prefix.
std::string ErrorText(LONG code);

// .reg files ("Windows Registry Editor Version 5.00", UTF-16LE with a byte-order mark).
// Writes the key tree below `path` to `file`, read from one snapshot of the registry.
LONG ExportKey(const KeyPath& path, const std::string& file, std::string* error);
// A line of the body that import passed over: its number (the header is line 1) and why, as
// "is not a registry entry".
struct SkippedLine {
    size_t number;
    std::string reason;
};
// Applies a .reg file ("Windows Registry Editor Version 5.00", or "REGEDIT4" with text in the
// host's ANSI code page, UTF-8). Reads all of it first: a file that is not a registry file as a
// whole (no header, bytes that are not text) changes nothing and fails with ERROR_BAD_FORMAT.
// As Windows' importer does, a line of the body that is no entry is skipped, and added to
// *skipped, and the rest of the file applied.
LONG ImportFile(const std::string& file, std::string* error, std::vector<SkippedLine>* skipped);

// Asks on stdout and reads the answer from stdin; anything but yes (or end of input) is no.
bool Confirm(const std::string& question);

} // namespace regtool
