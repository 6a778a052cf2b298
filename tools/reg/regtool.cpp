// Key names, key and value reading, data formatting and error texts of the reg tool.
#include "regtool.h"

#include <hostwin/control.h>
#include <utf8.h>

#include <cstdio>
#include <iostream>

namespace regtool {

namespace {

struct RootName {
    const char16_t* shortName;
    const char16_t* fullName;
    HKEY key;
};

const RootName kRoots[] = {
    {u"HKLM", u"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {u"HKCU", u"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {u"HKCR", u"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {u"HKU", u"HKEY_USERS", HKEY_USERS},
    {u"HKCC", u"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

struct TypeEntry {
    DWORD type;
    const char* name;
};
const TypeEntry kTypes[] = {
    {REG_NONE, "REG_NONE"},
    {REG_SZ, "REG_SZ"},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
    {REG_BINARY, "REG_BINARY"},
    {REG_DWORD, "REG_DWORD"},
    {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
    {REG_LINK, "REG_LINK"},
    {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {8, "REG_RESOURCE_LIST"},
    {9, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {10, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {REG_QWORD, "REG_QWORD"},
};

// Text data as `reg query` shows it: a trailing odd byte is not half a character to show.
std::u16string UnitsOf(const std::vector<BYTE>& data) {
    return hostwin::DecodeUtf16Le(data.data(), data.size() & ~size_t{1}).value_or(u"");
}

std::string Hex(const std::vector<BYTE>& data) {
    std::string text;
    char pair[3];
    for (BYTE byte : data) {
        std::snprintf(pair, sizeof pair, "%02X", byte);
        text += pair;
    }
    return text;
}

} // namespace

bool ParseKeyPath(const std::u16string& text, KeyPath* path) {
    size_t slash = text.find(u'\\');
    std::u16string root = text.substr(0, slash);
    std::u16string rest = slash == std::u16string::npos ? u"" : text.substr(slash + 1);
    while (!rest.empty() && rest.back() == u'\\')
        rest.pop_back();
    for (const RootName& entry : kRoots) {
        if (hostwin::SameNameIgnoringCase(root, entry.shortName) ||
            hostwin::SameNameIgnoringCase(root, entry.fullName)) {
            path->root = entry.key;
            path->rootName = entry.fullName;
            path->subKey = rest;
            return true;
        }
    }
    return false; // also remote names (\\machine\...), which this machine does not serve
}

LONG ReadKey(HKEY key, std::vector<Value>* values, std::vector<std::u16string>* names) {
    LONG rc = ReadValues(key, values);
    return rc == ERROR_SUCCESS ? ReadSubKeys(key, names) : rc;
}

LONG ReadValues(HKEY key, std::vector<Value>* values) {
    values->clear();
    std::vector<WCHAR> name;
    std::vector<BYTE> data;
    bool sized = false;
    for (DWORD index = 0;;) {
        if (!sized) {
            DWORD maxName = 0, maxData = 0;
            LONG rc = RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, NULL, NULL, NULL, &maxName,
                                       &maxData, NULL, NULL);
            if (rc != ERROR_SUCCESS)
                return rc;
            name.resize(maxName + 1);
            data.resize(maxData + 1);
            sized = true;
        }
        DWORD nameCount = static_cast<DWORD>(name.size());
        DWORD dataSize = static_cast<DWORD>(data.size());
        DWORD type = 0;
        LONG rc =
            RegEnumValueW(key, index, name.data(), &nameCount, NULL, &type, data.data(), &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (rc == ERROR_MORE_DATA) { // another process wrote a longer value meanwhile
            sized = false;
            continue;
        }
        if (rc != ERROR_SUCCESS)
            return rc;
        values->push_back(Value{std::u16string(name.data(), nameCount), type,
                                std::vector<BYTE>(data.begin(), data.begin() + dataSize)});
        ++index;
    }
}

LONG ReadSubKeys(HKEY key, std::vector<std::u16string>* names) {
    names->clear();
    WCHAR name[256];
    for (DWORD index = 0;; ++index) {
        DWORD count = 256;
        LONG rc = RegEnumKeyExW(key, index, name, &count, NULL, NULL, NULL, NULL);
        if (rc == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS)
            return rc;
        names->emplace_back(name, count);
    }
}

LONG DeleteTree(HKEY parent, const std::u16string& name) {
    HKEY key = NULL;
    LONG rc = RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ | DELETE, &key);
    if (rc != ERROR_SUCCESS)
        return rc;
    // All names first: each deletion changes the key, so enumerating again after it would
    // read the whole list once per child.
    std::vector<std::u16string> children;
    rc = ReadSubKeys(key, &children);
    for (size_t i = 0; rc == ERROR_SUCCESS && i < children.size(); ++i) {
        rc = DeleteTree(key, children[i]);
        if (rc == ERROR_FILE_NOT_FOUND)
            rc = ERROR_SUCCESS; // deleted by someone else meanwhile
    }
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return rc;
    return RegDeleteKeyW(parent, name.c_str());
}

bool TypeFromName(const std::string& name, DWORD* type) {
    for (const TypeEntry& entry : kTypes) {
        if (hostwin::SameNameIgnoringCase(hostwin::FromUtf8(name), hostwin::FromUtf8(entry.name))) {
            *type = entry.type;
            return true;
        }
    }
    *type = 0;
    return false;
}

std::string TypeName(DWORD type) {
    for (const TypeEntry& entry : kTypes)
        if (entry.type == type)
            return entry.name;
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(type));
    return text;
}

std::string FormatData(DWORD type, const std::vector<BYTE>& data) {
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        std::u16string text = UnitsOf(data);
        return hostwin::ToUtf8(text.substr(0, text.find(u'\0')));
    }
    case REG_MULTI_SZ: {
        std::u16string text = UnitsOf(data);
        while (!text.empty() && text.back() == u'\0')
            text.pop_back();
        std::string shown;
        size_t start = 0;
        for (;;) {
            size_t end = text.find(u'\0', start);
            shown += hostwin::ToUtf8(text.substr(start, end - start));
            if (end == std::u16string::npos)
                return shown;
            shown += "\\0";
            start = end + 1;
        }
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
        if (data.size() == 4) {
            DWORD value =
                type == REG_DWORD
                    ? data[0] | data[1] << 8 | data[2] << 16 | static_cast<DWORD>(data[3]) << 24
                    : data[3] | data[2] << 8 | data[1] << 16 | static_cast<DWORD>(data[0]) << 24;
            char text[16];
            std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
            return text;
        }
        break;
    case REG_QWORD:
        if (data.size() == 8) {
            unsigned long long value = 0;
            for (int i = 7; i >= 0; --i)
                value = value << 8 | data[static_cast<size_t>(i)];
            char text[24];
            std::snprintf(text, sizeof text, "0x%llx", value);
            return text;
        }
        break;
    default:
        break;
    }
    return Hex(data);
}

std::string Printable(const std::string& bytes) {
    std::string shown;
    for (auto it = bytes.begin(); it != bytes.end();) {
        auto valid = utf8::find_invalid(it, bytes.end());
        shown.append(it, valid);
        if (valid == bytes.end())
            break;
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(*valid));
        shown += escape;
        it = valid + 1;
    }
    return shown;
}

std::string ErrorText(LONG code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "ERROR: The system was unable to find the specified registry key or value.";
    case ERROR_ACCESS_DENIED:
        return "ERROR: Access is denied.";
    case ERROR_NOT_ENOUGH_MEMORY:
        return "ERROR: Not enough memory resources are available to process this command.";
    case ERROR_OUTOFMEMORY:
        return "ERROR: Not enough storage is available to complete this operation.";
    case ERROR_NOT_SUPPORTED:
        return "ERROR: The request is not supported.";
    case ERROR_INVALID_PARAMETER:
        return "ERROR: The parameter is incorrect.";
    case ERROR_BAD_PATHNAME:
        return "ERROR: The specified path is invalid.";
    case ERROR_REGISTRY_CORRUPT:
        return "ERROR: The configuration registry database is corrupt.";
    case ERROR_REGISTRY_IO_FAILED:
        return "ERROR: An I/O operation initiated by the registry failed unrecoverably. The "
               "registry could not read in, or write out, or flush, one of the files that "
               "contain the system's image of the registry.";
    case ERROR_KEY_DELETED:
        return "ERROR: Illegal operation attempted on a registry key that has been marked for "
               "deletion.";
    default: {
        char text[64];
        std::snprintf(text, sizeof text, "ERROR: The registry call failed with error %ld.",
                      static_cast<long>(code));
        return text;
    }
    }
}

bool Confirm(const std::string& question) {
    std::cout << question << " " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' '))
        answer.pop_back();
    for (char& c : answer)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return answer == "y" || answer == "yes";
}

} // namespace regtool
