// The string functions: secure copies, comparisons and case, and conversions.
#include "machine.h"

#include <windows.h>
#include <shlwapi.h>
#include <tchar.h>

#include <string>

using testing_support::MachineTest;

namespace {

class StringsTest : public MachineTest {};

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

} // namespace
