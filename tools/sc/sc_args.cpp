// sc's argument reader: pure functions over the words, so that the fuzzer can drive them.
#include "sc_args.h"

#include <hostwin/text.h>

namespace sc {

namespace {

std::string Lower(const std::u16string& text) {
    std::string lower;
    for (char16_t c : text)
        lower += c < 0x80 ? static_cast<char>(c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c) : '?';
    return lower;
}

// The number a word of an option stands for; false for a word the option does not take.
bool WordValue(const std::map<std::string, DWORD>& words, const std::u16string& text,
               DWORD& value) {
    auto it = words.find(Lower(text));
    if (it == words.end())
        return false;
    value = it->second;
    return true;
}

const std::map<std::string, DWORD> kStartTypes = {
    {"auto", SERVICE_AUTO_START}, {"demand", SERVICE_DEMAND_START}, {"disabled", SERVICE_DISABLED}};
const std::map<std::string, DWORD> kCreateTypes = {{"own", SERVICE_WIN32_OWN_PROCESS},
                                                   {"share", SERVICE_WIN32_SHARE_PROCESS}};
const std::map<std::string, DWORD> kErrorControls = {{"ignore", SERVICE_ERROR_IGNORE},
                                                     {"normal", SERVICE_ERROR_NORMAL},
                                                     {"severe", SERVICE_ERROR_SEVERE},
                                                     {"critical", SERVICE_ERROR_CRITICAL}};
const std::map<std::string, DWORD> kQueryTypes = {{"service", SERVICE_WIN32},
                                                  {"driver", SERVICE_DRIVER},
                                                  {"all", SERVICE_TYPE_ALL},
                                                  {"own", SERVICE_WIN32_OWN_PROCESS},
                                                  {"share", SERVICE_WIN32_SHARE_PROCESS},
                                                  {"interact", SERVICE_INTERACTIVE_PROCESS},
                                                  {"kernel", SERVICE_KERNEL_DRIVER},
                                                  {"filesys", SERVICE_FILE_SYSTEM_DRIVER}};
const std::map<std::string, DWORD> kQueryStates = {
    {"active", SERVICE_ACTIVE}, {"inactive", SERVICE_INACTIVE}, {"all", SERVICE_STATE_ALL}};

// "A/B" as the NUL-separated list the calls take.
std::u16string DependencyList(const std::u16string& text) {
    std::u16string list;
    for (char16_t c : text)
        list += c == u'/' ? u'\0' : c;
    list += u'\0';
    list += u'\0';
    return list;
}

} // namespace

DecodedArguments DecodeArguments(int argc, char** argv) {
    DecodedArguments decoded;
    for (int i = 1; i < argc; ++i) {
        std::optional<std::u16string> word = hostwin::Utf8ToUtf16(argv[i]);
        if (!word) {
            decoded.invalid = i;
            decoded.words.clear();
            return decoded;
        }
        decoded.words.push_back(std::move(*word));
    }
    return decoded;
}

std::optional<DWORD> ReadNumber(const std::u16string& text, DWORD max) {
    if (text.empty())
        return std::nullopt;
    unsigned long long value = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - u'0');
        if (value > max)
            return std::nullopt;
    }
    return static_cast<DWORD>(value);
}

bool ReadOptions(const std::vector<std::u16string>& args, size_t from,
                 std::vector<std::pair<std::string, std::u16string>>& options) {
    for (size_t i = from; i < args.size(); i += 2) {
        if (args[i].size() < 2 || args[i].back() != u'=' || i + 1 >= args.size())
            return false;
        options.emplace_back(Lower(args[i].substr(0, args[i].size() - 1)), args[i + 1]);
    }
    return true;
}

bool ReadQuery(const std::vector<std::u16string>& args, QueryRequest& request) {
    if (!args.empty() && (args[0].empty() || args[0].back() != u'=')) {
        request.name = args[0];
        return args.size() == 1;
    }
    std::vector<std::pair<std::string, std::u16string>> options;
    if (!ReadOptions(args, 0, options))
        return false;
    bool typed = false;
    for (const auto& [key, value] : options) {
        DWORD word = 0;
        if (key == "type") {
            if (!WordValue(kQueryTypes, value, word))
                return false;
            // The first type= replaces the default; more of them add up, as "own" and "interact".
            request.type = typed ? request.type | word : word;
            typed = true;
        } else if (key == "state") {
            if (!WordValue(kQueryStates, value, request.state))
                return false;
        } else if (key == "bufsize") {
            request.bufferSize = ReadNumber(value);
            if (!request.bufferSize)
                return false;
        } else if (key == "ri") {
            std::optional<DWORD> index = ReadNumber(value);
            if (!index)
                return false;
            request.resumeIndex = *index;
        } else if (key == "group") {
            request.group = value;
        } else {
            return false;
        }
    }
    return true;
}

bool ReadConfig(const std::vector<std::u16string>& args, size_t from, ConfigRequest& config) {
    std::vector<std::pair<std::string, std::u16string>> options;
    if (!ReadOptions(args, from, options))
        return false;
    for (const auto& [key, value] : options) {
        if (key == "binpath")
            config.binaryPath = value;
        else if (key == "displayname")
            config.displayName = value;
        else if (key == "depend")
            config.dependencies = DependencyList(value);
        else if (key == "start") {
            if (!WordValue(kStartTypes, value, config.start))
                return false;
        } else if (key == "type") {
            if (!WordValue(kCreateTypes, value, config.type))
                return false;
        } else if (key == "error") {
            if (!WordValue(kErrorControls, value, config.error))
                return false;
        } else
            return false;
    }
    return true;
}

} // namespace sc
