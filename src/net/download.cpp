#include "net/download.h"

#include "console/console_output.h"
#include "console/progress_line.h"
#include "core/errors.h"
#include "core/handle_calls.h"
#include "net/http_response.h"
#include "net/winhttp_api.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>
#include <system_error>

namespace qv {
namespace {

// Reads ask for at least kReadSize; the file is written once that much has gathered, so
// that the small pieces a read may bring cost one write per kReadSize, not one each.
constexpr DWORD kReadSize = 0x20000;
constexpr DWORD kBufferSize = 2 * kReadSize;

constexpr char kMisfit[] = "Phần tải tiếp từ máy chủ không khớp với phần đã tải.";

std::optional<std::uint64_t> contentLength(HINTERNET request) {
    // Read as text: WinHTTP's number form converts to a signed 32-bit value under Wine, which
    // turns an announced 4,000,000,000 into 2,147,483,647.
    const std::optional<std::wstring> text = responseHeader(request, WINHTTP_QUERY_CONTENT_LENGTH);
    return text ? parseByteCount(*text) : std::nullopt;
}

std::wstring validatorOf(HINTERNET request) {
    return resumeValidator(responseHeader(request, WINHTTP_QUERY_ETAG),
                           responseHeader(request, WINHTTP_QUERY_LAST_MODIFIED));
}

// A 206 is the rest of the entity resume describes: the same validator, the range from the
// bytes received to the end of the same total, and a length (if any) to match.
bool continuesResume(HINTERNET request, const ResumePoint& resume) {
    const std::optional<std::wstring> range = responseHeader(request, WINHTTP_QUERY_CONTENT_RANGE);
    const std::optional<std::uint64_t> length = contentLength(request);
    return range && continuesResumePoint(*range, resume) &&
           validatorOf(request) == resume.validator &&
           (!length || *length == resume.total - resume.received);
}

UniqueFile openPartial(const std::filesystem::path& partial, bool continuing) {
    const HANDLE file =
        ::CreateFileW(partial.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                      nullptr /* default security */, continuing ? OPEN_EXISTING : CREATE_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr /* no template */);
    check(file != INVALID_HANDLE_VALUE,
          "Không tạo được file tải xuống: " + toUtf8(partial.native()));
    UniqueFile owned(file);
    if (continuing) {
        check(::SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_END) != FALSE,
              "Không ghi được file tải xuống.");
    }
    return owned;
}

void writeAll(HANDLE file, const char* bytes, DWORD size) {
    DWORD written = 0;
    check(::WriteFile(file, bytes, size, &written, nullptr /* not overlapped */) != FALSE &&
              written == size,
          "Không ghi được file tải xuống.");
}

// With a known length the line counts the whole file; the speed counts only what this transfer
// brought (from `start` bytes on).
void drawDownload(ProgressLine& line, std::uint64_t received, std::uint64_t length,
                  std::uint64_t start) {
    ProgressFigures figures;
    figures.percent = length > 0 ? cappedPercent(received, length) : -1;
    figures.bytes = received;
    figures.totalBytes = length;
    figures.bytesPerSecond =
        (received - start) * 1000 / std::max<std::uint64_t>(line.msSinceStart(), 1);
    line.update(figures);
}

// Reads the body to its end into file, counting on from `start`; resume (when it names an
// entity) follows every byte that reaches the file.
std::uint64_t receiveBody(HINTERNET request, HANDLE file, std::uint64_t start, std::uint64_t length,
                          ResumePoint& resume, ProgressLine& line) {
    std::uint64_t received = start;
    const auto buffer = std::make_unique<char[]>(kBufferSize);
    DWORD gathered = 0;
    const auto flush = [&] {
        writeAll(file, buffer.get(), gathered);
        if (!resume.validator.empty()) {
            resume.received += gathered;
        }
        gathered = 0;
    };
    for (;;) {
        DWORD read = 0;
        if (!winHttp().readData(request, buffer.get() + gathered, kBufferSize - gathered, &read)) {
            const DWORD code = ::GetLastError();
            flush(); // what arrived before the failure is kept for a resume
            checkWin32(code, "WinHttpReadData: ");
        }
        if (read == 0) {
            break;
        }
        gathered += read;
        received += read;
        if (gathered >= kBufferSize - kReadSize) {
            flush();
        }
        drawDownload(line, received, length, start);
    }
    flush();
    return received;
}

} // namespace

std::filesystem::path partialDownloadPath(const std::filesystem::path& target) {
    return std::filesystem::path(target.native() + L".part");
}

void downloadFile(const std::wstring& url, const std::filesystem::path& target,
                  const std::wstring& tag) {
    ResumePoint fromNothing;
    downloadFile(url, target, tag, fromNothing);
}

void downloadFile(const std::wstring& url, const std::filesystem::path& target,
                  const std::wstring& tag, ResumePoint& resume) {
    printStatus(tag, L"Đang chuẩn bị kết nối...");
    const std::filesystem::path partial = partialDownloadPath(target);
    std::error_code ignored;
    if (resume.usable() && std::filesystem::file_size(partial, ignored) != resume.received) {
        resume = ResumePoint();
    }
    const bool resuming = resume.usable();
    const HttpResponse response =
        requestFollowingRedirects(url, resuming ? resumeRequestHeaders(resume) : L"", tag);
    const HINTERNET request = response.request.get();

    bool continuing = false;
    if (resuming && response.status != 200) {
        continuing = response.status == 206 && continuesResume(request, resume);
        if (!continuing) {
            // Whatever the partial file holds, it is not known to be a part of what comes now.
            const bool misfit = response.status == 206;
            resume = ResumePoint();
            check(!misfit, kMisfit);
            throw std::runtime_error("Máy chủ trả về HTTP " + std::to_string(response.status));
        }
    }
    check(response.status >= 200 && response.status <= 299,
          "Máy chủ trả về HTTP " + std::to_string(response.status));

    std::uint64_t length = resume.total;
    if (!continuing) {
        const std::optional<std::uint64_t> announced = contentLength(request);
        length = announced ? *announced : 0;
        // Only an entity of known length, named by a strong validator, can be resumed later.
        resume = ResumePoint();
        if (length > 0) {
            resume = {validatorOf(request), length, 0};
        }
        std::filesystem::remove(partial, ignored);
    }
    const bool lengthKnown = length > 0;
    UniqueFile file = openPartial(partial, continuing);
    const std::uint64_t start = continuing ? resume.received : 0;
    ProgressLine line(tag, kDownloadLine);
    if (continuing) {
        printStatus(tag, L"Máy chủ phản hồi: " + formatByteSize(length) + L". Tải tiếp từ " +
                             formatByteSize(start) + L"...");
    } else if (lengthKnown) {
        printStatus(tag, L"Máy chủ phản hồi: " + formatByteSize(length) + L". Bắt đầu tải...");
    } else {
        printStatus(tag, L"Máy chủ phản hồi. Bắt đầu tải...");
    }

    const std::uint64_t bytesReceived =
        receiveBody(request, file.get(), start, length, resume, line);
    file.reset();

    // WinHTTP may end a body that was cut short without an error (Wine's does): a count that
    // is not the announced one fails the attempt here, before anything is called complete.
    // A short body of a named entity stays for the next attempt to continue.
    if (lengthKnown && bytesReceived != length) {
        if (!resume.usable()) {
            resume = ResumePoint();
            std::filesystem::remove(partial, ignored);
        }
        throw std::runtime_error("Tải xuống không đầy đủ: nhận " + std::to_string(bytesReceived) +
                                 " trên " + std::to_string(length) + " byte.");
    }
    resume = ResumePoint();
    check(bytesReceived != 0, "Máy chủ trả về file rỗng.");

    std::filesystem::remove(target, ignored);
    std::error_code renameError;
    std::filesystem::rename(partial, target, renameError);
    check(!renameError, "Không hoàn tất được file tải xuống.");

    printProgressEnd(tag, L"Tải xong 100% | " + formatByteSize(bytesReceived), 30);
}

} // namespace qv
