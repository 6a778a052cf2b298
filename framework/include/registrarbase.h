// The registrar's interface as the module sees it: somewhere to define script replacements.
#pragma once

#include <windows.h>
#include <objbase.h>

struct IRegistrarBase : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE DefineReplacement(LPCOLESTR key, LPCOLESTR item) = 0;
    virtual HRESULT STDMETHODCALLTYPE ClearAllReplacements() = 0;
    virtual ~IRegistrarBase() = default;
};

// One replacement a caller hands to a script application; arrays of them end with a null name.
struct ReplacementEntry {
    LPCOLESTR szName;
    LPCOLESTR szData; // never null
};
