#pragma once
// The running progress line of a download.

#include <chrono>
#include <cstdint>
#include <string>

namespace qv {

// Redrawn when the whole percent rises or once a second. With a known length the line counts
// the whole file; the speed counts only what this transfer brought (from `start` bytes on).
class DownloadProgress {
public:
    DownloadProgress(const std::wstring& tag, bool lengthKnown, std::uint64_t length,
                     std::uint64_t start);
    void update(std::uint64_t received);

private:
    using Clock = std::chrono::steady_clock;

    const std::wstring& tag_;
    bool lengthKnown_;
    std::uint64_t length_;
    std::uint64_t start_;
    Clock::time_point started_ = Clock::now();
    Clock::time_point lastRedraw_ = started_;
    int lastPercent_ = -1;
};

} // namespace qv
