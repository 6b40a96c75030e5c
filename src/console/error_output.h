#pragma once
// Error and retry text, UTF-8 in the program, on the standard error stream. A console is given
// it as wide characters: Windows 7's console answers a byte write in code page 65001 with the
// number of characters written, the C runtime takes that for a short write, and from the first
// non-ASCII character on nothing more would reach the screen. A redirected stream gets the
// UTF-8 bytes themselves, as they always were.

#include <windows.h>

#include <functional>
#include <string>

namespace qv {

// Writes text to the standard error stream (console/console_writer.h). Never throws.
void printError(const std::string& text) noexcept;

// The choice for any handle: WriteConsoleW on handle when it is a console, otherwise the bytes
// to redirected. Never throws.
void printError(const std::string& text, HANDLE handle,
                const std::function<void(const std::string&)>& redirected) noexcept;

} // namespace qv
