// The .reg text format: export of a key tree and import of a file, as Windows writes and
// reads them ("Windows Registry Editor Version 5.00", UTF-16LE with a byte-order mark).
#include "regtool.h"

#include <hostwin/control.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>

namespace regtool {

namespace {

const char16_t* const kHeader = u"Windows Registry Editor Version 5.00";
const char16_t* const kAnsiHeader = u"REGEDIT4"; // its text in the ANSI code page
constexpr size_t kHexLineLimit = 76;             // where Windows breaks long hex lists

std::u16string Escape(const std::u16string& text) {
    std::u16string escaped;
    for (char16_t c : text) {
        if (c == u'\\' || c == u'"')
            escaped += u'\\';
        escaped += c;
    }
    return escaped;
}

// A REG_SZ that reads back identically from a quoted string: one final NUL and no other NUL,
// no line breaks. Anything else is written as hex(1) so its bytes survive unchanged.
bool QuotableString(const std::vector<BYTE>& data, std::u16string* text) {
    if (data.size() < 2 || data.size() % 2 != 0)
        return false;
    std::u16string units = hostwin::DecodeUtf16Le(data.data(), data.size()).value_or(u"");
    if (units.back() != u'\0')
        return false;
    units.pop_back();
    if (units.find_first_of(std::u16string(u"\0\r\n", 3)) != std::u16string::npos)
        return false;
    *text = units;
    return true;
}

std::u16string HexList(const std::u16string& prefix, const std::vector<BYTE>& data) {
    std::u16string out = prefix;
    size_t column = prefix.size();
    for (size_t i = 0; i < data.size(); ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x", data[i]);
        out += hostwin::FromUtf8(pair);
        column += 2;
        if (i + 1 < data.size()) {
            out += u',';
            ++column;
            if (column > kHexLineLimit) {
                out += u"\\\r\n  ";
                column = 2;
            }
        }
    }
    return out;
}

std::u16string ValueLine(const Value& value) {
    std::u16string line = value.name.empty() ? u"@=" : u"\"" + Escape(value.name) + u"\"=";
    std::u16string text;
    if (value.type == REG_SZ && QuotableString(value.data, &text))
        return line + u"\"" + Escape(text) + u"\"";
    if (value.type == REG_DWORD && value.data.size() == 4) {
        char number[16];
        DWORD dword = value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                      static_cast<DWORD>(value.data[3]) << 24;
        std::snprintf(number, sizeof number, "dword:%08x", static_cast<unsigned>(dword));
        return line + hostwin::FromUtf8(number);
    }
    if (value.type == REG_BINARY)
        return HexList(line + u"hex:", value.data);
    char prefix[24];
    std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
    return HexList(line + hostwin::FromUtf8(prefix), value.data);
}

LONG ExportTree(HKEY key, const std::u16string& fullName, std::u16string* out) {
    std::vector<Value> values;
    std::vector<std::u16string> children;
    LONG rc = ReadKey(key, &values, &children);
    if (rc != ERROR_SUCCESS)
        return rc;
    *out += u"[" + fullName + u"]\r\n";
    for (const Value& value : values)
        *out += ValueLine(value) + u"\r\n";
    *out += u"\r\n";
    for (const std::u16string& child : children) {
        HKEY childKey = NULL;
        rc = RegOpenKeyExW(key, child.c_str(), 0, KEY_READ, &childKey);
        if (rc != ERROR_SUCCESS)
            return rc; // in one snapshot a listed child is there: anything else is a failure
        rc = ExportTree(childKey, fullName + u"\\" + child, out);
        RegCloseKey(childKey);
        if (rc != ERROR_SUCCESS)
            return rc;
    }
    return ERROR_SUCCESS;
}

// The tree below `path` from one snapshot, so that a tree another process changes meanwhile
// is written whole as it was, never in part.
LONG ReadTree(const KeyPath& path, std::u16string* out) {
    hostwin::RegistrySnapshot snapshot;
    if (snapshot.Status() != ERROR_SUCCESS)
        return snapshot.Status();
    HKEY key = NULL;
    LONG rc = RegOpenKeyExW(path.root, path.subKey.c_str(), 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = ExportTree(key, path.Full(), out);
    RegCloseKey(key);
    return rc;
}

// --- import ---------------------------------------------------------------------------------

struct Operation {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
    KeyPath key;
    Value value;
};

std::u16string Trim(const std::u16string& text) {
    size_t start = text.find_first_not_of(u" \t");
    if (start == std::u16string::npos)
        return u"";
    size_t end = text.find_last_not_of(u" \t");
    return text.substr(start, end - start + 1);
}

// Reads a quoted string at `pos` (on the opening quote); `pos` ends after the closing quote.
// Only \\ and \" are escapes: anything else after a backslash makes the string malformed.
bool ReadQuoted(const std::u16string& line, size_t* pos, std::u16string* text) {
    text->clear();
    for (size_t i = *pos + 1; i < line.size(); ++i) {
        if (line[i] == u'\\') {
            if (i + 1 >= line.size() || (line[i + 1] != u'\\' && line[i + 1] != u'"'))
                return false;
            *text += line[++i];
        } else if (line[i] == u'"') {
            *pos = i + 1;
            return true;
        } else {
            *text += line[i];
        }
    }
    return false;
}

// Where the data of a value line begins (after its '='), or npos for any other line.
size_t DataStart(const std::u16string& text) {
    size_t pos = 0;
    std::u16string name;
    if (!text.empty() && text[0] == u'@')
        pos = 1;
    else if (text.empty() || text[0] != u'"' || !ReadQuoted(text, &pos, &name))
        return std::u16string::npos;
    pos = text.find_first_not_of(u" \t", pos);
    return pos != std::u16string::npos && text[pos] == u'=' ? pos + 1 : std::u16string::npos;
}

// Only hex data continues on the next line, after a final backslash: a comment or a string
// that ends in one must not swallow the line below it.
bool ContinuesOnNextLine(const std::u16string& line) {
    const std::u16string text = Trim(line);
    const size_t data = DataStart(text);
    return data != std::u16string::npos && Trim(text.substr(data)).compare(0, 3, u"hex") == 0 &&
           text.back() == u'\\';
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// "01,ff, 2" and the like, in one pass.
bool ParseHexBytes(const std::u16string& text, size_t start, std::vector<BYTE>* bytes) {
    bytes->clear();
    auto skipBlanks = [&](size_t i) {
        while (i < text.size() && (text[i] == u' ' || text[i] == u'\t'))
            ++i;
        return i;
    };
    size_t i = skipBlanks(start);
    if (i == text.size())
        return true;
    for (;;) {
        // A byte is one or two digits: a longer run is refused before it can overflow.
        int value = 0, digits = 0;
        for (; i < text.size() && HexDigit(text[i]) >= 0; ++i, ++digits) {
            if (digits == 2)
                return false;
            value = value * 16 + HexDigit(text[i]);
        }
        if (digits == 0)
            return false;
        bytes->push_back(static_cast<BYTE>(value));
        i = skipBlanks(i);
        if (i == text.size())
            return true;
        if (text[i] != u',')
            return false;
        i = skipBlanks(i + 1);
    }
}

// In a REGEDIT4 file the bytes of string types are ANSI text; stored, they are UTF-16.
bool WidenAnsiString(Value* value) {
    if (value->type != REG_SZ && value->type != REG_EXPAND_SZ && value->type != REG_MULTI_SZ)
        return true;
    std::optional<std::u16string> text =
        hostwin::Utf8ToUtf16(std::string(value->data.begin(), value->data.end()));
    if (!text)
        return false;
    value->data = hostwin::EncodeUtf16Le(*text);
    return true;
}

// Why a line of the body is passed over, after "Line N of FILE".
const char* const kNoEntry = "is not a registry entry";
const char* const kHashComment = "is not a registry entry (comments start with ;)";
const char* const kDashedKey = "is not a registry entry ([-KEY] deletes a key)";
const char* const kTypographicQuotes = "uses typographic quotes where \" belongs";
const char* const kBadKey = "has an invalid key name";
const char* const kOutsideKey = "is a value outside a key section";
const char* const kNoEquals = "has no = after the value name";
const char* const kBadString = "has a malformed quoted string";
const char* const kBadData = "has malformed value data";
const char* const kNotAnsiText = "has string data that is not valid UTF-8";

// The value's data, or why it cannot be read.
const char* ParseData(const std::u16string& text, bool ansi, Value* value, bool* remove) {
    *remove = false;
    std::u16string data = Trim(text);
    if (data == u"-") {
        *remove = true;
        return nullptr;
    }
    if (!data.empty() && data[0] == u'"') {
        size_t pos = 0;
        std::u16string content;
        if (!ReadQuoted(data, &pos, &content) || !Trim(data.substr(pos)).empty())
            return kBadString;
        value->type = REG_SZ;
        value->data = hostwin::EncodeUtf16Le(content + u'\0');
        return nullptr;
    }
    if (data.compare(0, 6, u"dword:") == 0) {
        // At most eight digits: a longer number would wrap round to another value.
        std::u16string digits = data.substr(6);
        if (digits.empty() || digits.size() > 8)
            return kBadData;
        DWORD number = 0;
        for (char16_t c : digits) {
            int digit = HexDigit(c);
            if (digit < 0)
                return kBadData;
            number = number * 16 + static_cast<DWORD>(digit);
        }
        value->type = REG_DWORD;
        value->data = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8),
                       static_cast<BYTE>(number >> 16), static_cast<BYTE>(number >> 24)};
        return nullptr;
    }
    if (data.compare(0, 4, u"hex:") == 0) {
        value->type = REG_BINARY;
        return ParseHexBytes(data, 4, &value->data) ? nullptr : kBadData;
    }
    if (data.compare(0, 4, u"hex(") == 0) {
        size_t close = data.find(u"):", 4);
        if (close == std::u16string::npos || close == 4 || close > 12)
            return kBadData; // no type, or one of more than eight digits
        DWORD type = 0;
        for (size_t i = 4; i < close; ++i) {
            int digit = HexDigit(data[i]);
            if (digit < 0)
                return kBadData;
            type = type * 16 + static_cast<DWORD>(digit);
        }
        value->type = type;
        if (!ParseHexBytes(data, close + 2, &value->data))
            return kBadData;
        return !ansi || WidenAnsiString(value) ? nullptr : kNotAnsiText;
    }
    return kBadData;
}

// Why a line that starts like no entry is none, with a hint for the usual mistakes.
const char* NoEntryReason(const std::u16string& text) {
    if (text[0] == u'#')
        return kHashComment;
    if (text.compare(0, 2, u"-[") == 0)
        return kDashedKey;
    return kNoEntry;
}

// One logical line of the body, added to `operations`; null, or why it is no registry entry.
const char* ParseEntry(const std::u16string& text, bool ansi, std::optional<KeyPath>* current,
                       std::vector<Operation>* operations) {
    if (text.empty() || text[0] == u';')
        return nullptr;
    if (text[0] == u'[') {
        // A key line that cannot be used opens no key: the values below it are passed over
        // too, rather than land in the key before it.
        current->reset();
        if (text.back() != u']')
            return kBadKey;
        bool remove = text.size() > 2 && text[1] == u'-';
        KeyPath key;
        if (!ParseKeyPath(text.substr(remove ? 2 : 1, text.size() - (remove ? 3 : 2)), &key))
            return kBadKey;
        operations->push_back(
            Operation{remove ? Operation::DeleteKey : Operation::CreateKey, key, Value{}});
        if (!remove)
            *current = key;
        return nullptr;
    }
    if (text[0] != u'@' && text[0] != u'"')
        return NoEntryReason(text);
    Value value;
    size_t pos = 0;
    if (text[0] == u'"' && !ReadQuoted(text, &pos, &value.name))
        return kBadString;
    pos = text[0] == u'@' ? 1 : pos;
    pos = text.find_first_not_of(u" \t", pos);
    if (pos == std::u16string::npos || text[pos] != u'=')
        return kNoEquals;
    bool remove = false;
    if (const char* reason = ParseData(text.substr(pos + 1), ansi, &value, &remove))
        return reason;
    if (!*current)
        return kOutsideKey; // named only once the line is a well-formed value
    operations->push_back(
        Operation{remove ? Operation::DeleteValue : Operation::SetValue, **current, value});
    return nullptr;
}

// Text copied through a word processor gets curly quotes, which no entry has.
bool HasTypographicQuotes(const std::u16string& text) {
    return text.find_first_of(u"\u201C\u201D\u201E\u201F") != std::u16string::npos;
}

const char* ParseLine(const std::u16string& line, bool ansi, std::optional<KeyPath>* current,
                      std::vector<Operation>* operations) {
    const std::u16string text = Trim(line);
    const char* reason = ParseEntry(text, ansi, current, operations);
    return reason && reason != kOutsideKey && HasTypographicQuotes(text) ? kTypographicQuotes
                                                                         : reason;
}

// The whole content of a regular file; false for a folder, a device, a pipe, or a file that
// cannot be read (never waits on a pipe or reads a device without end).
bool ReadRegularFile(const std::string& file, std::string* bytes) {
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat info {};
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    char buffer[65536];
    while (ok) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0)
            bytes->append(buffer, static_cast<size_t>(n));
        else
            ok = n == 0;
        if (n == 0)
            break;
    }
    close(fd);
    return ok;
}

// Splits the file into lines of text: UTF-16LE after its byte-order mark, else UTF-8 (with or
// without one). Returns null, or why line *badLine cannot be read as text.
const char* DecodeLines(const std::string& bytes, std::vector<std::u16string>* lines,
                        size_t* badLine) {
    auto split = [&](const std::u16string& text) {
        size_t start = 0;
        for (;;) {
            size_t end = text.find(u'\n', start);
            std::u16string line =
                text.substr(start, end == std::u16string::npos ? end : end - start);
            if (!line.empty() && line.back() == u'\r')
                line.pop_back();
            lines->push_back(std::move(line));
            if (end == std::u16string::npos)
                return;
            start = end + 1;
        }
    };
    if (bytes.size() >= 2 && static_cast<BYTE>(bytes[0]) == 0xFF &&
        static_cast<BYTE>(bytes[1]) == 0xFE) {
        // An odd last byte is reported below, after the whole lines before it.
        split(*hostwin::DecodeUtf16Le(bytes.data() + 2, (bytes.size() - 2) & ~size_t{1}));
        if (bytes.size() % 2 != 0) {
            *badLine = lines->size();
            return "ends in half a UTF-16 character";
        }
        return nullptr;
    }
    size_t start = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    for (;;) {
        size_t end = bytes.find('\n', start);
        std::string line = bytes.substr(start, end == std::string::npos ? end : end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::optional<std::u16string> text = hostwin::Utf8ToUtf16(line);
        if (!text) {
            *badLine = lines->size() + 1;
            return "is not valid UTF-8";
        }
        lines->push_back(std::move(*text));
        if (end == std::string::npos)
            return nullptr;
        start = end + 1;
    }
}

LONG DeleteKeyPath(const KeyPath& key) {
    size_t slash = key.subKey.rfind(u'\\');
    std::u16string parentPath = slash == std::u16string::npos ? u"" : key.subKey.substr(0, slash);
    std::u16string name = slash == std::u16string::npos ? key.subKey : key.subKey.substr(slash + 1);
    if (name.empty())
        return ERROR_ACCESS_DENIED; // a root cannot be deleted
    HKEY parent = NULL;
    LONG rc = RegOpenKeyExW(key.root, parentPath.c_str(), 0, KEY_READ, &parent);
    if (rc == ERROR_SUCCESS) {
        rc = DeleteTree(parent, name);
        RegCloseKey(parent);
    }
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc; // already gone is what was asked
}

LONG Apply(const std::vector<Operation>& operations) {
    HKEY current = NULL;
    LONG rc = ERROR_SUCCESS;
    for (const Operation& operation : operations) {
        switch (operation.kind) {
        case Operation::CreateKey:
            if (current)
                RegCloseKey(current);
            current = NULL;
            rc = RegCreateKeyExW(operation.key.root, operation.key.subKey.c_str(), 0, NULL,
                                 REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, NULL, &current,
                                 NULL);
            break;
        case Operation::DeleteKey:
            if (current)
                RegCloseKey(current);
            current = NULL;
            rc = DeleteKeyPath(operation.key);
            break;
        case Operation::SetValue:
            rc = RegSetValueExW(current, operation.value.name.c_str(), 0, operation.value.type,
                                operation.value.data.data(),
                                static_cast<DWORD>(operation.value.data.size()));
            break;
        case Operation::DeleteValue:
            rc = RegDeleteValueW(current, operation.value.name.c_str());
            if (rc == ERROR_FILE_NOT_FOUND)
                rc = ERROR_SUCCESS;
            break;
        }
        if (rc != ERROR_SUCCESS)
            break;
    }
    if (current)
        RegCloseKey(current);
    return rc;
}

} // namespace

LONG ExportKey(const KeyPath& path, const std::string& file, std::string* error) {
    std::u16string text = std::u16string(kHeader) + u"\r\n\r\n";
    LONG rc = ReadTree(path, &text);
    if (rc != ERROR_SUCCESS) {
        *error = ErrorText(rc);
        return rc;
    }
    std::vector<BYTE> bytes = {0xFF, 0xFE};
    hostwin::AppendUtf16Le(text, bytes);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        *error = "ERROR: Unable to write to the file. There may be a disk or file system error.";
        return ERROR_CANTWRITE;
    }
    return ERROR_SUCCESS;
}

LONG ImportFile(const std::string& file, std::string* error, std::vector<SkippedLine>* skipped) {
    std::string bytes;
    if (!ReadRegularFile(file, &bytes)) {
        *error = "ERROR: Error opening the file. There may be a disk or file system error.";
        return ERROR_FILE_NOT_FOUND;
    }
    std::vector<std::u16string> lines;
    size_t badLine = 0;
    const char* reason = DecodeLines(bytes, &lines, &badLine);
    auto refuse = [&](size_t line, const std::string& what) {
        *error = "ERROR: Line " + std::to_string(line) + " of " + file + " " + what +
                 "; nothing was imported.";
        return ERROR_BAD_FORMAT;
    };
    if (reason)
        return refuse(badLine, reason);
    const std::u16string header = lines.empty() ? u"" : Trim(lines[0]);
    const bool ansi = header == kAnsiHeader;
    if (header != kHeader && !ansi) {
        *error = "ERROR: The specified file is not a registry file. You can import only registry "
                 "files.";
        return ERROR_BAD_FORMAT;
    }

    std::vector<Operation> operations;
    std::optional<KeyPath> current;
    for (size_t i = 1; i < lines.size(); ++i) {
        size_t first = i;
        std::u16string logical = lines[i];
        if (ContinuesOnNextLine(logical)) {
            // Each physical line is scanned once, so a long continued value joins in linear
            // time.
            logical = Trim(logical);
            logical.pop_back();
            while (i + 1 < lines.size()) {
                std::u16string next = Trim(lines[++i]);
                bool more = !next.empty() && next.back() == u'\\';
                if (more)
                    next.pop_back();
                logical += next;
                if (!more)
                    break;
            }
        }
        // As Windows' importer does, a line that is no entry is passed over; it is named here.
        if (const char* reason = ParseLine(logical, ansi, &current, &operations))
            skipped->push_back(SkippedLine{first + 1, reason});
    }
    LONG rc = Apply(operations);
    if (rc != ERROR_SUCCESS)
        *error = "ERROR: Error accessing the registry.";
    return rc;
}

} // namespace regtool
