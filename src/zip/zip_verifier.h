#pragma once
// Reads a ZIP archive's central directory, refuses what the installer does not support
// (multi-disk, ZIP64, encryption, compression the Shell cannot unpack), archives that readers
// could read two ways, and entry names that could escape the extraction folder; counts the
// files and bytes the archive will produce and lists its entries. Nothing is decompressed.

#include "zip/zip_names.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// One central-directory entry as the verifier read it: what the extracted tree must hold.
struct ZipEntryRecord {
    std::uint32_t nameStart = 0;  // where its name starts in ZipEntryList::names
    std::uint16_t nameLength = 0; // a record's name has at most 65,535 bytes, so many units
    bool isFolder = false;
    std::uint32_t size = 0;
    std::uint32_t crc32 = 0;
};

// Every entry in archive order, the names decoded, with the archive's own separators, end to
// end in one buffer: tens of thousands of names in allocations of their own would slow the walk
// by a third.
struct ZipEntryList {
    std::wstring names;
    std::vector<ZipEntryRecord> records;

    void add(std::wstring_view name, std::uint32_t size, std::uint32_t crc32, bool isFolder) {
        records.push_back({static_cast<std::uint32_t>(names.size()),
                           static_cast<std::uint16_t>(name.size()), isFolder, size, crc32});
        names.append(name);
    }
    std::wstring_view nameOf(const ZipEntryRecord& record) const {
        return std::wstring_view(names).substr(record.nameStart, record.nameLength);
    }
};

struct ZipSummary {
    std::uint64_t fileCount = 0;
    std::uint64_t totalBytes = 0;
    // From the verifier. A tally of a folder only counts and leaves it empty, and summaries
    // compare by their counts alone.
    ZipEntryList entries{};
};

inline bool operator==(const ZipSummary& a, const ZipSummary& b) {
    return a.fileCount == b.fileCount && a.totalBytes == b.totalBytes;
}
inline bool operator!=(const ZipSummary& a, const ZipSummary& b) {
    return !(a == b);
}

ZipSummary verifyZipArchive(const std::filesystem::path& archive);

// The same with the code pages names without the UTF-8 flag are judged by: a seam for tests
// only; the product always uses the system's.
ZipSummary verifyZipArchive(const std::filesystem::path& archive, const NameCodePages& codePages);

} // namespace qv
