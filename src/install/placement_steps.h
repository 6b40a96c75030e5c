#pragma once
// The single steps of putting one file in place, by handle: its bytes into a new file, and
// whatever is at its target's name opened as itself.

#include "core/held_folder.h"

#include <filesystem>
#include <string>
#include <vector>

namespace qv {

// "Không sao chép được: " + shown and the system's reason: a file that could not be put in place.
[[noreturn]] void throwCopyFailure(const std::filesystem::path& shown, DWORD error);

inline constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The source's bytes into the new file, and its last-write time as a file copy keeps it. The
// new file keeps the plain attributes it was made with: a read-only package file must not make
// the installed one read-only. Returns the system's error code, 0 on success.
DWORD copyInto(HANDLE target, const std::filesystem::path& source, std::vector<char>& buffer);

// Every file written so far on the volume that holds the open folder reaches the disk, before
// any name points at one of them: one flush of the whole volume, which an administrator may ask
// for, costs far less than one per file. The volume is the one the folder's path is mounted
// from (a folder mounted into another drive's tree counts as its own volume), not its drive
// letter's. Returns false where the system refuses (some endpoint protection refuses to open a
// volume; a share has no volume to open): the caller then flushes each new file itself.
bool flushVolumeOf(HANDLE folder) noexcept;
// Whether the system lets this process open that volume for its flush, asked before the new
// files are written: where it does not, each new file is flushed as soon as it is written.
bool volumeOpensFor(HANDLE folder) noexcept;

// Whatever is at the name, opened as itself and shared with everyone, so that a running
// program's image or an open data file can still be moved aside (a file open without sharing
// cannot, and the update stops there). A file is what is nearly always there, and asking for
// one spares a query per file; anything else (a folder, a link to one) is opened on a second
// try, and `plainFolder` tells whether it is a folder.
RelativeOpen openTarget(HANDLE parent, const std::wstring& name, bool& plainFolder);

} // namespace qv
