#pragma once
// What the Shell unpacked, held against the list the verifier read: every listed file present
// under its name (names compared as Windows compares them) with its size and CRC-32, and no
// file the list lacks. Folders are not compared: an empty one the Shell left out changes
// nothing that is installed.

#include "zip/zip_verifier.h"

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
};

// Reads every listed file once, whole, when the names agree.
TreeComparison compareExtractedTree(const std::filesystem::path& folder,
                                    const ZipEntryList& entries);

// Refuses, before anything is unpacked, entries that the Shell could not create below folder:
// the longest one joined to the folder must stay below MAX_PATH (260, counting the terminator).
void checkExtractedPathLengths(const std::filesystem::path& folder, const ZipEntryList& entries);

} // namespace qv
