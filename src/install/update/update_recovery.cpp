#include "install/update/update_recovery.h"

#include "core/errors.h"
#include "core/install_log.h"
#include "core/tree_removal.h"
#include "install/placement_steps.h"
#include "install/update/run_folder.h"
#include "install/update/update_record.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>

namespace qv {
namespace {

enum class Outcome { LeftAlone, Undone, Kept };

// The folders below the installation folder that the record names, each held as any folder the
// update writes into (checked to be a plain folder at its place, through no link), by its path.
class FoldersBelow {
public:
    explicit FoldersBelow(const HeldFolder& root) : root_(root) {}

    // Null when it is missing or not a plain folder of its own.
    HeldFolder* at(const std::wstring& relative) {
        if (relative.empty()) {
            return const_cast<HeldFolder*>(&root_);
        }
        auto found = held_.find(relative);
        if (found != held_.end()) {
            return found->second.get();
        }
        const std::size_t separator = relative.rfind(L'\\');
        HeldFolder* parent =
            at(separator == relative.npos ? std::wstring() : relative.substr(0, separator));
        std::unique_ptr<HeldFolder>& slot = held_[relative];
        if (parent == nullptr) {
            failures_[relative] = failureAt(relative.substr(0, separator));
            return nullptr;
        }
        HoldResult held = holdExistingChildFolder(*parent, relative.substr(separator + 1));
        if (held.status == HoldStatus::Held) {
            slot = std::make_unique<HeldFolder>(std::move(held.folder));
        } else if (held.status != HoldStatus::Missing) {
            failures_[relative] =
                held.error != ERROR_SUCCESS ? held.error : ERROR_CANT_RESOLVE_FILENAME;
        }
        return slot.get();
    }

    // Why at(relative) gave none: 0 when the folder is simply not there.
    DWORD failureAt(const std::wstring& relative) const {
        const auto found = failures_.find(relative);
        return found == failures_.end() ? ERROR_SUCCESS : found->second;
    }

    HeldFolder* parentOf(const std::wstring& relative) {
        const std::size_t separator = relative.rfind(L'\\');
        return at(separator == relative.npos ? std::wstring() : relative.substr(0, separator));
    }

private:
    const HeldFolder& root_;
    std::map<std::wstring, std::unique_ptr<HeldFolder>> held_;
    std::map<std::wstring, DWORD> failures_;
};

// An entry that could not be undone: its place below the installation folder, and why.
struct Unfinished {
    std::wstring file;
    DWORD error = ERROR_SUCCESS;
};

// The new file, where it holds the recorded name, moved back into the run's folder and held in
// `moved` (a program started from it meanwhile keeps it from being deleted, not from being
// moved). Returns the system's error code, 0 once the name no longer holds it.
DWORD takeNewFileFromName(const HeldFolder& folder, const RecordedFile& file,
                          const HoldResult& staging, UniqueFile& moved) {
    bool plainFolder = false;
    RelativeOpen atName = openTarget(folder.handle(), file.name, plainFolder);
    if (!atName.file) {
        // Anything but "not there" may be the new file, held.
        return atName.error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : atName.error;
    }
    if (plainFolder || fileIdentity(atName.file.get()) != file.newFile ||
        !reachedByName(atName.file.get(), finalPathOf(folder.handle()), file.name)) {
        return ERROR_SUCCESS; // not the new file: nothing of the update's to remove
    }
    if (staging.status != HoldStatus::Held) {
        return staging.error != ERROR_SUCCESS ? staging.error : ERROR_PATH_NOT_FOUND;
    }
    const DWORD error =
        moveNewFileAside(atName.file.get(), staging.folder.handle(), file.number, renameByHandle);
    if (error == ERROR_SUCCESS) {
        moved = std::move(atName.file);
    }
    return error;
}

// The old copy of `file`, opened, or why it cannot be: only "not found" means there is none,
// and then `backup` stays empty and the result is 0.
DWORD openOldCopy(NumberedFolders& oldCopies, const RecordedFile& file, RelativeOpen& backup) {
    const HoldResult& folder = oldCopies.find(file.number);
    if (folder.status == HoldStatus::Missing) {
        return ERROR_SUCCESS;
    }
    if (folder.status != HoldStatus::Held) {
        return folder.error != ERROR_SUCCESS ? folder.error : ERROR_CANT_RESOLVE_FILENAME;
    }
    backup =
        openRelative(folder.folder.handle(), numberedName(file.number),
                     DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    if (!backup.file) {
        return backup.error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : backup.error;
    }
    if (!reachedByName(backup.file.get(), finalPathOf(folder.folder.handle()),
                       numberedName(file.number))) {
        backup.file.reset(); // a link where an old copy should be: not followed
        return ERROR_CANT_RESOLVE_FILENAME;
    }
    return ERROR_SUCCESS;
}

// Every entry whose old copy is at hand goes back; an entry whose old copy cannot be held keeps
// its new file where it is. Returns the first entry left undone, if any.
std::optional<Unfinished> undo(const InstallSite& site, const HeldFolder& run,
                               const UpdateRecord& record) {
    std::optional<Unfinished> first;
    FoldersBelow folders(site.destination);
    NumberedFolders newFiles(run, RunFolderPart::NewFiles);
    NumberedFolders oldCopies(run, RunFolderPart::OldCopies);
    for (auto it = record.files.rbegin(); it != record.files.rend(); ++it) {
        const RecordedFile& file = *it;
        RelativeOpen backup;
        DWORD error = openOldCopy(oldCopies, file, backup);
        HeldFolder* target = error == ERROR_SUCCESS ? folders.at(file.folder) : nullptr;
        if (error == ERROR_SUCCESS && target == nullptr) {
            // Its folder gone: no new file can be at the name, and no old copy can go back. One
            // that cannot be held may hold the new file.
            error = folders.failureAt(file.folder);
            error = error == ERROR_SUCCESS && backup.file ? ERROR_PATH_NOT_FOUND : error;
        } else if (error == ERROR_SUCCESS) {
            UniqueFile moved;
            error = takeNewFileFromName(*target, file, newFiles.find(file.number), moved);
            if (error == ERROR_SUCCESS && backup.file) {
                error = renameByHandle(backup.file.get(), target->handle(), file.name, false);
            }
            if (error == ERROR_SUCCESS && moved) {
                deleteEntryByHandle(moved.get());
            } else if (moved) {
                // Rather the new file than neither, until the old copy can go back.
                renameByHandle(moved.get(), target->handle(), file.name, false);
            }
        }
        if (error != ERROR_SUCCESS && !first) {
            first = Unfinished{file.folder.empty() ? file.name : file.folder + L"\\" + file.name,
                               error};
        }
    }
    // Last made, first removed; a folder someone has put something into meanwhile stays.
    for (auto it = record.madeFolders.rbegin(); it != record.madeFolders.rend(); ++it) {
        HeldFolder* parent = folders.parentOf(*it);
        HeldFolder* folder = folders.at(*it);
        if (parent != nullptr && folder != nullptr) {
            removeHeldFolderIfEmpty(*parent, *folder);
        }
    }
    return first;
}

void logNotARunsFolder(const InstallSite& site, const std::wstring& name) {
    writeLog("Không phải thư mục cập nhật của trình cài đặt, để nguyên: " +
             toUtf8(printableText((site.shown.parent_path() / name).wstring())));
}

Outcome recoverRunFolder(const InstallSite& site, const std::wstring& name, OwnerReader ownerOf,
                         const SidBytes& creator, std::optional<Unfinished>& unfinished) {
    HoldResult held = holdExistingChildFolder(site.parent, name);
    if (held.status == HoldStatus::Missing) {
        return Outcome::LeftAlone;
    }
    if (held.status != HoldStatus::Held ||
        !ownedByCreator(ownerOf(site.parent.handle(), name), creator)) {
        logNotARunsFolder(site, name);
        return Outcome::LeftAlone;
    }
    HeldFolder& run = held.folder;
    RelativeOpen opened = openRecordFile(run);
    const std::wstring recordShown = name + L"\\" + kUpdateRecordName;
    if (!opened.file) {
        // No record: the run changed no name. Its folder goes as any earlier run's does.
        if (opened.error != ERROR_FILE_NOT_FOUND) {
            unfinished = Unfinished{L"..\\" + recordShown, opened.error};
        }
        return Outcome::LeftAlone;
    }
    if (!ownedByCreator(ownerOf(run.handle(), kUpdateRecordName), creator)) {
        logNotARunsFolder(site, recordShown);
        return Outcome::LeftAlone;
    }
    std::wstring text;
    std::optional<UpdateRecord> record;
    if (reachedByName(opened.file.get(), finalPathOf(run.handle()), kUpdateRecordName)) {
        const DWORD error = readRecordText(opened.file.get(), text);
        if (error != ERROR_SUCCESS && error != ERROR_FILE_TOO_LARGE &&
            error != ERROR_INVALID_DATA) {
            unfinished = Unfinished{L"..\\" + recordShown, error};
            return Outcome::LeftAlone;
        }
        record = error == ERROR_SUCCESS ? parseRecord(text) : std::nullopt;
    }
    if (!record) {
        // Nothing of it can be trusted to say what the update changed: an operator's to look at.
        opened.file.reset();
        if (const DWORD error = markKept(run)) {
            // Unmarked, a later run's cleanup would take its old copies for a finished run's.
            unfinished = Unfinished{L"..\\" + name + L"\\" + kKeptMark, error};
            return Outcome::LeftAlone;
        }
        return Outcome::Kept;
    }
    if (!record->committed) {
        if (std::optional<Unfinished> left = undo(site, run, *record)) {
            unfinished = std::move(left); // the record stays, and the next run tries again
            return Outcome::LeftAlone;
        }
    }
    deleteByHandle(opened.file.get());
    opened.file.reset();
    removeKeptMark(run);
    run.reset();
    removeRunFolder(site, name);
    return record->committed ? Outcome::LeftAlone : Outcome::Undone;
}

} // namespace

bool recoverInterruptedUpdates(const InstallSite& site, OwnerReader ownerOf) {
    bool undone = false;
    std::optional<Unfinished> first;
    const SidBytes creator = ownerGivenToNewEntries(site.parent.handle());
    for (const std::wstring& name : runFolderNames(site)) {
        std::optional<Unfinished> unfinished;
        try {
            undone =
                recoverRunFolder(site, name, ownerOf, creator, unfinished) == Outcome::Undone ||
                undone;
        } catch (const std::exception&) {
            unfinished = Unfinished{L"..\\" + name, ERROR_NOT_ENOUGH_MEMORY};
        }
        if (unfinished && !first) {
            first = std::move(unfinished);
        }
    }
    if (first) {
        throwWindowsError(
            first->error,
            "Không khôi phục được lần cài trước bị gián đoạn: " +
                toUtf8(printableText((site.shown / first->file).lexically_normal().wstring())) +
                ": ");
    }
    return undone;
}

} // namespace qv
