#include "core/errors.h"
#include "install/install_files.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;

const std::wstring kListing = L"    [Quorvalent] Đang lập danh sách tệp cần cài...\n";

std::wstring installed(const fs::path& source, const fs::path& destination) {
    test::ConsoleCapture console;
    installFiles(source, destination, L"Quorvalent");
    return console.out();
}

std::string failureOf(const fs::path& source, const fs::path& destination) {
    test::ConsoleCapture console;
    try {
        installFiles(source, destination, L"Quorvalent");
    } catch (const std::exception& error) {
        return error.what();
    }
    return "<no exception>";
}

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

TEST(InstallFiles, ALockedTargetStopsTheCopyAndKeepsWhatWasCopied) {
    test::TempFolder folder;
    const fs::path source = folder / L"src";
    const fs::path destination = folder / L"dst";
    for (const wchar_t* name : {L"a.bin", L"b.bin", L"sub\\c.bin", L"sub\\d.bin", L"e.bin"}) {
        writeFile(source / name, std::string("new ") + toUtf8(name));
        writeFile(destination / name, "old");
    }
    // The platform's enumeration order decides which files come before the locked one: lock
    // the last, so every other file must have been copied.
    std::vector<fs::path> order;
    for (const auto& entry : fs::recursive_directory_iterator(source)) {
        if (entry.is_regular_file()) {
            order.push_back(entry.path().lexically_relative(source));
        }
    }
    const fs::path lockedTarget = destination / order.back();
    HANDLE lock = ::CreateFileW(lockedTarget.c_str(), GENERIC_READ, 0 /* no sharing */, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    const std::string failure = failureOf(source, destination);
    ::CloseHandle(lock);

    EXPECT_EQ(failure, "Không sao chép được: " + toUtf8(lockedTarget.wstring()));
    EXPECT_EQ(readFile(lockedTarget), "old");
    order.pop_back();
    for (const fs::path& copied : order) {
        EXPECT_EQ(readFile(destination / copied), "new " + toUtf8(copied.wstring()));
    }
}

TEST(InstallFiles, ReportsWhatCannotBeReachedOrCreated) {
    test::TempFolder folder;
    writeFile(folder / L"src" / L"sub" / L"a.txt", "a");
    writeFile(folder / L"file", "a file where a folder must go");
    writeFile(folder / L"dst" / L"sub", "a file where the package has a folder");

    EXPECT_EQ(failureOf(folder / L"src", folder / L"file" / L"dest"),
              "Không tạo được thư mục đích: " + toUtf8((folder / L"file" / L"dest").wstring()));
    EXPECT_EQ(failureOf(folder / L"src", folder / L"dst"),
              "Không sao chép được: " + toUtf8((folder / L"dst" / L"sub").wstring()));
    // Names come from the package: a control character in one is shown, never acted on.
    writeFile(folder / L"src2" / L"x\u009B2J" / L"a.txt", "a");
    writeFile(folder / L"dst2" / L"x\u009B2J", "a file where the package has a folder");
    EXPECT_EQ(failureOf(folder / L"src2", folder / L"dst2"),
              "Không sao chép được: " + toUtf8((folder / L"dst2").wstring()) + "\\x\\x9B2J");
    // A missing source reaches the caller as the library's file-system error.
    test::ConsoleCapture console;
    EXPECT_THROW(installFiles(folder / L"không có", folder / L"d2", L"T"), fs::filesystem_error);
}

} // namespace
} // namespace qv
