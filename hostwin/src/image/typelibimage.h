// The library-level contents of a binary ("MSFT") type library, read from untrusted bytes: a
// .tlb file or a module's "TYPELIB" resource. Every offset is checked against the buffer, so a
// damaged or truncated library yields a failure code, never a read outside it.
#pragma once

#include <oaidl.h>

#include <optional>
#include <string>

namespace hostwin {

struct TypeLibraryImage {
    TLIBATTR attributes{};
    UINT typeCount = 0;
    std::u16string name;
    std::optional<std::u16string> docString; // absent when the library has none
    std::optional<std::u16string> helpFile;
    DWORD helpContext = 0;
};

// S_OK and *image filled; TYPE_E_CANTLOADLIBRARY when the bytes are no binary type library,
// TYPE_E_UNSUPFORMAT for another format version, TYPE_E_INVDATAREAD when a field or table
// lies outside the bytes or a text is not ASCII. *image is untouched on failure.
HRESULT ReadTypeLibraryImage(const BYTE* data, size_t size, TypeLibraryImage* image);

} // namespace hostwin
