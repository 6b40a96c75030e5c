#include "net/download_progress.h"

#include "console/console_output.h"

#include <algorithm>

namespace qv {

DownloadProgress::DownloadProgress(const std::wstring& tag, bool lengthKnown, std::uint64_t length,
                                   std::uint64_t start)
    : tag_(tag), lengthKnown_(lengthKnown), length_(length), start_(start) {}

void DownloadProgress::update(std::uint64_t received) {
    const Clock::time_point now = Clock::now();
    const bool secondPassed = now - lastRedraw_ >= std::chrono::seconds(1);
    const int percent = lengthKnown_ ? cappedPercent(received, length_) : -1;
    if (!(lengthKnown_ && percent > lastPercent_) && !secondPassed) {
        return;
    }
    const auto elapsedNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - started_).count();
    const double seconds = std::max(static_cast<double>(elapsedNs) / 1000000000.0, 0.001);
    const auto speed = static_cast<std::uint64_t>(static_cast<double>(received - start_) / seconds);
    if (lengthKnown_) {
        printProgress(tag_, L"Đang tải " + formatPercent(percent) + L"% | " +
                                formatByteSize(received) + L"/" + formatByteSize(length_) + L" | " +
                                formatByteSize(speed) + L"/s          ");
        lastPercent_ = percent;
    } else {
        printProgress(tag_, L"Đang tải " + formatByteSize(received) + L" | " +
                                formatByteSize(speed) + L"/s          ");
    }
    lastRedraw_ = now;
}

} // namespace qv
