#include "core/errors.h"
#include "install/install_files.h"
#include "install/install_site.h"
#include "install/placement_steps.h"
#include "install/update/file_update.h"
#include "install_test_support.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace qv::test {
namespace {

namespace fs = std::filesystem;

// A failure at any file undoes the files before it, the folders made for them and the run's own
// folder: the installation is as it was, byte for byte and name for name.
TEST(InstallFiles, AFailureAtTheKthOfNFilesPutsEverythingBack) {
    // SourceUnreadable: a package file held without sharing, on a first installation, whose
    // folder and the one above it the run makes.
    enum class Obstacle { HeldWithoutSharing, FolderInTheWay, SourceUnreadable };
    const struct {
        const char* label;
        std::size_t files;
        std::size_t failing; // 1-based, in the order the files are put in place
        Obstacle obstacle;
        bool othersExist; // the other targets are there already (a reinstall)
    } cases[] = {
        {"first of five held, reinstall", 5, 1, Obstacle::HeldWithoutSharing, true},
        {"third of five held, reinstall", 5, 3, Obstacle::HeldWithoutSharing, true},
        {"last of five held, reinstall", 5, 5, Obstacle::HeldWithoutSharing, true},
        {"last of five held, the others new", 5, 5, Obstacle::HeldWithoutSharing, false},
        {"second of three blocked by a folder, the others new", 3, 2, Obstacle::FolderInTheWay,
         false},
        {"last of four blocked by a folder, reinstall", 4, 4, Obstacle::FolderInTheWay, true},
        {"third of four unreadable, no installation yet", 4, 3, Obstacle::SourceUnreadable, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        test::TempFolder folder;
        const fs::path source = folder / L"src";
        const bool firstInstall = c.obstacle == Obstacle::SourceUnreadable;
        const fs::path destination = folder / (firstInstall ? L"new\\dst" : L"dst");
        for (std::size_t i = 0; i < c.files; ++i) {
            // Every other file in a folder the installation lacks until this run makes it.
            writeFile(source / (i % 2 ? L"mới\\sâu" : L"") / (L"f" + std::to_wstring(i)),
                      "new " + std::to_string(i));
        }
        std::vector<fs::path> order;
        for (const auto& entry : fs::recursive_directory_iterator(source)) {
            if (entry.is_regular_file()) {
                order.push_back(entry.path().lexically_relative(source));
            }
        }
        const fs::path failingTarget = destination / order[c.failing - 1];
        for (std::size_t i = 0; !firstInstall && i < order.size(); ++i) {
            const bool failing = i + 1 == c.failing;
            if (failing && c.obstacle == Obstacle::FolderInTheWay) {
                writeFile(failingTarget / L"inside.txt", "the user's folder");
            } else if (failing) {
                writeFile(destination / order[i], "old " + std::to_string(i));
            } else if (c.othersExist && order[i].parent_path().empty()) {
                // Spelled otherwise than in the package: put back, the name is as it was.
                writeFile(destination / (L"F" + order[i].wstring().substr(1)),
                          "old " + std::to_string(i));
            }
        }
        if (!firstInstall) {
            writeFile(destination / L"user.cfg", "the user's");
        }
        const auto before = snapshot(destination);
        const auto besideBefore = namesIn(folder.path());

        HANDLE held = INVALID_HANDLE_VALUE;
        if (c.obstacle != Obstacle::FolderInTheWay) {
            const fs::path lock = firstInstall ? source / order[c.failing - 1] : failingTarget;
            held = ::CreateFileW(lock.c_str(), GENERIC_READ, 0 /* no sharing */, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        }
        test::ConsoleCapture console;
        std::string failure = "<no exception>";
        try {
            installFiles(source, destination, L"Quorvalent");
        } catch (const std::exception& error) {
            failure = error.what();
        }
        if (held != INVALID_HANDLE_VALUE) {
            ::CloseHandle(held);
        }

        EXPECT_EQ(
            failure.rfind("Không sao chép được: " + toUtf8(failingTarget.wstring()) + ": ", 0), 0u)
            << failure;
        EXPECT_EQ(snapshot(destination), before);
        EXPECT_EQ(namesIn(folder.path()), besideBefore) << "the run's own folder is gone";
        const std::wstring output = console.out();
        const std::wstring restored = L"    [Quorvalent] Đã khôi phục bản cài đặt trước.\n";
        ASSERT_GE(output.size(), restored.size());
        EXPECT_EQ(output.substr(output.size() - restored.size()), restored) << toUtf8(output);
    }
}

// The run's folder beside the installation is open to other programs: the name a new file left
// there may be taken before a failure sends the file back.
TEST(FileUpdate, PutsBackAlthoughAnotherProgramTookANameInTheRunsFolder) {
    test::TempFolder folder;
    writeFile(folder / L"src", "new");
    writeFile(folder / L"dst" / L"a.txt", "old");
    std::vector<char> buffer(1 << 16);
    InstallSite site = holdInstallSite(folder / L"dst", "not made");
    HeldFolder runFolder = createRunFolder(site);
    const fs::path left = runFolder.path() / L"new-1" / L"1";
    FileUpdate update(site.parent, std::move(runFolder), buffer);
    update.stageFile(L"", L"a.txt", folder / L"src", folder / L"dst" / L"a.txt", nullptr);
    update.writeRecord(folder / L"dst");
    update.placeFile(0, site.destination, finalPathOf(site.destination.handle()), false,
                     folder / L"dst" / L"a.txt");
    writeFile(left, "another program's");

    EXPECT_TRUE(update.putBack().complete);
    EXPECT_EQ(readFile(folder / L"dst" / L"a.txt"), "old");
}

} // namespace
} // namespace qv::test
