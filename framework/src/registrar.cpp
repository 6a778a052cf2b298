// The registrar object: its replacement map and the loading of script resources.
#include "registrar.h"

#include "errors.h"
#include "tempbuffer.h"
#include "trace.h"

#include <tchar.h>

#include <cstdlib>
#include <cstring>

namespace {

LPOLESTR CopyString(LPCOLESTR text) {
    size_t bytes = (static_cast<size_t>(lstrlenW(text)) + 1) * sizeof(OLECHAR);
    auto* copy = static_cast<LPOLESTR>(std::malloc(bytes));
    if (copy != NULL)
        std::memcpy(copy, text, bytes);
    return copy;
}

// Grows `array` to `count` pointers; on failure the array is left as it was.
bool GrowArray(LPOLESTR** array, int count) {
    void* grown = std::realloc(*array, static_cast<size_t>(count) * sizeof(LPOLESTR));
    if (grown == NULL)
        return false;
    *array = static_cast<LPOLESTR*>(grown);
    return true;
}

// Script text of up to this many units is converted on the stack.
constexpr DWORD kInlineScriptUnits = 512;

} // namespace

BOOL ReplacementMap::AddEntry(LPCOLESTR name, LPCOLESTR value) {
    if (name == NULL || value == NULL)
        return FALSE;
    LPOLESTR nameCopy = CopyString(name);
    LPOLESTR valueCopy = CopyString(value);
    if (nameCopy == NULL || valueCopy == NULL || !GrowArray(&m_names, m_nSize + 1) ||
        !GrowArray(&m_values, m_nSize + 1)) {
        std::free(nameCopy);
        std::free(valueCopy);
        return FALSE;
    }
    m_names[m_nSize] = nameCopy;
    m_values[m_nSize] = valueCopy;
    ++m_nSize;
    return TRUE;
}

LPCOLESTR ReplacementMap::FindValue(LPCOLESTR name) const {
    for (int i = 0; i < m_nSize; ++i)
        if (lstrcmpiW(m_names[i], name) == 0)
            return m_values[i];
    return NULL;
}

void ReplacementMap::ClearEntries() {
    for (int i = 0; i < m_nSize; ++i) {
        std::free(m_names[i]);
        std::free(m_values[i]);
    }
    std::free(m_names);
    std::free(m_values);
    m_names = NULL;
    m_values = NULL;
    m_nSize = 0;
}

CRegObject::~CRegObject() {
    // A lock that never initialised cannot be entered; nobody else can reach the map then.
    if (m_replacementsLock.m_bInitialized)
        ClearAllReplacements();
    else
        m_replacements.ClearEntries();
    m_replacementsLock.Delete();
}

HRESULT CRegObject::Initialize() {
    return m_replacementsLock.Initialize();
}

HRESULT CRegObject::DefineReplacement(LPCOLESTR key, LPCOLESTR item) {
    if (key == NULL || item == NULL)
        return E_INVALIDARG;
    m_replacementsLock.Enter();
    BOOL added = m_replacements.AddEntry(key, item);
    m_replacementsLock.Leave();
    return added ? S_OK : E_OUTOFMEMORY;
}

HRESULT CRegObject::ClearAllReplacements() {
    m_replacementsLock.Enter();
    m_replacements.ClearEntries();
    m_replacementsLock.Leave();
    return S_OK;
}

LPCOLESTR CRegObject::LookupReplacement(LPCOLESTR name) {
    m_replacementsLock.Enter();
    LPCOLESTR value = m_replacements.FindValue(name);
    if (value == NULL)
        FRAMEWORK_TRACE(traceRegistrar, 0, TEXT("Map Entry not found\n"));
    m_replacementsLock.Leave();
    return value;
}

HRESULT CRegObject::RegisterScriptResource(LPCOLESTR file, UINT id, LPCOLESTR type) {
    return ApplyScriptResource(file, MAKEINTRESOURCEW(id), type, TRUE);
}

HRESULT CRegObject::UnregisterScriptResource(LPCOLESTR file, UINT id, LPCOLESTR type) {
    return ApplyScriptResource(file, MAKEINTRESOURCEW(id), type, FALSE);
}

HRESULT CRegObject::ApplyScriptResource(LPCOLESTR file, LPCOLESTR resource, LPCOLESTR type,
                                        BOOL bRegister) {
    ScriptParser parser(this);
    HMODULE hModule = LoadLibraryExW(
        file, NULL, LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE);
    if (hModule == NULL)
        hModule = LoadLibraryExW(file, NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (hModule == NULL) {
        FRAMEWORK_TRACE(traceRegistrar, 0, TEXT("Failed to LoadLibrary on %ls\n"), file);
        return HResultFromLastError();
    }

    HRESULT hr = S_OK;
    CTempBuffer<OLECHAR, kInlineScriptUnits> script;
    HRSRC hResource = FindResourceW(hModule, resource, type);
    HGLOBAL hData = NULL;
    DWORD size = 0;
    if (hResource == NULL) {
        if (IS_INTRESOURCE(resource))
            FRAMEWORK_TRACE(traceRegistrar, 0, TEXT("Failed to FindResource on ID:%d TYPE:%ls\n"),
                            static_cast<int>(LOWORD(resource)), type);
        else
            FRAMEWORK_TRACE(traceRegistrar, 0, TEXT("Failed to FindResource on ID:%ls TYPE:%ls\n"),
                            resource, type);
        hr = HResultFromLastError();
    } else if ((hData = LoadResource(hModule, hResource)) == NULL) {
        FRAMEWORK_TRACE(traceRegistrar, 0, TEXT("Failed to LoadResource\n"));
        hr = HResultFromLastError();
    } else if ((size = SizeofResource(hModule, hResource)) == 0xFFFFFFFF ||
               script.TryAllocate(size + 1) == NULL) {
        hr = E_OUTOFMEMORY;
    } else {
        int converted =
            MultiByteToWideChar(CP_THREAD_ACP, 0, static_cast<LPCSTR>(LockResource(hData)),
                                static_cast<int>(size), script, static_cast<int>(size));
        if (converted == 0) {
            hr = HResultFromLastError();
        } else {
            static_cast<OLECHAR*>(script)[converted] = 0;
            hr = parser.ApplyScript(script, bRegister);
        }
    }
    FreeLibrary(hModule);
    return hr;
}

void DoubleSingleQuotes(LPOLESTR destination, DWORD capacity, LPCOLESTR source) {
    if (capacity == 0)
        return;
    DWORD written = 0;
    for (; written < capacity - 1 && *source != 0; ++source) {
        destination[written++] = *source;
        if (*source == TEXT('\'') && written < capacity - 1)
            destination[written++] = TEXT('\'');
    }
    destination[written] = 0;
}

HRESULT DefineModuleReplacements(IRegistrarBase* pRegistrar, LPCOLESTR szModule, bool bExecutable) {
    // Quotes doubled, so the path can stand inside a quoted script token.
    OLECHAR pszModuleUnquoted[MAX_PATH * 2];
    DoubleSingleQuotes(pszModuleUnquoted, MAX_PATH * 2, szModule);
    LPCOLESTR pszModuleValue = pszModuleUnquoted;
    OLECHAR pszModuleQuote[MAX_PATH * 2 + 4];
    if (bExecutable) {
        // An executable's path is quoted, as command lines need it.
        pszModuleQuote[0] = TEXT('"');
        if (wcscpy_s(pszModuleQuote + 1, MAX_PATH * 2 + 3, pszModuleUnquoted) != 0)
            return E_FAIL;
        int length = lstrlenW(pszModuleQuote);
        pszModuleQuote[length] = TEXT('"');
        pszModuleQuote[length + 1] = 0;
        pszModuleValue = pszModuleQuote;
    }
    HRESULT hr = pRegistrar->DefineReplacement(OLESTR("Module"), pszModuleValue);
    if (FAILED(hr))
        return hr;
    return pRegistrar->DefineReplacement(OLESTR("Module_Raw"), pszModuleUnquoted);
}
