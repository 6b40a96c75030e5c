#include "core/install_log.h"

#include "core/guards.h"
#include "core/held_folder.h"
#include "core/system_places.h"

#include <filesystem>

namespace qv {
namespace {

// The number's digits, zeros before them up to `width`; a longer number keeps all its digits.
std::string zeroPadded(unsigned value, std::size_t width) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + value % 10));
        value /= 10;
    } while (value != 0);
    if (digits.size() < width) {
        digits.insert(0, width - digits.size(), '0');
    }
    return digits;
}

} // namespace

std::string formatLogLine(const SYSTEMTIME& time, const std::string& message) {
    return zeroPadded(time.wYear, 4) + '-' + zeroPadded(time.wMonth, 2) + '-' +
           zeroPadded(time.wDay, 2) + ' ' + zeroPadded(time.wHour, 2) + ':' +
           zeroPadded(time.wMinute, 2) + ':' + zeroPadded(time.wSecond, 2) + ' ' + message;
}

namespace {

// Opens the existing log, or creates it only where nothing of its name exists: a dangling link
// in its place must not get its target created.
UniqueFile openOrCreate(HANDLE folder, const std::wstring& name) {
    constexpr ACCESS_MASK access = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES;
    constexpr ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    RelativeOpen opened =
        openRelative(folder, name, access, share, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    if (!opened.file && opened.error == ERROR_FILE_NOT_FOUND) {
        opened = openRelative(folder, name, access, share, FILE_CREATE, FILE_NON_DIRECTORY_FILE);
    }
    return std::move(opened.file);
}

// The log folder is writable by more than administrators on many machines: anyone may make
// "Quorvalent" there first, as a link or a junction. It is held before anything is opened in
// it, and only when it is a plain folder exactly where its name says: otherwise no file is
// created anywhere and the line is dropped. Below it, a link or a second hard link in place of
// the log would turn this elevated append into a write anywhere: the log is only written when
// it is a plain file of its own, opened without following a link, and still exactly where its
// name says (which is what the final path shows, also where a system does not stop at a link
// when asked to).
UniqueFile openLogForAppend(const std::filesystem::path& path) {
    const HoldResult dataFolder = holdFolderAt(path.parent_path().parent_path());
    if (dataFolder.status != HoldStatus::Held) {
        return UniqueFile();
    }
    const HoldResult logFolder = holdChildFolderWithoutDelete(
        dataFolder.folder, path.parent_path().filename().wstring(), HoldMode::OpenOrCreate);
    if (logFolder.status != HoldStatus::Held) {
        return UniqueFile();
    }
    const std::wstring name = path.filename().wstring();
    UniqueFile file = openOrCreate(logFolder.folder.handle(), name);
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
    if (!isAtPath(file.get(), joinedPath(finalPathOf(logFolder.folder.handle()), name))) {
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
