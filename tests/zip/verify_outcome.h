#pragma once
// Runs the verifier on bytes written to a temporary file and describes what happened in one
// comparable string: "accepted <files> files, <bytes> bytes" or the refusal message. The file is
// deleted afterwards; a failed deletion means the verifier left it open, which is reported too.

#include "zip/zip_verifier.h"

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace qv::ziptest {

inline std::filesystem::path scratchFolder() {
    static const std::filesystem::path folder = [] {
        auto path = std::filesystem::temp_directory_path() /
                    (L"qv-zip-tests-" + std::to_wstring(::GetCurrentProcessId()));
        std::filesystem::create_directories(path);
        return path;
    }();
    return folder;
}

inline std::string describe(const ZipSummary& summary) {
    return "accepted " + std::to_string(summary.fileCount) + " files, " +
           std::to_string(summary.totalBytes) + " bytes";
}

// With `pages`, names without the UTF-8 flag are judged by them instead of the system's.
inline std::string verifyFile(const std::filesystem::path& archive,
                              const NameCodePages* pages = nullptr) {
    try {
        return describe(pages ? verifyZipArchive(archive, *pages) : verifyZipArchive(archive));
    } catch (const std::runtime_error& error) {
        return error.what();
    } catch (const std::exception& error) {
        return std::string("<unexpected exception> ") + error.what();
    }
}

inline std::string verifyBytes(const std::string& bytes, const NameCodePages* pages = nullptr) {
    static std::atomic<unsigned> counter{0};
    const auto path = scratchFolder() / (L"archive-" + std::to_wstring(++counter) + L".zip");
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            throw std::runtime_error("test could not write its archive");
        }
    }
    std::string outcome = verifyFile(path, pages);
    // Windows refuses to delete a file that is still open without delete sharing.
    if (!::DeleteFileW(path.c_str())) {
        outcome += " <archive left open or undeletable>";
    }
    return outcome;
}

} // namespace qv::ziptest
