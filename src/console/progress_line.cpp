#include "console/progress_line.h"

#include "console/console_output.h"
#include "core/errors.h"

#include <windows.h>

namespace qv {

std::wstring progressText(const ProgressShape& shape, const ProgressFigures& figures) {
    const bool whole = figures.percent >= 0;
    std::wstring text = shape.verb;
    text += L" ";
    if (whole) {
        text += formatPercent(figures.percent) + L"% | ";
    }
    if (shape.files) {
        text += decimalText(figures.files) + L"/" + decimalText(figures.totalFiles) + L" tệp | ";
    }
    text += formatByteSize(figures.bytes);
    if (whole) {
        text += L"/" + formatByteSize(figures.totalBytes);
    }
    if (shape.speed) {
        text += L" | " + formatByteSize(figures.bytesPerSecond) + L"/s";
    }
    return text + L"          ";
}

ProgressLine::ProgressLine(const std::wstring& tag, const ProgressShape& shape)
    : tag_(tag), shape_(shape), startedMs_(::GetTickCount64()), lastDrawnMs_(startedMs_) {}

std::uint64_t ProgressLine::msSinceStart() const {
    return ::GetTickCount64() - startedMs_;
}

void ProgressLine::update(const ProgressFigures& figures, bool force) {
    const std::uint64_t nowMs = ::GetTickCount64();
    const bool secondPassed = shape_.everySecond && nowMs - lastDrawnMs_ >= 1000;
    if (!force && figures.percent == lastPercent_ && !secondPassed) {
        return;
    }
    printProgress(tag_, progressText(shape_, figures));
    lastPercent_ = figures.percent;
    lastDrawnMs_ = nowMs;
    drawn_ = true;
}

} // namespace qv
