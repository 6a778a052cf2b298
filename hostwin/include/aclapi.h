// Reading the security of a named object. The host answers for files and folders from their
// owner and mode (docs/security.md).
#pragma once

#include "accctrl.h"
#include "windef.h"

extern "C" {

// The parts asked for, pointing into one self-relative descriptor given in
// *ppSecurityDescriptor (free it with LocalFree). Returns the Win32 error, ERROR_SUCCESS when
// it succeeded; only SE_FILE_OBJECT with owner, group and DACL parts is supported.
DWORD WINAPI GetNamedSecurityInfoW(LPCWSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                                   SECURITY_INFORMATION SecurityInfo, PSID* ppsidOwner,
                                   PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl,
                                   PSECURITY_DESCRIPTOR* ppSecurityDescriptor);

} // extern "C"
