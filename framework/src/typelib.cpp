#include "typelib.h"

#include "comholders.h"
#include "errors.h"
#include "core.h"

#include <tchar.h>

namespace {

// The module path's buffer leaves room to put ".tlb" after a path of the maximum length.
const DWORD kModulePathCapacity = MAX_PATH + 10;

typedef HRESULT(WINAPI* PFNREGISTERTYPELIB)(ITypeLib*, OLECHAR*, OLECHAR*);
typedef HRESULT(WINAPI* PFNUNREGISTERTYPELIB)(REFGUID, WORD, WORD, LCID, SYSKIND);

// The per-user form of a type-library function when the per-user flag is set and the system
// has it; otherwise null, and the caller uses the machine-wide one.
template <class Function> Function FindPerUserFunction(bool bPerUser, LPCSTR pszName) {
    if (!bPerUser)
        return NULL;
    HMODULE hOleAut = GetModuleHandleW(TEXT("OLEAUT32.DLL"));
    if (hOleAut == NULL)
        return NULL;
    // Through the generic function pointer type, which converts to any other without warning.
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(hOleAut, pszName)));
}

} // namespace

HRESULT LoadServerTypeLib(HINSTANCE hInstTypeLib, BSTR* pbstrPath, ITypeLib** ppTypeLib) {
    if (pbstrPath == NULL || ppTypeLib == NULL)
        return E_POINTER;
    *pbstrPath = NULL;
    *ppTypeLib = NULL;

    WCHAR szModule[kModulePathCapacity];
    DWORD dwLen = GetModuleFileNameW(hInstTypeLib, szModule, MAX_PATH);
    if (dwLen == 0)
        return HResultFromLastError();
    if (dwLen == MAX_PATH)
        return HResultFromWin32(ERROR_INSUFFICIENT_BUFFER);
    const size_t nExtension = static_cast<size_t>(FindFileExtension(szModule) - szModule);

    CComPointer<ITypeLib> typeLib;
    HRESULT hr = LoadTypeLib(szModule, typeLib.Out());
    if (FAILED(hr)) {
        if (nExtension + 5 > MAX_PATH)
            return E_FAIL;
        CheckCrtError(
            wcscpy_s(szModule + nExtension, kModulePathCapacity - nExtension, TEXT(".tlb")));
        hr = LoadTypeLib(szModule, typeLib.Out());
    }
    if (SUCCEEDED(hr)) {
        *pbstrPath = SysAllocString(szModule);
        if (*pbstrPath == NULL)
            return E_OUTOFMEMORY; // the holder releases the library
        *ppTypeLib = typeLib.Detach();
    }
    return hr;
}

HRESULT RegisterServerTypeLib(HINSTANCE hInstTypeLib) {
    CBstrHolder path;
    CComPointer<ITypeLib> typeLib;
    HRESULT hr = LoadServerTypeLib(hInstTypeLib, path.Out(), typeLib.Out());
    if (FAILED(hr))
        return hr;

    WCHAR szHelpDir[MAX_PATH];
    LPWSTR pszHelpDir = NULL;
    CBstrHolder helpFile;
    // A library without documentation is registered without a help directory.
    if (SUCCEEDED(typeLib->GetDocumentation(-1, NULL, NULL, NULL, helpFile.Out())) &&
        helpFile.Get() != NULL) {
        CheckCrtError(wcscpy_s(szHelpDir, MAX_PATH, helpFile.Get()));
        szHelpDir[MAX_PATH - 1] = 0;
        szHelpDir[DirectoryPartLength(szHelpDir)] = 0;
        pszHelpDir = szHelpDir;
    }

    bool bPerUser = false;
    hr = GetPerUserRegistration(&bPerUser);
    if (FAILED(hr))
        return hr;
    PFNREGISTERTYPELIB pfnRegister =
        FindPerUserFunction<PFNREGISTERTYPELIB>(bPerUser, "RegisterTypeLibForUser");
    if (pfnRegister == NULL)
        pfnRegister = &RegisterTypeLib;
    return pfnRegister(typeLib.Get(), path.Get(), pszHelpDir);
}

HRESULT UnregisterServerTypeLib(HINSTANCE hInstTypeLib) {
    CBstrHolder path;
    CComPointer<ITypeLib> typeLib;
    // The library comes from the module itself, so the values removed are the ones it holds.
    HRESULT hr = LoadServerTypeLib(hInstTypeLib, path.Out(), typeLib.Out());
    if (FAILED(hr))
        return hr;
    TLIBATTR* pAttr = NULL;
    hr = typeLib->GetLibAttr(&pAttr);
    if (FAILED(hr))
        return hr;

    bool bPerUser = false;
    hr = GetPerUserRegistration(&bPerUser);
    if (SUCCEEDED(hr)) {
        PFNUNREGISTERTYPELIB pfnUnregister =
            FindPerUserFunction<PFNUNREGISTERTYPELIB>(bPerUser, "UnRegisterTypeLibForUser");
        if (pfnUnregister == NULL)
            pfnUnregister = &UnRegisterTypeLib;
        hr = pfnUnregister(pAttr->guid, pAttr->wMajorVerNum, pAttr->wMinorVerNum, pAttr->lcid,
                           pAttr->syskind);
    }
    typeLib->ReleaseTLibAttr(pAttr);
    return hr;
}

LPCWSTR FindFileExtension(LPCWSTR pszPath) {
    LPCWSTR pszExtension = NULL;
    LPCWSTR p = pszPath;
    for (; *p != 0; p = CharNextW(p)) {
        if (*p == TEXT('.'))
            pszExtension = p;
        else if (*p == TEXT('\\'))
            pszExtension = NULL;
    }
    return pszExtension != NULL ? pszExtension : p;
}

UINT DirectoryPartLength(LPCWSTR pszPath) {
    if (pszPath == NULL)
        return 0;
    LPCWSTR pszAfterSeparator = pszPath;
    for (LPCWSTR p = pszPath; *p != 0; p = CharNextW(p)) {
        if (*p == TEXT('\\') || *p == TEXT('/') || *p == TEXT(':'))
            pszAfterSeparator = p + 1;
    }
    return static_cast<UINT>(pszAfterSeparator - pszPath);
}
