#include "core/errors.h"
#include "core/guards.h"
#include "shell/extracted_tree.h"
#include "shell/shell_automation.h"
#include "shell/shell_extraction.h"
#include "shell_extraction_fixture.h"
#include "support/failure_of.h"
#include "zip/zip_verifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace qv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

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

} // namespace
} // namespace qv::test
