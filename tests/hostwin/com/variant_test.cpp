// OLE Automation's number conversion: VarUI4FromStr reads number text as the platform does.
#include "machine.h"

#include <windows.h>
#include <oleauto.h>

#include <hostwin/text.h>

namespace {

class VariantTest : public testing_support::MachineTest {};

TEST_F(VariantTest, VarUI4FromStrAcceptsNumberTextAsThePlatformDoes) {
    struct {
        const char16_t* text;
        HRESULT hr;
        ULONG value;
    } cases[] = {
        {u"0", S_OK, 0},
        {u"4294967295", S_OK, 0xFFFFFFFF},
        {u"4294967296", DISP_E_OVERFLOW, 0},
        {u"00000000000000004294967295", S_OK, 0xFFFFFFFF},
        {u" \t12 ", S_OK, 12},
        {u"+7", S_OK, 7},
        {u"-0", S_OK, 0},
        {u"-1", DISP_E_OVERFLOW, 0},
        {u"1,000", S_OK, 1000},
        {u",1", DISP_E_TYPEMISMATCH, 0},
        {u"1.5", S_OK, 2},
        {u"2.5", S_OK, 2}, // ties go to the even neighbour
        {u"2.51", S_OK, 3},
        {u"0.05", S_OK, 0},
        {u"-0.4", S_OK, 0},
        {u"4294967295.5", DISP_E_OVERFLOW, 0},
        {u"1e3", S_OK, 1000},
        {u"15E-1", S_OK, 2},
        {u"1e", DISP_E_TYPEMISMATCH, 0},
        {u"1e99999999999", DISP_E_OVERFLOW, 0},
        {u"&H10", S_OK, 16},
        {u"&hFFFFFFFF", S_OK, 0xFFFFFFFF},
        {u"&H100000000", DISP_E_OVERFLOW, 0},
        {u"&O17", S_OK, 15},
        {u"&O8", DISP_E_TYPEMISMATCH, 0},
        {u"&H", DISP_E_TYPEMISMATCH, 0},
        {u"0x10", DISP_E_TYPEMISMATCH, 0},
        {u"", DISP_E_TYPEMISMATCH, 0},
        {u".", DISP_E_TYPEMISMATCH, 0},
        {u"12abc", DISP_E_TYPEMISMATCH, 0},
        {u"1 2", DISP_E_TYPEMISMATCH, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(hostwin::ToUtf8(c.text));
        ULONG value = 0xDEADBEEF;
        EXPECT_EQ(VarUI4FromStr(c.text, 0, 0, &value), c.hr);
        EXPECT_EQ(value, c.hr == S_OK ? c.value : 0xDEADBEEF) << "untouched on failure";
    }
    ULONG value = 0;
    EXPECT_EQ(VarUI4FromStr(NULL, 0, 0, &value), E_INVALIDARG);
    EXPECT_EQ(VarUI4FromStr(u"1", 0, 0, NULL), E_INVALIDARG);
}

} // namespace
