// OLE Automation functions: BSTRs, and loading and registering type libraries.
#pragma once

#include "oaidl.h"

extern "C" {

BSTR WINAPI SysAllocString(const OLECHAR* psz);
void WINAPI SysFreeString(BSTR bstrString);
UINT WINAPI SysStringLen(BSTR pbstr);

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
