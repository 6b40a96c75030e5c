#include "core/install_log.h"

#include "core/guards.h"
#include "core/held_folder.h"
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

std::wstring finalPath(const std::filesystem::path& folder) {
    const HANDLE opened = ::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr /* security */, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS /* a folder */, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return {};
    }
    const UniqueFile handle(opened);
    return finalPathOf(handle.get());
}

// Opens the existing log, or creates it only where nothing of its name exists: a dangling link
// in its place must not get its target created.
UniqueFile openOrCreate(const std::filesystem::path& path) {
    constexpr DWORD access = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES;
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    constexpr DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE opened = ::CreateFileW(path.c_str(), access, share, nullptr /* security */,
                                  OPEN_EXISTING, flags, nullptr /* template */);
    if (opened == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
        opened = ::CreateFileW(path.c_str(), access, share, nullptr /* security */, CREATE_NEW,
                               flags, nullptr /* template */);
    }
    return UniqueFile(opened == INVALID_HANDLE_VALUE ? nullptr : opened);
}

// The log folder is writable by more than administrators on many machines. A link or a second
// hard link there would turn this elevated append into a write anywhere: the log is only
// written when it is a plain file of its own, opened without following a link, and reached
// through no link below the common application-data folder (which is what the final path
// shows, also where a system does not stop at a link when asked to).
UniqueFile openLogForAppend(const std::filesystem::path& path) {
    UniqueFile file = openOrCreate(path);
    if (!file) {
        return file;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file.get(), &information) ||
        (information.dwFileAttributes &
         (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0 ||
        information.nNumberOfLinks != 1) {
        return UniqueFile();
    }
    // The application-data folder itself may have been moved by an administrator; below it,
    // the file must be exactly where its name says.
    const std::filesystem::path dataFolder = path.parent_path().parent_path();
    const std::wstring expected = finalPath(dataFolder) + L"\\" +
                                  path.parent_path().filename().wstring() + L"\\" +
                                  path.filename().wstring();
    if (!samePathIgnoringCase(finalPathOf(file.get()), expected)) {
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
