#include "core/directory_walk.h"
#include "core/handle_calls.h"
#include "core/tree_removal.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempFolder;
using test::writeFile;

// "relative:size" for files, "relative\" for folders, in visiting order.
std::vector<std::wstring> visits(const fs::path& root, WalkOrder order) {
    std::vector<std::wstring> seen;
    const WalkResult result =
        walkDirectory(root, order, WalkErrors::Stop, [&](const WalkEntry& entry) {
            seen.push_back(std::wstring(entry.relative) +
                           (entry.isFolder() ? L"\\" : L":" + std::to_wstring(entry.size)));
            return true;
        });
    EXPECT_FALSE(result.error) << result.error.message();
    return seen;
}

TEST(DirectoryWalk, HandsOutRelativePathsAndListedSizesInBothOrders) {
    TempFolder root;
    writeFile(root / L"d" / L"e" / L"thư.txt", "12345");
    fs::create_directories(root / L"d" / L"empty");

    struct Row {
        const char* label;
        fs::path root;
        WalkOrder order;
        std::vector<std::wstring> expected;
    };
    const std::vector<std::wstring> folderFirst = {L"d\\", L"d\\e\\", L"d\\e\\thư.txt:5",
                                                   L"d\\empty\\"};
    const std::vector<std::wstring> contentsFirst = {L"d\\e\\thư.txt:5", L"d\\e\\", L"d\\empty\\",
                                                     L"d\\"};
    const Row rows[] = {
        {"folder before its contents", root.path(), WalkOrder::FolderFirst, folderFirst},
        {"contents before their folder", root.path(), WalkOrder::ContentsFirst, contentsFirst},
        {"a root given with trailing separators", fs::path(root.path().wstring() + L"\\\\"),
         WalkOrder::FolderFirst, folderFirst},
    };
    for (const Row& row : rows) {
        // The order among siblings is the file system's; what is fixed is every entry once and
        // each folder on the right side of what it holds.
        const std::vector<std::wstring> seen = visits(row.root, row.order);
        EXPECT_EQ(seen.size(), row.expected.size()) << row.label;
        for (const std::wstring& item : row.expected) {
            EXPECT_NE(std::find(seen.begin(), seen.end(), item), seen.end()) << row.label;
        }
        // A folder is always visited on the right side of everything it holds.
        const auto at = [&](const std::wstring& item) {
            return std::find(seen.begin(), seen.end(), item) - seen.begin();
        };
        if (row.order == WalkOrder::FolderFirst) {
            EXPECT_LT(at(L"d\\"), at(L"d\\e\\")) << row.label;
            EXPECT_LT(at(L"d\\e\\"), at(L"d\\e\\thư.txt:5")) << row.label;
        } else {
            EXPECT_GT(at(L"d\\"), at(L"d\\e\\")) << row.label;
            EXPECT_GT(at(L"d\\e\\"), at(L"d\\e\\thư.txt:5")) << row.label;
        }
    }
}

TEST(DirectoryWalk, VisitorEndsTheWalkAndAMissingRootIsReported) {
    TempFolder root;
    writeFile(root / L"a" / L"1.txt", "1");
    writeFile(root / L"b" / L"2.txt", "2");
    int visited = 0;
    const WalkResult stopped = walkDirectory(root.path(), WalkOrder::FolderFirst, WalkErrors::Stop,
                                             [&](const WalkEntry&) { return ++visited < 2; });
    EXPECT_TRUE(stopped.stoppedByVisitor);
    EXPECT_EQ(visited, 2);

    const WalkResult missing =
        walkDirectory(root / L"missing", WalkOrder::FolderFirst, WalkErrors::Skip,
                      [](const WalkEntry&) { return true; });
    EXPECT_TRUE(missing.error);
    EXPECT_TRUE(missing.failedAtRoot);
}

// A chain of `depth` folders named "d" below `folder` and a file at its bottom, each made
// relative to its parent's handle: no path of that length could be given to the system.
void makeDeepChain(const fs::path& folder, int depth) {
    const UniqueCreatedFile top(::CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(top);
    UniqueFile current;
    HANDLE parent = top.get();
    for (int level = 0; level < depth; ++level) {
        RelativeOpen made =
            openRelative(parent, L"d", FILE_LIST_DIRECTORY | FILE_ADD_SUBDIRECTORY,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE, FILE_DIRECTORY_FILE);
        ASSERT_TRUE(made.file) << "level " << level << ": error " << made.error;
        current = std::move(made.file);
        parent = current.get();
    }
    ASSERT_TRUE(
        openRelative(parent, L"f.txt", FILE_WRITE_DATA, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE)
            .file);
}

// Past MAX_PATH, and deep enough for a walk that recursed to show it by far.
constexpr int kChainDepth = 400;

// The chain and its file, deleted from the bottom up through handles held on the way down.
void removeChain(const fs::path& chain) {
    const UniqueCreatedFile top(::CreateFileW(chain.parent_path().c_str(), FILE_LIST_DIRECTORY,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::vector<UniqueFile> held;
    HANDLE parent = top.get();
    for (const wchar_t* name = L"chain"; parent != nullptr; name = L"d") {
        RelativeOpen opened = openRelative(parent, name, DELETE | FILE_LIST_DIRECTORY,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0);
        parent = opened.file.get();
        if (opened.file) {
            held.push_back(std::move(opened.file));
        }
    }
    {
        const RelativeOpen file = openRelative(held.back().get(), L"f.txt", DELETE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0);
        if (file.file) {
            deleteByHandle(file.file.get()); // gone once its handle closes, here
        }
    }
    while (!held.empty()) {
        deleteByHandle(held.back().get());
        held.pop_back();
    }
}

// The walk of a tree of any depth visits its deepest entry at the stack height of its
// shallowest: it keeps the folders it is in elsewhere, so no tree planted thousands of folders deep
// can use up the thread's stack.
TEST(DirectoryWalk, DepthTakesNoStack) {
    TempFolder root;
    const fs::path chain = root / L"chain";
    fs::create_directories(chain);
    makeDeepChain(chain, kChainDepth);
    for (const WalkOrder order : {WalkOrder::FolderFirst, WalkOrder::ContentsFirst}) {
        std::vector<bool> folders; // in visiting order: true for a folder
        std::uintptr_t highest = 0, lowest = UINTPTR_MAX;
        const WalkResult result =
            walkDirectory(chain, order, WalkErrors::Stop, [&](const WalkEntry& entry) {
                const char marker = 0;
                const auto height = reinterpret_cast<std::uintptr_t>(&marker);
                highest = std::max(highest, height);
                lowest = std::min(lowest, height);
                folders.push_back(entry.isFolder());
                return true;
            });
        EXPECT_FALSE(result.error) << result.error.message();
        ASSERT_EQ(folders.size(), kChainDepth + 1u);
        EXPECT_EQ(std::count(folders.begin(), folders.end(), true), kChainDepth);
        // The file at the bottom comes last with its folders first, first with its contents first.
        EXPECT_EQ(order == WalkOrder::FolderFirst ? folders.back() : folders.front(), false);
        // A walk that recursed would be hundreds of kilobytes deeper at the bottom.
        EXPECT_LT(highest - lowest, 4096u);
    }
    removeChain(chain);
    EXPECT_EQ(::GetFileAttributesW(chain.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(RemoveTree, RemovesReadOnlyFilesFoldersAndSingleFiles) {
    TempFolder root;
    const fs::path tree = root / L"tree";
    writeFile(tree / L"sub" / L"locked.txt", "x");
    ASSERT_TRUE(
        ::SetFileAttributesW((tree / L"sub" / L"locked.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    // A second name of a read-only file elsewhere goes as a name; that file stays read-only.
    const fs::path outside = root / L"outside.txt";
    writeFile(outside, "outside");
    ASSERT_TRUE(::CreateHardLinkW((tree / L"link.txt").c_str(), outside.c_str(), nullptr));
    ASSERT_TRUE(::SetFileAttributesW(outside.c_str(), FILE_ATTRIBUTE_READONLY));
    const fs::path single = root / L"single.txt";
    writeFile(single, "y");
    ASSERT_TRUE(::SetFileAttributesW(single.c_str(), FILE_ATTRIBUTE_READONLY));

    removeTree(tree);
    removeTree(single);
    removeTree(root / L"never-existed");
    EXPECT_FALSE(fs::exists(tree));
    EXPECT_FALSE(fs::exists(single));
    EXPECT_EQ(readFile(outside), "outside");
    EXPECT_NE(::GetFileAttributesW(outside.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    ::SetFileAttributesW(outside.c_str(), FILE_ATTRIBUTE_NORMAL); // for the folder's removal
}

} // namespace
} // namespace qv
