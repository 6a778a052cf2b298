// Type libraries: loading one from a module's "TYPELIB" resource or a .tlb file, and the
// registry keys that register it, machine-wide (HKEY_CLASSES_ROOT, the merged classes view)
// or for the current user (HKCU\Software\Classes). None of this needs COM to be initialised.
//
// A registered library is the key TypeLib\{LIBID}\MAJOR.MINOR (hexadecimal) holding:
//   (default)           the library's doc string, or its name when it has none
//   LCID\PLATFORM       (default) = the path it was registered from (LCID in hexadecimal,
//                       PLATFORM one of win16, win32, mac, win64)
//   FLAGS               (default) = the library flags in decimal
//   HELPDIR             (default) = the help folder given, or else the path's folder
#include "base/core.h"
#include "com/com.h"
#include "image/typelibimage.h"

#include <oleauto.h>
#include <tchar.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <new>
#include <vector>

namespace hostwin {

namespace {

// A loaded library answers from the contents it was read with; nothing keeps the file open.
class TypeLibrary final : public ITypeLib {
public:
    explicit TypeLibrary(TypeLibraryImage image) : m_image(std::move(image)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == NULL)
            return E_POINTER;
        if (riid != IID_IUnknown && riid != IID_ITypeLib) {
            *ppvObject = NULL;
            return E_NOINTERFACE;
        }
        *ppvObject = static_cast<ITypeLib*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --m_references;
        if (left == 0)
            delete this;
        return left;
    }

    UINT STDMETHODCALLTYPE GetTypeInfoCount() override { return m_image.typeCount; }

    HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** ppTLibAttr) override {
        if (ppTLibAttr == NULL)
            return E_INVALIDARG;
        *ppTLibAttr = new (std::nothrow) TLIBATTR(m_image.attributes);
        return *ppTLibAttr ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString,
                                               DWORD* pdwHelpContext,
                                               BSTR* pBstrHelpFile) override {
        if (index != -1)
            return index >= 0 && static_cast<UINT>(index) < m_image.typeCount
                       ? NotSupported(__func__, "documentation of a type", E_NOTIMPL)
                       : TYPE_E_ELEMENTNOTFOUND;
        BSTR name = NULL, docString = NULL, helpFile = NULL;
        if (!Copy(pBstrName, &m_image.name, &name) ||
            !Copy(pBstrDocString, m_image.docString ? &*m_image.docString : nullptr, &docString) ||
            !Copy(pBstrHelpFile, m_image.helpFile ? &*m_image.helpFile : nullptr, &helpFile)) {
            SysFreeString(name);
            SysFreeString(docString);
            SysFreeString(helpFile);
            return E_OUTOFMEMORY;
        }
        if (pBstrName)
            *pBstrName = name;
        if (pBstrDocString)
            *pBstrDocString = docString;
        if (pBstrHelpFile)
            *pBstrHelpFile = helpFile;
        if (pdwHelpContext)
            *pdwHelpContext = m_image.helpContext;
        return S_OK;
    }

    void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR* pTLibAttr) override { delete pTLibAttr; }

private:
    // A BSTR of `text` in *copy when the caller asked for it (`wanted` not null); an absent
    // text is a null BSTR. False when the allocation failed.
    static bool Copy(BSTR* wanted, const std::u16string* text, BSTR* copy) {
        *copy = NULL;
        if (wanted == NULL || text == nullptr)
            return true;
        *copy = SysAllocString(text->c_str());
        return *copy != NULL;
    }

    std::atomic<ULONG> m_references{1};
    const TypeLibraryImage m_image;
};

// The library in resource "TYPELIB" 1 of an image. *notAnImage is set when the file is there
// but is neither a PE image nor a host executable, so that it can be read as a .tlb.
HRESULT ReadFromModule(const OLECHAR* path, TypeLibraryImage* image, bool* notAnImage) {
    *notAnImage = false;
    HMODULE module = LoadLibraryExW(path, NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (module == NULL) {
        *notAnImage = GetLastError() == ERROR_BAD_FORMAT;
        return TYPE_E_CANTLOADLIBRARY;
    }
    HRESULT hr = TYPE_E_CANTLOADLIBRARY;
    if (HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), u"TYPELIB")) {
        const void* bytes = LockResource(LoadResource(module, resource));
        DWORD size = SizeofResource(module, resource);
        if (bytes != NULL)
            hr = ReadTypeLibraryImage(static_cast<const BYTE*>(bytes), size, image);
    }
    FreeLibrary(module);
    return hr;
}

HRESULT ReadFromFile(const OLECHAR* path, TypeLibraryImage* image) {
    std::ifstream file(HostPath(path), std::ios::binary);
    if (!file)
        return TYPE_E_CANTLOADLIBRARY;
    std::vector<BYTE> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (file.bad())
        return TYPE_E_CANTLOADLIBRARY;
    return ReadTypeLibraryImage(bytes.data(), bytes.size(), image);
}

// Where a form of the registration keeps its TypeLib key.
struct ClassesRoot {
    HKEY root;
    const char16_t* prefix;
};
const ClassesRoot kMachineClasses{HKEY_CLASSES_ROOT, u""};
const ClassesRoot kUserClasses{HKEY_CURRENT_USER, u"Software\\Classes\\"};

// A number as the keys spell it: "%x" or "%u".
std::u16string Number(const WCHAR* format, DWORD value) {
    WCHAR text[16] = {};
    swprintf_s(text, 16, format, value);
    return text;
}
std::u16string Hex(DWORD value) {
    return Number(u"%x", value);
}

const char16_t* PlatformName(SYSKIND syskind) {
    switch (syskind) {
    case SYS_WIN16:
        return u"win16";
    case SYS_WIN32:
        return u"win32";
    case SYS_MAC:
        return u"mac";
    case SYS_WIN64:
        return u"win64";
    }
    return nullptr;
}

std::u16string LibraryKeyPath(const ClassesRoot& classes, REFGUID libid) {
    return std::u16string(classes.prefix) + u"TypeLib\\" + GuidText(libid);
}

std::u16string VersionKeyPath(const ClassesRoot& classes, REFGUID libid, WORD major, WORD minor) {
    return LibraryKeyPath(classes, libid) + u"\\" + Hex(major) + u"." + Hex(minor);
}

// The folder of a path, without its last separator unless that is a drive's root.
std::u16string FolderOf(const std::u16string& path) {
    size_t separator = path.find_last_of(u'\\');
    if (separator == std::u16string::npos)
        return std::u16string();
    if (separator > 0 && path[separator - 1] == u':')
        return path.substr(0, separator + 1);
    return path.substr(0, separator);
}

// Creates `path` below `root` as needed and sets its default value.
LONG SetDefaultValue(HKEY root, const std::u16string& path, const std::u16string& text) {
    HKEY key = NULL;
    LONG rc = RegCreateKeyExW(root, path.c_str(), 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = RegSetValueExW(key, NULL, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
    return rc;
}

// The names of the sub-keys of `path` below `root`.
LONG SubKeyNames(HKEY root, const std::u16string& path, std::vector<std::u16string>* names) {
    names->clear();
    HKEY key = NULL;
    LONG rc = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS)
        return rc;
    for (DWORD index = 0;; ++index) {
        WCHAR name[256];
        DWORD length = 256;
        rc = RegEnumKeyExW(key, index, name, &length, NULL, NULL, NULL, NULL);
        if (rc != ERROR_SUCCESS)
            break;
        names->emplace_back(name, length);
    }
    RegCloseKey(key);
    return rc == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : rc;
}

// Deletes `path` when it has no sub-keys other than `removable`, which go with it.
LONG DeleteWhenEmpty(HKEY root, const std::u16string& path,
                     std::initializer_list<const char16_t*> removable) {
    std::vector<std::u16string> names;
    if (LONG rc = SubKeyNames(root, path, &names))
        return rc;
    for (const std::u16string& name : names) {
        bool canGo = false;
        for (const char16_t* candidate : removable)
            canGo = canGo || lstrcmpiW(name.c_str(), candidate) == 0;
        if (!canGo)
            return ERROR_SUCCESS; // still in use
    }
    for (const std::u16string& name : names)
        if (LONG rc = RegDeleteKeyW(root, (path + u"\\" + name).c_str()))
            return rc;
    return RegDeleteKeyW(root, path.c_str());
}

HRESULT Register(const char* function, const ClassesRoot& classes, ITypeLib* library,
                 const OLECHAR* fullPath, const OLECHAR* helpDir) {
    if (library == NULL || fullPath == NULL)
        return E_INVALIDARG;
    if (library->GetTypeInfoCount() != 0)
        return NotSupported(function, "libraries with type descriptions", E_NOTIMPL);
    TLIBATTR* attributes = NULL;
    HRESULT hr = library->GetLibAttr(&attributes);
    if (FAILED(hr))
        return hr;
    const TLIBATTR attr = *attributes;
    library->ReleaseTLibAttr(attributes);
    BSTR name = NULL, docString = NULL;
    hr = library->GetDocumentation(-1, &name, &docString, NULL, NULL);
    if (FAILED(hr))
        return hr;
    const std::u16string title = ToU16(docString && *docString ? docString : name);
    SysFreeString(name);
    SysFreeString(docString);
    const char16_t* platform = PlatformName(attr.syskind);
    if (platform == nullptr)
        return E_INVALIDARG;

    const std::u16string version =
        VersionKeyPath(classes, attr.guid, attr.wMajorVerNum, attr.wMinorVerNum);
    LogCall(function, "%s path=%s helpdir=%s", ToUtf8(version).c_str(), ToUtf8(fullPath).c_str(),
            helpDir ? ToUtf8(helpDir).c_str() : "(none)");
    const std::u16string folder = helpDir ? std::u16string(helpDir) : FolderOf(fullPath);
    if (SetDefaultValue(classes.root, version, title) ||
        SetDefaultValue(classes.root, version + u"\\" + Hex(attr.lcid) + u"\\" + platform,
                        fullPath) ||
        SetDefaultValue(classes.root, version + u"\\FLAGS", Number(u"%u", attr.wLibFlags)) ||
        SetDefaultValue(classes.root, version + u"\\HELPDIR", folder))
        return TYPE_E_REGISTRYACCESS;
    return S_OK;
}

HRESULT Unregister(const char* function, const ClassesRoot& classes, REFGUID libid, WORD major,
                   WORD minor, LCID lcid, SYSKIND syskind) {
    const char16_t* platform = PlatformName(syskind);
    if (platform == nullptr)
        return E_INVALIDARG;
    const std::u16string library = LibraryKeyPath(classes, libid);
    const std::u16string version = VersionKeyPath(classes, libid, major, minor);
    const std::u16string locale = version + u"\\" + Hex(lcid);
    LogCall(function, "%s lcid=%s platform=%s", ToUtf8(version).c_str(), ToUtf8(Hex(lcid)).c_str(),
            ToUtf8(platform).c_str());
    // A library registered for another locale or platform keeps its version key.
    if (RegDeleteKeyW(classes.root, (locale + u"\\" + platform).c_str()) ||
        DeleteWhenEmpty(classes.root, locale, {}) ||
        DeleteWhenEmpty(classes.root, version, {u"FLAGS", u"HELPDIR"}))
        return TYPE_E_REGISTRYACCESS;
    // Gone when no version is left; a missing key is someone else's concurrent clean-up.
    LONG rc = DeleteWhenEmpty(classes.root, library, {});
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ? S_OK : TYPE_E_REGISTRYACCESS;
}

} // namespace

} // namespace hostwin

using namespace hostwin;

extern "C" {

HRESULT WINAPI LoadTypeLib(const OLECHAR* szFile, ITypeLib** pptlib) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(HRESULT);
    if (pptlib == NULL)
        return E_INVALIDARG;
    *pptlib = NULL;
    if (szFile == NULL || *szFile == 0)
        return E_INVALIDARG;
    TypeLibraryImage image;
    bool notAnImage = false;
    HRESULT hr = ReadFromModule(szFile, &image, &notAnImage);
    if (notAnImage)
        hr = ReadFromFile(szFile, &image);
    LogCall(__func__, "%s -> 0x%08X", ToUtf8(szFile).c_str(), static_cast<unsigned>(hr));
    if (FAILED(hr))
        return hr;
    *pptlib = new (std::nothrow) TypeLibrary(std::move(image));
    return *pptlib ? S_OK : E_OUTOFMEMORY;
}

HRESULT WINAPI RegisterTypeLib(ITypeLib* ptlib, OLECHAR* szFullPath, OLECHAR* szHelpDir) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(HRESULT);
    return Register(__func__, kMachineClasses, ptlib, szFullPath, szHelpDir);
}

HRESULT WINAPI RegisterTypeLibForUser(ITypeLib* ptlib, OLECHAR* szFullPath, OLECHAR* szHelpDir) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(HRESULT);
    return Register(__func__, kUserClasses, ptlib, szFullPath, szHelpDir);
}

HRESULT WINAPI UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                                 SYSKIND syskind) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(HRESULT);
    return Unregister(__func__, kMachineClasses, libID, wVerMajor, wVerMinor, lcid, syskind);
}

HRESULT WINAPI UnRegisterTypeLibForUser(REFGUID libID, WORD wMajorVerNum, WORD wMinorVerNum,
                                        LCID lcid, SYSKIND syskind) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(HRESULT);
    return Unregister(__func__, kUserClasses, libID, wMajorVerNum, wMinorVerNum, lcid, syskind);
}

} // extern "C"
