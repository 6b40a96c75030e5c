#include "install/placement_steps.h"

#include "core/errors.h"
#include "install/install_site.h"

#include <stdexcept>

namespace qv {

namespace fs = std::filesystem;

namespace {

bool isPlainFolder(HANDLE entry) {
    FILE_BASIC_INFO basic{};
    return ::GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof(basic)) &&
           qv::isPlainFolder(basic.FileAttributes);
}

} // namespace

void throwCopyFailure(const fs::path& shown, DWORD error) {
    throwWindowsError(error,
                      "Không sao chép được: " + toUtf8(printableText(shown.wstring())) + ": ");
}

DWORD copyInto(HANDLE target, const fs::path& source, std::vector<char>& buffer) {
    const HANDLE opened = ::CreateFileW(extendedLengthPath(source).c_str(), GENERIC_READ,
                                        FILE_SHARE_READ, nullptr /* security */, OPEN_EXISTING,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr /* template */);
    if (opened == INVALID_HANDLE_VALUE) {
        return ::GetLastError();
    }
    const UniqueFile from(opened);
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(from.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                        nullptr /* synchronous */)) {
            return ::GetLastError();
        }
        if (read == 0) {
            break;
        }
        DWORD written = 0;
        if (!::WriteFile(target, buffer.data(), read, &written, nullptr /* synchronous */)) {
            return ::GetLastError();
        }
        if (written != read) {
            return ERROR_WRITE_FAULT;
        }
    }
    FILETIME lastWrite{};
    FILE_BASIC_INFO times{}; // zero: unchanged
    if (::GetFileTime(from.get(), nullptr /* creation */, nullptr /* access */, &lastWrite)) {
        times.LastWriteTime.LowPart = lastWrite.dwLowDateTime;
        times.LastWriteTime.HighPart = static_cast<LONG>(lastWrite.dwHighDateTime);
        ::SetFileInformationByHandle(target, FileBasicInfo, &times, sizeof(times));
    }
    return ERROR_SUCCESS;
}

UniqueFile openVolumeOf(HANDLE folder) noexcept {
    try {
        const std::wstring path = finalPathOf(folder) + L"\\";
        std::wstring mountPoint(path.size() + 1, L'\0');
        wchar_t volume[64] = {}; // "\\?\Volume{GUID}\"
        if (!::GetVolumePathNameW(path.c_str(), mountPoint.data(),
                                  static_cast<DWORD>(mountPoint.size())) ||
            !::GetVolumeNameForVolumeMountPointW(mountPoint.c_str(), volume, 64)) {
            return UniqueFile();
        }
        std::wstring device = volume;
        if (!device.empty() && device.back() == L'\\') {
            device.pop_back(); // with it, the volume's root folder would be opened
        }
        const HANDLE opened =
            ::CreateFileW(device.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr /* security */, OPEN_EXISTING, 0, nullptr /* template */);
        return UniqueFile(opened == INVALID_HANDLE_VALUE ? nullptr : opened);
    } catch (...) {
        return UniqueFile(); // no memory for the path: as refused
    }
}

bool volumeOpensFor(HANDLE folder) noexcept {
    return static_cast<bool>(openVolumeOf(folder));
}

bool flushVolumeOf(HANDLE folder) noexcept {
    const UniqueFile volume = openVolumeOf(folder);
    return volume && ::FlushFileBuffers(volume.get());
}

RelativeOpen openTarget(HANDLE parent, const std::wstring& name, bool& plainFolder) {
    constexpr ACCESS_MASK access = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
    RelativeOpen file =
        openRelative(parent, name, access, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    plainFolder = false;
    if (file.file || file.error != ERROR_ACCESS_DENIED) {
        return file;
    }
    RelativeOpen any = openRelative(parent, name, access, kShareAll, FILE_OPEN, 0);
    plainFolder = any.file && isPlainFolder(any.file.get());
    return any;
}

} // namespace qv
