// The security functions on files and folders, and the SID and ACL functions that read what
// they hand out. A file's security is its owner and mode (security/descriptor.h).
#include "base/core.h"
#include "security/descriptor.h"

#include <aclapi.h>
#include <hostwin/text.h>
#include <sddl.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace hostwin {

namespace {

// The Win32 error for a failed look-up of `path`: a missing folder on the way reads as
// ERROR_PATH_NOT_FOUND, a missing last part as ERROR_FILE_NOT_FOUND.
DWORD PathError(int error, const std::string& path) {
    switch (error) {
    case ENOENT: {
        struct stat parent;
        const size_t slash = path.find_last_of('/');
        return slash == std::string::npos || stat(path.substr(0, slash).c_str(), &parent) == 0
                   ? static_cast<DWORD>(ERROR_FILE_NOT_FOUND)
                   : static_cast<DWORD>(ERROR_PATH_NOT_FOUND);
    }
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_ACCESS_DENIED;
    }
}

const SECURITY_INFORMATION kSupportedParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// Where a part of the self-relative block lies, or NULL when it has none.
PVOID PartOf(PSECURITY_DESCRIPTOR block, DWORD offset) {
    return offset == 0 ? NULL : static_cast<BYTE*>(block) + offset;
}

// Makes the folder at `path`; with a descriptor, with the owner and mode it describes (the new
// folder is removed again when it cannot get them), else as mkdir makes it.
DWORD MakeFolder(const std::string& path, const security::Descriptor* descriptor) {
    if (descriptor == nullptr)
        return mkdir(path.c_str(), 0777) == 0 ? static_cast<DWORD>(ERROR_SUCCESS)
                                              : PathError(errno, path);
    mode_t mode = 0;
    uid_t owner = static_cast<uid_t>(-1);
    if (DWORD error = security::FolderModeFromDescriptor(*descriptor, mode, owner))
        return error;
    // Nobody but the creator may reach it before it has its final owner and mode.
    if (mkdir(path.c_str(), 0700) != 0)
        return PathError(errno, path);
    if ((owner != static_cast<uid_t>(-1) && owner != geteuid() &&
         chown(path.c_str(), owner, static_cast<gid_t>(-1)) != 0) ||
        chmod(path.c_str(), mode) != 0) {
        const DWORD error = PathError(errno, path);
        rmdir(path.c_str());
        return error;
    }
    return ERROR_SUCCESS;
}

} // namespace

} // namespace hostwin

using namespace hostwin;

extern "C" {

BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2) {
    HOSTWIN_FAULT_POINT(FALSE);
    const size_t length = security::SidLength(pSid1);
    SetLastError(ERROR_SUCCESS);
    return length != 0 && length == security::SidLength(pSid2) &&
           std::memcmp(pSid1, pSid2, length) == 0;
}

BOOL WINAPI GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID* pAce) {
    HOSTWIN_FAULT_POINT(FALSE);
    if (pAcl == NULL || pAce == NULL || dwAceIndex >= pAcl->AceCount)
        return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    BYTE* at = reinterpret_cast<BYTE*>(pAcl) + sizeof(ACL);
    BYTE* const end = reinterpret_cast<BYTE*>(pAcl) + pAcl->AclSize;
    for (DWORD i = 0;; ++i) {
        ACE_HEADER header;
        if (at + sizeof header > end)
            return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        std::memcpy(&header, at, sizeof header);
        if (header.AceSize < sizeof header || at + header.AceSize > end)
            return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        if (i == dwAceIndex) {
            *pAce = at;
            return TRUE;
        }
        at += header.AceSize;
    }
}

DWORD WINAPI GetNamedSecurityInfoW(LPCWSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                                   SECURITY_INFORMATION SecurityInfo, PSID* ppsidOwner,
                                   PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl,
                                   PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
    HOSTWIN_FAULT_POINT_RETURNS_CODE(DWORD);
    LogCall(__func__, "path=%s info=0x%X", pObjectName ? ToUtf8(pObjectName).c_str() : "(null)",
            SecurityInfo);
    if (ObjectType != SE_FILE_OBJECT)
        return NotSupportedCode(__func__, "object type", static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    if (SecurityInfo & ~kSupportedParts || ppSacl != NULL)
        return NotSupportedCode(__func__, "security parts",
                                static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    if (pObjectName == NULL || ppSecurityDescriptor == NULL)
        return ERROR_INVALID_PARAMETER;
    const std::string path = HostPath(ToU16(pObjectName));
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return PathError(errno, path);
    security::Descriptor descriptor = security::DescriptorFromMode(
        status.st_uid, status.st_gid, status.st_mode, S_ISDIR(status.st_mode));
    if (!(SecurityInfo & OWNER_SECURITY_INFORMATION))
        descriptor.owner.clear();
    if (!(SecurityInfo & GROUP_SECURITY_INFORMATION))
        descriptor.group.clear();
    descriptor.daclPresent = (SecurityInfo & DACL_SECURITY_INFORMATION) != 0;
    PSECURITY_DESCRIPTOR block = security::ToSelfRelative(descriptor);
    if (block == NULL)
        return ERROR_NOT_ENOUGH_MEMORY;
    SECURITY_DESCRIPTOR_RELATIVE header;
    std::memcpy(&header, block, sizeof header);
    if (ppsidOwner != NULL)
        *ppsidOwner = PartOf(block, header.Owner);
    if (ppsidGroup != NULL)
        *ppsidGroup = PartOf(block, header.Group);
    if (ppDacl != NULL)
        *ppDacl = static_cast<PACL>(PartOf(block, header.Dacl));
    *ppSecurityDescriptor = block;
    return ERROR_SUCCESS;
}

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(
    LPCWSTR StringSecurityDescriptor, DWORD StringSDRevision,
    PSECURITY_DESCRIPTOR* SecurityDescriptor, PULONG SecurityDescriptorSize) {
    HOSTWIN_FAULT_POINT(FALSE);
    if (StringSecurityDescriptor == NULL || SecurityDescriptor == NULL ||
        StringSDRevision != SDDL_REVISION_1)
        return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    security::Descriptor descriptor;
    if (!security::ParseSddl(ToU16(StringSecurityDescriptor), descriptor))
        return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    ULONG size = 0;
    PSECURITY_DESCRIPTOR block = security::ToSelfRelative(descriptor, &size);
    if (block == NULL)
        return FailWith(ERROR_NOT_ENOUGH_MEMORY, FALSE);
    if (SecurityDescriptorSize != NULL)
        *SecurityDescriptorSize = size;
    *SecurityDescriptor = block;
    return TRUE;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    HOSTWIN_FAULT_POINT(FALSE);
    LogCall(__func__, "path=%s", lpPathName ? ToUtf8(lpPathName).c_str() : "(null)");
    if (lpPathName == NULL)
        return FailWith(ERROR_PATH_NOT_FOUND, FALSE);
    if (lpSecurityAttributes != NULL && lpSecurityAttributes->bInheritHandle)
        return NotSupported(__func__, "inheritable handle", FALSE);
    security::Descriptor descriptor;
    const bool described =
        lpSecurityAttributes != NULL && lpSecurityAttributes->lpSecurityDescriptor != NULL;
    if (described &&
        !security::FromSelfRelative(lpSecurityAttributes->lpSecurityDescriptor, descriptor))
        return NotSupported(__func__, "absolute security descriptor", FALSE);
    if (DWORD error = MakeFolder(HostPath(ToU16(lpPathName)), described ? &descriptor : nullptr))
        return FailWith(error, FALSE);
    return TRUE;
}

} // extern "C"
