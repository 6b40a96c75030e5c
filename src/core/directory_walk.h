#pragma once
// The one walker over a folder tree. It lists each folder through a handle (core/folder_listing.h),
// takes names, attributes and sizes from the listing itself (no per-file status query) and never
// enters a link: a folder carrying a reparse point (symbolic link, junction, mount point) is
// handed out as a leaf. An elevated installer that followed a link planted by an unelevated
// program could be made to delete, copy or count files far outside the tree it was given. The
// walk keeps the folders it is in on a stack of its own, so a tree of any depth (an unelevated
// program can plant one thousands of folders deep) costs it memory, never the thread's stack.

#include "core/handle_calls.h"

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>

namespace qv {

struct WalkEntry {
    std::wstring_view path;     // root\relative, valid during the visit only
    std::wstring_view relative; // below the root, without a leading separator
    std::wstring_view name;
    DWORD attributes = 0;
    std::uint64_t size = 0;
    HANDLE folder = nullptr; // the handle of the folder that holds the entry

    bool isLink() const { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
    bool isFolder() const { return isPlainFolder(attributes); }
    bool isRegularFile() const {
        return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                              FILE_ATTRIBUTE_DEVICE)) == 0;
    }
};

enum class WalkOrder {
    FolderFirst,   // a folder, then what it holds (listing, copying)
    ContentsFirst, // what a folder holds, then the folder itself (removal)
};

enum class WalkErrors {
    Skip, // a folder that cannot be listed is passed over; the walk goes on
    Stop, // the first folder that cannot be listed ends the walk
};

// Return false from the visitor to end the walk early.
using WalkVisitor = std::function<bool(const WalkEntry&)>;

struct WalkResult {
    // The first listing failure; with WalkErrors::Stop, the one that ended the walk.
    std::error_code error;
    std::filesystem::path failedFolder;
    bool failedAtRoot = false; // the root itself could not be listed (missing, not a folder)
    bool stoppedByVisitor = false;
};

// Visits everything below root (not root itself), in the order the listing yields. The root is
// opened by its path as given; every folder below it relative to its parent's handle.
WalkResult walkDirectory(const std::filesystem::path& root, WalkOrder order, WalkErrors onError,
                         const WalkVisitor& visit);

// How a walk below a held folder enters a folder it met: a handle to list it through, or an
// empty one with the system's code (ERROR_SUCCESS to pass it over without a failure).
using FolderEntry = std::function<RelativeOpen(const WalkEntry&)>;

// The visitor of such a walk is given, with WalkOrder::ContentsFirst, the handle the walk entered
// a folder through, to act on the folder once what it holds was visited; null for everything
// else.
using HeldWalkVisitor = std::function<bool(const WalkEntry&, HANDLE entered)>;

// The same walk below the folder open as `root`, named `rootPath`, entering folders as `enter`
// decides. Never throws but for a visitor's or enter's exception or a lack of memory.
WalkResult walkHeldTree(HANDLE root, const std::wstring& rootPath, WalkOrder order,
                        WalkErrors onError, const FolderEntry& enter, const HeldWalkVisitor& visit);

} // namespace qv
