#include "net/download_and_verify.h"

#include "console/console_output.h"
#include "core/errors.h"
#include "net/download.h"
#include "net/release_fixture.h"
#include "support/test_zip_writer.h"
#include "zip/zip_verifier.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>

namespace qv::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string failureLines(int attempt, const std::string& reason, int pause) {
    return "[Net] Lần tải " + std::to_string(attempt) + " thất bại: " + reason + "\n" +
           "[Net] Thử lại sau " + std::to_string(pause) + " giây...\n";
}

class DownloadAndVerify : public ReleaseServerTest {
protected:
    const std::string archive_ =
        zipBytes({{"Quorvalent.exe", patternBytes(5000, 1)}, {"data/readme.txt", "xin chào"}});
};

TEST_F(DownloadAndVerify, FirstGoodAttemptReturnsTheSummaryWithoutRetryLines) {
    const std::wstring path = publish("good.zip", archive_);
    const ZipSummary summary = downloadAndVerify(httpsUrl(path), target(), kNetTag);

    EXPECT_EQ(summary.fileCount, 2u);
    EXPECT_EQ(summary.totalBytes, 5000u + std::string("xin chào").size());
    EXPECT_TRUE(sameBytes(readFile(target()), archive_));
    EXPECT_EQ(console_.err(), "");
    const std::wstring tail = L"    [Net] Đang kiểm tra an toàn và tính toàn vẹn ZIP...\n"
                              L"    [Net] ZIP hợp lệ: 2 tệp, " +
                              formatByteSize(summary.totalBytes) + L" sau giải nén.\n";
    const std::wstring out = console_.out();
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

TEST_F(DownloadAndVerify, ThirdAttemptSucceedsAfterTwoRefusedArchives) {
    const std::wstring path =
        publish("third.zip", archive_) + L"?body=notzip&first=2&id=" + uniqueId();
    // The server sends a page of text instead of the archive: no end record in it.
    const std::string reason = "Không tìm thấy thư mục trung tâm của ZIP.";

    const Clock::time_point start = Clock::now();
    const ZipSummary summary = downloadAndVerify(httpUrl(path), target(), kNetTag);
    const auto elapsed = Clock::now() - start;

    EXPECT_EQ(summary.fileCount, 2u);
    EXPECT_TRUE(sameBytes(readFile(target()), archive_));
    EXPECT_FALSE(std::filesystem::exists(partial()));
    EXPECT_EQ(console_.err(), failureLines(1, reason, 2) + failureLines(2, reason, 4));
    EXPECT_GE(elapsed, std::chrono::seconds(6)) << "the pauses of 2 and 4 seconds";
}

// Refusals of the download's own (a downgrade, a server only the user trusts) fail the first
// attempt like any other failure, and the second brings the archive.
TEST_F(DownloadAndVerify, RefusedDowngradeOrUntrustedServerIsRetriedLikeAnyFailure) {
    const std::wstring path = publish("refused.zip", archive_);
    const std::wstring userRoot = environmentText(L"QUORVALENT_TEST_USER_ROOT_BASE") + path;
    const std::wstring first = L"?first=1&id=" + uniqueId();
    const std::string plainUrl = toUtf8(httpBase()) + toUtf8(path + first);
    const struct {
        std::wstring url;
        std::string reason;
    } rows[] = {
        {httpsUrl(L"/redirect/http" + path + first),
         "Đã chặn chuyển hướng không an toàn từ HTTPS sang HTTP: " + plainUrl},
        {httpsUrl(L"/redirect/https" + path + first + L"&location=" + userRoot),
         "Chứng chỉ máy chủ không được tin cậy trên máy này."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(toUtf8(row.url));
        const std::size_t before = console_.err().size();
        const ZipSummary summary = downloadAndVerify(row.url, target(), kNetTag);
        EXPECT_EQ(summary.fileCount, 2u);
        EXPECT_TRUE(sameBytes(readFile(target()), archive_));
        EXPECT_EQ(console_.err().substr(before), failureLines(1, row.reason, 2));
    }
}

TEST_F(DownloadAndVerify, FiveFailuresEndWithTheLastReasonAndLeaveNoFiles) {
    writeBytes(target(), "earlier package");
    writeBytes(partial(), "earlier partial");
    const std::wstring url = httpsUrl(L"/missing.zip?status=404");

    std::string message;
    try {
        downloadAndVerify(url, target(), kNetTag);
    } catch (const std::runtime_error& error) {
        message = error.what();
    }
    EXPECT_EQ(message, "Không thể tải Net sau 5 lần: Máy chủ trả về HTTP 404");
    const std::string reason = "Máy chủ trả về HTTP 404";
    EXPECT_EQ(console_.err(), failureLines(1, reason, 2) + failureLines(2, reason, 4) +
                                  failureLines(3, reason, 6) + failureLines(4, reason, 8));
    EXPECT_FALSE(std::filesystem::exists(target()));
    EXPECT_FALSE(std::filesystem::exists(partial()));
}

class BrokenBody : public DownloadAndVerify,
                   public ::testing::WithParamInterface<const wchar_t*> {};

// A body cut short or reset fails the attempt, whether WinHTTP reports it or not (the count
// falls short of the announced length), and the retry asks for the rest of the archive.
TEST_P(BrokenBody, IsNeverTakenForTheArchiveAndIsRetried) {
    const std::wstring path = publish("broken.zip", archive_);
    const std::wstring url = httpUrl(path + L"?" + GetParam() + L"=3000&first=1&id=" + uniqueId());
    const ZipSummary summary = downloadAndVerify(url, target(), kNetTag);
    EXPECT_EQ(summary.fileCount, 2u);
    EXPECT_TRUE(sameBytes(readFile(target()), archive_));
    const std::string err = console_.err();
    EXPECT_EQ(err.rfind("[Net] Lần tải 1 thất bại: ", 0), 0u) << err;
    const std::string pause = "\n[Net] Thử lại sau 2 giây...\n";
    ASSERT_GE(err.size(), pause.size());
    EXPECT_EQ(err.substr(err.size() - pause.size()), pause);
    EXPECT_EQ(err.find("Lần tải 2"), std::string::npos);
    // A reset may lose what had arrived before it; a cut never does.
    if (std::wstring(GetParam()) == L"cut") {
        EXPECT_NE(console_.out().find(L"Máy chủ phản hồi: " + formatByteSize(archive_.size()) +
                                      L". Tải tiếp từ " + formatByteSize(3000) + L"...\n"),
                  std::wstring::npos)
            << toUtf8(console_.out());
    }
}

// A resumed transfer whose file the verifier refuses is not resumed again: the next attempt
// starts from nothing (and here gets the archive).
TEST_F(DownloadAndVerify, RefusedArchiveAfterAResumeStartsOverFromNothing) {
    const std::wstring path = publish("resumed.zip", archive_);
    const std::wstring url = httpUrl(path + L"?body=notzip&first=2&cutonce=500&id=" + uniqueId());
    const ZipSummary summary = downloadAndVerify(url, target(), kNetTag);
    EXPECT_EQ(summary.fileCount, 2u);
    EXPECT_TRUE(sameBytes(readFile(target()), archive_));
    const std::wstring out = console_.out();
    const std::wstring resumedLine = L". Tải tiếp từ " + formatByteSize(500) + L"...\n";
    const std::size_t resumed = out.find(resumedLine);
    ASSERT_NE(resumed, std::wstring::npos) << toUtf8(out);
    EXPECT_NE(
        out.find(L"Máy chủ phản hồi: " + formatByteSize(archive_.size()) + L". Bắt đầu tải...\n",
                 resumed),
        std::wstring::npos)
        << toUtf8(out);
    EXPECT_EQ(out.find(L"Tải tiếp", resumed + resumedLine.size()), std::wstring::npos)
        << toUtf8(out);
    EXPECT_NE(console_.err().find("[Net] Lần tải 2 thất bại: "), std::string::npos);
    EXPECT_EQ(console_.err().find("Lần tải 3"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(DownloadAndVerify, BrokenBody, ::testing::Values(L"cut", L"reset"));

} // namespace
} // namespace qv::test
