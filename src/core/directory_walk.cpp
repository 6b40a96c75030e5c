#include "core/directory_walk.h"

#include "core/guards.h"
#include "core/held_folder.h"
#include "core/tree_removal.h"

#include <utility>

namespace qv {
namespace {

inline void closeFindHandle(HANDLE handle) {
    ::FindClose(handle);
}
// Holds null, never INVALID_HANDLE_VALUE, for "no handle".
using UniqueFindHandle = UniqueResource<HANDLE, closeFindHandle>;

HANDLE findFirst(const std::wstring& pattern, WIN32_FIND_DATAW& data) {
    const HANDLE handle =
        ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                           nullptr /* no filter */, FIND_FIRST_EX_LARGE_FETCH);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

bool isDotEntry(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

class Walker {
public:
    Walker(std::wstring root, WalkOrder order, WalkErrors onError, const WalkVisitor& visit)
        : path_(std::move(root)), rootLength_(path_.size()), order_(order), onError_(onError),
          visit_(visit) {}

    WalkResult run() {
        walkFolder();
        return std::move(result_);
    }

private:
    // Walks the folder whose path is path_; returns false once the walk must end.
    bool walkFolder() {
        const std::size_t folderLength = path_.size();
        path_ += L"\\*";
        WIN32_FIND_DATAW data;
        const UniqueFindHandle find(findFirst(path_, data));
        const DWORD openError = find ? ERROR_SUCCESS : ::GetLastError();
        path_.resize(folderLength);
        if (!find) {
            // An empty folder still lists "." and "..", so this is a real failure.
            return fail(openError);
        }
        do {
            if (isDotEntry(data.cFileName)) {
                continue;
            }
            if (!visitEntry(data)) {
                return false;
            }
        } while (::FindNextFileW(find.get(), &data));
        const DWORD nextError = ::GetLastError();
        if (nextError != ERROR_NO_MORE_FILES) {
            return fail(nextError);
        }
        return true;
    }

    bool visitEntry(const WIN32_FIND_DATAW& data) {
        const std::size_t folderLength = path_.size();
        path_ += L'\\';
        path_ += data.cFileName;
        const ScopeExit restore([&] { path_.resize(folderLength); });

        WalkEntry entry;
        entry.attributes = data.dwFileAttributes;
        entry.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        const bool descend = entry.isFolder();
        if (order_ == WalkOrder::FolderFirst || !descend) {
            if (!visitPath(entry)) {
                return false;
            }
        }
        if (descend && !walkFolder()) {
            return false;
        }
        if (order_ == WalkOrder::ContentsFirst && descend) {
            return visitPath(entry);
        }
        return true;
    }

    bool visitPath(WalkEntry& entry) {
        const std::wstring_view whole(path_);
        entry.path = whole;
        entry.relative = whole.substr(rootLength_ + 1);
        entry.name = whole.substr(whole.find_last_of(L'\\') + 1);
        if (!visit_(entry)) {
            result_.stoppedByVisitor = true;
            return false;
        }
        return true;
    }

    bool fail(DWORD code) {
        if (!result_.error) {
            result_.error = std::error_code(static_cast<int>(code), std::system_category());
            result_.failedFolder = path_;
            result_.failedAtRoot = path_.size() == rootLength_;
        }
        return onError_ == WalkErrors::Skip;
    }

    std::wstring path_;
    std::size_t rootLength_;
    WalkOrder order_;
    WalkErrors onError_;
    const WalkVisitor& visit_;
    WalkResult result_;
};

// Without a trailing separator, so that "<root>\<name>" has exactly one.
std::wstring walkRoot(const std::filesystem::path& root) {
    std::wstring text = root.wstring();
    while (text.size() > 1 && (text.back() == L'\\' || text.back() == L'/')) {
        text.pop_back();
    }
    return text;
}

} // namespace

WalkResult walkDirectory(const std::filesystem::path& root, WalkOrder order, WalkErrors onError,
                         const WalkVisitor& visit) {
    return Walker(walkRoot(root), order, onError, visit).run();
}

void removeTree(const std::filesystem::path& path) noexcept {
    try {
        const std::wstring root = walkRoot(path);
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
        const HANDLE opened = ::CreateFileW(
            parentPath.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr /* security */,
            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS /* a folder */, nullptr /* template */);
        if (opened == INVALID_HANDLE_VALUE) {
            return;
        }
        const UniqueFile parent(opened);
        removeChild(parent.get(), std::wstring_view(root).substr(separator + 1));
    } catch (...) {
        // Out of memory while removing: what remains stays, as with any other removal error.
    }
}

} // namespace qv
