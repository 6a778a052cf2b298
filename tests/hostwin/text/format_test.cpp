// The wide formatter must render exactly as the Windows runtime does: trace lines, event-log
// texts and messages are compared byte for byte.
#include "machine.h"

#include <windows.h>
#include <tchar.h>

#include <limits>
#include <string>

namespace {

class FormatTest : public testing_support::MachineTest {};

std::u16string Format(const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    WCHAR buffer[256];
    int written = _vsnwprintf_s(buffer, 256, _TRUNCATE, format, args);
    va_end(args);
    return written < 0 ? u"<failed>" : std::u16string(buffer);
}

TEST_F(FormatTest, FormatsConversionsLikeTheWindowsRuntime) {
    struct Case {
        std::u16string got;
        std::u16string want;
    } cases[] = {
        {Format(u"%ls - ", u"traceCOM"), u"traceCOM - "},
        {Format(u"%hs", "narrow"), u"narrow"},
        // An explicit width wins over the conversion's own: l and w wide, h narrow.
        {Format(u"%lS|%wS|%hS|%S", u"wide", u"wide", "narrow", "narrow"),
         u"wide|wide|narrow|narrow"},
        {Format(u"%s|%c", u"wide", u'w'), u"wide|w"},
        {Format(u"%lc%hc", u'\u00e9', 'n'), u"\u00e9n"},
        {Format(u"%d %d %u", -42, 0, 4294967295u), u"-42 0 4294967295"},
        {Format(u"0x%x 0x%X", 0x80004005u, 0xabcu), u"0x80004005 0xABC"},
        {Format(u"%ld", static_cast<LONG>(-1)), u"-1"},
        {Format(u"[%5d][%-5d][%05d]", 42, 42, 42), u"[   42][42   ][00042]"},
        {Format(u"[%.3d][%8.3x]", 7, 0xa), u"[007][     00a]"},
        // A precision turns the 0 flag off.
        {Format(u"[%05.3d][%-05.3d][%05d]", 7, 7, -7), u"[  007][007  ][-0007]"},
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

TEST_F(FormatTest, CountingAndBoundedFormattingAgree) {
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

    // _TRUNCATE: output one shorter than the buffer fits; output of exactly its length is cut
    // to leave room for the terminator and never written past the end.
    struct Case {
        const char16_t* text;
        int result;
        std::u16string kept;
    } cases[] = {{u"abc", 3, u"abc"}, {u"abcd", -1, u"abc"}, {u"abcdefgh", -1, u"abc"}};
    for (const Case& c : cases) {
        WCHAR guarded[5] = {u'x', u'x', u'x', u'x', u'G'};
        EXPECT_EQ(_snwprintf_s(guarded, 4, _TRUNCATE, u"%ls", c.text), c.result)
            << hostwin::ToUtf8(c.text);
        EXPECT_EQ(std::u16string(guarded), c.kept);
        EXPECT_EQ(guarded[4], u'G') << "the guard behind the buffer is untouched";
    }
}

TEST_F(FormatTest, WidthsAndPrecisionsMustFitAnInt) {
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

} // namespace
