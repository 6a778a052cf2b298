// Security descriptors as plain data: SIDs, the self-relative layout, and the mapping between
// a file's owner and mode and the entries Windows would show for it.
#include "security/descriptor.h"

#include <unistd.h>

#include <cstring>

namespace hostwin::security {

namespace {

const BYTE kNtAuthority = 5;
const DWORD kBuiltinDomain = 32;
// Accounts and groups of the host: a domain of its own, the last sub-authority the id.
const DWORD kHostUsers = 0;
const DWORD kHostGroups = 1;

// The mode bits one class (owner, group or other: 4 read, 2 write, 1 execute) has as rights.
ACCESS_MASK RightsFromBits(unsigned bits, bool folder) {
    ACCESS_MASK mask = 0;
    if (bits & 4)
        mask |= FILE_GENERIC_READ;
    if (bits & 2)
        mask |= FILE_GENERIC_WRITE | (folder ? FILE_DELETE_CHILD : 0);
    if (bits & 1)
        mask |= FILE_GENERIC_EXECUTE;
    return mask;
}

unsigned BitsFromRights(ACCESS_MASK mask) {
    if (mask & GENERIC_ALL)
        return 7;
    unsigned bits = 0;
    if (mask & (GENERIC_READ | FILE_READ_DATA))
        bits |= 4;
    if (mask & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD))
        bits |= 2;
    if (mask & (GENERIC_EXECUTE | FILE_EXECUTE))
        bits |= 1;
    return bits;
}

void Put(std::vector<BYTE>& block, const void* data, size_t size) {
    const BYTE* bytes = static_cast<const BYTE*>(data);
    block.insert(block.end(), bytes, bytes + size);
}

// The SID at `offset` of a block of `size` bytes, or empty when none fits there.
SidBytes SidAt(const BYTE* block, size_t size, DWORD offset) {
    if (offset == 0 || offset + 8 > size)
        return {};
    size_t length = SidLength(block + offset);
    if (length == 0 || offset + length > size)
        return {};
    return SidBytes(block + offset, block + offset + length);
}

} // namespace

SidBytes MakeSid(BYTE authority, const std::vector<DWORD>& subAuthorities) {
    SidBytes sid = {SID_REVISION, static_cast<BYTE>(subAuthorities.size()), 0, 0, 0, 0, 0,
                    authority};
    for (DWORD sub : subAuthorities)
        Put(sid, &sub, sizeof sub); // little-endian, as on Windows
    return sid;
}

size_t SidLength(const void* sid) {
    if (sid == nullptr)
        return 0;
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    if (bytes[0] != SID_REVISION || bytes[1] > SID_MAX_SUB_AUTHORITIES)
        return 0;
    return 8 + 4 * static_cast<size_t>(bytes[1]);
}

std::string SidText(const SidBytes& sid) {
    if (sid.size() < 8)
        return "(none)";
    unsigned long long authority = 0;
    for (int i = 2; i < 8; ++i)
        authority = (authority << 8) | sid[i];
    std::string text = "S-1-" + std::to_string(authority);
    for (size_t at = 8; at + 4 <= sid.size(); at += 4) {
        DWORD sub;
        std::memcpy(&sub, &sid[at], sizeof sub);
        text += "-" + std::to_string(sub);
    }
    return text;
}

SidBytes SystemSid() {
    return MakeSid(kNtAuthority, {18});
}
SidBytes AdministratorsSid() {
    return MakeSid(kNtAuthority, {kBuiltinDomain, 544});
}
SidBytes UsersSid() {
    return MakeSid(kNtAuthority, {kBuiltinDomain, 545});
}
SidBytes EveryoneSid() {
    return MakeSid(1, {0});
}
SidBytes OwnerSid(uid_t uid) {
    if (uid == 0)
        return SystemSid();
    if (uid == geteuid())
        return AdministratorsSid();
    return MakeSid(kNtAuthority, {21, 0, 0, kHostUsers, static_cast<DWORD>(uid)});
}
SidBytes GroupSid(gid_t gid) {
    return MakeSid(kNtAuthority, {21, 0, 0, kHostGroups, static_cast<DWORD>(gid)});
}

PSECURITY_DESCRIPTOR ToSelfRelative(const Descriptor& descriptor, ULONG* size) {
    std::vector<BYTE> block(sizeof(SECURITY_DESCRIPTOR_RELATIVE));
    SECURITY_DESCRIPTOR_RELATIVE header = {};
    header.Revision = SECURITY_DESCRIPTOR_REVISION;
    header.Control = SE_SELF_RELATIVE;
    if (!descriptor.owner.empty()) {
        header.Owner = static_cast<DWORD>(block.size());
        Put(block, descriptor.owner.data(), descriptor.owner.size());
    }
    if (!descriptor.group.empty()) {
        header.Group = static_cast<DWORD>(block.size());
        Put(block, descriptor.group.data(), descriptor.group.size());
    }
    if (descriptor.daclPresent) {
        header.Control |= SE_DACL_PRESENT | (descriptor.daclProtected ? SE_DACL_PROTECTED : 0);
        header.Dacl = static_cast<DWORD>(block.size());
        ACL acl = {ACL_REVISION, 0, sizeof(ACL), static_cast<WORD>(descriptor.dacl.size()), 0};
        for (const Ace& ace : descriptor.dacl)
            acl.AclSize = static_cast<WORD>(acl.AclSize + 8 + ace.sid.size());
        Put(block, &acl, sizeof acl);
        for (const Ace& ace : descriptor.dacl) {
            ACE_HEADER aceHeader = {ace.type, ace.flags, static_cast<WORD>(8 + ace.sid.size())};
            Put(block, &aceHeader, sizeof aceHeader);
            Put(block, &ace.mask, sizeof ace.mask);
            Put(block, ace.sid.data(), ace.sid.size());
        }
    }
    std::memcpy(block.data(), &header, sizeof header);
    if (size != nullptr)
        *size = static_cast<ULONG>(block.size());
    void* result = LocalAlloc(LMEM_FIXED, block.size());
    if (result != nullptr)
        std::memcpy(result, block.data(), block.size());
    return result;
}

bool FromSelfRelative(const void* block, Descriptor& descriptor) {
    SECURITY_DESCRIPTOR_RELATIVE header;
    std::memcpy(&header, block, sizeof header);
    if (header.Revision != SECURITY_DESCRIPTOR_REVISION || !(header.Control & SE_SELF_RELATIVE))
        return false;
    const BYTE* bytes = static_cast<const BYTE*>(block);
    // The parts come after the header; their offsets bound what is read.
    const size_t size = 0xFFFF;
    descriptor = Descriptor{};
    descriptor.owner = SidAt(bytes, size, header.Owner);
    descriptor.group = SidAt(bytes, size, header.Group);
    descriptor.daclPresent = (header.Control & SE_DACL_PRESENT) != 0 && header.Dacl != 0;
    descriptor.daclProtected = (header.Control & SE_DACL_PROTECTED) != 0;
    if (!descriptor.daclPresent)
        return true;
    ACL acl;
    std::memcpy(&acl, bytes + header.Dacl, sizeof acl);
    size_t at = header.Dacl + sizeof(ACL);
    const size_t end = header.Dacl + acl.AclSize;
    for (WORD i = 0; i < acl.AceCount; ++i) {
        ACE_HEADER aceHeader;
        if (at + 8 > end)
            return false;
        std::memcpy(&aceHeader, bytes + at, sizeof aceHeader);
        Ace ace;
        ace.type = aceHeader.AceType;
        ace.flags = aceHeader.AceFlags;
        std::memcpy(&ace.mask, bytes + at + 4, sizeof ace.mask);
        ace.sid = SidAt(bytes, end, static_cast<DWORD>(at + 8));
        if (ace.sid.empty() || aceHeader.AceSize < 8 + ace.sid.size())
            return false;
        descriptor.dacl.push_back(std::move(ace));
        at += aceHeader.AceSize;
    }
    return true;
}

Descriptor DescriptorFromMode(uid_t uid, gid_t gid, mode_t mode, bool folder) {
    Descriptor descriptor;
    descriptor.owner = OwnerSid(uid);
    descriptor.group = GroupSid(gid);
    descriptor.daclPresent = true;
    // The owner may always change the mode: that is re-permissioning.
    descriptor.dacl.push_back({ACCESS_ALLOWED_ACE_TYPE, 0,
                               RightsFromBits((mode >> 6) & 7, folder) |
                                   static_cast<ACCESS_MASK>(READ_CONTROL | WRITE_DAC),
                               descriptor.owner});
    if (unsigned bits = (mode >> 3) & 7)
        descriptor.dacl.push_back(
            {ACCESS_ALLOWED_ACE_TYPE, 0, RightsFromBits(bits, folder), descriptor.group});
    if (unsigned bits = mode & 7)
        descriptor.dacl.push_back(
            {ACCESS_ALLOWED_ACE_TYPE, 0, RightsFromBits(bits, folder), EveryoneSid()});
    return descriptor;
}

DWORD FolderModeFromDescriptor(const Descriptor& descriptor, mode_t& mode, uid_t& owner) {
    owner = static_cast<uid_t>(-1);
    if (descriptor.owner == SystemSid() || descriptor.owner == AdministratorsSid())
        owner = geteuid() == 0 ? 0 : static_cast<uid_t>(-1);
    else if (!descriptor.owner.empty()) {
        const SidBytes user = MakeSid(kNtAuthority, {21, 0, 0, kHostUsers, 0});
        if (descriptor.owner.size() != user.size() ||
            !std::equal(user.begin(), user.end() - 4, descriptor.owner.begin()))
            return ERROR_NOT_SUPPORTED;
        std::memcpy(&owner, &descriptor.owner[user.size() - 4], sizeof owner);
    }
    if (!descriptor.daclPresent) {
        mode = 0777; // no DACL: everyone may do anything
        return ERROR_SUCCESS;
    }
    mode = 0;
    for (const Ace& ace : descriptor.dacl) {
        if (ace.flags & INHERIT_ONLY_ACE)
            continue; // a template for children, not this folder's access
        if (ace.type != ACCESS_ALLOWED_ACE_TYPE)
            return ERROR_NOT_SUPPORTED;
        const unsigned bits = BitsFromRights(ace.mask);
        if (ace.sid == SystemSid() || ace.sid == AdministratorsSid() || ace.sid == descriptor.owner)
            mode |= bits << 6;
        else if (ace.sid == UsersSid() || ace.sid == EveryoneSid() ||
                 ace.sid == MakeSid(kNtAuthority, {11}))
            mode |= (bits << 3) | bits;
        else
            return ERROR_NOT_SUPPORTED;
    }
    return ERROR_SUCCESS;
}

} // namespace hostwin::security
