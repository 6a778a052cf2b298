// Security descriptors from their string form. The host reads owner, group and DACL with
// allow and deny entries, the SID aliases SY BA BU WD AU CO and S-1-... strings (docs/security.md).
#pragma once

#include "windef.h"

extern "C" {

#define SDDL_REVISION_1 1

// A self-relative descriptor (free it with LocalFree) and its size when SecurityDescriptorSize
// is not NULL. FALSE with ERROR_INVALID_PARAMETER for a string it cannot read.
BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(
    LPCWSTR StringSecurityDescriptor, DWORD StringSDRevision,
    PSECURITY_DESCRIPTOR* SecurityDescriptor, PULONG SecurityDescriptorSize);

} // extern "C"
