// Message tables and FormatMessageW: the texts of a module's MESSAGETABLE resource (a PE
// image loaded as a data file, such as tollivarmsg.dll, or this executable's own resources),
// and the few system texts the host tools show.
#include "image/messagetable.h"

#include "base/core.h"
#include "image/modules.h"
#include "text/format.h"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace hostwin {

namespace {

constexpr WORD kAnsiText = 0;
constexpr WORD kUnicodeText = 1;
constexpr WORD kUtf8Text = 2;
constexpr size_t kBlockSize = 12;
constexpr size_t kEntryHeader = 4;

template <class T> T ReadAt(const BYTE* data, size_t offset) {
    T value;
    std::memcpy(&value, data + offset, sizeof value);
    return value;
}

// The system's own texts, in English, for the codes the host tools report. Each ends with the
// line break that ends a line of a message file, as on Windows.
struct SystemMessage {
    DWORD id;
    const char16_t* text;
};
const SystemMessage kSystemMessages[] = {
    {ERROR_FILE_NOT_FOUND, u"The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, u"The system cannot find the path specified.\r\n"},
    {ERROR_ACCESS_DENIED, u"Access is denied.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY,
     u"Not enough memory resources are available to process this command.\r\n"},
    {ERROR_BAD_FORMAT, u"An attempt was made to load a program with an incorrect format.\r\n"},
    {ERROR_INVALID_DATA, u"The data is invalid.\r\n"},
    {ERROR_NOT_SUPPORTED, u"The request is not supported.\r\n"},
    {ERROR_INVALID_PARAMETER, u"The parameter is incorrect.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, u"The data area passed to a system call is too small.\r\n"},
    {ERROR_MR_MID_NOT_FOUND, u"The system cannot find message text for message number 0x%1 in "
                             u"the message file for %2.\r\n"},
    {ERROR_NO_UNICODE_TRANSLATION, u"No mapping for the Unicode character exists in the target "
                                   u"multi-byte code page.\r\n"},
    {ERROR_EVENTLOG_FILE_CORRUPT, u"The event log file is corrupted.\r\n"},
    {ERROR_RESOURCE_DATA_NOT_FOUND,
     u"The specified image file did not contain a resource section.\r\n"},
    {ERROR_RESOURCE_TYPE_NOT_FOUND,
     u"The specified resource type cannot be found in the image file.\r\n"},
    {ERROR_EVT_INVALID_QUERY, u"The specified query is invalid.\r\n"},
    {ERROR_EVT_CHANNEL_NOT_FOUND, u"The specified channel could not be found.\r\n"},
};

DWORD FindSystemMessage(DWORD id, DWORD language, std::u16string* text) {
    // English only: neutral, the user's default and US English all name it.
    if (language != 0 && language != MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT) &&
        language != MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US))
        return ERROR_RESOURCE_LANG_NOT_FOUND;
    for (const SystemMessage& message : kSystemMessages)
        if (message.id == id) {
            *text = message.text;
            return ERROR_SUCCESS;
        }
    return ERROR_MR_MID_NOT_FOUND;
}

DWORD FindModuleMessage(HMODULE module, DWORD id, DWORD language, std::u16string* text) {
    if (language > 0xFFFF)
        return ERROR_RESOURCE_LANG_NOT_FOUND;
    std::vector<BYTE> table;
    if (DWORD error = CopyModuleResource(module, ResourceId::Number(11), ResourceId::Number(1),
                                         static_cast<WORD>(language), &table))
        return error;
    return FindMessageText(table.data(), table.size(), id, text);
}

// The conversions an insert may name, checked before the formatter sees them: it reads
// exactly one argument, whose type the conversion decides.
bool ValidInsertSpec(const std::u16string& spec, bool* isText) {
    size_t i = spec.find_first_not_of(u"-+ #0");
    if (i == std::u16string::npos)
        return false;
    while (i < spec.size() && spec[i] >= u'0' && spec[i] <= u'9')
        ++i;
    if (i < spec.size() && spec[i] == u'.') {
        ++i;
        while (i < spec.size() && spec[i] >= u'0' && spec[i] <= u'9')
            ++i;
    }
    if (i < spec.size() && (spec[i] == u'h' || spec[i] == u'l' || spec[i] == u'w'))
        ++i;
    if (i + 1 != spec.size())
        return false;
    const std::u16string conversions = u"sScCdiuxXo";
    if (conversions.find(spec[i]) == std::u16string::npos)
        return false;
    *isText = spec[i] == u's' || spec[i] == u'S';
    return true;
}

bool FormatArgument(std::u16string& out, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    bool done = FormatWide(out, format, args);
    va_end(args);
    return done;
}

} // namespace

DWORD FindMessageText(const BYTE* data, size_t size, DWORD id, std::u16string* text) {
    if (size < sizeof(DWORD))
        return ERROR_BAD_FORMAT;
    DWORD blocks = ReadAt<DWORD>(data, 0);
    if (blocks > (size - sizeof(DWORD)) / kBlockSize)
        return ERROR_BAD_FORMAT;
    for (DWORD b = 0; b < blocks; ++b) {
        size_t block = sizeof(DWORD) + b * kBlockSize;
        DWORD low = ReadAt<DWORD>(data, block);
        DWORD high = ReadAt<DWORD>(data, block + 4);
        if (id < low || id > high)
            continue;
        // The entries before this one, each skipped by its own length.
        size_t offset = ReadAt<DWORD>(data, block + 8);
        for (DWORD skip = id - low;; --skip) {
            if (offset > size || size - offset < kEntryHeader)
                return ERROR_BAD_FORMAT;
            WORD length = ReadAt<WORD>(data, offset);
            if (length < kEntryHeader || length > size - offset)
                return ERROR_BAD_FORMAT;
            if (skip == 0)
                break;
            offset += length;
        }
        WORD length = ReadAt<WORD>(data, offset);
        WORD flags = ReadAt<WORD>(data, offset + 2);
        const BYTE* bytes = data + offset + kEntryHeader;
        size_t count = length - kEntryHeader;
        if (flags == kUnicodeText) {
            if (count % 2 != 0)
                return ERROR_BAD_FORMAT;
            text->clear();
            for (size_t i = 0; i < count; i += 2) {
                char16_t unit = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
                if (unit == 0)
                    break;
                *text += unit;
            }
            return ERROR_SUCCESS;
        }
        if (flags != kAnsiText && flags != kUtf8Text)
            return ERROR_BAD_FORMAT;
        const void* end = std::memchr(bytes, 0, count);
        std::optional<std::u16string> decoded = Utf8ToUtf16(std::string(
            reinterpret_cast<const char*>(bytes),
            end ? static_cast<const BYTE*>(end) - bytes : static_cast<ptrdiff_t>(count)));
        if (!decoded)
            return ERROR_NO_UNICODE_TRANSLATION;
        *text = *decoded;
        return ERROR_SUCCESS;
    }
    return ERROR_MR_MID_NOT_FOUND;
}

DWORD ApplyMessageInserts(const std::u16string& text, bool ignoreInserts,
                          const DWORD_PTR* arguments, std::u16string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != u'%') {
            *out += text[i];
            continue;
        }
        if (++i == text.size())
            break; // a lone % at the end stands for nothing
        char16_t c = text[i];
        if (c == u'0')
            return ERROR_SUCCESS;
        if (c < u'1' || c > u'9') {
            *out += c == u'n'   ? u"\r\n"
                    : c == u'r' ? u"\r"
                    : c == u't' ? u"\t"
                                : std::u16string(1, c);
            continue;
        }
        size_t start = i;
        size_t number = c - u'0';
        if (i + 1 < text.size() && text[i + 1] >= u'0' && text[i + 1] <= u'9')
            number = number * 10 + (text[++i] - u'0');
        if (ignoreInserts) {
            *out += u'%' + text.substr(start, i + 1 - start);
            continue;
        }
        std::u16string spec = u"s";
        if (i + 1 < text.size() && text[i + 1] == u'!') {
            size_t close = text.find(u'!', i + 2);
            if (close == std::u16string::npos)
                return ERROR_INVALID_PARAMETER;
            spec = text.substr(i + 2, close - (i + 2));
            i = close;
        }
        bool isText = false;
        if (arguments == NULL || !ValidInsertSpec(spec, &isText))
            return ERROR_INVALID_PARAMETER;
        std::u16string format = u"%" + spec;
        for (char16_t& unit : format)
            if (unit == u'w')
                unit = u'l'; // the wide length has one spelling in the formatter
        DWORD_PTR argument = arguments[number - 1];
        bool done = isText ? FormatArgument(*out, format.c_str(), reinterpret_cast<void*>(argument))
                           : FormatArgument(*out, format.c_str(), static_cast<unsigned>(argument));
        if (!done)
            return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

} // namespace hostwin

using namespace hostwin;

extern "C" {

DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPWSTR lpBuffer, DWORD nSize, va_list* Arguments) {
    HOSTWIN_FAULT_POINT(0);
    const DWORD sources = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM;
    const DWORD known = sources | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                        FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_FROM_STRING |
                        FORMAT_MESSAGE_MAX_WIDTH_MASK;
    if ((dwFlags & ~known) != 0 || lpBuffer == NULL)
        return FailWith(ERROR_INVALID_PARAMETER, 0);
    if (dwFlags & FORMAT_MESSAGE_FROM_STRING)
        return NotSupported(__func__, "a message given as a string", 0);
    if (dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK)
        return NotSupported(__func__, "line widths", 0);
    if ((dwFlags & sources) == 0)
        return FailWith(ERROR_INVALID_PARAMETER, 0);
    const bool ignoreInserts = (dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
    if (!ignoreInserts && Arguments != NULL && !(dwFlags & FORMAT_MESSAGE_ARGUMENT_ARRAY))
        return NotSupported(__func__, "inserts from a va_list", 0);
    LogCall(__func__, "flags=0x%x id=0x%x lang=0x%x", dwFlags, dwMessageId, dwLanguageId);

    // The module first, then the system, when both are asked for.
    std::u16string text;
    DWORD error = ERROR_MR_MID_NOT_FOUND;
    if (dwFlags & FORMAT_MESSAGE_FROM_HMODULE)
        error = FindModuleMessage(static_cast<HMODULE>(const_cast<void*>(lpSource)), dwMessageId,
                                  dwLanguageId, &text);
    if (error != ERROR_SUCCESS && (dwFlags & FORMAT_MESSAGE_FROM_SYSTEM))
        error = FindSystemMessage(dwMessageId, dwLanguageId, &text);
    if (error != ERROR_SUCCESS)
        return FailWith(error, 0);
    std::u16string out;
    if (DWORD insertError = ApplyMessageInserts(
            text, ignoreInserts, reinterpret_cast<const DWORD_PTR*>(Arguments), &out))
        return FailWith(insertError, 0);

    const size_t needed = out.size() + 1;
    WCHAR* target = lpBuffer;
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        // nSize is then the least the buffer holds. From the C heap, which LocalFree returns
        // to.
        size_t units = needed > nSize ? needed : nSize;
        target = static_cast<WCHAR*>(std::malloc(units * sizeof(WCHAR)));
        if (target == NULL)
            return FailWith(ERROR_NOT_ENOUGH_MEMORY, 0);
        *reinterpret_cast<WCHAR**>(lpBuffer) = target;
    } else if (needed > nSize) {
        return FailWith(ERROR_INSUFFICIENT_BUFFER, 0);
    }
    std::memcpy(target, out.c_str(), needed * sizeof(WCHAR));
    return static_cast<DWORD>(out.size());
}

} // extern "C"
