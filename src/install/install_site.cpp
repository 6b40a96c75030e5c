#include "install/install_site.h"

#include "core/errors.h"
#include "core/run_context.h"
#include "install/run_folder_owner.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <system_error>

namespace qv {

namespace fs = std::filesystem;

namespace {

const wchar_t kRunFolderMark[] = L".update-";

HeldFolder requireHeld(HoldResult held, const fs::path& path, const std::string& failure) {
    if (held.status == HoldStatus::Held) {
        return std::move(held.folder);
    }
    if (held.status == HoldStatus::NotAPlainFolder || held.status == HoldStatus::Exists) {
        throwUnsafeFolder(path);
    }
    throw std::runtime_error(failure);
}

// The folder that is there, held without the right to delete it (a program running from it,
// with it as its current folder, must not stop the update), or a new one.
HoldResult holdOrCreate(const HeldFolder& parent, const std::wstring& name, bool& made) {
    HoldResult existing = holdExistingChildFolder(parent, name);
    made = existing.status == HoldStatus::Missing;
    return made ? holdChildFolderWithoutDelete(parent, name, HoldMode::CreateNew)
                : std::move(existing);
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

// What a run puts in its folder: folders of new files ("new-K") and of old copies ("old-K"),
// which hold them as "N" (runs before those folders put new files in as "new-N"), and a record
// whose writing the run did not live to finish. Nothing else in there is the run's to remove.
bool isRunFile(const std::wstring& name, int levelsBelow) {
    return levelsBelow > 0 ? isNumberedName(name, L"new-", 1, 1) ||
                                 samePathIgnoringCase(name, L"update-record.new")
                           : isNumberedName(name, L"", 1, 1);
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
    const std::vector<std::wstring> entries = namesIn(folder);
    if (std::any_of(entries.begin(), entries.end(), [](const std::wstring& entry) {
            return samePathIgnoringCase(entry, kKeptMark);
        })) {
        return;
    }
    for (const std::wstring& entry : entries) {
        const bool numbered = levelsBelow > 0 && (isNumberedName(entry, L"old-", 1, 1) ||
                                                  isNumberedName(entry, L"new-", 1, 1));
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

std::vector<std::wstring> namesIn(HANDLE folder) {
    std::vector<std::wstring> names;
    std::vector<std::byte> buffer(64 * 1024);
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    while (::GetFileInformationByHandleEx(folder, kind, buffer.data(),
                                          static_cast<DWORD>(buffer.size()))) {
        kind = FileIdBothDirectoryInfo;
        for (std::size_t at = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data() + at);
            std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                names.push_back(std::move(name));
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            at += entry->NextEntryOffset;
        }
    }
    return names;
}

void throwUnsafeFolder(const fs::path& path) {
    throw std::runtime_error("Thư mục cài đặt không an toàn: " +
                             toUtf8(printableText(path.wstring())));
}

InstallSite holdInstallSite(const fs::path& destination, const std::string& creationFailure) {
    std::error_code error;
    fs::path folder = fs::absolute(destination, error).lexically_normal();
    if (!folder.has_filename()) {
        folder = folder.parent_path();
    }
    check(!error && folder.has_filename(), creationFailure);
    const fs::path parent = folder.parent_path();

    InstallSite site;
    if (parent.has_relative_path()) {
        // Above the parent the run checks nothing, and creates what is missing as the system
        // resolves it; a base that cannot be held is a failure to create, not a link found.
        const fs::path base = parent.parent_path();
        fs::create_directories(base, error);
        HoldResult held = holdFolderAt(base);
        check(held.status == HoldStatus::Held, creationFailure);
        site.base = std::move(held.folder);
        site.parent =
            requireHeld(holdOrCreate(site.base, parent.filename().wstring(), site.parentMade),
                        parent, creationFailure);
    } else {
        HoldResult held = holdFolderAt(parent);
        check(held.status == HoldStatus::Held, creationFailure);
        site.parent = std::move(held.folder);
    }
    site.name = folder.filename().wstring();
    site.shown = folder;
    site.destination = requireHeld(holdOrCreate(site.parent, site.name, site.destinationMade),
                                   folder, creationFailure);
    return site;
}

HeldFolder createRunFolder(const InstallSite& site) {
    const std::wstring base = runFolderPrefix(site) + std::to_wstring(::GetCurrentProcessId()) +
                              L"-" + std::to_wstring(::GetTickCount64());
    // Only SYSTEM and Administrators may change what it holds, as in the work folder.
    const UniqueLocalMemory rules = workFolderSecurityDescriptor();
    check(static_cast<bool>(rules),
          "Không tạo được thư mục đích: " + toUtf8((site.parent.path() / base).wstring()));
    // Anyone may have made a folder of the name foreseen: the next names are tried, never taken.
    for (int attempt = 0;; ++attempt) {
        const std::wstring name = attempt == 0 ? base : base + L"-" + std::to_wstring(attempt);
        HoldResult made =
            holdChildFolderWithoutDelete(site.parent, name, HoldMode::CreateNew, rules.get());
        const fs::path path = site.parent.path() / name;
        if (made.status != HoldStatus::Exists || attempt == 9) {
            return requireHeld(std::move(made), path,
                               "Không tạo được thư mục đích: " + toUtf8(path.wstring()));
        }
    }
}

std::vector<std::wstring> runFolderNames(const InstallSite& site) {
    std::vector<std::wstring> found;
    const std::wstring prefix = runFolderPrefix(site);
    for (std::wstring& name : namesIn(site.parent.handle())) {
        // "<name>.update-<process>-<tick>", with "-<attempt>" when that name was taken.
        if (isNumberedName(name, prefix, 2, 3)) {
            found.push_back(std::move(name));
        }
    }
    return found;
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

bool reachedByName(HANDLE entry, const std::wstring& folderFinalPath, std::wstring_view name) {
    return reachedByName(finalPathOf(entry), folderFinalPath, name);
}

bool reachedByName(const std::wstring& entryFinalPath, const std::wstring& folderFinalPath,
                   std::wstring_view name) {
    std::wstring expected = folderFinalPath;
    if (!expected.empty() && expected.back() != L'\\') {
        expected += L'\\';
    }
    expected += name;
    return samePathIgnoringCase(entryFinalPath, expected);
}

std::wstring extendedLengthPath(const fs::path& path) {
    std::wstring text = path.lexically_normal().wstring();
    std::replace(text.begin(), text.end(), L'/', L'\\');
    if (text.rfind(L"\\\\?\\", 0) == 0) {
        return text;
    }
    if (text.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + text.substr(2);
    }
    if (text.size() >= 3 && text[1] == L':' && text[2] == L'\\') {
        return L"\\\\?\\" + text;
    }
    return text;
}

} // namespace qv
