#pragma once

#include "core/directory_walk.h"

#include <filesystem>

namespace qv {

// Owns a folder for the length of a scope: removes it with everything in it when the scope
// ends, normally or by an exception. Removal errors are ignored (a file still open stays), and
// a link found inside is removed itself, never what it points to.
class ScopedFolder {
public:
    explicit ScopedFolder(std::filesystem::path folder) : folder_(std::move(folder)) {}
    ~ScopedFolder() { removeTree(folder_); }
    ScopedFolder(const ScopedFolder&) = delete;
    ScopedFolder& operator=(const ScopedFolder&) = delete;

    const std::filesystem::path& path() const { return folder_; }

private:
    std::filesystem::path folder_;
};

} // namespace qv
