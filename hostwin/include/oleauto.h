// OLE Automation subset: variant type codes and number conversion from text.
#pragma once

#include "windef.h"
#include "winerror.h"

typedef unsigned short VARTYPE;
#define VT_EMPTY 0
#define VT_BSTR 8
#define VT_UI1 17
#define VT_UI4 19
#define VT_BYREF 0x4000

extern "C" {

// Decimal text with optional blanks around it, a sign, thousands separators, a fraction
// (rounded half to even) and an exponent, or "&H" hex / "&O" octal. DISP_E_TYPEMISMATCH for
// text that is no number, DISP_E_OVERFLOW for one outside 0 to 0xFFFFFFFF.
HRESULT WINAPI VarUI4FromStr(LPCOLESTR strIn, LCID lcid, ULONG dwFlags, ULONG* pulOut);

} // extern "C"
