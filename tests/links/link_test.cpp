// Nothing that walks a tree may follow a link inside it: the installer runs with administrator
// rights over folders that unelevated programs can reach.
#include "core/directory_walk.h"
#include "core/scoped_folder.h"
#include "install/install_files.h"
#include "flows/runtime_setup.h"
#include "zip/folder_tally.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace qv {
namespace {

namespace fs = std::filesystem;

fs::path fixture() {
    const std::wstring root = test::environmentText(L"QUORVALENT_LINK_FIXTURE");
    EXPECT_FALSE(root.empty()) << "run under tests.support.with_link_fixture";
    return root;
}

class Links : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(GetFileAttributesW((root / L"tree\\sub\\folder-link").c_str()) &
                      FILE_ATTRIBUTE_REPARSE_POINT,
                  0u)
            << "the fixture's links must show as reparse points";
    }
    void TearDown() override {
        // The target of every link must come through untouched.
        EXPECT_EQ(test::readFile(root / L"outside\\secret.txt"), "secret!");
        EXPECT_EQ(test::readFile(root / L"outside\\QuorvalentRuntimeSetup.exe"), "MZ-not-ours");
        EXPECT_TRUE(fs::is_directory(root / L"outside\\empty"));
    }
    const fs::path root = fixture();
};

TEST_F(Links, AreNeitherCountedNorSearchedThrough) {
    const ZipSummary tally = tallyDirectory(root / L"tree");
    EXPECT_EQ(tally.fileCount, 2u) << "a.txt and sub\\b.txt only";
    EXPECT_EQ(tally.totalBytes, 8u);

    EXPECT_EQ(findFileByName(root / L"tree", L"QuorvalentRuntimeSetup.exe"), fs::path());
    EXPECT_EQ(findFileByName(root / L"tree", L"secret.txt"), fs::path());
    EXPECT_EQ(findFileByName(root / L"tree", L"B.TXT"), root / L"tree\\sub\\b.txt");
}

TEST_F(Links, AreNotCopiedIntoTheInstallation) {
    test::TempFolder destination;
    {
        test::ConsoleCapture quiet;
        installFiles(root / L"tree", destination.path(), L"Quorvalent");
    }
    std::vector<std::wstring> installed;
    walkDirectory(destination.path(), WalkOrder::FolderFirst, WalkErrors::Stop,
                  [&](const WalkEntry& entry) {
                      installed.emplace_back(entry.relative);
                      return true;
                  });
    std::sort(installed.begin(), installed.end());
    EXPECT_EQ(installed, (std::vector<std::wstring>{L"a.txt", L"sub", L"sub\\b.txt"}));
}

// On Windows the links themselves go too; under Wine a link cannot be removed without its
// target (see the fixture), so what is checked here is the part that matters: the targets (a
// folder with files, a file, an empty folder) survive, the rest goes. Both ways of removal: by
// name, and below a held folder.
TEST_F(Links, AreNeverRemovedThrough) {
    { const ScopedFolder workFolder(root / L"removal"); }
    EXPECT_FALSE(fs::exists(root / L"removal\\inner.txt"));
    EXPECT_EQ(test::readFile(root / L"outside\\secret.txt"), "secret!");

    {
        HoldResult parent = holdFolderAt(root);
        ASSERT_EQ(parent.status, HoldStatus::Held);
        HoldResult held =
            holdChildFolderWithoutDelete(parent.folder, L"held-removal", HoldMode::OpenExisting);
        ASSERT_EQ(held.status, HoldStatus::Held);
        const ScopedFolder workFolder(std::move(parent.folder), std::move(held.folder));
    }
    EXPECT_FALSE(fs::exists(root / L"held-removal\\inner.txt"));

    { const ScopedFolder workFolder(root / L"root-link"); }
    EXPECT_EQ(test::readFile(root / L"outside\\secret.txt"), "secret!")
        << "a link handed over as the folder to remove";
}

} // namespace
} // namespace qv
