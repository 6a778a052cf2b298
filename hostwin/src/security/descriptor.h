// Security descriptors as plain data, and how the host reads them from a file's owner and mode
// and writes them back as a new folder's owner and mode. Nothing here touches a file.
#pragma once

#include <windows.h>

#include <sys/types.h>

#include <string>
#include <vector>

namespace hostwin::security {

// One SID in its Windows layout (revision, count, authority, sub-authorities).
using SidBytes = std::vector<BYTE>;

SidBytes MakeSid(BYTE authority, const std::vector<DWORD>& subAuthorities);
// The bytes a valid SID at `sid` takes, or 0 when it is not one.
size_t SidLength(const void* sid);
// "S-1-5-18" and the like: for logs and errors.
std::string SidText(const SidBytes& sid);

SidBytes SystemSid();         // S-1-5-18, the account uid 0 is
SidBytes AdministratorsSid(); // S-1-5-32-544, the account this process's own uid is
SidBytes UsersSid();          // S-1-5-32-545
SidBytes EveryoneSid();       // S-1-1-0
// The SID of a file owner's uid, and of a file's group.
SidBytes OwnerSid(uid_t uid);
SidBytes GroupSid(gid_t gid);

struct Ace {
    BYTE type = ACCESS_ALLOWED_ACE_TYPE;
    BYTE flags = 0;
    ACCESS_MASK mask = 0;
    SidBytes sid;
};

struct Descriptor {
    SidBytes owner; // empty: not given
    SidBytes group;
    bool daclPresent = false; // false: no DACL part (a NULL DACL when present is not modelled)
    bool daclProtected = false;
    std::vector<Ace> dacl;
};

// One self-relative block from LocalAlloc (its size in *size when asked), or NULL (the last
// error set) when memory is short.
PSECURITY_DESCRIPTOR ToSelfRelative(const Descriptor& descriptor, ULONG* size = nullptr);
// The parts of a self-relative block; false when it is not one.
bool FromSelfRelative(const void* block, Descriptor& descriptor);

// What a file of this owner, group and mode looks like: the owner's entry, then the group's and
// everyone's when they have any bit.
Descriptor DescriptorFromMode(uid_t uid, gid_t gid, mode_t mode, bool folder);

// The mode and owner a new folder gets for a descriptor: entries for SYSTEM, Administrators or
// the owner give the owner bits, Users, Everyone and Authenticated Users the group and other
// bits. `owner` stays -1 when the descriptor names none. ERROR_NOT_SUPPORTED for what a mode
// cannot say (deny entries, other accounts).
DWORD FolderModeFromDescriptor(const Descriptor& descriptor, mode_t& mode, uid_t& owner);

// The string form (owner, group, DACL with allow and deny entries); false when it cannot be read.
bool ParseSddl(const std::u16string& text, Descriptor& descriptor);

} // namespace hostwin::security
