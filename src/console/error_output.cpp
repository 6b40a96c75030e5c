#include "console/error_output.h"

#include "console/console_writer.h"
#include "core/errors.h"

#include <algorithm>

namespace qv {
namespace {

// A console write takes a bounded buffer on older systems: long texts go in pieces.
constexpr DWORD kConsolePiece = 8192;

bool isConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}

void writeConsole(HANDLE handle, const std::wstring& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const DWORD piece =
            static_cast<DWORD>(std::min<std::size_t>(text.size() - done, kConsolePiece));
        DWORD written = 0;
        if (!::WriteConsoleW(handle, text.data() + done, piece, &written, nullptr) ||
            written == 0) {
            return;
        }
        done += written;
    }
}

} // namespace

void printError(const std::string& text, HANDLE handle,
                const std::function<void(const std::string&)>& redirected) noexcept {
    try {
        if (isConsole(handle)) {
            writeConsole(handle, toWide(text, CP_UTF8).value_or(std::wstring()));
        } else {
            redirected(text);
        }
    } catch (...) {
        // Nothing is left to report a failure of the report with.
    }
}

void printError(const std::string& text) noexcept {
    printErrorText(text);
}

} // namespace qv
