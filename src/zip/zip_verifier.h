#pragma once
// Reads a ZIP archive's central directory, refuses what the installer does not support
// (multi-disk, ZIP64, encryption, compression the Shell cannot unpack), archives that readers
// could read two ways, and entry names that could escape the extraction folder; counts the
// files and bytes the archive will produce and lists its entries. Nothing is decompressed.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qv {

// One central-directory entry as the verifier read it: what the extracted tree must hold.
struct ZipEntryRecord {
    std::wstring name; // decoded, with the archive's own separators
    std::uint32_t size = 0;
    std::uint32_t crc32 = 0;
    bool isFolder = false;
};

struct ZipSummary {
    std::uint64_t fileCount = 0;
    std::uint64_t totalBytes = 0;
    // Every entry in archive order, from the verifier. A tally of a folder only counts and
    // leaves it empty, and summaries compare by their counts alone.
    std::vector<ZipEntryRecord> entries{};
};

inline bool operator==(const ZipSummary& a, const ZipSummary& b) {
    return a.fileCount == b.fileCount && a.totalBytes == b.totalBytes;
}
inline bool operator!=(const ZipSummary& a, const ZipSummary& b) {
    return !(a == b);
}

ZipSummary verifyZipArchive(const std::filesystem::path& archive);

} // namespace qv
