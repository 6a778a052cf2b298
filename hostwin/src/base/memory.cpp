// Local memory: the blocks the platform hands out for the caller to free.
#include "base/core.h"

#include <cstdlib>
#include <cstring>

extern "C" {

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    HOSTWIN_FAULT_POINT(static_cast<HLOCAL>(NULL));
    if (uFlags & ~static_cast<UINT>(LMEM_ZEROINIT))
        return hostwin::NotSupported(__func__, "movable memory", static_cast<HLOCAL>(NULL));
    void* block = std::malloc(uBytes == 0 ? 1 : uBytes);
    if (block == nullptr)
        return hostwin::FailWith(ERROR_NOT_ENOUGH_MEMORY, static_cast<HLOCAL>(NULL));
    if (uFlags & LMEM_ZEROINIT)
        std::memset(block, 0, uBytes);
    return block;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    HOSTWIN_FAULT_POINT(hMem);
    std::free(hMem);
    return NULL;
}

} // extern "C"
