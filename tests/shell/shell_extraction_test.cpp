#include "core/errors.h"
#include "core/guards.h"
#include "shell/extracted_tree.h"
#include "shell/shell_automation.h"
#include "shell/shell_extraction.h"
#include "zip/folder_tally.h"
#include "support/failure_of.h"
#include "support/shell_stand_in/shell_stand_in_class.h"
#include "support/test_files.h"
#include "support/test_zip_writer.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ZipItem;

// Each poll of the extraction dispatches the thread's messages right before it tallies the
// destination: a thread timer due before every poll is dispatched by that poll, and what the
// timer sees is what the poll sees. Each tick sets the timer anew, due well after the pump that
// dispatched it has ended and well before the next poll: one tick per poll, however long a
// tally takes.
struct PollRecorder {
    static inline fs::path destination;
    static inline std::vector<ZipSummary> seen;
    static inline UINT_PTR timer = 0;

    static void CALLBACK onTimer(HWND, UINT, UINT_PTR id, DWORD) {
        seen.push_back(tallyDirectory(destination));
        timer = ::SetTimer(nullptr, id, 200, &PollRecorder::onTimer); // polls are 500 ms apart
    }

    explicit PollRecorder(const fs::path& folder) {
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

// The percentages of the running extraction lines, in the order drawn.
std::vector<int> drawnPercentages(const std::wstring& output) {
    std::vector<int> percentages;
    const std::wstring marker = L"Đang giải nén ";
    for (size_t at = output.find(marker); at != std::wstring::npos;
         at = output.find(marker, at + 1)) {
        percentages.push_back(std::stoi(output.substr(at + marker.size(), 3)));
    }
    return percentages;
}

using test::failureOf;

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
    ZipSummary writePackage(const fs::path& archive) {
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
    ZipSummary writeManyFiles(const fs::path& archive, int files) {
        std::vector<ZipItem> items;
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

    test::TempFolder folder;
};

TEST_F(ShellExtraction, StandInAnswersForShellApplicationInThePrefix) {
    CLSID found{};
    ASSERT_EQ(::CLSIDFromProgID(L"Shell.Application", &found), S_OK);
    EXPECT_TRUE(IsEqualCLSID(found, test::kShellStandInClass))
        << "scripts/prefix.d did not register the Shell stand-in";
    ComPtr<IDispatch> shell;
    EXPECT_EQ(::CoCreateInstance(found, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                 IID_IDispatch, shell.putVoid()),
              S_OK);
}

TEST_F(ShellExtraction, UnpacksExactlyThePackageIntoAnEmptiedFolderAfterThreePolls) {
    const fs::path archive = folder / L"gói.zip";
    const ZipSummary written = writePackage(archive);
    // The totals the installer works from are the verifier's.
    const ZipSummary expected = verifyZipArchive(archive);
    ASSERT_EQ(expected, written);
    const fs::path destination = folder / L"giải nén";
    test::writeFile(destination / L"stale.txt", "left from an earlier run");
    test::writeFile(destination / L"stale" / L"old.bin", "old");

    test::ConsoleCapture console;
    PollRecorder polls(destination);
    extractZipWithShell(archive, destination, expected, L"Quorvalent");

    EXPECT_EQ(tallyDirectory(destination), expected);
    EXPECT_FALSE(fs::exists(destination / L"stale.txt"));
    EXPECT_FALSE(fs::exists(destination / L"stale"));
    EXPECT_EQ(test::readFile(destination / L"Quorvalent.exe"), test::sampleContent(70000, 1));
    EXPECT_EQ(test::readFile(destination / L"tài liệu" / L"hướng dẫn sử dụng.txt"),
              test::sampleContent(900, 3));
    EXPECT_EQ(fs::file_size(destination / L"data" / L"nested" / L"empty.dat"), 0u);
    EXPECT_TRUE(fs::is_directory(destination / L"data" / L"empty-folder"));

    // Everything was there at once, and still three polls had to see it.
    EXPECT_EQ(PollRecorder::seen.size(), 3u);
    EXPECT_EQ(PollRecorder::trailingPollsAt(expected), 3);

    const std::wstring output = console.out();
    const std::wstring running =
        L"\r    [Quorvalent] Đang giải nén 100% | 5/5 tệp | 72.17 KB/72.17 KB          ";
    const std::wstring opening = L"    [Quorvalent] Đang giải nén 0% | 0/5 tệp";
    const std::wstring closing =
        L"\r    [Quorvalent] Giải nén 100% | 5 tệp | 72.17 KB                    \n";
    // The last poll redraws the unchanged line when a second has passed since the first.
    EXPECT_TRUE(output == opening + running + closing ||
                output == opening + running + running + closing)
        << toUtf8(output);
}

TEST_F(ShellExtraction, BackgroundCopyShowsRisingProgressUntilThreePollsSeeTheTotals) {
    const fs::path archive = folder / L"many.zip";
    const ZipSummary expected = writeManyFiles(archive, 14);
    const fs::path destination = folder / L"out";
    useMode(L"background");
    ::SetEnvironmentVariableW(test::kDelayVariable, L"150");

    test::ConsoleCapture console;
    PollRecorder polls(destination);
    extractZipWithShell(archive, destination, expected, L"Gói");
    EXPECT_EQ(tallyDirectory(destination), expected);

    const std::vector<int> percentages = drawnPercentages(console.out());
    ASSERT_GE(percentages.size(), 4u) << toUtf8(console.out());
    EXPECT_EQ(percentages.front(), 0); // the opening line
    EXPECT_EQ(percentages.back(), 100);
    int between = 0;
    for (size_t i = 1; i < percentages.size(); ++i) {
        EXPECT_LE(percentages[i - 1], percentages[i]);
        between += percentages[i] > 0 && percentages[i] < 100 ? 1 : 0;
    }
    EXPECT_GE(between, 2) << toUtf8(console.out());

    // The files arrived while the polls watched; the loop ended on the third poll at the
    // totals. (The timer tallies just before the poll does, so a file landing in between
    // makes the poll see one more poll at the totals than the timer did.)
    ASSERT_GE(PollRecorder::seen.size(), 5u);
    EXPECT_LT(PollRecorder::seen.front().fileCount, expected.fileCount);
    const int atTotals = PollRecorder::trailingPollsAt(expected);
    EXPECT_TRUE(atTotals == 3 || atTotals == 2) << atTotals;
    EXPECT_EQ(console.out().substr(console.out().size() - 1), L"\n");
}

TEST_F(ShellExtraction, TheFinalTallyDecidesWhenTheTimeLimitRunsOut) {
    const struct {
        const wchar_t* mode;
        std::chrono::nanoseconds limit;
        bool succeeds;
    } cases[] = {
        {L"instant", 0ns, true},     // no poll at all, yet everything is there
        {L"short", 1500ms, false},   // polls a while, one file never comes
        {L"background", 0ns, false}, // still copying when judged
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(toUtf8(c.mode));
        const fs::path archive = folder / L"limit.zip";
        const ZipSummary expected = writeManyFiles(archive, 6);
        const fs::path destination = folder / L"limit";
        useMode(c.mode);
        test::ConsoleCapture console;
        const std::string failure =
            failureOf([&] { extractZipWithShell(archive, destination, expected, L"T", c.limit); });
        const std::wstring output = console.out();
        if (c.succeeds) {
            EXPECT_EQ(failure, "<no exception>");
            EXPECT_EQ(output,
                      L"    [T] Đang giải nén 0% | 0/6 tệp\r    [T] Giải nén 100% | 6 tệp | "
                      L"117.19 KB                    \n");
        } else {
            EXPECT_EQ(failure, "Giải nén không hoàn tất trong thời gian cho phép.");
            EXPECT_EQ(output.find(L"Giải nén 100%"), std::wstring::npos);
            EXPECT_NE(output.back(), L'\n');
        }
        if (std::wstring(c.mode) == L"short") {
            // What arrived stays.
            EXPECT_EQ(tallyDirectory(destination).fileCount, expected.fileCount - 1);
        }
        if (std::wstring(c.mode) == L"background") {
            waitForLateCopy([&] { return tallyDirectory(destination) == expected; });
        }
    }
}

TEST_F(ShellExtraction, MoreThanExpectedIsNoFailureAndShowsAtMostAHundredPercent) {
    const fs::path archive = folder / L"more.zip";
    writeManyFiles(archive, 3);
    const ZipSummary expectations[] = {{1, 10}, {0, 0}, {2, 0}};
    for (const ZipSummary& expected : expectations) {
        test::ConsoleCapture console;
        extractZipWithShell(archive, folder / L"more", expected, L"T");
        const std::wstring output = console.out();
        for (int percent :
             drawnPercentages(output.substr(output.find(L'\r')))) { // past the opening 0%
            EXPECT_EQ(percent, 100) << toUtf8(output);
        }
        EXPECT_NE(output.find(L"\r    [T] Giải nén 100% | 3 tệp | 58.59 KB                    \n"),
                  std::wstring::npos)
            << toUtf8(output);
    }
}

TEST_F(ShellExtraction, FailuresReportTheShellsOwnReasonOrThePath) {
    const fs::path archive = folder / L"gói.zip";
    const ZipSummary expected = writePackage(archive);
    test::writeFile(folder / L"notes.txt", "not an archive");
    test::writeFile(folder / L"blocker", "a file where a folder must go");
    ::SetEnvironmentVariableW(test::kFailureVariable, L"Không đủ chỗ trên đĩa.");
    const fs::path missing = folder / L"không có.zip";
    const struct {
        const wchar_t* mode;
        fs::path archive;
        fs::path destination;
        std::string message;
    } cases[] = {
        {L"fail", archive, folder / L"a",
         "Shell Automation thất bại: Không đủ chỗ trên đĩa. (HRESULT 0x80020009)"},
        {L"fail-bare", archive, folder / L"b", "Shell Automation thất bại (HRESULT 0x80004005)"},
        {L"instant", missing, folder / L"c",
         "Windows Shell không mở được: " + toUtf8(fs::absolute(missing).wstring())},
        {L"instant", folder / L"notes.txt", folder / L"d",
         "Windows Shell không mở được: " + toUtf8(fs::absolute(folder / L"notes.txt").wstring())},
        {L"instant", archive, folder / L"blocker" / L"x",
         "Không tạo được thư mục giải nén: " + toUtf8((folder / L"blocker" / L"x").wstring())},
    };
    for (const auto& c : cases) {
        useMode(c.mode);
        test::ConsoleCapture console;
        EXPECT_EQ(failureOf([&] { extractZipWithShell(c.archive, c.destination, expected, L"T"); }),
                  c.message);
        EXPECT_EQ(console.out(), L"") << c.message; // nothing was started
    }
}

TEST_F(ShellExtraction, WhatLandedIsHeldAgainstTheVerifiedList) {
    const std::string mismatch = "Nội dung giải nén không khớp với gói: ";
    const std::vector<ZipItem> package = {
        {"Quorvalent.exe", test::sampleContent(5000, 1), true},
        {"data/", "", false},
        {"data/b\xc3\xa0i.txt", test::sampleContent(900, 2), false}};
    ZipItem wrongCrc = package[2];
    wrongCrc.crcChange = 1;
    ZipItem ansiName{"caf\xe9.txt", "x", false};
    ansiName.utf8Flag = false;
    // The Shell stand-in reads such a name in the OEM code page, the verifier in the ANSI one.
    ASSERT_EQ(::GetACP(), 1252u);
    ASSERT_NE(::GetOEMCP(), 1252u);
    const fs::path destination = folder / L"out";
    const std::string longName = "d/" + std::string(258 - destination.wstring().size(), 'n');
    const struct {
        const char* label;
        std::vector<ZipItem> items;
        const wchar_t* mode;
        int delayMs; // the late mode's wait for the last file's bytes
        std::chrono::nanoseconds limit;
        std::string failure;
        int polls; // the most a failure may take: three at the totals, three more unchanged
    } rows[] = {
        {"as listed", package, L"instant", 0, 60s, "<no exception>", 3},
        {"a file under another name fails at once", package, L"renamed", 0, 60s,
         mismatch + "data/b\xc3\xa0i.txt", 3},
        {"a name another code page decodes differently",
         {package[0], ansiName},
         L"instant",
         0,
         60s,
         mismatch + "caf\xc3\xa9.txt", // read in Windows-1252, the test prefix's ANSI page
         3},
        // Bytes that change between two polls at the totals: the file is still being written.
        {"bytes still being written are waited for", package, L"late", 1200, 60s, "<no exception>",
         -1},
        // Two polls fit into the limit, and the final comparison decides.
        {"bytes still wrong at the limit", package, L"late", 5000, 1s,
         mismatch + "data/b\xc3\xa0i.txt", 3},
        // Bytes that read the same on three polls at the totals are done: no wait for the limit.
        {"stored bytes that differ from their CRC-32",
         {package[0], wrongCrc},
         L"instant",
         0,
         60s,
         mismatch + "data/b\xc3\xa0i.txt",
         5},
        {"a byte the Shell wrote wrong", package, L"wrong-byte", 0, 60s,
         mismatch + "data/b\xc3\xa0i.txt", 5},
        {"a path reaching MAX_PATH is refused before anything starts",
         {package[0], {longName, "x", false}},
         L"instant",
         0,
         60s,
         "Đường dẫn trong ZIP quá dài: " + longName,
         0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const fs::path archive = folder / L"listed.zip";
        test::writeZip(archive, row.items);
        // Read as where both code pages agree, so that a name the Shell writes otherwise all
        // the same reaches the comparison.
        const ZipSummary expected =
            verifyZipArchive(archive, NameCodePages{::GetACP(), ::GetACP()});
        useMode(row.mode);
        ::SetEnvironmentVariableW(test::kDelayVariable, std::to_wstring(row.delayMs).c_str());
        test::ConsoleCapture console;
        const auto start = std::chrono::steady_clock::now();
        {
            PollRecorder polls(destination);
            EXPECT_EQ(failureOf([&] {
                          extractZipWithShell(archive, destination, expected, L"T", row.limit);
                      }),
                      row.failure);
        }
        // Success waits for the late bytes; a failure waits for its limit at most, and a
        // name that differs, or bytes that stay wrong, not even for that.
        if (row.polls < 0) {
            EXPECT_GE(std::chrono::steady_clock::now() - start,
                      std::chrono::milliseconds(row.delayMs));
        } else {
            EXPECT_LE(PollRecorder::seen.size(), static_cast<std::size_t>(row.polls));
        }
        if (row.failure.rfind("Đường dẫn", 0) == 0) {
            EXPECT_EQ(console.out(), L"");
        }
        if (std::wstring(row.mode) == L"late") {
            waitForLateCopy([&] {
                return compareExtractedTree(destination, expected.entries).difference ==
                       TreeDifference::None;
            });
        }
    }
}

TEST_F(ShellExtraction, AMemberTheShellLacksFailsInTheNameLookup) {
    CLSID shellClass{};
    ASSERT_EQ(::CLSIDFromProgID(L"Shell.Application", &shellClass), S_OK);
    ComPtr<IDispatch> shell;
    ASSERT_EQ(::CoCreateInstance(shellClass, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                 shell.putVoid()),
              S_OK);
    EXPECT_EQ(failureOf([&] { invokeShellMethod(shell.get(), L"ExtractAll", nullptr, 0); }),
              "Không tìm thấy hàm Shell Automation (HRESULT 0x80020006)");
}

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
