#pragma once
// Where the run's console text goes. Wide text goes to the standard output through the C
// runtime, which the entry point has write it as UTF-8; error text, UTF-8 already, goes to the
// standard error stream as printError(text, handle, redirected) chooses. Each write is flushed
// at once, so the two streams interleave on a shared console or pipe as they were written. A test
// hands in writers of its own to capture what the run shows.

#include <functional>
#include <string>

namespace qv {

struct ConsoleWriters {
    std::function<void(const std::wstring&)> out;
    std::function<void(const std::string&)> err;
};

// Puts `writers` in place for every later write; returns the ones that were in place.
ConsoleWriters replaceConsoleWriters(ConsoleWriters writers);

// Writes text to the standard output as it is and flushes it.
void printText(const std::wstring& text);

// Writes UTF-8 text to the standard error stream. Never throws.
void printErrorText(const std::string& text) noexcept;

} // namespace qv
