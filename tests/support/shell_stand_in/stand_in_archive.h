#pragma once
// The ZIP reading the Shell stand-in needs to unpack a test archive: the central directory,
// stored and deflated entries. Failures are std::runtime_error with an English message.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qv::test {

struct ArchiveEntry {
    std::wstring name; // relative, backslash separated, no trailing separator
    bool isDirectory = false;
    std::uint16_t method = 0;
    std::uint32_t compressedSize = 0;
    std::uint32_t size = 0;
    std::uint32_t localHeaderOffset = 0;
};

class StandInArchive {
public:
    explicit StandInArchive(const std::filesystem::path& path);

    const std::vector<ArchiveEntry>& entries() const { return entries_; }
    std::size_t fileCount() const;

    // The last file entry, or null.
    const ArchiveEntry* lastFile() const;

    // Writes one entry below destination, creating the folders on its way; with
    // wrongFirstByte, its first byte changed, as a faulty copy would write it.
    void extract(const ArchiveEntry& entry, const std::filesystem::path& destination,
                 bool wrongFirstByte = false) const;
    // The same with zeros in place of the entry's bytes.
    void extractZeros(const ArchiveEntry& entry, const std::filesystem::path& destination) const;

private:
    std::vector<unsigned char> bytes_;
    std::vector<ArchiveEntry> entries_;
};

} // namespace qv::test
