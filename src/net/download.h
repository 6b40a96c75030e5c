#pragma once

#include <filesystem>
#include <string>

namespace qv {

// One HTTP(S) GET of url into target, through "<target>.part", with a progress line.
// Throws on any failure and leaves the partial file behind; never retries.
void downloadFile(const std::wstring& url, const std::filesystem::path& target,
                  const std::wstring& tag);

} // namespace qv
