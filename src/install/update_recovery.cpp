#include "install/update_recovery.h"

#include "core/run_context.h"
#include "core/tree_removal.h"
#include "install/placement_steps.h"
#include "install/update_record.h"

#include <algorithm>
#include <map>
#include <memory>

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
        if (parent != nullptr && *parent) {
            HoldResult held = holdExistingChildFolder(*parent, relative.substr(separator + 1));
            if (held.status == HoldStatus::Held) {
                slot = std::make_unique<HeldFolder>(std::move(held.folder));
            }
        }
        return slot && *slot ? slot.get() : nullptr;
    }

    HeldFolder* parentOf(const std::wstring& relative) {
        const std::size_t separator = relative.rfind(L'\\');
        return at(separator == relative.npos ? std::wstring() : relative.substr(0, separator));
    }

private:
    const HeldFolder& root_;
    std::map<std::wstring, std::unique_ptr<HeldFolder>> held_;
};

// The run's folders of new files and of old copies, held as they are first needed.
class RunFolders {
public:
    explicit RunFolders(const HeldFolder& run) : run_(run) {}
    const HeldFolder& at(const std::wstring& name) {
        auto found = held_.find(name);
        if (found == held_.end()) {
            found = held_.emplace(name, holdExistingChildFolder(run_, name).folder).first;
        }
        return found->second;
    }

private:
    const HeldFolder& run_;
    std::map<std::wstring, HeldFolder> held_;
};

// The new file, where it holds the recorded name: moved back into the run's folder and deleted
// there (a program started from it meanwhile keeps it from being deleted, not from being moved).
bool removeNewFile(const HeldFolder& folder, const RecordedFile& file, const HeldFolder& staging) {
    bool plainFolder = false;
    RelativeOpen atName = openTarget(folder.handle(), file.name, plainFolder);
    if (!atName.file) {
        return atName.error == ERROR_FILE_NOT_FOUND; // anything else may be the new file, held
    }
    if (plainFolder || fileIdentity(atName.file.get()) != file.newFile ||
        !reachedByName(atName.file.get(), finalPathOf(folder.handle()), file.name)) {
        return true; // not the new file: nothing of the update's to remove
    }
    if (!staging) {
        return false;
    }
    DWORD error =
        renameByHandle(atName.file.get(), staging.handle(), numberedName(file.number), false);
    for (int attempt = 0; error != ERROR_SUCCESS && attempt < 3; ++attempt) {
        error = renameByHandle(atName.file.get(), staging.handle(),
                               numberedName(file.number) + L"-" + randomSuffix(), false);
    }
    if (error != ERROR_SUCCESS) {
        return false;
    }
    deleteEntryByHandle(atName.file.get());
    return true;
}

bool undo(const InstallSite& site, const HeldFolder& run, const UpdateRecord& record) {
    bool complete = true;
    FoldersBelow folders(site.destination);
    RunFolders inRun(run);
    for (auto it = record.files.rbegin(); it != record.files.rend(); ++it) {
        const RecordedFile& file = *it;
        HeldFolder* target = folders.at(file.folder);
        const HeldFolder& oldFolder = inRun.at(oldCopiesFolderName(file.number));
        RelativeOpen backup;
        if (oldFolder) {
            backup = openRelative(oldFolder.handle(), numberedName(file.number),
                                  DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                                  FILE_NON_DIRECTORY_FILE);
            if (backup.file && !reachedByName(backup.file.get(), finalPathOf(oldFolder.handle()),
                                              numberedName(file.number))) {
                complete = false; // a link where an old copy should be: not followed
                continue;
            }
        }
        if (target != nullptr &&
            !removeNewFile(*target, file, inRun.at(newFilesFolderName(file.number)))) {
            complete = false;
            continue;
        }
        if (backup.file && (target == nullptr || renameByHandle(backup.file.get(), target->handle(),
                                                                file.name, false) != 0)) {
            complete = false;
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
    return complete;
}

Outcome recoverRunFolder(const InstallSite& site, const std::wstring& name) {
    HoldResult held = holdExistingChildFolder(site.parent, name);
    if (held.status != HoldStatus::Held) {
        return Outcome::LeftAlone;
    }
    HeldFolder& run = held.folder;
    const std::vector<std::wstring> entries = namesIn(run.handle());
    if (std::any_of(entries.begin(), entries.end(), [](const std::wstring& entry) {
            return samePathIgnoringCase(entry, kKeptMark);
        })) {
        return Outcome::LeftAlone;
    }
    RelativeOpen opened = openRelative(run.handle(), kUpdateRecordName, GENERIC_READ | DELETE,
                                       FILE_SHARE_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    if (!opened.file) {
        // No record: the run changed no name. Its folder goes as any earlier run's does.
        return Outcome::LeftAlone;
    }
    std::optional<UpdateRecord> record;
    if (reachedByName(opened.file.get(), finalPathOf(run.handle()), kUpdateRecordName)) {
        if (const std::optional<std::wstring> text = readRecordText(opened.file.get())) {
            record = parseRecord(*text);
        }
    }
    const bool undone = record && !record->committed && undo(site, run, *record);
    if (!record || (!record->committed && !undone)) {
        opened.file.reset();
        holdChildFolderWithoutDelete(run, kKeptMark, HoldMode::CreateNew);
        return Outcome::Kept;
    }
    deleteByHandle(opened.file.get());
    opened.file.reset();
    run.reset();
    removeRunFolder(site, name);
    return undone ? Outcome::Undone : Outcome::LeftAlone;
}

} // namespace

bool recoverInterruptedUpdates(const InstallSite& site) noexcept {
    bool undone = false;
    try {
        for (const std::wstring& name : runFolderNames(site)) {
            undone = recoverRunFolder(site, name) == Outcome::Undone || undone;
        }
    } catch (...) {
        // Out of memory: what is left waits for the next run.
    }
    return undone;
}

} // namespace qv
