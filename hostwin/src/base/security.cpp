// The security functions every object kind shares.
#include <windows.h>

extern "C" {

VOID WINAPI MapGenericMask(PDWORD AccessMask, PGENERIC_MAPPING GenericMapping) {
    DWORD access = *AccessMask;
    if (access & GENERIC_READ)
        access |= GenericMapping->GenericRead;
    if (access & GENERIC_WRITE)
        access |= GenericMapping->GenericWrite;
    if (access & GENERIC_EXECUTE)
        access |= GenericMapping->GenericExecute;
    if (access & GENERIC_ALL)
        access |= GenericMapping->GenericAll;
    *AccessMask =
        access & ~static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

} // extern "C"
