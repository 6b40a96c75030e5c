#pragma once
// The access rules a new file gets where it lands. New files are written in the run's own folder,
// whose rules let only SYSTEM and Administrators in, and a file keeps its rules when it is renamed:
// each is therefore given the rules its target folder would have passed on to it, as if it had
// been created there (and the rules of a folder the update is still to make are those its
// parent passes on to a folder).

#include <windows.h>

#include <cstddef>
#include <vector>

namespace qv {

// A self-relative security descriptor; empty for "none": the volume keeps no access rules, and a
// new file takes whatever it inherits.
using SecurityDescriptor = std::vector<std::byte>;

// The descriptor of the open folder (owner, group and access rules), read through a second handle
// to the same folder; empty on a volume that keeps no access rules. Returns the system's error
// code, 0 on success.
DWORD readFolderSecurity(HANDLE folder, SecurityDescriptor& descriptor);

// Who makes a new object: its default owner and primary group stand for CREATOR OWNER and CREATOR
// GROUP in what the object inherits, and its default rules (an ACL; empty when it has none) are
// what the object gets when its folder passes nothing on to it.
struct Creator {
    std::vector<std::byte> owner;
    std::vector<std::byte> group;
    std::vector<std::byte> defaultRules;
};

// This process as the creator, from its token. Returns the system's error code, 0 on success.
DWORD processCreator(Creator& found);

// What a folder of descriptor `parent` passes on to a new file (or, with `folder`, a new folder)
// that `creator` makes in it: its inheritable rules, marked as inherited, or the creator's default
// rules where none reach it. Empty when `parent` is. Returns the system's error code, 0 on
// success.
DWORD inheritedSecurity(const SecurityDescriptor& parent, bool folder, const Creator& creator,
                        SecurityDescriptor& descriptor);

// The same, made by this process.
DWORD inheritedSecurity(const SecurityDescriptor& parent, bool folder,
                        SecurityDescriptor& descriptor);

inline PSECURITY_DESCRIPTOR descriptorOrNone(const SecurityDescriptor& descriptor) {
    return descriptor.empty() ? nullptr
                              : const_cast<std::byte*>(descriptor.data()); // read, never written
}

} // namespace qv
