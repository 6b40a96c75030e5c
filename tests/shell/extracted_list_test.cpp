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

} // namespace
} // namespace qv::test
