// reg: query, add, delete, export and import registry keys of this machine, with the syntax,
// output and messages of the Windows command. Exit code 0 on success, 1 on failure.
#include "regtool.h"

#include <hostwin/control.h>
#include <hostwin/owner.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <vector>

using namespace regtool;

namespace {

const char* const kCompleted = "The operation completed successfully.";
const char* const kCanceled = "The operation was canceled by the user.";

int Fail(const std::string& message) {
    std::cerr << message << "\n";
    return 1;
}

int InvalidSyntax(const char* command) {
    return Fail(std::string("ERROR: Invalid syntax.\nType \"REG ") + command + " /?\" for usage.");
}

int InvalidKeyName(const char* command) {
    return Fail(std::string("ERROR: Invalid key name.\nType \"REG ") + command +
                " /?\" for usage.");
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return text;
}

// Options as the Windows command takes them: "/v NAME" or "-v NAME", any letter case.
struct Options {
    std::optional<std::string> valueName; // /v
    bool defaultValue = false;            // /ve
    bool allValues = false;               // /va
    bool recurse = false;                 // /s (query)
    bool force = false;                   // /f, /y
    std::optional<std::string> type;      // /t
    std::optional<std::string> data;      // /d
    std::optional<std::string> separator; // /s SEP (add)
    std::vector<std::string> positional;
};

// Parses argv[first...]; false on an option the command does not take, a missing option
// argument, a repeated one, or more than one value selector. Where the command takes a file,
// anything but one of its switch words is an argument, so that /tmp/keys.reg is a path.
bool ParseOptions(int argc, char** argv, int first, const std::string& command, Options* options) {
    static const std::map<std::string, std::vector<std::string>> switches = {
        {"query", {"v", "ve", "s", "reg:32", "reg:64"}},
        {"add", {"v", "ve", "t", "s", "d", "f", "reg:32", "reg:64"}},
        {"delete", {"v", "ve", "va", "f", "reg:32", "reg:64"}},
        {"export", {"y", "reg:32", "reg:64"}},
        {"import", {"reg:32", "reg:64"}},
    };
    const bool takesFile = command == "export" || command == "import";
    auto known = [&](const std::string& name) {
        for (const std::string& option : switches.at(command))
            if (option == name)
                return true;
        return false;
    };
    for (int i = first; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) {
            options->positional.push_back(arg);
            continue;
        }
        std::string name = Lower(arg.substr(1));
        if (!known(name)) {
            if (!takesFile)
                return false;
            options->positional.push_back(arg);
            continue;
        }
        auto next = [&](std::optional<std::string>* slot) {
            if (i + 1 >= argc || slot->has_value())
                return false;
            *slot = argv[++i];
            return true;
        };
        bool ok = true;
        if (name == "v")
            ok = next(&options->valueName);
        else if (name == "ve")
            options->defaultValue = true;
        else if (name == "va")
            options->allValues = true;
        else if (name == "s" && command == "add")
            ok = next(&options->separator);
        else if (name == "s")
            options->recurse = true;
        else if (name == "f" || name == "y")
            options->force = true;
        else if (name == "t")
            ok = next(&options->type);
        else if (name == "d")
            ok = next(&options->data);
        // /reg:32 and /reg:64 pick a registry view; this machine has one.
        if (!ok)
            return false;
    }
    int valueSelectors = (options->valueName ? 1 : 0) + (options->defaultValue ? 1 : 0) +
                         (options->allValues ? 1 : 0);
    return valueSelectors <= 1;
}

std::string ShownName(const std::u16string& name) {
    return name.empty() ? "(Default)" : hostwin::ToUtf8(name);
}

void PrintValue(const Value& value) {
    std::cout << "    " << ShownName(value.name) << "    " << TypeName(value.type) << "    "
              << FormatData(value.type, value.data) << "\n";
}

bool SameName(const std::u16string& a, const std::u16string& b) {
    return lstrcmpiW(a.c_str(), b.c_str()) == 0;
}

// Walks the tree below `key` depth-first, printing every key with its values (or only the
// matching value when `only` is set); counts the matches.
LONG QueryTree(HKEY key, const std::u16string& path, const std::optional<std::u16string>& only,
               size_t* matches) {
    std::vector<Value> values;
    std::vector<std::u16string> children;
    LONG rc = ReadKey(key, &values, &children);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (!only) {
        std::cout << hostwin::ToUtf8(path) << "\n";
        for (const Value& value : values)
            PrintValue(value);
        std::cout << "\n";
    } else {
        for (const Value& value : values) {
            if (SameName(value.name, *only)) {
                std::cout << hostwin::ToUtf8(path) << "\n";
                PrintValue(value);
                std::cout << "\n";
                ++*matches;
            }
        }
    }
    for (const std::u16string& child : children) {
        hostwin::UniqueKey childKey;
        rc = RegOpenKeyExW(key, child.c_str(), 0, KEY_READ, childKey.put());
        if (rc == ERROR_FILE_NOT_FOUND)
            continue;
        if (rc != ERROR_SUCCESS)
            return rc;
        rc = QueryTree(childKey.get(), path + u"\\" + child, only, matches);
        if (rc != ERROR_SUCCESS)
            return rc;
    }
    return ERROR_SUCCESS;
}

int Query(const KeyPath& path, const Options& options) {
    hostwin::UniqueKey key;
    LONG rc = RegOpenKeyExW(path.root, path.subKey.c_str(), 0, KEY_READ, key.put());
    if (rc != ERROR_SUCCESS)
        return Fail(ErrorText(rc));
    std::optional<std::u16string> only;
    if (options.valueName)
        only = hostwin::FromUtf8(*options.valueName);
    else if (options.defaultValue)
        only = u"";
    const std::u16string full = path.Full();
    std::cout << "\n";
    if (options.recurse) {
        size_t matches = 0;
        rc = QueryTree(key.get(), full, only, &matches);
        if (rc != ERROR_SUCCESS)
            return Fail(ErrorText(rc));
        if (only)
            std::cout << "End of search: " << matches << " match(es) found.\n";
        return 0;
    }
    std::vector<Value> values;
    std::vector<std::u16string> children;
    rc = ReadValues(key.get(), &values);
    if (rc == ERROR_SUCCESS && !only)
        rc = ReadSubKeys(key.get(), &children);
    if (rc != ERROR_SUCCESS)
        return Fail(ErrorText(rc));
    if (only) {
        for (const Value& value : values) {
            if (SameName(value.name, *only)) {
                std::cout << hostwin::ToUtf8(full) << "\n";
                PrintValue(value);
                std::cout << "\n";
                return 0;
            }
        }
        if (!options.defaultValue)
            return Fail(ErrorText(ERROR_FILE_NOT_FOUND));
        std::cout << hostwin::ToUtf8(full) << "\n    (Default)    REG_SZ    (value not set)\n\n";
        return 0;
    }
    if (!values.empty()) {
        std::cout << hostwin::ToUtf8(full) << "\n";
        for (const Value& value : values)
            PrintValue(value);
        std::cout << "\n";
    }
    for (const std::u16string& child : children)
        std::cout << hostwin::ToUtf8(full + u"\\" + child) << "\n";
    return 0;
}

bool ParseNumber(const std::string& text, uint64_t limit, uint64_t* number) {
    if (text.empty()) {
        *number = 0;
        return true;
    }
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
                              std::string::npos)
        return false;
    errno = 0;
    unsigned long long value = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno == ERANGE || value > limit)
        return false;
    *number = value;
    return true;
}

// The bytes `reg add` writes for /t TYPE /d DATA; false when the data does not fit the type.
bool BuildData(DWORD type, const std::string& text, const std::string& separator,
               std::vector<BYTE>* data) {
    data->clear();
    std::u16string wide = hostwin::FromUtf8(text);
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        hostwin::AppendUtf16Le(wide + u'\0', *data);
        return true;
    case REG_MULTI_SZ: {
        std::u16string sep = hostwin::FromUtf8(separator);
        if (sep.empty())
            return false;
        size_t start = 0;
        while (start < wide.size()) {
            size_t end = wide.find(sep, start);
            std::u16string item =
                wide.substr(start, end == std::u16string::npos ? end : end - start);
            if (item.empty())
                return false; // two separators in a row would end the list early
            hostwin::AppendUtf16Le(item + u'\0', *data);
            if (end == std::u16string::npos)
                break;
            start = end + sep.size();
        }
        hostwin::AppendUtf16Le(std::u16string(1, u'\0'), *data);
        return true;
    }
    case REG_DWORD:
    case REG_QWORD: {
        uint64_t number = 0;
        if (!ParseNumber(text, type == REG_DWORD ? 0xFFFFFFFFull : UINT64_MAX, &number))
            return false;
        for (int i = 0; i < (type == REG_DWORD ? 4 : 8); ++i)
            data->push_back(static_cast<BYTE>(number >> (8 * i)));
        return true;
    }
    case REG_BINARY:
    case REG_NONE: {
        if (text.size() % 2 != 0 ||
            text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        for (size_t i = 0; i < text.size(); i += 2)
            data->push_back(static_cast<BYTE>(std::stoul(text.substr(i, 2), nullptr, 16)));
        return true;
    }
    default:
        return false;
    }
}

int Add(const KeyPath& path, const Options& options) {
    bool setsValue = options.valueName || options.defaultValue || options.type || options.data;
    DWORD type = REG_SZ;
    if (options.type && !TypeFromName(*options.type, &type))
        return InvalidSyntax("ADD");
    if (options.allValues || (options.separator && type != REG_MULTI_SZ))
        return InvalidSyntax("ADD");
    std::vector<BYTE> data;
    if (setsValue &&
        !BuildData(type, options.data.value_or(""), options.separator.value_or("\\0"), &data))
        return InvalidSyntax("ADD");

    hostwin::UniqueKey key;
    LONG rc = RegCreateKeyExW(path.root, path.subKey.c_str(), 0, NULL, REG_OPTION_NON_VOLATILE,
                              setsValue ? KEY_QUERY_VALUE | KEY_SET_VALUE : KEY_READ, NULL,
                              key.put(), NULL);
    if (rc != ERROR_SUCCESS)
        return Fail(ErrorText(rc));
    if (setsValue) {
        std::u16string name = options.valueName ? hostwin::FromUtf8(*options.valueName) : u"";
        if (!options.force &&
            RegQueryValueExW(key.get(), name.c_str(), NULL, NULL, NULL, NULL) == ERROR_SUCCESS &&
            !Confirm("Value " + ShownName(name) + " exists, overwrite(Yes/No)?")) {
            std::cout << kCanceled << "\n";
            return 0;
        }
        rc = RegSetValueExW(key.get(), name.c_str(), 0, type, data.data(),
                            static_cast<DWORD>(data.size()));
    }
    if (rc != ERROR_SUCCESS)
        return Fail(ErrorText(rc));
    std::cout << kCompleted << "\n";
    return 0;
}

int DeleteValues(const KeyPath& path, const Options& options) {
    hostwin::UniqueKey key;
    LONG rc = RegOpenKeyExW(path.root, path.subKey.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                            key.put());
    if (rc != ERROR_SUCCESS)
        return Fail(ErrorText(rc));
    std::vector<std::u16string> names;
    std::string question;
    if (options.allValues) {
        std::vector<Value> values;
        rc = ReadValues(key.get(), &values);
        for (const Value& value : values)
            names.push_back(value.name);
        question = "Delete all values under the registry key " + hostwin::ToUtf8(path.Full()) +
                   " (Yes/No)?";
    } else {
        names.push_back(options.valueName ? hostwin::FromUtf8(*options.valueName) : u"");
        question = "Delete the registry value " + ShownName(names.front()) + " (Yes/No)?";
    }
    if (rc == ERROR_SUCCESS && !options.force && !Confirm(question)) {
        std::cout << kCanceled << "\n";
        return 0;
    }
    for (size_t i = 0; rc == ERROR_SUCCESS && i < names.size(); ++i)
        rc = RegDeleteValueW(key.get(), names[i].c_str());
    if (rc != ERROR_SUCCESS)
        return Fail(ErrorText(rc));
    std::cout << kCompleted << "\n";
    return 0;
}

int Delete(const KeyPath& path, const Options& options) {
    if (options.type || options.data || options.separator)
        return InvalidSyntax("DELETE");
    if (options.valueName || options.defaultValue || options.allValues)
        return DeleteValues(path, options);
    if (path.subKey.empty())
        return InvalidKeyName("DELETE");
    size_t slash = path.subKey.rfind(u'\\');
    std::u16string parentPath = slash == std::u16string::npos ? u"" : path.subKey.substr(0, slash);
    std::u16string name =
        slash == std::u16string::npos ? path.subKey : path.subKey.substr(slash + 1);
    hostwin::UniqueKey parent;
    LONG rc = RegOpenKeyExW(path.root, parentPath.c_str(), 0, KEY_READ, parent.put());
    if (rc == ERROR_SUCCESS) {
        hostwin::UniqueKey probe; // ask only about a key that is there
        rc = RegOpenKeyExW(parent.get(), name.c_str(), 0, KEY_READ, probe.put());
    }
    if (rc == ERROR_SUCCESS && !options.force &&
        !Confirm("Permanently delete the registry key " + hostwin::ToUtf8(path.Full()) +
                 " (Yes/No)?")) {
        std::cout << kCanceled << "\n";
        return 0;
    }
    if (rc == ERROR_SUCCESS) {
        // The whole tree goes in one transaction, so no reader ever sees part of it.
        hostwin::RegistryBatch batch;
        rc = batch.Status();
        if (rc == ERROR_SUCCESS)
            rc = DeleteTree(parent.get(), name);
        if (rc == ERROR_SUCCESS)
            rc = batch.Commit();
    }
    if (rc != ERROR_SUCCESS)
        return Fail(ErrorText(rc));
    std::cout << kCompleted << "\n";
    return 0;
}

std::string FilePath(const std::string& argument) {
    return hostwin::HostPath(hostwin::FromUtf8(argument));
}

int Export(const KeyPath& path, const Options& options) {
    std::string file = FilePath(options.positional[1]);
    struct stat info {};
    if (!options.force && stat(file.c_str(), &info) == 0 &&
        !Confirm("File " + options.positional[1] + " already exists. Overwrite (Yes/No)?")) {
        std::cout << kCanceled << "\n";
        return 0;
    }
    std::string error;
    if (ExportKey(path, file, &error) != ERROR_SUCCESS)
        return Fail(error);
    std::cout << kCompleted << "\n";
    return 0;
}

int Import(const Options& options) {
    const std::string file = FilePath(options.positional[0]);
    std::string error;
    std::vector<SkippedLine> skipped;
    const LONG rc = ImportFile(file, &error, &skipped);
    // Windows passes over such lines in silence; naming them tells what was not imported.
    for (const SkippedLine& line : skipped)
        std::cerr << "WARNING: Line " << line.number << " of " << file << " " << line.reason
                  << "; it was skipped.\n";
    if (rc != ERROR_SUCCESS)
        return Fail(error);
    std::cerr << kCompleted << "\n"; // Windows reports a finished import on stderr too
    return 0;
}

void Usage() {
    std::cout << "\nREG Operation [Parameter List]\n\n"
                 "  Operation  [ QUERY | ADD | DELETE | EXPORT | IMPORT ]\n\n"
                 "REG QUERY KeyName [/v ValueName | /ve] [/s]\n"
                 "REG ADD KeyName [/v ValueName | /ve] [/t Type] [/s Separator] [/d Data] [/f]\n"
                 "REG DELETE KeyName [/v ValueName | /ve | /va] [/f]\n"
                 "REG EXPORT KeyName FileName [/y]\n"
                 "REG IMPORT FileName\n\n"
                 "  KeyName    ROOTKEY\\SubKey, ROOTKEY one of HKLM, HKCU, HKCR, HKU, HKCC\n"
                 "  Type       REG_SZ, REG_MULTI_SZ, REG_EXPAND_SZ, REG_DWORD, REG_QWORD,\n"
                 "             REG_BINARY, REG_NONE\n\n"
                 "Return Code: (Except for REG COMPARE)\n\n"
                 "  0 - Successful\n  1 - Failed\n";
}

} // namespace

int Reg(int argc, char** argv) {
    // Names are compared as UTF-16: bytes that are not UTF-8 would turn two names into one.
    if (int bad = hostwin::FirstNonUtf8Argument(argc, argv); bad > 0)
        return Fail("ERROR: Argument " + std::to_string(bad) + " (\"" + Printable(argv[bad]) +
                    "\") is not valid UTF-8.");
    if (argc < 2)
        return InvalidSyntax("");
    std::string command = Lower(argv[1]);
    if (command == "/?" || command == "-?") {
        Usage();
        return 0;
    }
    const char* upper = command == "query"    ? "QUERY"
                        : command == "add"    ? "ADD"
                        : command == "delete" ? "DELETE"
                        : command == "export" ? "EXPORT"
                        : command == "import" ? "IMPORT"
                                              : nullptr;
    if (!upper)
        return Fail("ERROR: Invalid syntax.\nType \"REG /?\" for usage.");
    if (argc >= 3 && (std::string(argv[2]) == "/?" || std::string(argv[2]) == "-?")) {
        Usage();
        return 0;
    }
    Options options;
    if (!ParseOptions(argc, argv, 2, command, &options))
        return InvalidSyntax(upper);
    size_t expected = command == "export" ? 2 : 1;
    if (options.positional.size() != expected)
        return InvalidSyntax(upper);
    if (command == "import")
        return Import(options);
    KeyPath path;
    if (!ParseKeyPath(hostwin::FromUtf8(options.positional[0]), &path))
        return InvalidKeyName(upper);
    if (command == "query")
        return Query(path, options);
    if (command == "add")
        return Add(path, options);
    if (command == "delete")
        return Delete(path, options);
    return Export(path, options);
}

int main(int argc, char** argv) {
    return hostwin::RunHostProgram(argc, argv, Reg);
}
