// Local memory: the C heap, as FormatMessageW hands out its buffers and LocalFree takes them.
#include "base/core.h"

#include <cstdlib>

using namespace hostwin;

extern "C" {

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    HOSTWIN_FAULT_POINT(static_cast<HLOCAL>(NULL));
    if ((uFlags & ~static_cast<UINT>(LMEM_ZEROINIT)) != LMEM_FIXED)
        return NotSupported(__func__, "movable or discardable memory", static_cast<HLOCAL>(NULL));
    // A zero-byte block is still a distinct, freeable block.
    void* block = (uFlags & LMEM_ZEROINIT) ? std::calloc(uBytes != 0 ? uBytes : 1, 1)
                                           : std::malloc(uBytes != 0 ? uBytes : 1);
    return block ? block : FailWith(ERROR_NOT_ENOUGH_MEMORY, static_cast<HLOCAL>(NULL));
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    HOSTWIN_FAULT_POINT(hMem);
    std::free(hMem);
    return NULL;
}

} // extern "C"
