#pragma once
// What an unpacked package holds, in the terms the verifier listed it in.

#include "zip/zip_verifier.h"

#include <filesystem>

namespace qv {

// Regular files anywhere below folder and the sum of their sizes; never throws for
// file-system errors (a missing folder counts as empty).
ZipSummary tallyDirectory(const std::filesystem::path& folder);

} // namespace qv
