#include "core/install_log.h"

#include "core/guards.h"
#include "core/run_context.h"

#include <filesystem>
#include <iomanip>
#include <sstream>

namespace qv {

std::string formatLogLine(const SYSTEMTIME& time, const std::string& message) {
    std::ostringstream line;
    line.fill('0');
    line << std::setw(4) << time.wYear << '-' << std::setw(2) << time.wMonth << '-' << std::setw(2)
         << time.wDay << ' ' << std::setw(2) << time.wHour << ':' << std::setw(2) << time.wMinute
         << ':' << std::setw(2) << time.wSecond << ' ' << message;
    return line.str();
}

namespace {

inline void closeFile(HANDLE handle) {
    ::CloseHandle(handle);
}
// Holds null, never INVALID_HANDLE_VALUE, for "no file".
using UniqueFile = UniqueResource<HANDLE, closeFile>;

bool isLink(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool isLinkOrMissing(const std::filesystem::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes == INVALID_FILE_ATTRIBUTES || isLink(attributes);
}

// The log folder is writable by more than administrators on many machines. A link or a second
// hard link there would turn this elevated append into a write anywhere: the log is only
// written when it is a plain file of its own, opened without following a link.
UniqueFile openLogForAppend(const std::filesystem::path& path) {
    // A dangling link must not be opened at all: creating the log would create its target.
    if (isLinkOrMissing(path.parent_path()) || isLink(::GetFileAttributesW(path.c_str()))) {
        return UniqueFile();
    }
    HANDLE opened =
        ::CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr /* security */, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr /* template */);
    if (opened == INVALID_HANDLE_VALUE) {
        return UniqueFile();
    }
    UniqueFile file(opened);
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file.get(), &information) ||
        (information.dwFileAttributes &
         (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0 ||
        information.nNumberOfLinks != 1) {
        return UniqueFile();
    }
    // Where opening a link reaches its target after all, the name still shows the link.
    if (isLinkOrMissing(path)) {
        return UniqueFile();
    }
    return file;
}

// The log has always been written in text mode: every line feed on disk is CR LF.
std::string withCrLf(const std::string& text) {
    std::string result;
    result.reserve(text.size() + 2);
    for (const char c : text) {
        if (c == '\n') {
            result += '\r';
        }
        result += c;
    }
    return result;
}

} // namespace

void writeLog(const std::string& message) noexcept {
    try {
        const std::filesystem::path path = logFilePath();
        std::filesystem::create_directories(path.parent_path());
        SYSTEMTIME now{};
        ::GetLocalTime(&now);
        const UniqueFile log = openLogForAppend(path);
        if (!log) {
            return;
        }
        const std::string line = withCrLf(formatLogLine(now, message) + '\n');
        DWORD written = 0;
        ::WriteFile(log.get(), line.data(), static_cast<DWORD>(line.size()), &written,
                    nullptr /* synchronous */);
    } catch (...) {
        // Logging is best effort by design.
    }
}

} // namespace qv
