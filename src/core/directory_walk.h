#pragma once
// The one walker over a folder tree. It reads names, attributes and sizes from the directory
// listing itself (no per-file status query) and never enters a link: a folder carrying a
// reparse point (symbolic link, junction, mount point) is handed out as a leaf. An elevated
// installer that followed a link planted by an unelevated program could be made to delete,
// copy or count files far outside the tree it was given.

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

    bool isLink() const { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
    bool isFolder() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !isLink(); }
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

// Visits everything below root (not root itself), in the order the listing yields.
WalkResult walkDirectory(const std::filesystem::path& root, WalkOrder order, WalkErrors onError,
                         const WalkVisitor& visit);

// Removes path and everything below it without following any link: a link is deleted itself,
// never what it points to. The folder that holds path is opened by its name; below it, the
// removal goes through handles (core/tree_removal.h). Read-only files are removed too. Errors
// are ignored; whatever cannot be removed stays. Never throws.
void removeTree(const std::filesystem::path& path) noexcept;

} // namespace qv
