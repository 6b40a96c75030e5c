#pragma once

#include <filesystem>
#include <string>

namespace qv {

// One HTTP(S) GET of url into target, through "<target>.part", with a progress line.
// Throws on any failure and leaves the partial file behind; never retries.
// A transfer that started on https and is redirected to plain http is refused before any
// body byte is written.
void downloadFile(const std::wstring& url, const std::filesystem::path& target,
                  const std::wstring& tag);

// "<target>.part": where the body is written until it is complete.
std::filesystem::path partialDownloadPath(const std::filesystem::path& target);

} // namespace qv
