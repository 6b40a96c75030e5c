#include "core/held_folder.h"

#include <algorithm>
#include <cstdint>
#include <random>

namespace qv {
namespace {

// Read, list and hold: renaming or deleting the folder needs DELETE access, which the share
// mode below denies to every other opener for as long as the handle lives.
constexpr ACCESS_MASK kHoldAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kHoldShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The name a place taken as given goes by: its final path, in the "\\?\" form only past the
// length a folder's path may have without it (MAX_PATH less room for an 8.3 file name).
std::filesystem::path heldPath(const std::wstring& finalPath) {
    constexpr std::size_t kFolderPathLimit = MAX_PATH - 12;
    if (finalPath.size() < kFolderPathLimit) {
        return finalPath;
    }
    return extendedLengthPath(finalPath);
}

bool isMissingError(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

HoldResult failure(HoldStatus status, DWORD error) {
    HoldResult result;
    result.status = status;
    result.error = error;
    return result;
}

// Ours, or not a plain folder at the place its parent and name say.
HoldResult checkedHold(const HeldFolder& parent, std::wstring_view name, UniqueFile file) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file.get(), &information)) {
        return failure(HoldStatus::Failed, ::GetLastError());
    }
    if (!isPlainFolder(information.dwFileAttributes) ||
        !isAtPath(file.get(), joinedPath(finalPathOf(parent.handle()), name))) {
        return failure(HoldStatus::NotAPlainFolder, ERROR_SUCCESS);
    }
    HoldResult result;
    result.status = HoldStatus::Held;
    result.folder = HeldFolder(parent.path() / std::wstring(name), std::move(file));
    return result;
}

} // namespace

HoldResult holdFolderAt(const std::filesystem::path& path) {
    UniqueCreatedFile opened(::CreateFileW(path.c_str(), kHoldAccess, kHoldShare,
                                           nullptr /* security */, OPEN_EXISTING,
                                           FILE_FLAG_BACKUP_SEMANTICS /* a folder */, nullptr));
    if (!opened) {
        const DWORD error = ::GetLastError();
        return failure(isMissingError(error) ? HoldStatus::Missing : HoldStatus::Failed, error);
    }
    UniqueFile file(opened.release());
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file.get(), &information)) {
        return failure(HoldStatus::Failed, ::GetLastError());
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return failure(HoldStatus::NotAPlainFolder, ERROR_DIRECTORY);
    }
    DWORD finalPathError = ERROR_SUCCESS;
    const std::wstring finalPath = finalPathOf(file.get(), finalPathError);
    if (finalPath.empty()) {
        return failure(HoldStatus::Failed, finalPathError);
    }
    HoldResult result;
    result.status = HoldStatus::Held;
    result.folder = HeldFolder(heldPath(finalPath), std::move(file));
    return result;
}

namespace {

HoldResult holdChild(const HeldFolder& parent, std::wstring_view name, HoldMode mode,
                     PSECURITY_DESCRIPTOR security, ACCESS_MASK access) {
    if (mode != HoldMode::CreateNew) {
        RelativeOpen existing =
            openRelative(parent.handle(), name, access, kHoldShare, FILE_OPEN, FILE_DIRECTORY_FILE);
        if (existing.file) {
            return checkedHold(parent, name, std::move(existing.file));
        }
        if (existing.error == ERROR_DIRECTORY) {
            return failure(HoldStatus::NotAPlainFolder, existing.error);
        }
        if (mode == HoldMode::OpenExisting || existing.error != ERROR_FILE_NOT_FOUND) {
            return failure(isMissingError(existing.error) ? HoldStatus::Missing
                                                          : HoldStatus::Failed,
                           existing.error);
        }
    }
    // FILE_CREATE never adopts what is there, a dangling link included: what it opens is
    // what it made, with these rules from its first moment.
    RelativeOpen made = openRelative(parent.handle(), name, access, kHoldShare, FILE_CREATE,
                                     FILE_DIRECTORY_FILE, security);
    if (!made.file) {
        if (made.error == ERROR_ALREADY_EXISTS || made.error == ERROR_FILE_EXISTS) {
            // Something appeared between the two calls, or a link that leads nowhere.
            return failure(mode == HoldMode::CreateNew ? HoldStatus::Exists
                                                       : HoldStatus::NotAPlainFolder,
                           made.error);
        }
        return failure(isMissingError(made.error) ? HoldStatus::Missing : HoldStatus::Failed,
                       made.error);
    }
    HoldResult result;
    result.status = HoldStatus::Held;
    result.folder = HeldFolder(parent.path() / std::wstring(name), std::move(made.file));
    return result;
}

} // namespace

HoldResult holdChildFolder(const HeldFolder& parent, std::wstring_view name, HoldMode mode,
                           PSECURITY_DESCRIPTOR security) {
    return holdChild(parent, name, mode, security, kHoldAccess | DELETE);
}

HoldResult holdChildFolderWithoutDelete(const HeldFolder& parent, std::wstring_view name,
                                        HoldMode mode, PSECURITY_DESCRIPTOR security) {
    return holdChild(parent, name, mode, security, kHoldAccess);
}

HoldResult holdExistingChildFolder(const HeldFolder& parent, std::wstring_view name) {
    return holdChildFolderWithoutDelete(parent, name, HoldMode::OpenExisting);
}

std::wstring randomSuffix() {
    std::random_device source;
    const auto bits = static_cast<std::uint32_t>(source());
    std::wstring digits(8, L'0');
    for (int index = 0; index < 8; ++index) {
        digits[index] = L"0123456789abcdef"[(bits >> (28 - 4 * index)) & 0xF];
    }
    return digits;
}

std::wstring_view withoutRandomSuffix(std::wstring_view name) {
    constexpr std::size_t kLength = 9; // "-" and eight digits
    const bool suffixed = name.size() > kLength && name[name.size() - kLength] == L'-' &&
                          std::all_of(name.end() - (kLength - 1), name.end(), [](wchar_t c) {
                              return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f');
                          });
    return suffixed ? name.substr(0, name.size() - kLength) : name;
}

HoldResult createUniqueChildFolder(const HeldFolder& parent, const std::wstring& name,
                                   PSECURITY_DESCRIPTOR security, int names) {
    std::wstring candidate = name;
    for (int attempt = 1;; ++attempt) {
        HoldResult made =
            holdChildFolderWithoutDelete(parent, candidate, HoldMode::CreateNew, security);
        if (made.status != HoldStatus::Exists || attempt >= names) {
            return made;
        }
        candidate = name + L"-" + randomSuffix();
    }
}

HoldResult holdFolderMadeAt(const std::filesystem::path& path) {
    HoldResult held = holdFolderAt(path);
    const std::filesystem::path parent = path.parent_path();
    if (held.status != HoldStatus::Missing || !path.has_filename() || parent == path) {
        return held;
    }
    HoldResult above = holdFolderMadeAt(parent);
    if (above.status != HoldStatus::Held) {
        return above;
    }
    return holdChildFolder(above.folder, path.filename().wstring(), HoldMode::OpenOrCreate);
}

bool keepsAccessRules(HANDLE folder) {
    DWORD flags = 0;
    return ::GetVolumeInformationByHandleW(folder, nullptr /* label */, 0, nullptr /* serial */,
                                           nullptr /* name length */, &flags,
                                           nullptr /* file system */, 0) != FALSE &&
           (flags & FILE_PERSISTENT_ACLS) != 0;
}

namespace {

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// "X:\" for a path that starts with a drive letter, itself or after "\\?\"; empty for a
// share ("\\server\share", "\\?\UNC\...") or anything else.
std::wstring driveRoot(std::wstring_view path) {
    if (path.size() >= 4 && isSeparator(path[0]) && isSeparator(path[1]) &&
        (path[2] == L'?' || path[2] == L'.') && isSeparator(path[3])) {
        path.remove_prefix(4);
    }
    if (path.size() >= 2 && path[1] == L':' && !isSeparator(path[0])) {
        return std::wstring{path[0], L':', L'\\'};
    }
    return {};
}

} // namespace

bool isOnLocalDisk(const std::filesystem::path& given, HANDLE folder) {
    FILE_REMOTE_PROTOCOL_INFO remote{};
    if (::GetFileInformationByHandleEx(folder, FileRemoteProtocolInfo, &remote, sizeof(remote))) {
        return false;
    }
    for (const std::wstring& path : {given.wstring(), finalPathOf(folder)}) {
        const std::wstring root = driveRoot(path);
        if (root.empty() || ::GetDriveTypeW(root.c_str()) == DRIVE_REMOTE) {
            return false;
        }
    }
    return true;
}

} // namespace qv
