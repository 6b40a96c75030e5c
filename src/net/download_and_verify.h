#pragma once

#include "zip/zip_verifier.h"

#include <filesystem>
#include <string>

namespace qv {

// Up to five download-and-verify attempts with pauses of 2, 4, 6 and 8 seconds; after a
// failure neither the target nor its partial file is left.
ZipSummary downloadAndVerify(const std::wstring& url, const std::filesystem::path& target,
                             const std::wstring& tag);

} // namespace qv
