// sc's reading of its arguments, apart from the calls it makes: the words of a command as the
// Windows command takes them, every number in its type's range and every name valid UTF-8, so
// that a word sc refuses changes nothing.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sc {

// The arguments as UTF-16; the 1-based position of the first that is not UTF-8 otherwise.
struct DecodedArguments {
    std::vector<std::u16string> words;
    int invalid = 0;
};
DecodedArguments DecodeArguments(int argc, char** argv);

// A decimal number in 0..max, digits only: no sign, no blank, no wrap past the top.
std::optional<DWORD> ReadNumber(const std::u16string& text, DWORD max = 0xFFFFFFFF);

// "key= value" pairs from `from` on, keys lowercased without their '='; false on a word that
// is not a key or a key without its value.
bool ReadOptions(const std::vector<std::u16string>& args, size_t from,
                 std::vector<std::pair<std::string, std::u16string>>& options);

// sc query / queryex: one service by name, or a listing filtered by type= and state=, read in
// pieces of bufsize= bytes from resume index ri= when either is given.
struct QueryRequest {
    std::optional<std::u16string> name;
    DWORD type = SERVICE_WIN32;
    DWORD state = SERVICE_ACTIVE;
    std::optional<DWORD> bufferSize;
    DWORD resumeIndex = 0;
    std::optional<std::u16string> group;
};
bool ReadQuery(const std::vector<std::u16string>& args, QueryRequest& request);

// sc create / config: what is not named stays SERVICE_NO_CHANGE or absent.
struct ConfigRequest {
    DWORD type = SERVICE_NO_CHANGE, start = SERVICE_NO_CHANGE, error = SERVICE_NO_CHANGE;
    std::optional<std::u16string> binaryPath, displayName;
    std::optional<std::u16string> dependencies; // NUL-separated, ended by an empty name
};
bool ReadConfig(const std::vector<std::u16string>& args, size_t from, ConfigRequest& config);

} // namespace sc
