#pragma once
// Reads a ZIP archive's central directory, refuses what the installer does not support
// (multi-disk, ZIP64, encryption) and entry names that could escape the extraction folder,
// and counts the files and bytes the archive will produce. Nothing is decompressed.

#include <cstdint>
#include <filesystem>
#include <string>

namespace qv {

struct ZipSummary {
    std::uint64_t fileCount = 0;
    std::uint64_t totalBytes = 0;
};

inline bool operator==(const ZipSummary& a, const ZipSummary& b) {
    return a.fileCount == b.fileCount && a.totalBytes == b.totalBytes;
}
inline bool operator!=(const ZipSummary& a, const ZipSummary& b) {
    return !(a == b);
}

ZipSummary verifyZipArchive(const std::filesystem::path& archive);

} // namespace qv
