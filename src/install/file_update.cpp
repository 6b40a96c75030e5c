#include "install/file_update.h"

#include "core/errors.h"
#include "core/run_context.h"
#include "core/tree_removal.h"
#include "install/install_site.h"

#include <stdexcept>

namespace qv {

namespace fs = std::filesystem;

namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A file system that matches names without regard to case by reading the whole folder makes
// each new name cost as much as the folder is large: old copies go a hundred to a folder, so
// that a large update does not slow down with the square of its size.
constexpr std::size_t kBackupsPerFolder = 100;

[[noreturn]] void throwCopyFailure(const fs::path& shown, DWORD error) {
    throw std::runtime_error("Không sao chép được: " + toUtf8(printableText(shown.wstring())) +
                             ": " + windowsErrorText(error));
}

// The source's bytes into the new file, and its last-write time as a file copy keeps it. The
// new file keeps the plain attributes it was made with: a read-only package file must not make
// the installed one read-only.
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

bool isPlainFolder(HANDLE entry) {
    FILE_BASIC_INFO basic{};
    return ::GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof(basic)) &&
           (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Whatever is at the name, opened as itself and shared with everyone, so that a running
// program's image or an open data file can still be moved aside (a file open without sharing
// cannot, and the update stops there). A file is what is nearly always there, and asking for
// one spares a query per file; anything else (a folder, a link to one) is opened on a second
// try, and `plainFolder` tells whether it is a folder.
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

} // namespace

FileUpdate::FileUpdate(const HeldFolder& runFolderParent, HeldFolder runFolder,
                       std::vector<char>& copyBuffer)
    : runFolderParent_(runFolderParent), runFolder_(std::move(runFolder)), buffer_(copyBuffer) {}

void FileUpdate::createFolder(HeldFolder& slot, const HeldFolder& parent, const std::wstring& name,
                              const fs::path& shown) {
    // Files are renamed into it: no DELETE access in the hold (see holdChildFolderWithoutDelete).
    HoldResult made = holdChildFolderWithoutDelete(parent, name, HoldMode::CreateNew);
    if (made.status == HoldStatus::Exists || made.status == HoldStatus::NotAPlainFolder) {
        throwUnsafeFolder(shown);
    }
    if (made.status != HoldStatus::Held) {
        throwCopyFailure(shown, made.error);
    }
    slot = std::move(made.folder);
    createdFolders_.push_back({&parent, &slot});
}

void FileUpdate::placeFile(const HeldFolder& folder, const std::wstring& folderFinalPath,
                           bool folderIsNew, const std::wstring& name, const fs::path& source,
                           const fs::path& shown) {
    Placement& placement = placements_.emplace_back();
    const std::wstring number = std::to_wstring(placements_.size());
    placement.folder = &folder;
    placement.name = name;
    placement.stagedName = L"new-" + number;
    // Nobody writes to, renames or deletes the new file while the update holds it.
    RelativeOpen staged = openRelative(
        runFolder_.handle(), placement.stagedName, GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ, FILE_CREATE, FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY);
    if (!staged.file) {
        throwCopyFailure(shown, staged.error);
    }
    placement.staged = std::move(staged.file);
    if (const DWORD error = copyInto(placement.staged.get(), source, buffer_)) {
        throwCopyFailure(shown, error);
    }

    // In a folder of this run's making, whatever another program may have put at the name since
    // is not looked at: the rename below refuses to replace it.
    bool plainFolder = false;
    RelativeOpen old = folderIsNew ? RelativeOpen{UniqueFile(), ERROR_FILE_NOT_FOUND, false}
                                   : openTarget(folder.handle(), name, plainFolder);
    bool replaceName = false;
    const std::wstring found = old.file ? finalPathOf(old.file.get()) : std::wstring();
    if (old.file && !reachedByName(found, folderFinalPath, name)) {
        // Another name in this very folder reached: the package's name is another file's short
        // name (or the same file's under a link beside it). Replacing the name would destroy a
        // file that is not the package's, with nothing to put back.
        if (reachedByName(found, folderFinalPath, found.substr(found.find_last_of(L'\\') + 1))) {
            throwCopyFailure(shown, ERROR_ALREADY_EXISTS);
        }
        // A link the system followed when asked not to: the handle is what it leads to, which is
        // not the installation's to move. The name is replaced as a name, with no backup, and
        // nothing of the run may hold what the link leads to meanwhile.
        replaceName = true;
        old.file.reset();
    } else if (old.file) {
        if (plainFolder) {
            throwCopyFailure(shown, ERROR_ALREADY_EXISTS);
        }
        // Put back, the old file gets its own spelling of the name, which may differ in case.
        placement.name = found.substr(found.find_last_of(L'\\') + 1);
        const HANDLE backupFolder = nextBackupFolder(shown);
        placement.backupFolder = backupFolders_.size() - 1;
        placement.backupName = number;
        if (const DWORD error =
                renameByHandle(old.file.get(), backupFolder, placement.backupName, false)) {
            throwCopyFailure(shown, error);
        }
        placement.backup = std::move(old.file);
    } else if (old.error != ERROR_FILE_NOT_FOUND) {
        throwCopyFailure(shown, old.error);
    }
    if (const DWORD error =
            renameByHandle(placement.staged.get(), folder.handle(), name, replaceName)) {
        throwCopyFailure(shown, error);
    }
    placement.placed = true;
}

HANDLE FileUpdate::nextBackupFolder(const fs::path& shown) {
    if (backups_ % kBackupsPerFolder == 0) {
        const std::wstring name = L"old-" + std::to_wstring(backupFolders_.size() + 1);
        HoldResult made = holdChildFolderWithoutDelete(runFolder_, name, HoldMode::CreateNew);
        if (made.status != HoldStatus::Held) {
            throwCopyFailure(shown,
                             made.error != ERROR_SUCCESS ? made.error : ERROR_ALREADY_EXISTS);
        }
        backupFolders_.push_back(std::move(made.folder));
    }
    ++backups_;
    return backupFolders_.back().handle();
}

// Only the empty ones go; the others keep old copies still in use.
void FileUpdate::removeBackupFolders() noexcept {
    for (HeldFolder& folder : backupFolders_) {
        removeHeldFolder(runFolder_, folder);
    }
}

FileUpdate::PutBack FileUpdate::putBack() noexcept {
    PutBack result;
    auto keep = [&](const Placement& placement) {
        result.complete = false;
        if (placement.backup) {
            try {
                result.keptOldCopies.push_back(backupFolders_[placement.backupFolder].path() /
                                               placement.backupName);
            } catch (...) {
                // No memory for the path: the failure is still reported.
            }
        }
    };
    for (auto it = placements_.rbegin(); it != placements_.rend(); ++it) {
        Placement& placement = *it;
        if (placement.placed) {
            // The run's folder is open to other programs, which may have taken the name the new
            // file left: any free name there will do, and one they cannot guess is free.
            DWORD error = renameByHandle(placement.staged.get(), runFolder_.handle(),
                                         placement.stagedName, false);
            for (int attempt = 0; error != ERROR_SUCCESS && attempt < 3; ++attempt) {
                try {
                    error = renameByHandle(placement.staged.get(), runFolder_.handle(),
                                           placement.stagedName + L"-" + randomSuffix(), false);
                } catch (...) {
                    break; // no memory, or no source of random numbers: the name stays taken
                }
            }
            if (error != ERROR_SUCCESS) {
                keep(placement);
                continue;
            }
            placement.placed = false;
        }
        if (placement.backup) {
            if (renameByHandle(placement.backup.get(), placement.folder->handle(), placement.name,
                               false) != ERROR_SUCCESS) {
                keep(placement);
                continue;
            }
            placement.backup.reset();
        }
        if (placement.staged) {
            deleteByHandle(placement.staged.get());
            placement.staged.reset();
        }
    }
    // Last made, first removed: a folder is empty once what was made inside it is gone.
    for (auto it = createdFolders_.rbegin(); it != createdFolders_.rend(); ++it) {
        removeHeldFolder(*it->first, *it->second);
    }
    if (result.complete) {
        removeBackupFolders();
        removeHeldFolder(runFolderParent_, runFolder_);
    } else {
        // The failure names these old copies as what is left of the installation: a later run
        // must not remove them.
        holdChildFolderWithoutDelete(runFolder_, kKeptMark, HoldMode::CreateNew);
    }
    backupFolders_.clear();
    runFolder_.reset();
    return result;
}

void FileUpdate::commit() noexcept {
    for (Placement& placement : placements_) {
        placement.staged.reset();
        if (placement.backup) {
            // An old copy in use (a running program's image) refuses: it waits for a later run.
            deleteEntryByHandle(placement.backup.get());
            placement.backup.reset();
        }
    }
    removeBackupFolders();
    removeHeldFolder(runFolderParent_, runFolder_); // only when empty
    runFolder_.reset();
}

} // namespace qv
