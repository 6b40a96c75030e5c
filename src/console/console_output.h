#pragma once
// The installer's console line shapes, written through console/console_writer.h; every running
// progress line starts with "\r" and is redrawn in place.

#include <cstdint>
#include <string>

namespace qv {

// "\n[<step>/10] <title>[ - BỎ QUA]\n"
void printStepHeader(int step, const std::wstring& title, bool skipped);

// "0 B", "1.50 KB", "1024.00 KB", "1024.00 GB": two decimals above bytes, point separator.
std::wstring formatByteSize(std::uint64_t bytes);

// A percentage right-aligned in three characters: "  5", " 42", "100".
std::wstring formatPercent(int percent);

// "    [<tag>] " — the start of every status line.
std::wstring statusPrefix(const std::wstring& tag);

// "\r    [<tag>] " — the start of every running and final progress line.
std::wstring progressPrefix(const std::wstring& tag);

// Writes "    [<tag>] <text>\n".
void printStatus(const std::wstring& tag, const std::wstring& text);

// Writes a running progress line ("\r    [<tag>] <text>") and flushes it.
void printProgress(const std::wstring& tag, const std::wstring& text);

// Writes the final progress line: "\r    [<tag>] <text>", trailing blanks that wipe what is
// left of a longer running line, and a line feed; flushes it.
void printProgressEnd(const std::wstring& tag, const std::wstring& text, int trailingBlanks);

// done × 100 / total in whole percent, rounded down and capped at 100; total must not be 0.
int cappedPercent(std::uint64_t done, std::uint64_t total);

} // namespace qv
