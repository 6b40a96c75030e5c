#include "net/download_and_verify.h"

#include "console/console_output.h"
#include "console/error_output.h"
#include "core/errors.h"
#include "net/download.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

namespace qv {
namespace {

constexpr int kAttempts = 5;
constexpr int kLongestPauseSeconds = 8;

void removeQuietly(const std::filesystem::path& path) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

ZipSummary downloadAndVerifyOnce(const std::wstring& url, const std::filesystem::path& target,
                                 const std::wstring& tag, ResumePoint& resume) {
    downloadFile(url, target, tag, resume);
    printStatus(tag, L"Đang kiểm tra an toàn và tính toàn vẹn ZIP...");
    const ZipSummary summary = verifyZipArchive(target);
    printStatus(tag, L"ZIP hợp lệ: " + std::to_wstring(summary.fileCount) + L" tệp, " +
                         formatByteSize(summary.totalBytes) + L" sau giải nén.");
    return summary;
}

} // namespace

ZipSummary downloadAndVerify(const std::wstring& url, const std::filesystem::path& target,
                             const std::wstring& tag) {
    const std::string tagText = toUtf8(tag);
    std::string lastFailure;
    ResumePoint resume;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        try {
            return downloadAndVerifyOnce(url, target, tag, resume);
        } catch (const std::exception& error) {
            lastFailure = error.what();
        }
        // The next attempt starts from nothing, unless the transfer broke off part-way through
        // an entity it can ask for the rest of; a refused archive always starts from nothing
        // (the download was complete, so nothing is left to resume).
        removeQuietly(target);
        if (!resume.usable()) {
            removeQuietly(partialDownloadPath(target));
        }
        if (attempt == kAttempts) {
            break;
        }
        const int pauseSeconds = std::min(2 * attempt, kLongestPauseSeconds);
        printError('[' + tagText + "] Lần tải " + std::to_string(attempt) +
                   " thất bại: " + lastFailure + "\n[" + tagText + "] Thử lại sau " +
                   std::to_string(pauseSeconds) + " giây...\n");
        std::this_thread::sleep_for(std::chrono::seconds(pauseSeconds));
    }
    removeQuietly(partialDownloadPath(target));
    throw std::runtime_error("Không thể tải " + tagText + " sau " + std::to_string(kAttempts) +
                             " lần: " + lastFailure);
}

} // namespace qv
