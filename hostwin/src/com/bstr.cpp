// BSTRs: a 32-bit byte count, the UTF-16 text and a terminating NUL, handed out as a pointer
// to the text so that it reads as an ordinary wide string.
#include "base/core.h"

#include <oleauto.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr size_t kPrefixSize = sizeof(DWORD);

BYTE* BlockOf(BSTR text) {
    return reinterpret_cast<BYTE*>(text) - kPrefixSize;
}

} // namespace

extern "C" {

BSTR WINAPI SysAllocString(const OLECHAR* psz) {
    HOSTWIN_FAULT_POINT(static_cast<BSTR>(NULL));
    if (psz == NULL)
        return NULL;
    const size_t length = std::char_traits<OLECHAR>::length(psz);
    // The byte count must fit its 32-bit prefix.
    if (length > (0xFFFFFFFFu - kPrefixSize) / sizeof(OLECHAR) - 1)
        return NULL;
    auto* block = static_cast<BYTE*>(std::malloc(kPrefixSize + (length + 1) * sizeof(OLECHAR)));
    if (block == NULL)
        return NULL;
    const DWORD bytes = static_cast<DWORD>(length * sizeof(OLECHAR));
    std::memcpy(block, &bytes, kPrefixSize);
    std::memcpy(block + kPrefixSize, psz, (length + 1) * sizeof(OLECHAR));
    return reinterpret_cast<BSTR>(block + kPrefixSize);
}

void WINAPI SysFreeString(BSTR bstrString) {
    if (bstrString != NULL)
        std::free(BlockOf(bstrString));
}

UINT WINAPI SysStringLen(BSTR pbstr) {
    if (pbstr == NULL)
        return 0;
    DWORD bytes = 0;
    std::memcpy(&bytes, BlockOf(pbstr), kPrefixSize);
    return bytes / sizeof(OLECHAR);
}

} // extern "C"
