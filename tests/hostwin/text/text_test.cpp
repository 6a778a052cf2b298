// Case folding, the UTF-16LE codec and strict UTF-8: the rules every name comparison and every
// byte form of text on the host goes through.
#include "machine.h"
#include "registry_values.h"

#include <windows.h>

using hostwin::UniqueKey;
using testing_support::MachineTest;

namespace {

class TextTest : public MachineTest {};

WCHAR UpperOf(WCHAR c) {
    return static_cast<WCHAR>(
        reinterpret_cast<ULONG_PTR>(CharUpperW(reinterpret_cast<LPWSTR>(ULONG_PTR{c}))));
}

TEST_F(TextTest, KnownUppercasePairsAndCharactersWithoutOne) {
    struct Case {
        const char* what;
        char16_t character;
        char16_t upper;
    } cases[] = {
        {"ASCII first letter", u'a', u'A'},
        {"ASCII last letter", u'z', u'Z'},
        {"ASCII just past z", u'{', u'{'},
        {"Latin-1 first lower", 0x00E0, 0x00C0},
        {"Latin-1 division sign has no case", 0x00F7, 0x00F7},
        {"y with diaeresis leaves Latin-1", 0x00FF, 0x0178},
        {"micro sign", 0x00B5, 0x039C},
        {"sharp s has no single uppercase", 0x00DF, 0x00DF},
        {"dotless i stays apart from ASCII", 0x0131, 0x0131},
        {"long s stays apart from ASCII", 0x017F, 0x017F},
        {"Latin Extended-A first pair", 0x0101, 0x0100},
        {"Latin Extended-A odd-upper pair", 0x013A, 0x0139},
        {"Latin Extended-A last pair", 0x017E, 0x017D},
        {"final sigma", 0x03C2, 0x03A3},
        {"Greek omega", 0x03C9, 0x03A9},
        {"Cyrillic a", 0x0430, 0x0410},
        {"Cyrillic io", 0x0451, 0x0401},
        {"Armenian", 0x0561, 0x0531},
        {"Georgian Mkhedruli", 0x10D0, 0x1C90},
        {"fullwidth a", 0xFF41, 0xFF21},
        {"an uppercase letter stays", 0x0416, 0x0416},
        {"a surrogate unit stays", 0xD800, 0xD800},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(hostwin::FoldChar(c.character), c.upper) << c.what;
        EXPECT_EQ(UpperOf(c.character), c.upper) << c.what;
    }
}

// lstrcmpiW, CharUpperW and the registry's name matching must be one rule over every BMP
// character: value names made of every character, written in one case and read in the other.
TEST_F(TextTest, LstrcmpiCharUpperAndRegistryAgreeOnEveryBmpCharacter) {
    UniqueKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Fold", 0, NULL, 0, KEY_ALL_ACCESS,
                              NULL, key.put(), NULL),
              ERROR_SUCCESS);
    const size_t kChunk = 16000; // below the longest value name
    size_t mismatches = 0;
    for (char32_t first = 1; first <= 0xFFFF; first += kChunk) {
        std::u16string name, upper;
        for (char32_t c = first; c < first + kChunk && c <= 0xFFFF; ++c) {
            name += static_cast<char16_t>(c);
            upper += UpperOf(static_cast<char16_t>(c));
            WCHAR one[2] = {static_cast<WCHAR>(c), 0}, other[2] = {UpperOf(one[0]), 0};
            mismatches += lstrcmpiW(one, other) != 0;
        }
        ASSERT_EQ(RegSetValueExW(key.get(), name.c_str(), 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>("\1\0\0\0"), 4),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegQueryValueExW(key.get(), upper.c_str(), NULL, NULL, NULL, NULL), ERROR_SUCCESS)
            << "chunk from U+" << std::hex << static_cast<unsigned>(first);
    }
    EXPECT_EQ(mismatches, 0u);
}

TEST_F(TextTest, Utf16LeCodecRoundTripsAndRefusesHalfACharacter) {
    const std::u16string text = u"A\u0416\uFFFF";
    const std::vector<BYTE> bytes = hostwin::EncodeUtf16Le(text);
    EXPECT_EQ(bytes, (std::vector<BYTE>{0x41, 0x00, 0x16, 0x04, 0xFF, 0xFF}));
    EXPECT_EQ(hostwin::DecodeUtf16Le(bytes.data(), bytes.size()), text);
    EXPECT_EQ(hostwin::DecodeUtf16Le(bytes.data(), 0), std::u16string());
    EXPECT_EQ(hostwin::DecodeUtf16Le(bytes.data(), 1), std::nullopt);
    EXPECT_EQ(hostwin::DecodeUtf16Le(bytes.data(), 5), std::nullopt);
}

TEST_F(TextTest, StrictUtf8RefusesEveryKindOfInvalidInput) {
    const struct {
        const char* what;
        std::string bytes;
    } invalid[] = {
        {"lone continuation byte", "a\x80"},     {"overlong NUL", "\xC0\x80"},
        {"encoded surrogate", "\xED\xA0\x80"},   {"truncated sequence at the end", "\xE2\x82"},
        {"beyond U+10FFFF", "\xF5\x80\x80\x80"}, {"byte never used", "\xFF"},
    };
    for (const auto& c : invalid) {
        EXPECT_EQ(hostwin::Utf8ToUtf16(c.bytes), std::nullopt) << c.what;
        EXPECT_NE(hostwin::FromUtf8(c.bytes).find(u'\uFFFD'), std::u16string::npos) << c.what;
        for (UINT codePage : {CP_ACP, CP_THREAD_ACP}) {
            WCHAR buffer[8];
            SetLastError(0);
            EXPECT_EQ(MultiByteToWideChar(codePage, 0, c.bytes.c_str(),
                                          static_cast<int>(c.bytes.size()), buffer, 8),
                      0)
                << c.what;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION)) << c.what;
        }
        WCHAR buffer[8];
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.bytes.c_str(),
                                      static_cast<int>(c.bytes.size()), buffer, 8),
                  0)
            << c.what;
        EXPECT_GT(MultiByteToWideChar(CP_UTF8, 0, c.bytes.c_str(), static_cast<int>(c.bytes.size()),
                                      buffer, 8),
                  0)
            << "explicit UTF-8 without the flag replaces, as Windows does: " << c.what;
    }
    EXPECT_EQ(hostwin::Utf8ToUtf16("\xF0\x9F\x98\x80"), std::u16string(u"\U0001F600"));
    EXPECT_EQ(hostwin::ToUtf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
}

} // namespace
