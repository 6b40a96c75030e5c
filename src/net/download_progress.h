#pragma once
// The running progress line of a download.

#include <cstdint>
#include <string>

namespace qv {

// Redrawn when the whole percent rises or once a second. With a known length the line counts
// the whole file; the speed counts only what this transfer brought (from `start` bytes on).
// Called for every read, so it asks only the system's tick count, which costs no call into the
// kernel, where the precise clock costs one each time.
class DownloadProgress {
public:
    DownloadProgress(const std::wstring& tag, bool lengthKnown, std::uint64_t length,
                     std::uint64_t start);
    void update(std::uint64_t received);

private:
    const std::wstring& tag_;
    bool lengthKnown_;
    std::uint64_t length_;
    std::uint64_t start_;
    std::uint64_t startedMs_;
    std::uint64_t lastRedrawMs_;
    int lastPercent_ = -1;
};

} // namespace qv
