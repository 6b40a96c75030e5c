#pragma once

#include <filesystem>
#include <system_error>

namespace qv {

// Owns a folder for the length of a scope: removes it with everything in it when the scope
// ends, normally or by an exception. Removal errors are ignored (a file still open stays).
class ScopedFolder {
public:
    explicit ScopedFolder(std::filesystem::path folder) : folder_(std::move(folder)) {}
    ~ScopedFolder() {
        // The error-code form may still throw std::bad_alloc, and anything leaving this
        // (implicitly noexcept) destructor would end the process without the error report.
        try {
            std::error_code ignored;
            std::filesystem::remove_all(folder_, ignored);
        } catch (...) {
        }
    }
    ScopedFolder(const ScopedFolder&) = delete;
    ScopedFolder& operator=(const ScopedFolder&) = delete;

    const std::filesystem::path& path() const { return folder_; }

private:
    std::filesystem::path folder_;
};

} // namespace qv
