// OLE Automation types: BSTR, type-library attributes and the ITypeLib interface, as far as
// the system reads a type library.
#pragma once

#include "objbase.h"

// A length-prefixed, NUL-terminated UTF-16 string from SysAllocString.
typedef OLECHAR* BSTR;

// With a fixed underlying type, as a library read from a file may hold any other value.
enum SYSKIND : int { SYS_WIN16 = 0, SYS_WIN32 = 1, SYS_MAC = 2, SYS_WIN64 = 3 };

struct TLIBATTR {
    GUID guid;
    LCID lcid;
    SYSKIND syskind;
    WORD wMajorVerNum;
    WORD wMinorVerNum;
    WORD wLibFlags;
};
typedef TLIBATTR* LPTLIBATTR;

extern "C" const IID IID_ITypeLib;

// The library-level part of a loaded type library. The host reads no type descriptions, so
// the members that hand out type information are not declared.
struct ITypeLib : public IUnknown {
    virtual UINT STDMETHODCALLTYPE GetTypeInfoCount() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** ppTLibAttr) = 0;
    // index -1 documents the library itself; each out place may be null.
    virtual HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* pBstrName,
                                                       BSTR* pBstrDocString, DWORD* pdwHelpContext,
                                                       BSTR* pBstrHelpFile) = 0;
    virtual void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR* pTLibAttr) = 0;
};
typedef ITypeLib* LPTYPELIB;
