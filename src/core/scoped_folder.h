#pragma once

#include "core/tree_removal.h"
#include "core/held_folder.h"
#include "core/tree_removal.h"

#include <filesystem>

namespace qv {

// Owns a folder for the length of a scope: removes it with everything in it when the scope
// ends, normally or by an exception. Removal errors are ignored (a file still open stays), and
// a link found inside is removed itself, never what it points to.
//
// A held folder (the run's work folder) stays held, and with it its parent, until the removal:
// nobody can rename it away and put something else at its name meanwhile, and the removal
// walks below the handle, not below the name. A folder given by path is removed by that path.
class ScopedFolder {
public:
    explicit ScopedFolder(std::filesystem::path folder) : path_(std::move(folder)) {}
    ScopedFolder(HeldFolder parent, HeldFolder folder)
        : path_(folder.path()), parent_(std::move(parent)), folder_(std::move(folder)) {}
    ~ScopedFolder() {
        if (folder_) {
            removeHeldFolder(parent_, folder_);
        } else {
            removeTree(path_);
        }
    }
    ScopedFolder(const ScopedFolder&) = delete;
    ScopedFolder& operator=(const ScopedFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The folder that holds it, held as long as it is (empty for a folder given by path).
    const HeldFolder& parent() const { return parent_; }

private:
    std::filesystem::path path_;
    HeldFolder parent_;
    HeldFolder folder_;
};

} // namespace qv
