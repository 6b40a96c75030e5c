#include "install/inherited_security.h"

#include "core/guards.h"
#include "core/held_folder.h"

#include <aclapi.h>

#include <vector>

namespace qv {
namespace {

constexpr SECURITY_INFORMATION kParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
constexpr BYTE kInheritFlags =
    OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE | INHERIT_ONLY_ACE;
constexpr DWORD kGenericRights = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

SecurityDescriptor copied(PSECURITY_DESCRIPTOR descriptor) {
    const auto* bytes = static_cast<const std::byte*>(descriptor);
    return SecurityDescriptor(bytes, bytes + ::GetSecurityDescriptorLength(descriptor));
}

// The SIDs a new object's owner and group take the place of in what it inherits: this process's
// default owner and primary group.
struct Creator {
    std::vector<std::byte> owner;
    std::vector<std::byte> group;
};

DWORD creator(Creator& found) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return ::GetLastError();
    }
    const UniqueResource<HANDLE, closeKernelHandle> ownToken(token);
    for (const auto& [kind, slot] :
         {std::pair{TokenOwner, &found.owner}, std::pair{TokenPrimaryGroup, &found.group}}) {
        DWORD size = 0;
        ::GetTokenInformation(token, kind, nullptr, 0, &size);
        std::vector<std::byte> information(size);
        if (size == 0 || !::GetTokenInformation(token, kind, information.data(), size, &size)) {
            return ::GetLastError();
        }
        // TOKEN_OWNER and TOKEN_PRIMARY_GROUP both hold one SID pointer first.
        const PSID sid = *reinterpret_cast<PSID*>(information.data());
        const auto* bytes = static_cast<const std::byte*>(sid);
        slot->assign(bytes, bytes + ::GetLengthSid(sid));
    }
    return ERROR_SUCCESS;
}

bool isWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    return ::IsWellKnownSid(sid, type) != FALSE;
}

// Appends an allowed or denied entry of the given flags, rights and SID.
bool append(std::vector<std::byte>& entries, BYTE type, BYTE flags, ACCESS_MASK rights, PSID sid) {
    const DWORD sidLength = ::GetLengthSid(sid);
    const std::size_t size = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + sidLength;
    const std::size_t at = entries.size();
    entries.resize(at + size);
    auto* entry = reinterpret_cast<ACCESS_ALLOWED_ACE*>(entries.data() + at);
    entry->Header.AceType = type;
    entry->Header.AceFlags = flags;
    entry->Header.AceSize = static_cast<WORD>(size);
    entry->Mask = rights;
    return ::CopySid(sidLength, &entry->SidStart, sid) != FALSE;
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

// The system's inheritance rules for a new object whose creator gives it no rules of its own:
// the parent's entries that reach it, in the parent's order, marked inherited. A file takes the
// entries that pass on to objects, with no inheritance left; a folder takes those that pass on to
// folders (still passed on, unless they stop here) and keeps those meant for files as
// inherit-only. An entry for CREATOR OWNER or CREATOR GROUP, or with generic rights, applies
// to the new object as its owner's or group's, with the rights mapped to a file's; where it
// also passes on further, an inherit-only copy as it was does that.
DWORD inheritedSecurity(const SecurityDescriptor& parent, bool folder,
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
    Creator owner;
    if (const DWORD error = creator(owner)) {
        return error;
    }
    GENERIC_MAPPING fileRights = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                  FILE_ALL_ACCESS};
    std::vector<std::byte> entries;
    for (DWORD index = 0; present && parentRules != nullptr && index < parentRules->AceCount;
         ++index) {
        ACE_HEADER* header = nullptr;
        if (!::GetAce(parentRules, index, reinterpret_cast<void**>(&header))) {
            return ::GetLastError();
        }
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
            header->AceType != ACCESS_DENIED_ACE_TYPE) {
            continue; // no other kind reaches a file's rules
        }
        const auto* entry = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
        const PSID sid = const_cast<DWORD*>(&entry->SidStart);
        const BYTE flags = header->AceFlags;
        const bool toObjects = (flags & OBJECT_INHERIT_ACE) != 0;
        const bool toFolders = (flags & CONTAINER_INHERIT_ACE) != 0;
        const bool stopsHere = (flags & NO_PROPAGATE_INHERIT_ACE) != 0;
        const BYTE kept = static_cast<BYTE>(flags & ~kInheritFlags & ~INHERITED_ACE);
        const bool creatorSid =
            isWellKnown(sid, WinCreatorOwnerSid) || isWellKnown(sid, WinCreatorGroupSid);
        const bool needsMapping = creatorSid || (entry->Mask & kGenericRights) != 0;
        const BYTE further =
            static_cast<BYTE>(flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE));
        auto effective = [&] {
            ACCESS_MASK rights = entry->Mask;
            ::MapGenericMask(&rights, &fileRights);
            const PSID holder = isWellKnown(sid, WinCreatorOwnerSid)   ? owner.owner.data()
                                : isWellKnown(sid, WinCreatorGroupSid) ? owner.group.data()
                                                                       : sid;
            return append(entries, header->AceType, kept | INHERITED_ACE, rights, holder);
        };
        bool added = true;
        if (!folder) {
            added = !toObjects || effective();
        } else if (stopsHere) {
            added = !toFolders || effective(); // for this folder only, nothing further
        } else if (toFolders && !needsMapping) {
            added = append(entries, header->AceType, kept | further | INHERITED_ACE, entry->Mask,
                           sid); // applies here and passes on as it was
        } else if (toFolders || toObjects) {
            added = (!toFolders || effective()) &&
                    append(entries, header->AceType,
                           kept | further | INHERIT_ONLY_ACE | INHERITED_ACE, entry->Mask, sid);
        }
        if (!added) {
            return ::GetLastError();
        }
    }
    std::vector<std::byte> rules(sizeof(ACL) + entries.size());
    auto* acl = reinterpret_cast<ACL*>(rules.data());
    if (!::InitializeAcl(acl, static_cast<DWORD>(rules.size()), ACL_REVISION)) {
        return ::GetLastError();
    }
    if (!entries.empty() &&
        !::AddAce(acl, ACL_REVISION, 0, entries.data(), static_cast<DWORD>(entries.size()))) {
        return ::GetLastError();
    }
    SECURITY_DESCRIPTOR absolute;
    DWORD size = 0;
    if (!::InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&absolute, TRUE, acl, FALSE) ||
        !::SetSecurityDescriptorControl(&absolute, SE_DACL_AUTO_INHERITED,
                                        SE_DACL_AUTO_INHERITED)) {
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

} // namespace qv
