#pragma once

#include "zip/zip_verifier.h"

#include <filesystem>
#include <string>

namespace qv {

// Up to five download-and-verify attempts with pauses of 2, 4, 6 and 8 seconds. An attempt
// whose transfer broke off part-way through an entity with a strong validator leaves its
// partial file for the next one to continue (net/download.h); after any other failure, and
// after the last, neither the target nor its partial file is left.
ZipSummary downloadAndVerify(const std::wstring& url, const std::filesystem::path& target,
                             const std::wstring& tag);

} // namespace qv
