#pragma once
// Native file calls relative to an open folder's handle: a child is named by the folder's
// handle and its own name, never by a path that could be resolved anew, so no link or rename
// between two calls changes what they reach.

#include "core/guards.h"

#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace qv {

// Holds null, never INVALID_HANDLE_VALUE, for "no file": what the native calls hand out.
using UniqueFile = UniqueHandle;

struct RelativeOpen {
    UniqueFile file;
    DWORD error = ERROR_SUCCESS;
    bool created = false; // FILE_OPEN_IF made it
};

// NtCreateFile on `name` directly inside the folder `folder` is open as, never following a
// link at that name (a link is opened as itself), for synchronous I/O. `disposition` and
// `options` are the native ones (FILE_OPEN, FILE_CREATE, FILE_DIRECTORY_FILE, ...).
RelativeOpen openRelative(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG share,
                          ULONG disposition, ULONG options,
                          PSECURITY_DESCRIPTOR security = nullptr);

// Gives the open file (opened with DELETE access) the name `name` inside `folder`, both by
// handle; with `replace`, an existing entry of that name (not a folder) is replaced as a name,
// whatever it pointed to keeping its bytes. Returns the system's error code, 0 on success.
DWORD renameByHandle(HANDLE file, HANDLE folder, std::wstring_view name, bool replace);

// Marks the open file, link or empty folder (opened with DELETE access) for deletion when its
// last handle closes. Returns the system's error code, 0 on success.
DWORD deleteByHandle(HANDLE file);

// The same (opened with FILE_READ_ATTRIBUTES and FILE_WRITE_ATTRIBUTES access too), also when
// the entry is read-only. Where the attribute must go first, it comes back when the deletion
// fails or the file keeps other names: a second name of another file is deleted as a name, and
// that file keeps its attributes.
DWORD deleteEntryByHandle(HANDLE file);

// Where the handle really leads, every link on the way resolved, without the "\\?\" form;
// empty when the system cannot tell, and then `error` holds the system's code.
std::wstring finalPathOf(HANDLE handle, DWORD& error);
std::wstring finalPathOf(HANDLE handle);

// Both non-empty and equal as Windows compares names (ordinal, case ignored).
bool samePathIgnoringCase(std::wstring_view left, std::wstring_view right);

// The "\\?\" form of an absolute path, which no path length limit applies to.
std::wstring extendedLengthPath(const std::filesystem::path& path);

// The path of `name` inside the folder at `folder`: one separator between them.
std::wstring joinedPath(std::wstring folder, std::wstring_view name);

// Whether the open handle is exactly at `path`, as its final path tells: an entry reached
// through a link that the system followed (although asked not to) is elsewhere. Every check
// that a handle is the entry its parent and name say goes through here.
bool isAtPath(HANDLE handle, std::wstring_view path);

// A folder that is not a link (symbolic link, junction, mount point): the only kind the run
// enters or holds.
inline bool isPlainFolder(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

} // namespace qv
