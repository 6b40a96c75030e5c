#include "core/tree_removal.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qv {
namespace {

struct ListedEntry {
    std::wstring name;
    DWORD attributes = 0;
};

// The folder's entries as its handle lists them, read in full before anything is deleted, so
// the listing is never read while it changes.
std::vector<ListedEntry> listFolder(HANDLE folder) {
    std::vector<ListedEntry> entries;
    constexpr DWORD kBufferBytes = 64 * 1024;
    std::vector<std::uint64_t> buffer(kBufferBytes / sizeof(std::uint64_t)); // 8-byte aligned
    while (::GetFileInformationByHandleEx(folder, FileIdBothDirectoryInfo, buffer.data(),
                                          kBufferBytes)) {
        const auto* record = reinterpret_cast<const unsigned char*>(buffer.data());
        for (;;) {
            const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(record);
            const std::wstring_view name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                entries.push_back({std::wstring(name), info->FileAttributes});
            }
            if (info->NextEntryOffset == 0) {
                break;
            }
            record += info->NextEntryOffset;
        }
    }
    return entries;
}

std::wstring joined(const std::wstring& folder, std::wstring_view name) {
    std::wstring path = folder;
    if (path.empty() || path.back() != L'\\') {
        path += L'\\';
    }
    path += name;
    return path;
}

void removeContentsAt(HANDLE folder, const std::wstring& folderPath);

// `enter`: the entry may be a folder to empty first; it is then held (no FILE_SHARE_DELETE)
// while that happens, so its name cannot be given to something else meanwhile.
void removeEntry(HANDLE parent, const std::wstring& parentPath, const std::wstring& name,
                 bool enter) {
    const ACCESS_MASK access =
        DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | (enter ? FILE_LIST_DIRECTORY : 0);
    const ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE | (enter ? 0 : FILE_SHARE_DELETE);
    const RelativeOpen opened = openRelative(parent, name, access, share, FILE_OPEN, 0);
    if (!opened.file) {
        return; // gone already, or open elsewhere without sharing delete: it stays
    }
    const std::wstring path = joined(parentPath, name);
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(opened.file.get(), &information) ||
        !samePathIgnoringCase(finalPathOf(opened.file.get()), path)) {
        return; // a link that was followed: its target must not be touched, so the link stays
    }
    const DWORD attributes = information.dwFileAttributes;
    if (enter && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        removeContentsAt(opened.file.get(), path);
    }
    // A link opened as itself goes as a name; a folder that is not empty refuses.
    deleteEntryByHandle(opened.file.get());
}

void removeContentsAt(HANDLE folder, const std::wstring& folderPath) {
    for (const ListedEntry& entry : listFolder(folder)) {
        const bool listedAsFolder = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                                    (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        removeEntry(folder, folderPath, entry.name, listedAsFolder);
    }
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
            removeEntry(parent, path, std::wstring(name), true);
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
        for (const ListedEntry& entry : listFolder(parent)) {
            if (chosen(entry.name, entry.attributes)) {
                removeEntry(parent, path, entry.name, true);
            }
        }
    } catch (...) {
        // As above.
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
