#include "console/console_output.h"

#include "console/console_writer.h"
#include "core/errors.h"

namespace qv {

void printStepHeader(int step, const std::wstring& title, bool skipped) {
    printText(L"\n[" + decimalText(step) + L"/10] " + title + (skipped ? L" - BỎ QUA\n" : L"\n"));
}

// In whole numbers, so no regional setting can change the decimal point: the size in the unit
// is bytes / 1024^unit exactly, and its hundredths are rounded to the nearest, a tie to the even
// one, as a fixed-point print of that value rounds.
std::wstring formatByteSize(std::uint64_t bytes) {
    static const wchar_t* const units[] = {L" B", L" KB", L" MB", L" GB"};
    int unit = 0;
    while (unit < 3 && (bytes >> (10 * (unit + 1))) != 0) {
        ++unit;
    }
    if (unit == 0) {
        return decimalText(bytes) + units[0];
    }
    const unsigned shift = 10u * static_cast<unsigned>(unit);
    const std::uint64_t below = (bytes & ((std::uint64_t{1} << shift) - 1)) * 100;
    std::uint64_t hundredths = (bytes >> shift) * 100 + (below >> shift);
    const std::uint64_t rest = below & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    if (rest > half || (rest == half && hundredths % 2 != 0)) {
        ++hundredths;
    }
    const std::uint64_t fraction = hundredths % 100;
    return decimalText(hundredths / 100) + (fraction < 10 ? L".0" : L".") + decimalText(fraction) +
           units[unit];
}

std::wstring formatPercent(int percent) {
    std::wstring digits = decimalText(percent);
    if (digits.size() < 3) {
        digits.insert(0, 3 - digits.size(), L' ');
    }
    return digits;
}

std::wstring statusPrefix(const std::wstring& tag) {
    return L"    [" + tag + L"] ";
}

std::wstring progressPrefix(const std::wstring& tag) {
    return L"\r    [" + tag + L"] ";
}

void printStatus(const std::wstring& tag, const std::wstring& text) {
    printText(statusPrefix(tag) + text + L'\n');
}

void printProgress(const std::wstring& tag, const std::wstring& text) {
    printText(progressPrefix(tag) + text);
}

void printProgressEnd(const std::wstring& tag, const std::wstring& text, int trailingBlanks) {
    printText(progressPrefix(tag) + text + std::wstring(trailingBlanks, L' ') + L'\n');
}

int cappedPercent(std::uint64_t done, std::uint64_t total) {
    const std::uint64_t percent = done * 100 / total;
    return percent > 100 ? 100 : static_cast<int>(percent);
}

} // namespace qv
