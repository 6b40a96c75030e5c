#pragma once
// Whose a run's folder beside the installation folder is. Anyone who may create folders there
// (on a default C:\, every user) can make one with a run folder's name and a record of their own
// choosing in it; acting on it would let that user's record move files of the installation. What
// this elevated process creates is owned by the owner its token gives new objects (TokenOwner:
// the Administrators group for an elevated administrator), which a standard user cannot give
// anything, not even one whose unelevated token shares the administrator's user. A folder or
// record owned by anyone else is not a run's.

#include <windows.h>

#include <string_view>
#include <vector>

namespace qv {

// A SID's bytes; empty when it is not known.
using SidBytes = std::vector<BYTE>;

// The owner the system gives an entry this process creates in the open folder, read from one
// made there for the purpose and gone again when its handle closes: the token's owner, as the
// file system records it.
SidBytes ownerGivenToNewEntries(HANDLE folder);

// The owner of `name` directly inside the open folder, opened as itself, never through a link.
SidBytes ownerOfChild(HANDLE folder, std::wstring_view name);

// Whether an entry owned by `owner` was made by a process that gives `creator` as the owner of
// what it makes. An owner that cannot be read is nobody's.
bool ownedByCreator(const SidBytes& owner, const SidBytes& creator);

} // namespace qv
