#include "install/update/run_folder.h"

#include "core/errors.h"
#include "core/folder_listing.h"
#include "core/system_places.h"
#include "core/tree_removal.h"
#include "core/work_folder.h"
#include "install/placement_steps.h"
#include "install/update/run_folder_owner.h"

#include <algorithm>

namespace qv {

namespace fs = std::filesystem;

namespace {

const wchar_t kRunFolderMark[] = L".update-";
const wchar_t kNewFilesPrefix[] = L"new-";
const wchar_t kOldCopiesPrefix[] = L"old-";
constexpr std::size_t kPerFolder = 100;

std::size_t groupOf(std::size_t number) {
    return (number - 1) / kPerFolder + 1;
}

std::wstring partFolderName(RunFolderPart part, std::size_t number) {
    return (part == RunFolderPart::NewFiles ? kNewFilesPrefix : kOldCopiesPrefix) +
           decimalText(groupOf(number));
}

std::wstring runFolderPrefix(const InstallSite& site) {
    return site.name + kRunFolderMark;
}

// Whether `text` is `prefix` (any case) followed by groups of digits, as many as
// `minGroups`..`maxGroups`, joined by '-': only the names the run itself gives.
bool isNumberedName(std::wstring_view text, std::wstring_view prefix, int minGroups,
                    int maxGroups) {
    if (text.size() <= prefix.size() ||
        (!prefix.empty() && !samePathIgnoringCase(text.substr(0, prefix.size()), prefix))) {
        return false;
    }
    int groups = 0;
    bool inDigits = false;
    for (const wchar_t c : text.substr(prefix.size())) {
        if (c >= L'0' && c <= L'9') {
            groups += inDigits ? 0 : 1;
            inDigits = true;
        } else if (c == L'-' && inDigits) {
            inDigits = false;
        } else {
            return false;
        }
    }
    return inDigits && groups >= minGroups && groups <= maxGroups;
}

// What a run puts in its folder: its numbered folders, which hold files as "N" (runs before
// those folders put new files in as "new-N"), and a record whose writing the run did not live to
// finish. Nothing else in there is the run's to remove.
bool isRunFile(const std::wstring& name, int levelsBelow) {
    return levelsBelow > 0 ? isNumberedName(name, kNewFilesPrefix, 1, 1) ||
                                 samePathIgnoringCase(name, kUnfinishedRecordName)
                           : isNumberedName(name, L"", 1, 1);
}

bool isNumberedFolder(const std::wstring& name) {
    return isNumberedName(name, kOldCopiesPrefix, 1, 1) ||
           isNumberedName(name, kNewFilesPrefix, 1, 1);
}

// An earlier run's folder: the files it made go, and the old copies in its folders of them one
// level down (a link is never opened through), then each folder if nothing else is left.
void removeRunFolderLevel(const HeldFolder& parent, const std::wstring& name, int levelsBelow) {
    HoldResult held = holdChildFolder(parent, name, HoldMode::OpenExisting);
    if (held.status != HoldStatus::Held) {
        return;
    }
    const HANDLE folder = held.folder.handle();
    const std::wstring folderPath = finalPathOf(folder);
    std::vector<std::wstring> entries;
    for (ListedEntry& entry : listFolderEntries(folder).entries) {
        entries.push_back(std::move(entry.name));
    }
    if (std::any_of(entries.begin(), entries.end(), [](const std::wstring& entry) {
            return samePathIgnoringCase(entry, kKeptMark);
        })) {
        return;
    }
    for (const std::wstring& entry : entries) {
        const bool numbered = levelsBelow > 0 && isNumberedFolder(entry);
        if (!numbered && !isRunFile(entry, levelsBelow)) {
            continue;
        }
        RelativeOpen file =
            openRelative(folder, entry, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                         FILE_NON_DIRECTORY_FILE);
        if (file.file && reachedByName(file.file.get(), folderPath, entry)) {
            deleteEntryByHandle(file.file.get());
        } else if (!file.file && numbered) {
            removeRunFolderLevel(held.folder, entry, levelsBelow - 1);
        }
    }
    deleteByHandle(folder);
}

} // namespace

std::wstring numberedName(std::size_t number) {
    return decimalText(number);
}

HANDLE NumberedFolders::make(std::size_t number, DWORD& error) {
    HoldResult& slot = held_[groupOf(number)];
    if (slot.status != HoldStatus::Held) {
        const UniqueLocalMemory rules = workFolderSecurityDescriptor();
        if (!rules) {
            error = ::GetLastError();
            return nullptr;
        }
        slot = holdChildFolderWithoutDelete(run_, partFolderName(part_, number),
                                            HoldMode::CreateNew, rules.get());
        if (slot.status != HoldStatus::Held) {
            error = slot.error != ERROR_SUCCESS ? slot.error : ERROR_ALREADY_EXISTS;
            return nullptr;
        }
    }
    return slot.folder.handle();
}

const HoldResult& NumberedFolders::find(std::size_t number) {
    auto found = held_.find(groupOf(number));
    if (found == held_.end()) {
        found = held_
                    .emplace(groupOf(number),
                             holdExistingChildFolder(run_, partFolderName(part_, number)))
                    .first;
    }
    return found->second;
}

const HeldFolder* NumberedFolders::heldFor(std::size_t number) const {
    const auto found = held_.find(groupOf(number));
    return found == held_.end() || !found->second.folder ? nullptr : &found->second.folder;
}

void NumberedFolders::remove() noexcept {
    for (auto& [group, held] : held_) {
        if (held.folder) {
            removeHeldFolder(run_, held.folder);
        }
    }
    held_.clear();
}

DWORD moveNewFileAside(HANDLE file, HANDLE newFiles, std::size_t number,
                       RenameByHandle rename) noexcept {
    DWORD error = ERROR_NOT_ENOUGH_MEMORY;
    try {
        error = rename(file, newFiles, numberedName(number), false);
        for (int attempt = 0; error != ERROR_SUCCESS && attempt < 3; ++attempt) {
            error = rename(file, newFiles, numberedName(number) + L"-" + randomSuffix(), false);
        }
    } catch (...) {
        // No memory, or no source of random numbers: the name stays taken.
    }
    return error;
}

HeldFolder createRunFolder(const InstallSite& site) {
    const std::wstring name = runFolderPrefix(site) + decimalText(::GetCurrentProcessId()) + L"-" +
                              decimalText(::GetTickCount64());
    const fs::path path = site.parent.path() / name;
    const std::string failure = "Không tạo được thư mục đích: " + toUtf8(path.wstring());
    // Only SYSTEM and Administrators may change what it holds, as in the work folder.
    const UniqueLocalMemory rules = workFolderSecurityDescriptor();
    check(static_cast<bool>(rules), failure);
    // Anyone may have made a folder of the name foreseen: it is never taken.
    return requireHeld(createUniqueChildFolder(site.parent, name, rules.get(), 10), path, failure);
}

std::vector<std::wstring> runFolderNames(const InstallSite& site) {
    std::vector<std::wstring> found;
    const std::wstring prefix = runFolderPrefix(site);
    for (ListedEntry& entry : listFolderEntries(site.parent.handle()).entries) {
        std::wstring& name = entry.name;
        // "<name>.update-<process>-<tick>", with "-" and a random suffix when that name was
        // taken (earlier versions counted "-<attempt>" instead).
        const std::wstring_view base = withoutRandomSuffix(name);
        if (base.size() < name.size() ? isNumberedName(base, prefix, 2, 2)
                                      : isNumberedName(name, prefix, 2, 3)) {
            found.push_back(std::move(name));
        }
    }
    return found;
}

DWORD writeRecordFile(const HeldFolder& run, std::wstring_view text, FileFlush flush,
                      UniqueFile& record) {
    RelativeOpen made =
        openRelative(run.handle(), kUnfinishedRecordName, GENERIC_READ | GENERIC_WRITE | DELETE,
                     FILE_SHARE_READ, FILE_CREATE, FILE_NON_DIRECTORY_FILE);
    if (!made.file) {
        return made.error;
    }
    DWORD error = writeRecordText(made.file.get(), text, flush);
    if (error == ERROR_SUCCESS) {
        error = renameByHandle(made.file.get(), run.handle(), kUpdateRecordName, false);
    }
    if (error != ERROR_SUCCESS) {
        deleteByHandle(made.file.get());
        return error;
    }
    record = std::move(made.file);
    return ERROR_SUCCESS;
}

RelativeOpen openRecordFile(const HeldFolder& run) {
    return openRelative(run.handle(), kUpdateRecordName, GENERIC_READ | DELETE, FILE_SHARE_READ,
                        FILE_OPEN, FILE_NON_DIRECTORY_FILE);
}

DWORD markKept(const HeldFolder& run) {
    const HoldResult made = holdChildFolderWithoutDelete(run, kKeptMark, HoldMode::CreateNew);
    // Anything at the mark's name (an earlier run's mark) keeps the folder as well.
    return made.status != HoldStatus::Failed && made.status != HoldStatus::Missing
               ? ERROR_SUCCESS
               : (made.error != ERROR_SUCCESS ? made.error : ERROR_CANT_RESOLVE_FILENAME);
}

void removeKeptMark(const HeldFolder& run) {
    const RelativeOpen mark =
        openRelative(run.handle(), kKeptMark, DELETE, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE);
    if (mark.file) {
        deleteByHandle(mark.file.get());
    }
}

void removeRunFolder(const InstallSite& site, const std::wstring& name) noexcept {
    try {
        removeRunFolderLevel(site.parent, name, 1);
    } catch (...) {
        // Out of memory: the next run tries again.
    }
}

void removeEarlierRunFolders(const InstallSite& site, const std::wstring& current) noexcept {
    try {
        const SidBytes creator = ownerGivenToNewEntries(site.parent.handle());
        for (const std::wstring& name : runFolderNames(site)) {
            if (!samePathIgnoringCase(name, current) &&
                ownedByCreator(ownerOfChild(site.parent.handle(), name), creator)) {
                removeRunFolder(site, name);
            }
        }
    } catch (...) {
        // Out of memory while listing: the next run tries again.
    }
}

} // namespace qv
