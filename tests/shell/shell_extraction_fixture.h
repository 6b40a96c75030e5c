#pragma once
// What the extraction's tests share: the Shell stand-in's modes, packages of the shapes the
// installer meets, and a record of what each poll of the extraction saw.

#include "zip/folder_tally.h"
#include "support/shell_stand_in/shell_stand_in_class.h"
#include "support/test_files.h"
#include "support/test_zip_writer.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace qv::test {

// Each poll of the extraction dispatches the thread's messages right before it tallies the
// destination: a thread timer due before every poll is dispatched by that poll, and what the
// timer sees is what the poll sees. Each tick sets the timer anew, due well after the pump that
// dispatched it has ended and well before the next poll: one tick per poll, however long a
// tally takes.
struct PollRecorder {
    static inline std::filesystem::path destination;
    static inline std::vector<ZipSummary> seen;
    static inline UINT_PTR timer = 0;

    static void CALLBACK onTimer(HWND, UINT, UINT_PTR id, DWORD) {
        seen.push_back(tallyDirectory(destination));
        timer = ::SetTimer(nullptr, id, 200, &PollRecorder::onTimer); // polls are 500 ms apart
    }

    explicit PollRecorder(const std::filesystem::path& folder) {
        destination = folder;
        seen.clear();
        timer = ::SetTimer(nullptr, 0, 50, &PollRecorder::onTimer);
        ::Sleep(80); // due before the first poll
    }
    ~PollRecorder() { ::KillTimer(nullptr, timer); }

    // Polls at the end that saw the totals, counted backwards from the last one.
    static int trailingPollsAt(const ZipSummary& totals) {
        int count = 0;
        for (auto it = seen.rbegin(); it != seen.rend() && *it == totals; ++it) {
            ++count;
        }
        return count;
    }
};

class ShellExtraction : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    }
    void TearDown() override {
        useMode(nullptr);
        ::SetEnvironmentVariableW(test::kDelayVariable, nullptr);
        ::SetEnvironmentVariableW(test::kFailureVariable, nullptr);
        ::CoUninitialize();
    }
    static void useMode(const wchar_t* mode) {
        ::SetEnvironmentVariableW(test::kModeVariable, mode);
    }

    // A package with the shapes the installer meets: nested folders, empty files, folder
    // entries, non-ASCII names, stored and deflated data.
    ZipSummary writePackage(const std::filesystem::path& archive) {
        return test::writeZip(
            archive, {
                         {"Quorvalent.exe", test::sampleContent(70000, 1), true},
                         {"empty.txt", "", false},
                         {"data/", "", false},
                         {"data/nested/deep/file.bin", test::sampleContent(3000, 2), false},
                         {"data/empty-folder/", "", false},
                         {"tài liệu/hướng dẫn sử dụng.txt", test::sampleContent(900, 3), true},
                         {"data/nested/empty.dat", "", true},
                     });
    }

    // Several files of equal size, so a background copy passes through many percentages.
    ZipSummary writeManyFiles(const std::filesystem::path& archive, int files) {
        std::vector<test::ZipItem> items;
        for (int i = 0; i < files; ++i) {
            items.push_back({"part" + std::to_string(i / 4) + "/file" + std::to_string(i) + ".bin",
                             test::sampleContent(20000, i), i % 2 == 0});
        }
        return test::writeZip(archive, items);
    }

    // Waits for what a copy that outlived the extraction still does (the Shell copies on after
    // a failed extraction), so that it cannot land in the next case's destination. The bound
    // only keeps a broken stand-in from hanging the suite.
    static void waitForLateCopy(const std::function<bool()>& done) {
        for (int i = 0; i < 2400 && !done(); ++i) {
            ::Sleep(50);
        }
        EXPECT_TRUE(done()) << "the Shell stand-in never finished its copy";
    }

    TempFolder folder;
};

} // namespace qv::test
