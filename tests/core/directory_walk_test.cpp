#include "core/directory_walk.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::TempFolder;
using test::readFile;
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
