#include "console/console_writer.h"

#include "console/error_output.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace qv {
namespace {

// Character by character, as a wide stream hands its text to the C runtime: the runtime's UTF-8
// mode translates each one, line feeds included.
void writeStandardOutput(const std::wstring& text) {
    for (const wchar_t character : text) {
        if (std::fputwc(character, stdout) == WEOF) {
            break;
        }
    }
    std::fflush(stdout);
}

void writeStandardErrorBytes(const std::string& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
}

void writeStandardError(const std::string& text) {
    printError(text, ::GetStdHandle(STD_ERROR_HANDLE),
               [](const std::string& bytes) { writeStandardErrorBytes(bytes); });
}

ConsoleWriters& currentWriters() {
    // Lambdas rather than the functions themselves: a function pointer's type information would
    // bring in the runtime's descriptions of pointer and function types.
    static ConsoleWriters writers{[](const std::wstring& text) { writeStandardOutput(text); },
                                  [](const std::string& text) { writeStandardError(text); }};
    return writers;
}

} // namespace

ConsoleWriters replaceConsoleWriters(ConsoleWriters writers) {
    std::swap(currentWriters(), writers);
    return writers;
}

void printText(const std::wstring& text) {
    currentWriters().out(text);
}

void printErrorText(const std::string& text) noexcept {
    try {
        currentWriters().err(text);
    } catch (...) {
        // Nothing is left to report a failure of the report with.
    }
}

} // namespace qv
