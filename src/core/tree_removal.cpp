#include "core/tree_removal.h"

#include "core/directory_walk.h"
#include "core/folder_listing.h"

#include <string>

namespace qv {
namespace {

// Opens `name` in `parent` to remove it, or to empty it first when `enter` (a folder listed as
// one): then it is held without FILE_SHARE_DELETE while that happens, so its name cannot be
// given to something else meanwhile. Empty when it is gone already, open elsewhere without
// sharing delete, or not at its place: a link that was followed, whose target must not be
// touched, so the link stays.
UniqueFile openToRemove(HANDLE parent, const std::wstring& path, std::wstring_view name, bool enter,
                        DWORD& attributes) {
    const ACCESS_MASK access =
        DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | (enter ? FILE_LIST_DIRECTORY : 0);
    const ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE | (enter ? 0 : FILE_SHARE_DELETE);
    RelativeOpen opened = openRelative(parent, name, access, share, FILE_OPEN, 0);
    BY_HANDLE_FILE_INFORMATION information{};
    if (!opened.file || !::GetFileInformationByHandle(opened.file.get(), &information) ||
        !isAtPath(opened.file.get(), path)) {
        return UniqueFile();
    }
    attributes = information.dwFileAttributes;
    return std::move(opened.file);
}

// Everything below the folder open as `folder`, contents first, through the one walk: a folder
// is entered only through a handle that holds it at its place, and goes, as a name, once what
// it held went; a link goes as the link it is. What cannot be removed stays.
void removeContentsAt(HANDLE folder, const std::wstring& folderPath) {
    const FolderEntry enter = [](const WalkEntry& entry) {
        RelativeOpen entered;
        DWORD attributes = 0;
        UniqueFile opened =
            openToRemove(entry.folder, std::wstring(entry.path), entry.name, true, attributes);
        // Something else in the listed folder's place is removed, not entered, as it is now.
        if (opened && isPlainFolder(attributes)) {
            entered.file = std::move(opened);
        }
        return entered;
    };
    const HeldWalkVisitor remove = [](const WalkEntry& entry, HANDLE entered) {
        if (entered != nullptr) {
            // A folder that is not empty refuses.
            deleteEntryByHandle(entered);
            return true;
        }
        DWORD attributes = 0;
        const UniqueFile opened =
            openToRemove(entry.folder, std::wstring(entry.path), entry.name, false, attributes);
        if (opened) {
            // A link opened as itself goes as a name.
            deleteEntryByHandle(opened.get());
        }
        return true;
    };
    walkHeldTree(folder, folderPath, WalkOrder::ContentsFirst, WalkErrors::Skip, enter, remove);
}

// `name` inside `parent`, emptied first when `enter` and it is a plain folder.
void removeEntry(HANDLE parent, const std::wstring& parentPath, std::wstring_view name,
                 bool enter) {
    const std::wstring path = joinedPath(parentPath, name);
    DWORD attributes = 0;
    const UniqueFile opened = openToRemove(parent, path, name, enter, attributes);
    if (!opened) {
        return;
    }
    if (enter && isPlainFolder(attributes)) {
        removeContentsAt(opened.get(), path);
    }
    deleteEntryByHandle(opened.get());
}

} // namespace

void removeContents(HANDLE folder) noexcept {
    try {
        const std::wstring path = finalPathOf(folder);
        if (!path.empty()) {
            removeContentsAt(folder, path);
        }
    } catch (...) {
        // Out of memory while removing: what remains stays, as with any other removal error.
    }
}

void removeChild(HANDLE parent, std::wstring_view name) noexcept {
    try {
        const std::wstring path = finalPathOf(parent);
        if (!path.empty()) {
            removeEntry(parent, path, name, true);
        }
    } catch (...) {
        // As above.
    }
}

void removeChildrenWhere(HANDLE parent,
                         const std::function<bool(std::wstring_view, DWORD)>& chosen) noexcept {
    try {
        const std::wstring path = finalPathOf(parent);
        if (path.empty()) {
            return;
        }
        for (const ListedEntry& entry : listFolderEntries(parent).entries) {
            if (chosen(entry.name, entry.attributes)) {
                removeEntry(parent, path, entry.name, true);
            }
        }
    } catch (...) {
        // As above.
    }
}

void removeTree(const std::filesystem::path& path) noexcept {
    try {
        std::wstring root = path.wstring();
        while (root.size() > 1 && (root.back() == L'\\' || root.back() == L'/')) {
            root.pop_back();
        }
        const std::size_t separator = root.find_last_of(L"\\/");
        if (separator == std::wstring::npos || separator + 1 == root.size()) {
            return;
        }
        std::wstring parentPath = root.substr(0, separator);
        if (parentPath.empty() || parentPath.back() == L':') {
            parentPath += L'\\'; // a drive's root
        }
        // The folder that holds it is taken as the caller names it; from there on the removal
        // goes through handles and follows nothing.
        const UniqueCreatedFile parent(::CreateFileW(
            parentPath.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr /* security */,
            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS /* a folder */, nullptr /* template */));
        if (parent) {
            removeChild(parent.get(), std::wstring_view(root).substr(separator + 1));
        }
    } catch (...) {
        // Out of memory while removing: what remains stays, as with any other removal error.
    }
}

void removeHeldFolder(const HeldFolder& parent, HeldFolder& folder) noexcept {
    if (folder) {
        removeContents(folder.handle());
    }
    removeHeldFolderIfEmpty(parent, folder);
}

void removeHeldFolderIfEmpty(const HeldFolder& parent, HeldFolder& folder) noexcept {
    try {
        if (!folder) {
            return;
        }
        const std::wstring name = folder.path().filename().wstring();
        folder.reset();
        const std::wstring parentPath = finalPathOf(parent.handle());
        if (!parentPath.empty()) {
            // Not entered again: whatever may have taken the name since the hold ended goes
            // only if it is an empty folder or a single name.
            removeEntry(parent.handle(), parentPath, name, false);
        }
    } catch (...) {
        // As above.
    }
}

} // namespace qv
