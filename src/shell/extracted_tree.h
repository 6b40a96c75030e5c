#pragma once
// What the Shell unpacked, held against the list the verifier read: every listed file present
// under its name (names compared as Windows compares them) with its size and CRC-32, and no
// file the list lacks. Folders are not compared: an empty one the Shell left out changes
// nothing that is installed.

#include "zip/zip_verifier.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qv {

enum class TreeDifference {
    None,
    Names,    // a listed file is missing, or a file the list lacks is there
    Contents, // a size or CRC-32 differs, or a file cannot be read: it may still be written
};

struct TreeComparison {
    TreeDifference difference = TreeDifference::None;
    // The first name that differs: the list's, in archive order, or the tree's for a file the
    // list lacks.
    std::wstring name;
    // For a Contents difference: whether the file could be read whole, and then its length and
    // the CRC-32 of its bytes, so that a caller can tell a file still changing from one that
    // stays wrong.
    bool read = false;
    std::uint64_t size = 0;
    std::uint32_t crc32 = 0;
};

// The same difference in the same file, read both times with the same length and bytes.
bool sameReadDifference(const TreeComparison& a, const TreeComparison& b);

// Reads every listed file once, whole, when the names agree.
TreeComparison compareExtractedTree(const std::filesystem::path& folder,
                                    const ZipEntryList& entries);

// Refuses, before anything is unpacked, entries that the Shell could not create below folder:
// the longest one joined to the folder must stay below MAX_PATH (260, counting the terminator).
void checkExtractedPathLengths(const std::filesystem::path& folder, const ZipEntryList& entries);

} // namespace qv
