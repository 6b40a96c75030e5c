#include "console/console_output.h"

#include <iomanip>
#include <iostream>
#include <locale>
#include <sstream>

namespace qv {

void printStepHeader(int step, const std::wstring& title, bool skipped) {
    std::wcout << L"\n[" << step << L'/' << 10 << L"] " << title;
    if (skipped) {
        std::wcout << L" - BỎ QUA";
    }
    std::wcout << L'\n';
}

std::wstring formatByteSize(std::uint64_t bytes) {
    static const wchar_t* const units[] = {L"B", L"KB", L"MB", L"GB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value *= 0.0009765625;
        ++unit;
    }
    // The classic locale keeps the decimal point whatever the user's regional settings are.
    std::wostringstream text;
    text.imbue(std::locale::classic());
    text << std::fixed << std::setprecision(unit == 0 ? 0 : 2) << value << L' ' << units[unit];
    return text.str();
}

std::wstring formatPercent(int percent) {
    std::wstring digits = std::to_wstring(percent);
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
    std::wcout << statusPrefix(tag) << text << L'\n';
}

void printProgress(const std::wstring& tag, const std::wstring& text) {
    std::wcout << progressPrefix(tag) << text;
    std::wcout.flush();
}

void printProgressEnd(const std::wstring& tag, const std::wstring& text, int trailingBlanks) {
    std::wcout << progressPrefix(tag) << text << std::wstring(trailingBlanks, L' ') << L'\n';
    std::wcout.flush();
}

int cappedPercent(std::uint64_t done, std::uint64_t total) {
    const std::uint64_t percent = done * 100 / total;
    return percent > 100 ? 100 : static_cast<int>(percent);
}

} // namespace qv
