#include "zip/folder_tally.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace qv {
namespace {

namespace fs = std::filesystem;

TEST(TallyDirectory, CountsRegularFilesAndBytesAndNeverThrows) {
    test::TempFolder folder;
    EXPECT_EQ(tallyDirectory(folder / L"missing"), ZipSummary{});
    EXPECT_EQ(tallyDirectory(folder.path()), ZipSummary{});
    test::writeFile(folder / L"a.bin", std::string(1000, 'a'));
    test::writeFile(folder / L"sâu" / L"hơn" / L"b.bin", std::string(24, 'b'));
    test::writeFile(folder / L"sâu" / L"rỗng.txt", "");
    fs::create_directories(folder / L"empty" / L"folders");
    EXPECT_EQ(tallyDirectory(folder.path()), (ZipSummary{3, 1024}));
    EXPECT_EQ(tallyDirectory(folder / L"sâu"), (ZipSummary{2, 24}));
    EXPECT_EQ(tallyDirectory(folder / L"a.bin"), ZipSummary{}); // a file is no folder
}

} // namespace
} // namespace qv
