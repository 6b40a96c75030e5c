#pragma once
// When a broken transfer may pick up where it stopped: the rules that keep bytes of one entity
// from being spliced to bytes of another. Only an answer that names the entity the same way
// both times, with a validator that promises identical bytes, continues a partial file.

#include <cstdint>
#include <optional>
#include <string>

namespace qv {

// What the next attempt needs to continue a partial file: the validator the first response
// named the entity with, its whole size and how many of its bytes are in the partial file.
struct ResumePoint {
    std::wstring validator; // a strong ETag or a Last-Modified date, as the server sent it
    std::uint64_t total = 0;
    std::uint64_t received = 0;

    // Some bytes and not all of them, of an entity with a validator.
    bool usable() const { return !validator.empty() && received > 0 && received < total; }
};

// The validator a response offers for resuming: a strong ETag, else a Last-Modified date when
// the response has no ETag at all (a weak one says the bytes may differ); empty when neither.
std::wstring resumeValidator(const std::optional<std::wstring>& etag,
                             const std::optional<std::wstring>& lastModified);

// "Range: bytes=<received>-" and "If-Range: <validator>", as request headers.
std::wstring resumeRequestHeaders(const ResumePoint& point);

// Whether a 206's Content-Range ("bytes <first>-<last>/<total>") is the rest of the entity
// point describes: from the byte received on, to its last byte, of the same total.
bool continuesResumePoint(const std::wstring& contentRange, const ResumePoint& point);

// Decimal digits only, at most 64 bits; nothing otherwise.
std::optional<std::uint64_t> parseByteCount(const std::wstring& text);

} // namespace qv
