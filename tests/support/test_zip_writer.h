#pragma once
// Writes small ZIP archives for tests: stored or deflated files, folder entries, UTF-8 names.

#include "zip/zip_verifier.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qv::test {

struct ZipItem {
    std::string name;    // UTF-8, '/' separated; a trailing '/' makes a folder entry
    std::string content; // ignored for folders
    bool deflate = false;
    bool utf8Flag = true;        // false: a non-ASCII name goes without the UTF-8 flag
    std::uint32_t crcChange = 0; // XORed into the recorded CRC-32: bytes that do not match it
};

// The archive's bytes; `summary`, when given, receives the files and bytes it holds.
std::string zipBytes(const std::vector<ZipItem>& items, ZipSummary* summary = nullptr);

// Writes the archive and returns the files and bytes it holds, as the verifier counts them.
ZipSummary writeZip(const std::filesystem::path& archive, const std::vector<ZipItem>& items);

// Deterministic filler of a given size, different for each seed.
std::string sampleContent(std::size_t size, unsigned seed);

} // namespace qv::test
