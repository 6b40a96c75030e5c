#pragma once

#include "net/transfer_resume.h"

#include <filesystem>
#include <string>

namespace qv {

// One HTTP(S) GET of url into target, through "<target>.part", with a progress line.
// Throws on any failure; never retries. Redirects are followed as net/http_response.h says.
//
// With a usable resume (left by an earlier attempt at the same target, and the partial file
// still holding exactly its bytes), the request asks for the rest of the entity (Range and
// If-Range). A 206 that is that rest continues the partial file ("Máy chủ phản hồi: <total>.
// Tải tiếp từ <received>..."); a 200 starts the file over; any other answer throws and leaves
// resume unusable. Without one, the partial file starts empty.
//
// On the way resume is kept up to date: after a failure it is usable exactly when the partial
// file holds the first bytes of an entity that a strong validator names; otherwise the
// partial file is left as it is for the caller to remove. After success it is empty.
void downloadFile(const std::wstring& url, const std::filesystem::path& target,
                  const std::wstring& tag, ResumePoint& resume);

// The same, starting from nothing, with nothing kept for another attempt.
void downloadFile(const std::wstring& url, const std::filesystem::path& target,
                  const std::wstring& tag);

// "<target>.part": where the body is written until it is complete.
std::filesystem::path partialDownloadPath(const std::filesystem::path& target);

} // namespace qv
