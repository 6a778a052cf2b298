// The one home of the host's text rules, for hostwin, the tools and the tests: case folding of
// names, the UTF-16LE byte form of registry and .reg data, and UTF-8 for the host side.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace hostwin {

// The platform's simple uppercase mapping over the whole BMP: what every case-insensitive
// comparison of names uses (registry names, lstrcmpiW, CharUpperW, resources, image names).
// Characters without a single-character uppercase (ß) stay as they are.
char16_t FoldChar(char16_t c);
std::u16string FoldName(std::u16string name);
// Negative, 0 or positive as the folded texts compare unit by unit.
int CompareFolded(const char16_t* a, const char16_t* b);
inline bool SameNameIgnoringCase(const std::u16string& a, const std::u16string& b) {
    return CompareFolded(a.c_str(), b.c_str()) == 0 && a.size() == b.size();
}

// UTF-16LE bytes, as registry values and .reg files hold text. No terminator is added.
std::vector<BYTE> EncodeUtf16Le(const std::u16string& text);
void AppendUtf16Le(const std::u16string& text, std::vector<BYTE>& bytes);
// Nothing for an odd byte count: half a character is never guessed at. A caller that means to
// ignore a trailing odd byte passes the even part itself.
std::optional<std::u16string> DecodeUtf16Le(const void* bytes, size_t size);

// UTF-8 <-> UTF-16. ToUtf8 writes a lone surrogate as U+FFFD (UTF-8 has no form for it).
std::string ToUtf8(const WCHAR* text);
std::string ToUtf8(const std::u16string& text);
// Strict: nothing for bytes that are not UTF-8 (the host's ANSI code page); never replaced.
std::optional<std::u16string> Utf8ToUtf16(const std::string& text);
// For names the host hands over as they are (file names, /proc): invalid bytes become U+FFFD.
std::u16string FromUtf8(const std::string& text);

} // namespace hostwin
