// The wide formatter and string functions must render exactly as the Windows runtime does:
// trace lines, event-log texts and messages are compared byte for byte.
#include "machine.h"

#include <windows.h>
#include <shlwapi.h>
#include <tchar.h>

#include <limits>
#include <string>

using testing_support::MachineTest;

namespace {

class StringsTest : public MachineTest {};

std::u16string Format(const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    WCHAR buffer[256];
    int written = _vsnwprintf_s(buffer, 256, _TRUNCATE, format, args);
    va_end(args);
    return written < 0 ? u"<failed>" : std::u16string(buffer);
}

TEST_F(StringsTest, FormatsConversionsLikeTheWindowsRuntime) {
    struct Case {
        std::u16string got;
        std::u16string want;
    } cases[] = {
        {Format(u"%ls - ", u"traceCOM"), u"traceCOM - "},
        {Format(u"%hs", "narrow"), u"narrow"},
        {Format(u"%s|%c", u"wide", u'w'), u"wide|w"},
        {Format(u"%lc%hc", u'\u00e9', 'n'), u"\u00e9n"},
        {Format(u"%d %d %u", -42, 0, 4294967295u), u"-42 0 4294967295"},
        {Format(u"0x%x 0x%X", 0x80004005u, 0xabcu), u"0x80004005 0xABC"},
        {Format(u"%ld", static_cast<LONG>(-1)), u"-1"},
        {Format(u"[%5d][%-5d][%05d]", 42, 42, 42), u"[   42][42   ][00042]"},
        {Format(u"[%.3d][%8.3x]", 7, 0xa), u"[007][     00a]"},
        {Format(u"[%.2ls][%6ls][%-6hs]", u"abcdef", u"ab", "cd"), u"[ab][    ab][cd    ]"},
        {Format(u"[%*d][%.*ls]", 4, 1, 2, u"xyz"), u"[   1][xy]"},
        {Format(u"%#x %#o %+d % d", 255u, 8u, 5, 5), u"0xff 010 +5  5"},
        {Format(u"100%%"), u"100%"},
        {Format(u"%ls", static_cast<const WCHAR*>(nullptr)), u"(null)"},
        {Format(u"%I64u %llx", 1ULL << 40, 1ULL << 36), u"1099511627776 1000000000"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(hostwin::ToUtf8(c.got), hostwin::ToUtf8(c.want));
}

int Count(const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int count = _vscwprintf(format, args);
    va_end(args);
    return count;
}

TEST_F(StringsTest, CountingAndBoundedFormattingAgree) {
    EXPECT_EQ(Count(u"ThrowHResult: hr = 0x%x\n", 0x80004005u), 30);
    EXPECT_EQ(Count(u"%f", 1.0), -1) << "unsupported conversions fail instead of guessing";

    WCHAR buffer[8];
    // A count below the buffer size truncates quietly and reports -1.
    EXPECT_EQ(_snwprintf_s(buffer, 8, 3, u"%ls", u"abcdef"), -1);
    EXPECT_EQ(std::u16string(buffer), u"abc");
    // Output that fits is complete and counted.
    EXPECT_EQ(_snwprintf_s(buffer, 8, 7, u"%d", 1234567), 7);
    // A count that the buffer cannot hold empties the buffer.
    EXPECT_EQ(_snwprintf_s(buffer, 4, 7, u"%ls", u"abcdef"), -1);
    EXPECT_EQ(buffer[0], 0);
    // swprintf_s never truncates: output that does not fit is an error.
    EXPECT_EQ(swprintf_s(buffer, 4, u"%ls", u"abcdef"), -1);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(swprintf_s(buffer, 8, u"%ls%ls", u"ab", u"cd"), 4);
}

TEST_F(StringsTest, WidthsAndPrecisionsMustFitAnInt) {
    constexpr int kMostNegative = std::numeric_limits<int>::min();
    struct Case {
        std::u16string got;
        int counted;
        std::u16string want;
    } cases[] = {
        // The largest precision is accepted; a string only ever shortens by it.
        {Format(u"[%.2147483647ls]", u"ab"), Count(u"[%.2147483647ls]", u"ab"), u"[ab]"},
        {Format(u"[%.2147483648ls]", u"ab"), Count(u"[%.2147483648ls]", u"ab"), u"<failed>"},
        {Format(u"%2147483648d", 1), Count(u"%2147483648d", 1), u"<failed>"},
        // Wraps to a positive width in 32 bits.
        {Format(u"%99999999999d", 1), Count(u"%99999999999d", 1), u"<failed>"},
        {Format(u"[%*d]", -3, 7), Count(u"[%*d]", -3, 7), u"[7  ]"},
        {Format(u"[%*d]", kMostNegative, 7), Count(u"[%*d]", kMostNegative, 7), u"<failed>"},
        // A negative precision is no precision, the most negative too.
        {Format(u"[%.*ls]", kMostNegative, u"ab"), Count(u"[%.*ls]", kMostNegative, u"ab"),
         u"[ab]"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(hostwin::ToUtf8(c.got), hostwin::ToUtf8(c.want));
        EXPECT_EQ(c.counted, c.want == u"<failed>" ? -1 : static_cast<int>(c.want.size()))
            << hostwin::ToUtf8(c.want);
    }
}

TEST_F(StringsTest, SecureCopiesFollowTheirContracts) {
    WCHAR dest[4] = {u'x', u'x', u'x', u'x'};
    EXPECT_EQ(wcscpy_s(dest, 4, u"abc"), 0);
    EXPECT_EQ(std::u16string(dest), u"abc");
    EXPECT_EQ(wcscpy_s(dest, 4, u"abcd"), ERANGE);
    EXPECT_EQ(dest[0], 0);
    EXPECT_EQ(wcscpy_s(dest, 4, nullptr), EINVAL);
    EXPECT_EQ(wcscpy_s(nullptr, 4, u"a"), EINVAL);
    EXPECT_EQ(wcsncpy_s(dest, 4, u"abcdef", _TRUNCATE), STRUNCATE);
    EXPECT_EQ(std::u16string(dest), u"abc");
    EXPECT_EQ(wcsncpy_s(dest, 4, u"abcdef", 2), 0);
    EXPECT_EQ(std::u16string(dest), u"ab");
    EXPECT_EQ(wcscat_s(dest, 4, u"c"), 0);
    EXPECT_EQ(std::u16string(dest), u"abc");
    EXPECT_EQ(wcscat_s(dest, 4, u"d"), ERANGE);

    char bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(memcpy_s(bytes, 2, "abc", 3), ERANGE);
    EXPECT_EQ(bytes[0], 0) << "a failed copy clears the destination";
    EXPECT_EQ(memcpy_s(bytes, 4, "abc", 3), 0);
    EXPECT_EQ(memmove_s(bytes + 1, 3, bytes, 3), 0);
    EXPECT_EQ(std::string(bytes, 4), std::string("aabc"));
}

TEST_F(StringsTest, ComparisonsAndCase) {
    EXPECT_EQ(StrCmpW(u"pellard.exe", u"pellard.exe"), 0);
    EXPECT_NE(StrCmpW(u"Pellard.exe", u"pellard.exe"), 0) << "StrCmpW is case-sensitive";
    EXPECT_EQ(lstrcmpiW(u"RegServer", u"REGSERVER"), 0);
    EXPECT_LT(lstrcmpiW(u"a", u"B"), 0);
    EXPECT_GT(lstrcmpW(u"b", u"a"), 0);
    EXPECT_EQ(lstrlenW(nullptr), 0);
    EXPECT_EQ(lstrlenW(u"four"), 4);

    WCHAR word[] = u"service";
    EXPECT_EQ(CharUpperW(word), word);
    EXPECT_EQ(std::u16string(word), u"SERVICE");
    // A value below 0x10000 is one character, converted and returned in the pointer.
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(CharUpperW(reinterpret_cast<LPWSTR>(ULONG_PTR{u'q'}))),
              static_cast<ULONG_PTR>(u'Q'));

    WCHAR small[4];
    lstrcpynW(small, u"abcdef", 4);
    EXPECT_EQ(std::u16string(small), u"abc");
}

TEST_F(StringsTest, CharNextStepsALetterWithItsCombiningMarks) {
    struct {
        const char* name;
        std::u16string text;
        size_t step; // units from the start to CharNextW's result
    } cases[] = {
        {"terminator stays", u"", 0},
        {"plain letter", u"ab", 1},
        {"letter and ring above", u"a\u030Ab", 2},
        {"four marks", u"a\u0301\u0302\u0303\u0304b", 5},
        {"marks up to the end", u"a\u0301", 2},
        {"first and last mark of the table", u"x\u0300\uFE2F", 3},
        {"just past a mark range", u"a\u0370", 1},
        {"just before the first mark range", u"a\u02FF", 1},
        {"enclosing mark", u"1\u20DD", 2},
        {"precomposed letter", u"\u00E5a", 1},
        {"a mark alone steps with the marks after it", u"\u0301\u0302a", 2},
        {"surrogate halves one at a time", u"\U0001F600", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CharNextW(c.text.c_str()), c.text.c_str() + c.step) << c.name;
    }
}

TEST_F(StringsTest, ConvertsBetweenUtf8AndUtf16) {
    const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"; // A é € U+1F600
    std::u16string wide = hostwin::FromUtf8(text);
    EXPECT_EQ(wide, std::u16string(u"A\u00e9\u20ac\U0001F600"));
    EXPECT_EQ(hostwin::ToUtf8(wide), text);
    EXPECT_EQ(hostwin::FromUtf8("\xFF"), std::u16string(u"\uFFFD")) << "bad bytes do not vanish";

    WCHAR buffer[8];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "h\xC3\xA9", -1, buffer, 8), 3);
    EXPECT_EQ(std::u16string(buffer), u"h\u00e9");
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "toolong", -1, buffer, 2), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    // The thread's ANSI code page is the host's, UTF-8, like CP_ACP.
    for (UINT codePage : {CP_ACP, CP_THREAD_ACP}) {
        EXPECT_EQ(MultiByteToWideChar(codePage, 0, "HKCR\xC3\xA9", 6, buffer, 8), 5) << codePage;
        EXPECT_EQ(std::u16string(buffer, 5), u"HKCR\u00e9");
        EXPECT_EQ(MultiByteToWideChar(codePage, 0, "x", 0, buffer, 8), 0) << "no bytes";
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(MultiByteToWideChar(932, 0, "x", -1, buffer, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST_F(StringsTest, MapsPathsBetweenWindowsAndHostViews) {
    struct Case {
        std::u16string windows;
        std::string host;
    } cases[] = {
        {u"C:\\pellard\\bin\\pellard.exe", Root() + "/drive_c/pellard/bin/pellard.exe"},
        {u"c:\\", Root() + "/drive_c/"},
        {u"Z:\\usr\\bin\\env", "/usr/bin/env"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(hostwin::HostPath(c.windows), c.host);
    EXPECT_EQ(hostwin::WindowsPath(Root() + "/drive_c/pellard/bin/pellard.exe"),
              u"C:\\pellard\\bin\\pellard.exe");
    EXPECT_EQ(hostwin::WindowsPath("/usr/bin/env"), u"Z:\\usr\\bin\\env");
    std::u16string sibling = u"Z:" + hostwin::FromUtf8(Root() + "/drive_cx/file");
    for (char16_t& c : sibling)
        if (c == u'/')
            c = u'\\';
    EXPECT_EQ(hostwin::WindowsPath(Root() + "/drive_cx/file"), sibling)
        << "only the drive_c folder itself maps to C:";
}

} // namespace
