#include "core/directory_walk.h"

#include "core/folder_listing.h"

#include <utility>
#include <vector>

namespace qv {
namespace {

// A folder the walk is in: its handle, what it holds, how far the walk has come in it, and
// where its own name ends in the walk's path.
struct Level {
    UniqueFile owned; // empty for the root, which the caller holds
    HANDLE handle = nullptr;
    std::vector<ListedEntry> entries;
    std::size_t next = 0;
    std::size_t pathLength = 0;
    DWORD attributes = 0; // the folder's own, from its parent's listing
    std::uint64_t size = 0;
};

class Walker {
public:
    Walker(std::wstring rootPath, WalkOrder order, WalkErrors onError, const FolderEntry& enter,
           const HeldWalkVisitor& visit)
        : path_(std::move(rootPath)), rootLength_(path_.size()), order_(order), onError_(onError),
          enter_(enter), visit_(visit) {}

    WalkResult run(HANDLE root) {
        Level top;
        top.handle = root;
        top.pathLength = rootLength_;
        if (!list(top)) {
            return std::move(result_);
        }
        levels_.push_back(std::move(top));
        while (!levels_.empty() && step()) {
        }
        return std::move(result_);
    }

private:
    bool fail(DWORD code) {
        if (!result_.error) {
            result_.error = std::error_code(static_cast<int>(code), std::system_category());
            result_.failedFolder = path_;
            result_.failedAtRoot = path_.size() == rootLength_;
        }
        return onError_ == WalkErrors::Skip;
    }

    // Takes one entry of the innermost folder, or leaves that folder once all are taken; false
    // once the walk must end.
    bool step() {
        Level& level = levels_.back();
        if (level.next == level.entries.size()) {
            Level done = std::move(level);
            levels_.pop_back();
            path_.resize(done.pathLength);
            bool goOn = true;
            if (order_ == WalkOrder::ContentsFirst && !levels_.empty()) {
                goOn = visitPath(levels_.back().handle, done.attributes, done.size, done.handle);
            }
            path_.resize(levels_.empty() ? rootLength_ : levels_.back().pathLength);
            return goOn;
        }
        const ListedEntry& listed = level.entries[level.next++];
        const HANDLE parent = level.handle;
        path_.resize(level.pathLength);
        path_ += L'\\';
        path_ += listed.name;
        if (!listed.isPlainFolder()) {
            const bool goOn = visitPath(parent, listed.attributes, listed.size, nullptr);
            path_.resize(level.pathLength);
            return goOn;
        }
        if (order_ == WalkOrder::FolderFirst &&
            !visitPath(parent, listed.attributes, listed.size, nullptr)) {
            return false;
        }
        RelativeOpen opened = enter_(entryAtPath(parent, listed.attributes, listed.size));
        if (!opened.file) {
            const bool goOn = opened.error == ERROR_SUCCESS || fail(opened.error);
            const bool visited = !goOn || order_ == WalkOrder::FolderFirst ||
                                 visitPath(parent, listed.attributes, listed.size, nullptr);
            path_.resize(level.pathLength);
            return goOn && visited;
        }
        Level inner;
        inner.owned = std::move(opened.file);
        inner.handle = inner.owned.get();
        inner.pathLength = path_.size();
        inner.attributes = listed.attributes;
        inner.size = listed.size;
        // `level` may move once the stack grows: nothing of it is used from here on.
        if (!list(inner)) {
            return false;
        }
        levels_.push_back(std::move(inner));
        return true;
    }

    // Lists the folder; false when the failure ends the walk. A folder passed over counts as
    // empty.
    bool list(Level& level) {
        FolderListing listing = listFolderEntries(level.handle);
        if (listing.error != ERROR_SUCCESS) {
            listing.entries.clear();
            if (!fail(listing.error)) {
                return false;
            }
        }
        level.entries = std::move(listing.entries);
        return true;
    }

    WalkEntry entryAtPath(HANDLE parent, DWORD attributes, std::uint64_t size) const {
        WalkEntry entry;
        const std::wstring_view whole(path_);
        entry.path = whole;
        entry.relative = whole.substr(rootLength_ + 1);
        entry.name = whole.substr(whole.find_last_of(L'\\') + 1);
        entry.attributes = attributes;
        entry.size = size;
        entry.folder = parent;
        return entry;
    }

    bool visitPath(HANDLE parent, DWORD attributes, std::uint64_t size, HANDLE entered) {
        if (!visit_(entryAtPath(parent, attributes, size), entered)) {
            result_.stoppedByVisitor = true;
            return false;
        }
        return true;
    }

    std::wstring path_;
    std::size_t rootLength_;
    WalkOrder order_;
    WalkErrors onError_;
    const FolderEntry& enter_;
    const HeldWalkVisitor& visit_;
    std::vector<Level> levels_;
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

// A folder below the root, opened as itself for listing, sharing everything: the walk changes
// nothing, and others (the Shell while it extracts) may go on working in it.
RelativeOpen openForListing(const WalkEntry& entry) {
    return openRelative(entry.folder, entry.name, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                        FILE_DIRECTORY_FILE);
}

} // namespace

WalkResult walkHeldTree(HANDLE root, const std::wstring& rootPath, WalkOrder order,
                        WalkErrors onError, const FolderEntry& enter,
                        const HeldWalkVisitor& visit) {
    return Walker(rootPath, order, onError, enter, visit).run(root);
}

WalkResult walkDirectory(const std::filesystem::path& root, WalkOrder order, WalkErrors onError,
                         const WalkVisitor& visit) {
    const std::wstring rootPath = walkRoot(root);
    // "C:" alone names the drive's current folder; its root is "C:\".
    const std::wstring opened =
        !rootPath.empty() && rootPath.back() == L':' ? rootPath + L'\\' : rootPath;
    const FolderEntry enter = [](const WalkEntry& entry) { return openForListing(entry); };
    const HeldWalkVisitor visitor = [&visit](const WalkEntry& entry, HANDLE) {
        return visit(entry);
    };
    // The root as the caller names it, links on the way followed as the system follows them.
    const UniqueCreatedFile folder(::CreateFileW(
        opened.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr /* security */,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS /* a folder */, nullptr /* template */));
    if (!folder) {
        WalkResult result;
        result.error = std::error_code(static_cast<int>(::GetLastError()), std::system_category());
        result.failedFolder = rootPath;
        result.failedAtRoot = true;
        return result;
    }
    return Walker(rootPath, order, onError, enter, visitor).run(folder.get());
}

} // namespace qv
