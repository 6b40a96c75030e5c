#include "install/inherited_security.h"

#include "core/guards.h"
#include "core/held_folder.h"

#include <aclapi.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace qv {
namespace {

constexpr SECURITY_INFORMATION kParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
constexpr BYTE kInheritFlags =
    OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE | INHERIT_ONLY_ACE;
constexpr DWORD kGenericRights = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;
GENERIC_MAPPING kFileRights = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                               FILE_ALL_ACCESS};
// An entry's SID follows its header and rights, unless it is an object entry.
constexpr std::size_t kSidAt = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);

SecurityDescriptor copied(PSECURITY_DESCRIPTOR descriptor) {
    const auto* bytes = static_cast<const std::byte*>(descriptor);
    return SecurityDescriptor(bytes, bytes + ::GetSecurityDescriptorLength(descriptor));
}

std::vector<std::byte> sidBytes(PSID sid) {
    const auto* bytes = static_cast<const std::byte*>(sid);
    return std::vector<std::byte>(bytes, bytes + ::GetLengthSid(sid));
}

// The token's answer for `kind`, which holds one pointer first (a SID, or an ACL that may be
// absent).
DWORD tokenPart(HANDLE token, TOKEN_INFORMATION_CLASS kind, std::vector<std::byte>& part) {
    DWORD size = 0;
    ::GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<std::byte> information(size);
    if (size == 0 || !::GetTokenInformation(token, kind, information.data(), size, &size)) {
        return ::GetLastError();
    }
    void* const first = *reinterpret_cast<void**>(information.data());
    if (kind != TokenDefaultDacl) {
        part = sidBytes(first);
    } else if (first != nullptr) {
        const auto* bytes = static_cast<const std::byte*>(first);
        part.assign(bytes, bytes + static_cast<const ACL*>(first)->AclSize);
    }
    return ERROR_SUCCESS;
}

bool isWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    return ::IsWellKnownSid(sid, type) != FALSE;
}

bool isObjectEntry(BYTE type) {
    return type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE ||
           type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE ||
           type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE;
}

// The kinds of entry that allow or deny rights: plain, with a condition (callback), for an object
// type, or both. They inherit alike; what they carry besides goes along unchanged.
bool allowsOrDenies(BYTE type) {
    return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE ||
           type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_ACE_TYPE ||
           isObjectEntry(type);
}

DWORD objectFlagsOf(const ACE_HEADER* entry) {
    DWORD flags = 0;
    std::memcpy(&flags, reinterpret_cast<const std::byte*>(entry) + kSidAt, sizeof(flags));
    return flags;
}

// Where an entry's SID starts: after its rights, and in an object entry after the object flags
// and the GUIDs they say are there.
std::size_t sidOffset(const ACE_HEADER* entry) {
    if (!isObjectEntry(entry->AceType)) {
        return kSidAt;
    }
    const DWORD flags = objectFlagsOf(entry);
    return kSidAt + sizeof(DWORD) + ((flags & ACE_OBJECT_TYPE_PRESENT) ? sizeof(GUID) : 0) +
           ((flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) ? sizeof(GUID) : 0);
}

PSID sidOf(const ACE_HEADER* entry) {
    return const_cast<std::byte*>(reinterpret_cast<const std::byte*>(entry) + sidOffset(entry));
}

// Appends a copy of `from` with the given flags, rights and SID; its object types and condition
// stay as they were.
DWORD append(std::vector<std::byte>& entries, const ACE_HEADER* from, BYTE flags,
             ACCESS_MASK rights, PSID sid) {
    const auto* source = reinterpret_cast<const std::byte*>(from);
    const std::size_t sidAt = sidOffset(from);
    const std::size_t sidEnd = sidAt + ::GetLengthSid(sidOf(from));
    if (sidEnd > from->AceSize) {
        return ERROR_INVALID_ACL;
    }
    const std::vector<std::byte> holder = sidBytes(sid);
    const std::size_t at = entries.size();
    entries.insert(entries.end(), source, source + sidAt);
    entries.insert(entries.end(), holder.begin(), holder.end());
    entries.insert(entries.end(), source + sidEnd, source + from->AceSize);
    auto* entry = reinterpret_cast<ACCESS_ALLOWED_ACE*>(entries.data() + at);
    entry->Header.AceFlags = flags;
    entry->Header.AceSize = static_cast<WORD>(entries.size() - at);
    entry->Mask = rights;
    return ERROR_SUCCESS;
}

// The creator's default rules, as they are given to a new object: generic rights mapped to a
// file's where an entry applies to it.
DWORD appendDefaultRules(std::vector<std::byte>& entries, const std::vector<std::byte>& rules) {
    const auto* acl = reinterpret_cast<const ACL*>(rules.data());
    for (DWORD index = 0; index < acl->AceCount; ++index) {
        ACE_HEADER* header = nullptr;
        if (!::GetAce(const_cast<ACL*>(acl), index, reinterpret_cast<void**>(&header))) {
            return ::GetLastError();
        }
        ACCESS_MASK rights = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header)->Mask;
        if (!(header->AceFlags & INHERIT_ONLY_ACE)) {
            ::MapGenericMask(&rights, &kFileRights);
        }
        if (const DWORD error = append(entries, header, header->AceFlags, rights, sidOf(header))) {
            return error;
        }
    }
    return ERROR_SUCCESS;
}

} // namespace

DWORD readFolderSecurity(HANDLE folder, SecurityDescriptor& descriptor) {
    descriptor.clear();
    if (!keepsAccessRules(folder)) {
        return ERROR_SUCCESS;
    }
    // The held handle carries no READ_CONTROL; a second one to the very same folder does.
    const HANDLE reopened =
        ::ReOpenFile(folder, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     FILE_FLAG_BACKUP_SEMANTICS /* a folder */);
    if (reopened == INVALID_HANDLE_VALUE) {
        return ::GetLastError();
    }
    const UniqueFile readable(reopened);
    PSECURITY_DESCRIPTOR read = nullptr;
    const DWORD error =
        ::GetSecurityInfo(readable.get(), SE_FILE_OBJECT, kParts, nullptr /* owner */,
                          nullptr /* group */, nullptr /* DACL */, nullptr /* SACL */, &read);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    const UniqueLocalMemory owned(read);
    descriptor = copied(read);
    return ERROR_SUCCESS;
}

DWORD processCreator(Creator& found) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return ::GetLastError();
    }
    const UniqueResource<HANDLE, closeKernelHandle> ownToken(token);
    found.defaultRules.clear();
    DWORD error = tokenPart(token, TokenOwner, found.owner);
    if (error == ERROR_SUCCESS) {
        error = tokenPart(token, TokenPrimaryGroup, found.group);
    }
    return error == ERROR_SUCCESS ? tokenPart(token, TokenDefaultDacl, found.defaultRules) : error;
}

// The system's inheritance rules for a new object whose creator gives it no rules of its own:
// the parent's entries that reach it, in the parent's order, marked inherited. A file takes the
// entries that pass on to objects, with no inheritance left; a folder takes those that pass on to
// folders (still passed on, unless they stop here) and keeps those meant for files as
// inherit-only. An entry for CREATOR OWNER or CREATOR GROUP, or with generic rights, applies
// to the new object as its owner's or group's, with the rights mapped to a file's; where it
// also passes on further, an inherit-only copy as it was does that. An entry for one object type
// applies to no file or folder, and only passes on. Where nothing reaches the new object, it
// gets its creator's default rules (none at all when the creator has none).
DWORD inheritedSecurity(const SecurityDescriptor& parent, bool folder, const Creator& creator,
                        SecurityDescriptor& descriptor) {
    descriptor.clear();
    if (parent.empty()) {
        return ERROR_SUCCESS;
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL parentRules = nullptr;
    auto* parentDescriptor = const_cast<std::byte*>(parent.data());
    if (!::GetSecurityDescriptorDacl(parentDescriptor, &present, &parentRules, &defaulted)) {
        return ::GetLastError();
    }
    BYTE revision = ACL_REVISION;
    std::vector<std::byte> entries;
    for (DWORD index = 0; present && parentRules != nullptr && index < parentRules->AceCount;
         ++index) {
        ACE_HEADER* header = nullptr;
        if (!::GetAce(parentRules, index, reinterpret_cast<void**>(&header))) {
            return ::GetLastError();
        }
        if (!allowsOrDenies(header->AceType)) {
            continue; // no other kind reaches a file's rules
        }
        revision = std::max(revision, parentRules->AclRevision);
        const ACCESS_MASK mask = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header)->Mask;
        const PSID sid = sidOf(header);
        const BYTE flags = header->AceFlags;
        const bool toObjects = (flags & OBJECT_INHERIT_ACE) != 0;
        const bool toFolders = (flags & CONTAINER_INHERIT_ACE) != 0;
        const bool stopsHere = (flags & NO_PROPAGATE_INHERIT_ACE) != 0;
        const bool forAType = isObjectEntry(header->AceType) &&
                              (objectFlagsOf(header) & ACE_INHERITED_OBJECT_TYPE_PRESENT) != 0;
        const BYTE kept = static_cast<BYTE>(flags & ~kInheritFlags & ~INHERITED_ACE);
        const bool creatorSid =
            isWellKnown(sid, WinCreatorOwnerSid) || isWellKnown(sid, WinCreatorGroupSid);
        const bool needsMapping = creatorSid || (mask & kGenericRights) != 0;
        const BYTE further =
            static_cast<BYTE>(flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE));
        auto effective = [&] {
            ACCESS_MASK rights = mask;
            ::MapGenericMask(&rights, &kFileRights);
            const PSID holder = isWellKnown(sid, WinCreatorOwnerSid)   ? PSID(creator.owner.data())
                                : isWellKnown(sid, WinCreatorGroupSid) ? PSID(creator.group.data())
                                                                       : sid;
            return forAType ? DWORD(ERROR_SUCCESS)
                            : append(entries, header, kept | INHERITED_ACE, rights, holder);
        };
        auto passedOn = [&] {
            return append(entries, header, kept | further | INHERIT_ONLY_ACE | INHERITED_ACE, mask,
                          sid);
        };
        DWORD error = ERROR_SUCCESS;
        if (!folder) {
            error = toObjects ? effective() : ERROR_SUCCESS;
        } else if (stopsHere) {
            error = toFolders ? effective() : ERROR_SUCCESS; // for this folder only
        } else if (toFolders && !needsMapping && !forAType) {
            // applies here and passes on as it was
            error = append(entries, header, kept | further | INHERITED_ACE, mask, sid);
        } else if (toFolders || toObjects) {
            error = toFolders ? effective() : ERROR_SUCCESS;
            error = error == ERROR_SUCCESS ? passedOn() : error;
        }
        if (error != ERROR_SUCCESS) {
            return error;
        }
    }
    const bool inherits = !entries.empty();
    if (!inherits && !creator.defaultRules.empty()) {
        revision = std::max(revision,
                            reinterpret_cast<const ACL*>(creator.defaultRules.data())->AclRevision);
        if (const DWORD error = appendDefaultRules(entries, creator.defaultRules)) {
            return error;
        }
    }
    std::vector<std::byte> rules(sizeof(ACL) + entries.size());
    auto* acl = reinterpret_cast<ACL*>(rules.data());
    if (!::InitializeAcl(acl, static_cast<DWORD>(rules.size()), revision)) {
        return ::GetLastError();
    }
    if (!entries.empty() &&
        !::AddAce(acl, revision, 0, entries.data(), static_cast<DWORD>(entries.size()))) {
        return ::GetLastError();
    }
    const bool noRules = !inherits && creator.defaultRules.empty();
    SECURITY_DESCRIPTOR absolute;
    DWORD size = 0;
    if (!::InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&absolute, TRUE, noRules ? nullptr : acl, FALSE) ||
        !::SetSecurityDescriptorControl(&absolute, SE_DACL_AUTO_INHERITED,
                                        inherits ? SE_DACL_AUTO_INHERITED : 0)) {
        return ::GetLastError();
    }
    ::MakeSelfRelativeSD(&absolute, nullptr, &size);
    descriptor.resize(size);
    if (!::MakeSelfRelativeSD(&absolute, descriptor.data(), &size)) {
        descriptor.clear();
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

DWORD inheritedSecurity(const SecurityDescriptor& parent, bool folder,
                        SecurityDescriptor& descriptor) {
    descriptor.clear();
    Creator creator;
    if (parent.empty()) {
        return ERROR_SUCCESS;
    }
    const DWORD error = processCreator(creator);
    return error == ERROR_SUCCESS ? inheritedSecurity(parent, folder, creator, descriptor) : error;
}

} // namespace qv
