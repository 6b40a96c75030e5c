#include "install/update/file_update.h"

#include "console/console_break.h"
#include "core/errors.h"
#include "core/tree_removal.h"
#include "install/install_site.h"
#include "install/placement_steps.h"

#include <stdexcept>

namespace qv {

namespace fs = std::filesystem;

namespace {

// A close, a log-off or a shutdown asks the update to stop: it stops at the next file and puts
// back what it changed while the system still lets the process live.
void stopWhenAsked(const fs::path& shown) {
    if (consoleStopRequested()) {
        throwCopyFailure(shown, ERROR_OPERATION_ABORTED);
    }
}

} // namespace

FileUpdate::FileUpdate(const HeldFolder& runFolderParent, HeldFolder runFolder,
                       std::vector<char>& copyBuffer)
    : runFolderParent_(runFolderParent), runFolder_(std::move(runFolder)), buffer_(copyBuffer) {}

void FileUpdate::apply(UpdatePlan& plan, const fs::path& source, const fs::path& destination,
                       const std::function<void(const UpdateFile&)>& staged) {
    // First every new file, beside the installation; nothing in it changes yet.
    for (const UpdateFolder& folder : plan.folders) {
        if (!folder.held) {
            planFolder(folder.relative);
        }
    }
    for (const UpdateFile& file : plan.files) {
        const fs::path shown = destination / file.relative;
        stopWhenAsked(shown);
        const UpdateFolder& folder = plan.folders[file.folder];
        stageFile(folder.relative, file.name, source / file.relative, shown,
                  descriptorOrNone(folder.forFiles));
        staged(file);
    }
    writeRecord(destination);

    // Then the names.
    for (std::size_t index = 1; index < plan.folders.size(); ++index) {
        UpdateFolder& folder = plan.folders[index];
        if (!folder.held) {
            createFolder(folder.held, plan.folders[folder.parent].held, folder.name,
                         destination / folder.relative);
            folder.finalPath = finalPathOf(folder.held.handle());
            folder.madeNow = true;
        }
    }
    for (std::size_t index = 0; index < plan.files.size(); ++index) {
        const UpdateFile& file = plan.files[index];
        const fs::path shown = destination / file.relative;
        stopWhenAsked(shown);
        const UpdateFolder& folder = plan.folders[file.folder];
        placeFile(index, folder.held, folder.finalPath, folder.madeNow, shown);
    }
    markCommitted(destination);
}

void FileUpdate::stageFile(const std::wstring& folder, const std::wstring& name,
                           const fs::path& source, const fs::path& shown,
                           PSECURITY_DESCRIPTOR security) {
    Placement& placement = placements_.emplace_back();
    const std::size_t number = placements_.size();
    placement.name = name;
    DWORD madeError = ERROR_SUCCESS;
    const HANDLE stagingFolder = newFiles_.make(number, madeError);
    if (stagingFolder == nullptr) {
        throwCopyFailure(shown, madeError);
    }
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
    if (const DWORD error =
            writeRecordFile(runFolder_, recordText(record_), durability_.flushFile, recordFile_)) {
        throwCopyFailure(shown, error);
    }
}

void FileUpdate::createFolder(HeldFolder& slot, const HeldFolder& parent, const std::wstring& name,
                              const fs::path& shown) {
    // Files are renamed into it (see holdChildFolderWithoutDelete).
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
    const std::wstring found = old.file ? readFinalPath_(old.file.get()) : std::wstring();
    const DWORD unread = ::GetLastError();
    if (old.file && found.empty()) {
        // Where the old file is cannot be told, nor whether it is the one at the name:
        // replacing the name would keep nothing to put back.
        throwCopyFailure(shown, unread);
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
        DWORD madeError = ERROR_SUCCESS;
        const HANDLE backupFolder = oldCopies_.make(number, madeError);
        if (backupFolder == nullptr) {
            throwCopyFailure(shown, madeError);
        }
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

void FileUpdate::removeRunFolder() noexcept {
    if (recordFile_) {
        deleteByHandle(recordFile_.get());
        recordFile_.reset();
    }
    newFiles_.remove();
    oldCopies_.remove();
    removeHeldFolder(runFolderParent_, runFolder_);
}

FileUpdate::PutBack FileUpdate::putBack() noexcept {
    flushBehind_.reset();
    PutBack result;
    auto keep = [&](std::size_t number, const Placement& placement) {
        result.complete = false;
        if (placement.backup) {
            try {
                result.keptOldCopies.push_back(oldCopies_.heldFor(number)->path() /
                                               numberedName(number));
            } catch (...) {
                // No memory for the path: the failure is still reported.
            }
        }
    };
    for (std::size_t number = placements_.size(); number > 0; --number) {
        Placement& placement = placements_[number - 1];
        if (placement.placed) {
            if (moveNewFileAside(placement.staged.get(), newFiles_.heldFor(number)->handle(),
                                 number, rename_) != ERROR_SUCCESS) {
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
        removeRunFolder();
    }
    // Cut short, the record stays as a run ended here would leave it: the next run's recovery
    // puts back what this could not, and removes no old copy that is not back at its name.
    recordFile_.reset();
    newFiles_.release();
    oldCopies_.release();
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
    removeRunFolder();
    runFolder_.reset();
}

} // namespace qv
