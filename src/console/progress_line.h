#pragma once
// The one running progress line: the download, the extraction and the copy into the
// installation draw the same kind of line and differ only in its shape, which is data here.

#include <cstdint>
#include <string>

namespace qv {

// What a line shows after its verb: the whole percent (when the whole is known), the files
// done of all ("n/N tệp"), the bytes done (of all, when known) and the speed ("…/s"); and
// whether a second without a new percent redraws it. The copy's figures move only with its
// files, so its line is drawn when the percent moves and at the last file alone.
struct ProgressShape {
    const wchar_t* verb;
    bool files;
    bool speed;
    bool everySecond;
};

inline constexpr ProgressShape kDownloadLine{L"Đang tải", false, true, true};
inline constexpr ProgressShape kExtractionLine{L"Đang giải nén", true, false, true};
inline constexpr ProgressShape kInstallLine{L"Đang cài", true, false, false};

// The figures of one drawing; `percent` below 0 when the whole is unknown, and then neither the
// percent nor the byte total is shown.
struct ProgressFigures {
    int percent = -1;
    std::uint64_t files = 0;
    std::uint64_t totalFiles = 0;
    std::uint64_t bytes = 0;
    std::uint64_t totalBytes = 0;
    std::uint64_t bytesPerSecond = 0;
};

// "<verb> P% | n/N tệp | b/B | s/s" with the parts the shape leaves out left out, and ten
// blanks that wipe what is left of a longer line before it.
std::wstring progressText(const ProgressShape& shape, const ProgressFigures& figures);

// Redrawn when the whole percent changes, a second after the last drawing (or after the line
// was made) where the shape says so, or when the caller insists. Asks only the system's tick count,
// which costs no call into the kernel: a download updates its line on every read.
class ProgressLine {
public:
    ProgressLine(const std::wstring& tag, const ProgressShape& shape);
    void update(const ProgressFigures& figures, bool force = false);
    // Whether anything was drawn, so a line broken off can be ended.
    bool drawn() const { return drawn_; }
    std::uint64_t msSinceStart() const;

private:
    std::wstring tag_;
    ProgressShape shape_;
    std::uint64_t startedMs_;
    std::uint64_t lastDrawnMs_;
    int lastPercent_ = -1;
    bool drawn_ = false;
};

} // namespace qv
