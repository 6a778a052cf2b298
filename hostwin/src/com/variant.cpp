// OLE Automation's number conversions: VarUI4FromStr reads number text as the platform does.
#include "base/core.h"

#include <oleauto.h>

#include <algorithm>
#include <string>

namespace {

bool IsNumberBlank(WCHAR c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f';
}

// "&H" hex or "&O" octal digits, the whole 32 bits usable.
HRESULT ParseRadixNumber(const WCHAR* p, const WCHAR* end, unsigned radix, ULONG* value) {
    if (p == end)
        return DISP_E_TYPEMISMATCH;
    unsigned long long result = 0;
    for (; p < end; ++p) {
        unsigned digit = *p >= u'0' && *p <= u'9'   ? *p - u'0'
                         : *p >= u'a' && *p <= u'f' ? *p - u'a' + 10
                         : *p >= u'A' && *p <= u'F' ? *p - u'A' + 10
                                                    : 16;
        if (digit >= radix)
            return DISP_E_TYPEMISMATCH;
        result = result * radix + digit;
        if (result > 0xFFFFFFFFull)
            return DISP_E_OVERFLOW;
    }
    *value = static_cast<ULONG>(result);
    return S_OK;
}

// Sign, digits with thousands separators, fraction and exponent; the value rounded half to
// even, as the platform's number conversions round.
HRESULT ParseDecimalNumber(const WCHAR* p, const WCHAR* end, ULONG* value) {
    bool negative = false;
    if (p < end && (*p == u'+' || *p == u'-'))
        negative = *p++ == u'-';
    std::string digits;    // significant digits, leading zeros dropped
    long long pointAt = 0; // where the decimal point stands in `digits`
    bool anyDigit = false;
    for (; p < end && ((*p >= u'0' && *p <= u'9') || (*p == u',' && anyDigit)); ++p) {
        if (*p == u',')
            continue;
        anyDigit = true;
        if (!digits.empty() || *p != u'0') {
            digits += static_cast<char>(*p);
            ++pointAt;
        }
    }
    if (p < end && *p == u'.') {
        for (++p; p < end && *p >= u'0' && *p <= u'9'; ++p) {
            anyDigit = true;
            if (!digits.empty() || *p != u'0')
                digits += static_cast<char>(*p);
            else
                --pointAt;
        }
    }
    if (!anyDigit)
        return DISP_E_TYPEMISMATCH;
    if (p < end && (*p == u'e' || *p == u'E')) {
        ++p;
        bool negativeExponent = false;
        if (p < end && (*p == u'+' || *p == u'-'))
            negativeExponent = *p++ == u'-';
        if (p == end || *p < u'0' || *p > u'9')
            return DISP_E_TYPEMISMATCH;
        long long exponent = 0;
        for (; p < end && *p >= u'0' && *p <= u'9'; ++p)
            exponent = std::min(exponent * 10 + (*p - u'0'), 100000LL);
        pointAt += negativeExponent ? -exponent : exponent;
    }
    if (p != end)
        return DISP_E_TYPEMISMATCH;
    if (digits.empty()) {
        *value = 0;
        return S_OK;
    }
    if (pointAt > 10)
        return DISP_E_OVERFLOW;
    const long long count = static_cast<long long>(digits.size());
    unsigned long long whole = 0;
    for (long long i = 0; i < pointAt; ++i)
        whole = whole * 10 + static_cast<unsigned>(i < count ? digits[i] - '0' : 0);
    // Round on the first dropped digit, ties to the even neighbour; below a tenth is 0.
    int dropped = 0;
    bool rest = false;
    if (pointAt >= 0 && pointAt < count) {
        dropped = digits[pointAt] - '0';
        for (long long i = pointAt + 1; i < count; ++i)
            rest = rest || digits[i] != '0';
    }
    if (dropped > 5 || (dropped == 5 && (rest || whole % 2 == 1)))
        ++whole;
    if (whole > 0xFFFFFFFFull || (negative && whole != 0))
        return DISP_E_OVERFLOW;
    *value = static_cast<ULONG>(whole);
    return S_OK;
}

} // namespace

using namespace hostwin;

extern "C" {

HRESULT WINAPI VarUI4FromStr(LPCOLESTR strIn, LCID lcid, ULONG dwFlags, ULONG* pulOut) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(HRESULT);
    if (strIn == NULL || pulOut == NULL)
        return E_INVALIDARG;
    if (dwFlags != 0)
        return NotSupported(__func__, "flags", E_INVALIDARG);
    const WCHAR* begin = strIn;
    const WCHAR* end = strIn + lstrlenW(strIn);
    while (begin < end && IsNumberBlank(*begin))
        ++begin;
    while (end > begin && IsNumberBlank(end[-1]))
        --end;
    if (end - begin >= 2 && begin[0] == u'&' && (begin[1] == u'H' || begin[1] == u'h'))
        return ParseRadixNumber(begin + 2, end, 16, pulOut);
    if (end - begin >= 2 && begin[0] == u'&' && (begin[1] == u'O' || begin[1] == u'o'))
        return ParseRadixNumber(begin + 2, end, 8, pulOut);
    return ParseDecimalNumber(begin, end, pulOut);
}

} // extern "C"
