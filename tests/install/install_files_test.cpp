#include "core/errors.h"
#include "install/install_files.h"
#include "install/placement_steps.h"
#include "install_test_support.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace qv::test {
namespace {

namespace fs = std::filesystem;

TEST(InstallFiles, OverlaysThePackageAndLeavesEverythingElse) {
    test::TempFolder folder;
    const fs::path source = folder / L"gói";
    const fs::path destination = folder / L"Cài đặt";
    writeFile(source / L"Quorvalent.exe", "new program");
    writeFile(source / L"thư viện" / L"a.dll", "new library");
    writeFile(source / L"thư viện" / L"sâu" / L"b.dat", std::string(5000, 'b'));
    writeFile(source / L"rỗng.txt", "");
    fs::create_directories(source / L"plugins" / L"empty");
    writeFile(destination / L"Quorvalent.exe", "an older and much longer program image");
    writeFile(destination / L"user.cfg", "the user's settings");
    writeFile(destination / L"thư viện" / L"extra.dll", "from an older version");
    fs::create_directories(destination / L"logs");

    const std::wstring output = installed(source, destination);

    EXPECT_EQ(readFile(destination / L"Quorvalent.exe"), "new program");
    EXPECT_EQ(readFile(destination / L"thư viện" / L"a.dll"), "new library");
    EXPECT_EQ(readFile(destination / L"thư viện" / L"sâu" / L"b.dat"), std::string(5000, 'b'));
    EXPECT_TRUE(fs::exists(destination / L"rỗng.txt"));
    EXPECT_TRUE(fs::is_directory(destination / L"plugins" / L"empty"));
    EXPECT_EQ(readFile(destination / L"user.cfg"), "the user's settings");
    EXPECT_EQ(readFile(destination / L"thư viện" / L"extra.dll"), "from an older version");
    EXPECT_TRUE(fs::is_directory(destination / L"logs"));

    EXPECT_EQ(output.rfind(kListing, 0), 0u) << toUtf8(output);
    const std::wstring closing =
        L"\r    [Quorvalent] Cài tệp 100% | 4 tệp | 4.90 KB                    \n";
    ASSERT_GE(output.size(), closing.size());
    EXPECT_EQ(output.substr(output.size() - closing.size()), closing) << toUtf8(output);
}

// Whatever is at a target's name is replaced as a name: a second name of an outside file leaves
// that file's bytes alone, and no attribute stops or survives the replacement.
TEST(InstallFiles, ReplacesWhateverIsAtATargetsName) {
    constexpr DWORD kSticky =
        FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    const struct {
        const char* label;
        DWORD targetAttributes; // 0: no target
        bool secondName;        // the target is a second name of a file outside
        DWORD sourceAttributes;
    } cases[] = {
        {"a plain older file", FILE_ATTRIBUTE_NORMAL, false, FILE_ATTRIBUTE_NORMAL},
        {"read-only, hidden and system", kSticky, false, FILE_ATTRIBUTE_NORMAL},
        {"a second name of an outside file", FILE_ATTRIBUTE_NORMAL, true, FILE_ATTRIBUTE_NORMAL},
        {"a read-only second name of an outside file", kSticky, true, FILE_ATTRIBUTE_NORMAL},
        {"a read-only package file, no target", 0, false, FILE_ATTRIBUTE_READONLY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        test::TempFolder folder;
        const fs::path source = folder / L"src" / L"x.txt";
        const fs::path target = folder / L"dst" / L"x.txt";
        const fs::path outside = folder / L"outside.txt";
        writeFile(source, "new");
        ASSERT_TRUE(::SetFileAttributesW(source.c_str(), c.sourceAttributes));
        fs::create_directories(target.parent_path());
        if (c.secondName) {
            writeFile(outside, "outside");
            ASSERT_TRUE(::CreateHardLinkW(target.c_str(), outside.c_str(), nullptr));
        } else if (c.targetAttributes != 0) {
            writeFile(target, "old");
        }
        if (c.targetAttributes != 0) {
            ASSERT_TRUE(::SetFileAttributesW(target.c_str(), c.targetAttributes));
        }
        // What an earlier run left beside the installation goes, a second name of an outside
        // file as a name only; a folder that only looks like a run's, and what is not a run's
        // own in a run's folder, stay.
        const fs::path leftover = folder / L"dst.update-1-2";
        writeFile(leftover / L"old-1" / L"1", "old copy");
        ASSERT_TRUE(
            ::SetFileAttributesW((leftover / L"old-1" / L"1").c_str(), FILE_ATTRIBUTE_READONLY));
        writeFile(folder / L"kept.txt", "kept");
        ASSERT_TRUE(::CreateHardLinkW((leftover / L"old-1" / L"2").c_str(),
                                      (folder / L"kept.txt").c_str(), nullptr));
        writeFile(leftover / L"new-3", "staged");
        // A run whose foreseen name was taken went on to a random suffix.
        const fs::path suffixed = folder / L"dst.update-7-8-0123abcd";
        writeFile(suffixed / L"old-1" / L"1", "old copy");
        const fs::path staying[] = {folder / L"dst.update-notes" / L"notes.txt",
                                    folder / L"dst.update-7-8-0123abcg" / L"1",
                                    folder / L"dst.update-3-4" / L"notes.txt",
                                    folder / L"dst.update-5-6" / L"old-1" / L"1"};
        for (const fs::path& path : staying) {
            writeFile(path, "stays");
        }
        fs::create_directories(folder / L"dst.update-5-6" / L"kept");

        installed(folder / L"src", folder / L"dst");

        EXPECT_EQ(readFile(target), "new");
        EXPECT_EQ(::GetFileAttributesW(target.c_str()) & kSticky, 0u);
        if (c.secondName) {
            EXPECT_EQ(readFile(outside), "outside");
            EXPECT_EQ(::GetFileAttributesW(outside.c_str()) & kSticky, c.targetAttributes & kSticky)
                << "the outside file's attributes are its own";
        }
        EXPECT_EQ(readFile(folder / L"kept.txt"), "kept");
        EXPECT_FALSE(fs::exists(leftover));
        EXPECT_FALSE(fs::exists(suffixed));
        for (const fs::path& path : staying) {
            EXPECT_EQ(readFile(path), "stays");
            fs::remove_all(folder / *path.lexically_relative(folder.path()).begin());
        }
        for (const auto& entry : fs::directory_iterator(folder.path())) {
            EXPECT_EQ(entry.path().filename().wstring().find(L".update-"), std::wstring::npos)
                << "left beside the installation: " << entry.path().filename().string();
        }
    }
}

TEST(InstallFiles, DrawsTheLineOnlyWhenThePercentageRisesOrTheLastFileIsIn) {
    const struct {
        std::vector<size_t> fileSizes;
        std::wstring lines; // after the listing line
    } cases[] = {
        {{}, L"\r    [Quorvalent] Cài tệp 100% | 0 tệp | 0 B                    \n"},
        {{100},
         L"\r    [Quorvalent] Đang cài 100% | 1/1 tệp | 100 B/100 B          "
         L"\r    [Quorvalent] Cài tệp 100% | 1 tệp | 100 B                    \n"},
        // Nothing to weigh: every file is at 100%, the first and the last draw.
        {{0, 0, 0},
         L"\r    [Quorvalent] Đang cài 100% | 1/3 tệp | 0 B/0 B          "
         L"\r    [Quorvalent] Đang cài 100% | 3/3 tệp | 0 B/0 B          "
         L"\r    [Quorvalent] Cài tệp 100% | 3 tệp | 0 B                    \n"},
        {{1000, 1000, 1000, 1000},
         L"\r    [Quorvalent] Đang cài  25% | 1/4 tệp | 1000 B/3.91 KB          "
         L"\r    [Quorvalent] Đang cài  50% | 2/4 tệp | 1.95 KB/3.91 KB          "
         L"\r    [Quorvalent] Đang cài  75% | 3/4 tệp | 2.93 KB/3.91 KB          "
         L"\r    [Quorvalent] Đang cài 100% | 4/4 tệp | 3.91 KB/3.91 KB          "
         L"\r    [Quorvalent] Cài tệp 100% | 4 tệp | 3.91 KB                    \n"},
    };
    for (const auto& c : cases) {
        test::TempFolder folder;
        fs::create_directories(folder / L"src");
        for (size_t i = 0; i < c.fileSizes.size(); ++i) {
            writeFile(folder / L"src" / (L"f" + std::to_wstring(i)),
                      std::string(c.fileSizes[i], 'x'));
        }
        // The destination does not exist yet, nor does its parent.
        const fs::path destination = folder / L"new" / L"dest";
        EXPECT_EQ(installed(folder / L"src", destination), kListing + c.lines);
        EXPECT_TRUE(fs::is_directory(destination));
    }
}

TEST(InstallFiles, ReportsWhatCannotBeReachedOrCreated) {
    test::TempFolder folder;
    writeFile(folder / L"src" / L"sub" / L"a.txt", "a");
    writeFile(folder / L"file", "a file where a folder must go");
    writeFile(folder / L"dst" / L"sub", "a file where the package has a folder");

    // Only plain folders of their own are written into: a file where one must be is refused as
    // a link would be, before anything changes.
    EXPECT_EQ(installFailure(folder / L"src", folder / L"file" / L"dest"),
              "Thư mục cài đặt không an toàn: " + toUtf8((folder / L"file").wstring()));
    EXPECT_EQ(installFailure(folder / L"src", folder / L"dst"),
              "Thư mục cài đặt không an toàn: " + toUtf8((folder / L"dst" / L"sub").wstring()));
    // Above the installation folder's parent nothing is checked, only made.
    EXPECT_EQ(installFailure(folder / L"src", folder / L"file" / L"x" / L"dest"),
              "Không tạo được thư mục đích: " +
                  toUtf8((folder / L"file" / L"x" / L"dest").wstring()));
    // Names come from the package: a control character in one is shown, never acted on.
    writeFile(folder / L"src2" / L"x\u009B2J" / L"a.txt", "a");
    writeFile(folder / L"dst2" / L"x\u009B2J", "a file where the package has a folder");
    EXPECT_EQ(installFailure(folder / L"src2", folder / L"dst2"),
              "Thư mục cài đặt không an toàn: " + toUtf8((folder / L"dst2").wstring()) +
                  "\\x\\x9B2J");
    // A package name that is another file's short name reaches that file, which is not the
    // package's to replace: the run stops, and the file keeps its name and bytes.
    const fs::path users = folder / L"dst3" / L"settings-backup.json";
    writeFile(users, "the user's");
    wchar_t shortPath[MAX_PATH] = {};
    ASSERT_NE(::GetShortPathNameW(users.c_str(), shortPath, MAX_PATH), 0u);
    const std::wstring alias = fs::path(shortPath).filename().wstring();
    ASSERT_NE(alias, users.filename().wstring());
    writeFile(folder / L"src3" / alias, "new");
    EXPECT_EQ(
        installFailure(folder / L"src3", folder / L"dst3")
            .rfind("Không sao chép được: " + toUtf8((folder / L"dst3" / alias).wstring()) + ": ",
                   0),
        0u);
    EXPECT_EQ(readFile(users), "the user's");
    // A package folder that cannot be listed fails the installation like a file not copied.
    EXPECT_EQ(installFailure(folder / L"không có", folder / L"d2"),
              "Không sao chép được: " + toUtf8((folder / L"không có").wstring()) + ": " +
                  windowsErrorText(ERROR_FILE_NOT_FOUND));
}

} // namespace
} // namespace qv::test
