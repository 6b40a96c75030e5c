#pragma once

#include "zip/zip_verifier.h"

#include <chrono>
#include <filesystem>
#include <string>

namespace qv {

// Refuses entries whose path below destination would reach MAX_PATH, empties destination, has
// the Shell's CopyHere unpack archive into it, and polls the destination until `expected` has
// been seen on three consecutive polls and the tree holds the files `expected` lists (when it
// lists them), or 30 minutes pass. A listed file whose name is missing, or whose size or
// CRC-32 differs and reads the same on three consecutive polls, fails the extraction at once.
void extractZipWithShell(const std::filesystem::path& archive,
                         const std::filesystem::path& destination, const ZipSummary& expected,
                         const std::wstring& tag);

// The same with another time limit: a seam for tests only; the product always uses 30 minutes.
void extractZipWithShell(const std::filesystem::path& archive,
                         const std::filesystem::path& destination, const ZipSummary& expected,
                         const std::wstring& tag, std::chrono::nanoseconds timeLimit);

} // namespace qv
