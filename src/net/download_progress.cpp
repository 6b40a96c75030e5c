#include "net/download_progress.h"

#include "console/console_output.h"

#include <windows.h>

#include <algorithm>

namespace qv {

DownloadProgress::DownloadProgress(const std::wstring& tag, bool lengthKnown, std::uint64_t length,
                                   std::uint64_t start)
    : tag_(tag), lengthKnown_(lengthKnown), length_(length), start_(start),
      startedMs_(::GetTickCount64()), lastRedrawMs_(startedMs_) {}

void DownloadProgress::update(std::uint64_t received) {
    const std::uint64_t nowMs = ::GetTickCount64();
    const bool secondPassed = nowMs - lastRedrawMs_ >= 1000;
    const int percent = lengthKnown_ ? cappedPercent(received, length_) : -1;
    if (!(lengthKnown_ && percent > lastPercent_) && !secondPassed) {
        return;
    }
    const std::uint64_t elapsedMs = std::max<std::uint64_t>(nowMs - startedMs_, 1);
    const std::uint64_t speed = (received - start_) * 1000 / elapsedMs;
    if (lengthKnown_) {
        printProgress(tag_, L"Đang tải " + formatPercent(percent) + L"% | " +
                                formatByteSize(received) + L"/" + formatByteSize(length_) + L" | " +
                                formatByteSize(speed) + L"/s          ");
        lastPercent_ = percent;
    } else {
        printProgress(tag_, L"Đang tải " + formatByteSize(received) + L" | " +
                                formatByteSize(speed) + L"/s          ");
    }
    lastRedrawMs_ = nowMs;
}

} // namespace qv
