// OLE Automation subset: BSTRs, number conversion from text, and loading and registering type
// libraries.
#pragma once

#include "oaidl.h"
#include "windef.h"
#include "winerror.h"

typedef unsigned short VARTYPE;
#define VT_EMPTY 0
#define VT_BSTR 8
#define VT_UI1 17
#define VT_UI4 19
#define VT_BYREF 0x4000

extern "C" {

BSTR WINAPI SysAllocString(const OLECHAR* psz);
void WINAPI SysFreeString(BSTR bstrString);
UINT WINAPI SysStringLen(BSTR pbstr);

// Decimal text with optional blanks around it, a sign, thousands separators, a fraction
// (rounded half to even) and an exponent, or "&H" hex / "&O" octal. DISP_E_TYPEMISMATCH for
// text that is no number, DISP_E_OVERFLOW for one outside 0 to 0xFFFFFFFF.
HRESULT WINAPI VarUI4FromStr(LPCOLESTR strIn, LCID lcid, ULONG dwFlags, ULONG* pulOut);

// Reads a type library from a .tlb file, or from the "TYPELIB" resource 1 of a PE image or a
// host executable. Works on threads that have not initialised COM.
HRESULT WINAPI LoadTypeLib(const OLECHAR* szFile, ITypeLib** pptlib);

// Machine-wide: keys under HKEY_CLASSES_ROOT\TypeLib. Per-user: HKCU\Software\Classes\TypeLib.
HRESULT WINAPI RegisterTypeLib(ITypeLib* ptlib, OLECHAR* szFullPath, OLECHAR* szHelpDir);
HRESULT WINAPI UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                                 SYSKIND syskind);
HRESULT WINAPI RegisterTypeLibForUser(ITypeLib* ptlib, OLECHAR* szFullPath, OLECHAR* szHelpDir);
HRESULT WINAPI UnRegisterTypeLibForUser(REFGUID libID, WORD wMajorVerNum, WORD wMinorVerNum,
                                        LCID lcid, SYSKIND syskind);

} // extern "C"
