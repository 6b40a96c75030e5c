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

// What a folder of descriptor `parent` passes on to a new file (or, with `folder`, a new folder)
// created in it by this process: its inheritable rules, marked as inherited, and this process's
// owner. Empty when `parent` is. Returns the system's error code, 0 on success.
DWORD inheritedSecurity(const SecurityDescriptor& parent, bool folder,
                        SecurityDescriptor& descriptor);

inline PSECURITY_DESCRIPTOR descriptorOrNone(const SecurityDescriptor& descriptor) {
    return descriptor.empty() ? nullptr
                              : const_cast<std::byte*>(descriptor.data()); // read, never written
}

} // namespace qv
