#include "install/file_update.h"

#include "core/errors.h"
#include "core/run_context.h"
#include "core/tree_removal.h"
#include "install/install_site.h"
#include "install/placement_steps.h"

#include <stdexcept>

namespace qv {

namespace fs = std::filesystem;

FileUpdate::FileUpdate(const HeldFolder& runFolderParent, HeldFolder runFolder,
                       std::vector<char>& copyBuffer)
    : runFolderParent_(runFolderParent), runFolder_(std::move(runFolder)), buffer_(copyBuffer) {}

void FileUpdate::stageFile(const std::wstring& folder, const std::wstring& name,
                           const fs::path& source, const fs::path& shown,
                           PSECURITY_DESCRIPTOR security) {
    Placement& placement = placements_.emplace_back();
    const std::size_t number = placements_.size();
    placement.name = name;
    const HANDLE stagingFolder = numberedFolder(stagingFolders_, newFilesFolderName(number), shown);
    // Nobody writes to, renames or deletes the new file while the update holds it.
    RelativeOpen staged =
        openRelative(stagingFolder, numberedName(number),
                     GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES | WRITE_DAC, FILE_SHARE_READ,
                     FILE_CREATE, FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY);
    if (!staged.file) {
        throwCopyFailure(shown, staged.error);
    }
    placement.staged = std::move(staged.file);
    // Set on the file made, not given to its making: there the system would add what the run's
    // folder passes on and drop what is marked inherited.
    if (security != nullptr &&
        !::SetKernelObjectSecurity(placement.staged.get(), DACL_SECURITY_INFORMATION, security)) {
        throwCopyFailure(shown, ::GetLastError());
    }
    if (const DWORD error = copyInto(placement.staged.get(), source, buffer_)) {
        throwCopyFailure(shown, error);
    }
    record_.files.push_back({number, folder, name, fileIdentity(placement.staged.get())});
    if (number == 1 && !durability_.volumeOpens(runFolder_.handle())) {
        flushBehind_ = std::make_unique<FlushBehind>(durability_.flushFile);
    }
    if (flushBehind_) {
        flushBehind_->add(placement.staged.get());
    }
}

void FileUpdate::planFolder(const std::wstring& folder) {
    record_.madeFolders.push_back(folder);
}

void FileUpdate::writeRecord(const fs::path& shown) {
    // The record's flush makes the names it lists durable; the bytes behind them must be first,
    // or a power cut could leave committed names on files the cache never wrote.
    if (flushBehind_) {
        if (const DWORD error = flushBehind_->finish()) {
            throwCopyFailure(shown, error);
        }
    } else if (!durability_.flushVolume(runFolder_.handle())) {
        for (const Placement& placement : placements_) {
            if (!durability_.flushFile(placement.staged.get())) {
                throwCopyFailure(shown, ::GetLastError());
            }
        }
    }
    RelativeOpen made = openRelative(runFolder_.handle(), kUnfinishedRecordName,
                                     GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                                     FILE_CREATE, FILE_NON_DIRECTORY_FILE);
    if (!made.file) {
        throwCopyFailure(shown, made.error);
    }
    recordFile_ = std::move(made.file);
    DWORD error = writeRecordText(recordFile_.get(), recordText(record_), durability_.flushFile);
    if (error == ERROR_SUCCESS) {
        error = renameByHandle(recordFile_.get(), runFolder_.handle(), kUpdateRecordName, false);
    }
    if (error != ERROR_SUCCESS) {
        deleteByHandle(recordFile_.get());
        recordFile_.reset();
        throwCopyFailure(shown, error);
    }
}

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

void FileUpdate::placeFile(std::size_t index, const HeldFolder& folder,
                           const std::wstring& folderFinalPath, bool folderIsNew,
                           const fs::path& shown) {
    Placement& placement = placements_.at(index);
    const std::size_t number = index + 1;
    const std::wstring name = placement.name;
    placement.folder = &folder;
    // In a folder of this run's making, whatever another program may have put at the name since
    // is not looked at: the rename below refuses to replace it.
    bool plainFolder = false;
    RelativeOpen old = folderIsNew ? RelativeOpen{UniqueFile(), ERROR_FILE_NOT_FOUND, false}
                                   : openTarget(folder.handle(), name, plainFolder);
    bool replaceName = false;
    std::wstring found;
    if (old.file) {
        found = readFinalPath_(old.file.get());
        if (found.empty()) {
            // Where the old file is cannot be told, nor whether it is the one at the name:
            // replacing the name would keep nothing to put back.
            const DWORD error = ::GetLastError();
            throwCopyFailure(shown, error != ERROR_SUCCESS ? error : ERROR_CANT_RESOLVE_FILENAME);
        }
    }
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
        const HANDLE backupFolder =
            numberedFolder(backupFolders_, oldCopiesFolderName(number), shown);
        if (const DWORD error =
                renameByHandle(old.file.get(), backupFolder, numberedName(number), false)) {
            throwCopyFailure(shown, error);
        }
        placement.backup = std::move(old.file);
        // Put back, the old file gets its own spelling of the name, which may differ in case.
        placement.name = found.substr(found.find_last_of(L'\\') + 1);
        if (placement.name != name) {
            // Not made durable: lost with the cache, only the case of a name put back differs.
            writeRecordText(recordFile_.get(), spellingLine(number, placement.name), nullptr);
        }
    } else if (old.error != ERROR_FILE_NOT_FOUND) {
        throwCopyFailure(shown, old.error);
    }
    if (const DWORD error =
            renameByHandle(placement.staged.get(), folder.handle(), name, replaceName)) {
        throwCopyFailure(shown, error);
    }
    placement.placed = true;
}

void FileUpdate::markCommitted(const fs::path& shown) {
    // Part of a mark whose writing failed may reach the disk later: a put-back cut short after
    // that would leave a record that keeps a mixed installation.
    if (const DWORD error =
            appendOrCut(recordFile_.get(), committedLine(), durability_.flushFile)) {
        throwCopyFailure(shown, error);
    }
}

HANDLE FileUpdate::numberedFolder(std::vector<HeldFolder>& folders, const std::wstring& name,
                                  const fs::path& shown) {
    const std::size_t index = std::stoul(name.substr(4)) - 1;
    if (folders.size() <= index) {
        folders.resize(index + 1);
    }
    if (!folders[index]) {
        // The run's folder passes its rules on: SYSTEM and Administrators only.
        HoldResult made = holdChildFolderWithoutDelete(runFolder_, name, HoldMode::CreateNew,
                                                       workFolderSecurityDescriptor().get());
        if (made.status != HoldStatus::Held) {
            throwCopyFailure(shown,
                             made.error != ERROR_SUCCESS ? made.error : ERROR_ALREADY_EXISTS);
        }
        folders[index] = std::move(made.folder);
    }
    return folders[index].handle();
}

// Only the empty ones go; the others keep old copies still in use.
void FileUpdate::removeBackupFolders() noexcept {
    for (std::vector<HeldFolder>* folders : {&stagingFolders_, &backupFolders_}) {
        for (HeldFolder& folder : *folders) {
            if (folder) {
                removeHeldFolder(runFolder_, folder);
            }
        }
        folders->clear();
    }
}

FileUpdate::PutBack FileUpdate::putBack() noexcept {
    flushBehind_.reset();
    PutBack result;
    auto keep = [&](std::size_t number, const Placement& placement) {
        result.complete = false;
        if (placement.backup) {
            try {
                result.keptOldCopies.push_back(backupFolders_[(number - 1) / 100].path() /
                                               numberedName(number));
            } catch (...) {
                // No memory for the path: the failure is still reported.
            }
        }
    };
    for (std::size_t number = placements_.size(); number > 0; --number) {
        Placement& placement = placements_[number - 1];
        if (placement.placed) {
            // The run's folder is open to other programs, which may have taken the name the new
            // file left: any free name there will do, and one they cannot guess is free.
            const HANDLE stagingFolder = stagingFolders_[(number - 1) / 100].handle();
            DWORD error =
                rename_(placement.staged.get(), stagingFolder, numberedName(number), false);
            for (int attempt = 0; error != ERROR_SUCCESS && attempt < 3; ++attempt) {
                try {
                    error = rename_(placement.staged.get(), stagingFolder,
                                    numberedName(number) + L"-" + randomSuffix(), false);
                } catch (...) {
                    break; // no memory, or no source of random numbers: the name stays taken
                }
            }
            if (error != ERROR_SUCCESS) {
                keep(number, placement);
                continue;
            }
            placement.placed = false;
        }
        if (placement.backup) {
            const HANDLE folder = placement.folder->handle();
            if (rename_(placement.backup.get(), folder, placement.name, false) != ERROR_SUCCESS) {
                // Rather the new file than neither: the name keeps it until the old copy can go
                // back, which the next run's recovery does.
                placement.placed =
                    rename_(placement.staged.get(), folder, placement.name, false) == 0;
                keep(number, placement);
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
        if (recordFile_) {
            deleteByHandle(recordFile_.get());
            recordFile_.reset();
        }
        removeBackupFolders();
        removeHeldFolder(runFolderParent_, runFolder_);
    }
    // Cut short, the record stays as a run ended here would leave it: the next run's recovery
    // puts back what this could not, and removes no old copy that is not back at its name.
    recordFile_.reset();
    stagingFolders_.clear();
    backupFolders_.clear();
    runFolder_.reset();
    return result;
}

void FileUpdate::commit() noexcept {
    flushBehind_.reset();
    for (Placement& placement : placements_) {
        placement.staged.reset();
        if (placement.backup) {
            // An old copy in use (a running program's image) refuses: it waits for a later run.
            deleteEntryByHandle(placement.backup.get());
            placement.backup.reset();
        }
    }
    if (recordFile_) {
        deleteByHandle(recordFile_.get());
        recordFile_.reset();
    }
    removeBackupFolders();
    removeHeldFolder(runFolderParent_, runFolder_); // only when empty
    runFolder_.reset();
}

} // namespace qv
