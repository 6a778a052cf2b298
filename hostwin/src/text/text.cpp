// Case folding, the UTF-16LE byte codec and UTF-8 conversion (through utfcpp).
#include <hostwin/text.h>

#include <utf8.h>

#include <array>
#include <iterator>

namespace hostwin {

namespace {

struct UpperPair {
    char16_t character;
    char16_t upper;
};
constexpr UpperPair kUpperPairs[] = {
#include "text/casefold_table.inc"
};

// The whole BMP in one table, built once: folding is on the path of every registry call.
const std::array<char16_t, 0x10000>& UpperTable() {
    static const std::array<char16_t, 0x10000> table = [] {
        std::array<char16_t, 0x10000> upper{};
        for (size_t c = 0; c < upper.size(); ++c)
            upper[c] = static_cast<char16_t>(c);
        for (const UpperPair& pair : kUpperPairs)
            upper[pair.character] = pair.upper;
        return upper;
    }();
    return table;
}

bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

} // namespace

char16_t FoldChar(char16_t c) {
    return UpperTable()[c];
}

std::u16string FoldName(std::u16string name) {
    const auto& table = UpperTable();
    for (char16_t& c : name)
        c = table[c];
    return name;
}

int CompareFolded(const char16_t* a, const char16_t* b) {
    const auto& table = UpperTable();
    a = a ? a : u"";
    b = b ? b : u"";
    for (;; ++a, ++b) {
        char16_t ca = table[*a], cb = table[*b];
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (ca == 0)
            return 0;
    }
}

std::vector<BYTE> EncodeUtf16Le(const std::u16string& text) {
    std::vector<BYTE> bytes;
    AppendUtf16Le(text, bytes);
    return bytes;
}

void AppendUtf16Le(const std::u16string& text, std::vector<BYTE>& bytes) {
    bytes.reserve(bytes.size() + text.size() * 2);
    for (char16_t unit : text) {
        bytes.push_back(static_cast<BYTE>(unit & 0xFF));
        bytes.push_back(static_cast<BYTE>(unit >> 8));
    }
}

std::optional<std::u16string> DecodeUtf16Le(const void* bytes, size_t size) {
    if (size % 2 != 0)
        return std::nullopt;
    const auto* data = static_cast<const BYTE*>(bytes);
    std::u16string text;
    text.reserve(size / 2);
    for (size_t i = 0; i < size; i += 2)
        text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    return text;
}

std::string ToUtf8(const std::u16string& text) {
    // utfcpp refuses lone surrogates; they have no UTF-8 form, so they are shown as U+FFFD.
    std::u16string paired(text);
    for (size_t i = 0; i < paired.size(); ++i) {
        if (IsHighSurrogate(paired[i]) && i + 1 < paired.size() && IsLowSurrogate(paired[i + 1]))
            ++i;
        else if (IsHighSurrogate(paired[i]) || IsLowSurrogate(paired[i]))
            paired[i] = u'\uFFFD';
    }
    std::string out;
    utf8::utf16to8(paired.begin(), paired.end(), std::back_inserter(out));
    return out;
}

std::string ToUtf8(const WCHAR* text) {
    return ToUtf8(text ? std::u16string(text) : std::u16string());
}

std::optional<std::u16string> Utf8ToUtf16(const std::string& text) {
    if (!utf8::is_valid(text.begin(), text.end()))
        return std::nullopt;
    std::u16string out;
    utf8::utf8to16(text.begin(), text.end(), std::back_inserter(out));
    return out;
}

std::u16string FromUtf8(const std::string& text) {
    std::string valid;
    utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(valid), 0xFFFD);
    std::u16string out;
    utf8::utf8to16(valid.begin(), valid.end(), std::back_inserter(out));
    return out;
}

} // namespace hostwin
