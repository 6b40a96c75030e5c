#include "net/download.h"

#include "console/console_output.h"
#include "core/errors.h"
#include "net/http_session.h"
#include "net/server_trust.h"
#include "net/winhttp_api.h"
#include "net/winhttp_handle.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cwchar>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace qv {
namespace {

constexpr DWORD kBufferSize = 0x20000;
constexpr char kDowngradeMessage[] = "Đã chặn chuyển hướng không an toàn từ HTTPS sang HTTP: ";

struct UrlParts {
    int scheme = 0;
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring object; // path plus query
};

// Throws "<prefix><system text>" with the error code the failed call just left.
void checkWinHttp(bool succeeded, const char* prefix) {
    if (!succeeded) {
        const DWORD code = ::GetLastError();
        throw std::runtime_error(prefix + windowsErrorText(code));
    }
}

UrlParts crackUrl(const std::wstring& url) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    // -1 asks for pointers into url instead of copies; user name and password stay unasked.
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    check(winHttp().crackUrl(url.c_str(), 0 /* up to the terminator */, 0 /* flags */, &parts) !=
              FALSE,
          "URL tải xuống không hợp lệ.");

    UrlParts result;
    result.scheme = parts.nScheme;
    result.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    result.port = parts.nPort;
    result.object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.dwExtraInfoLength > 0) {
        result.object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    }
    return result;
}

// Every redirect is followed, but once a transfer that began on https is sent on to a plain
// http URL, nothing from it may land on disk: the package is later run with administrator
// rights, and the http leg could have replaced it. WinHTTP tells the request's status callback
// (on this thread, in synchronous mode) about each redirect it follows; the callback only
// records, and the download refuses the transfer once WinHTTP returns.
struct RedirectWatch {
    bool startedSecure = false;
    bool downgraded = false;
    std::wstring downgradeUrl;
    std::wstring lastUrl;
    bool lastUrlLost = false;

    // The URL whose server answered: the last redirect's, else the one asked for; none when a
    // redirect's URL could not be kept, so that no server is trusted in its place.
    std::wstring respondingUrl(const std::wstring& asked) const {
        return lastUrlLost ? std::wstring() : lastUrl.empty() ? asked : lastUrl;
    }
};

bool isPlainHttpUrl(const wchar_t* url) {
    return url != nullptr && ::_wcsnicmp(url, L"http:", 5) == 0;
}

void CALLBACK onRedirect(HINTERNET /* request */, DWORD_PTR context, DWORD status, LPVOID info,
                         DWORD /* info length */) noexcept {
    auto* watch = reinterpret_cast<RedirectWatch*>(context);
    if (watch == nullptr || status != WINHTTP_CALLBACK_STATUS_REDIRECT) {
        return;
    }
    const auto* url = static_cast<const wchar_t*>(info);
    try {
        watch->lastUrl = url != nullptr ? url : L"";
    } catch (...) {
        watch->lastUrlLost = true;
    }
    if (!watch->startedSecure || watch->downgraded || !isPlainHttpUrl(url)) {
        return;
    }
    watch->downgraded = true;
    try {
        watch->downgradeUrl = url;
    } catch (...) {
        // No memory for the URL: the transfer is still refused, only without it.
    }
}

void refuseDowngrade(const RedirectWatch& watch) {
    if (watch.downgraded) {
        // The URL is the server's own text: shown printably, like every echo from outside.
        throw std::runtime_error(kDowngradeMessage + toUtf8(printableText(watch.downgradeUrl)));
    }
}

// Digits only, and no more than fit in 64 bits.
bool parseDecimal(const wchar_t* text, std::uint64_t& value) {
    value = 0;
    if (*text == L'\0') {
        return false;
    }
    for (; *text != L'\0'; ++text) {
        const unsigned digit = static_cast<unsigned>(*text - L'0');
        if (digit > 9 || value > (UINT64_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    return true;
}

// The running progress line: redrawn when the whole percent rises or once a second.
struct ProgressLine {
    using Clock = std::chrono::steady_clock;

    const std::wstring& tag;
    bool lengthKnown;
    std::uint64_t length;
    Clock::time_point start = Clock::now();
    Clock::time_point lastRedraw = start;
    int lastPercent = -1;

    void update(std::uint64_t received) {
        const Clock::time_point now = Clock::now();
        const auto elapsedNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>(now - start).count();
        const double seconds = std::max(static_cast<double>(elapsedNs) / 1000000000.0, 0.001);
        const auto speed = static_cast<std::uint64_t>(static_cast<double>(received) / seconds);
        const bool secondPassed = now - lastRedraw >= std::chrono::seconds(1);

        if (lengthKnown) {
            const int percent = cappedPercent(received, length);
            if (percent > lastPercent || secondPassed) {
                printProgress(tag, L"Đang tải " + formatPercent(percent) + L"% | " +
                                       formatByteSize(received) + L"/" + formatByteSize(length) +
                                       L" | " + formatByteSize(speed) + L"/s          ");
                lastPercent = percent;
                lastRedraw = now;
            }
        } else if (secondPassed) {
            printProgress(tag, L"Đang tải " + formatByteSize(received) + L" | " +
                                   formatByteSize(speed) + L"/s          ");
            lastRedraw = now;
        }
    }
};

} // namespace

std::filesystem::path partialDownloadPath(const std::filesystem::path& target) {
    return std::filesystem::path(target.native() + L".part");
}

void downloadFile(const std::wstring& url, const std::filesystem::path& target,
                  const std::wstring& tag) {
    printStatus(tag, L"Đang chuẩn bị kết nối...");
    const UrlParts parts = crackUrl(url);

    // Declared before the handles so that it outlives the request its callback serves.
    RedirectWatch redirects;
    redirects.startedSecure = parts.scheme == INTERNET_SCHEME_HTTPS;

    // Destroyed in reverse order: request, connection, session.
    const UniqueWinHttpHandle session = openDownloadSession(url);

    const UniqueWinHttpHandle connection(
        winHttp().connect(session.get(), parts.host.c_str(), parts.port, 0 /* reserved */));
    checkWinHttp(static_cast<bool>(connection), "WinHttpConnect: ");

    const DWORD requestFlags = redirects.startedSecure ? WINHTTP_FLAG_SECURE : 0;
    const UniqueWinHttpHandle request(winHttp().openRequest(
        connection.get(), L"GET", parts.object.c_str(), nullptr /* default version */,
        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, requestFlags));
    checkWinHttp(static_cast<bool>(request), "WinHttpOpenRequest: ");

    DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_ALWAYS;
    winHttp().setOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirectPolicy,
                        sizeof(redirectPolicy));
    checkWinHttp(winHttp().setStatusCallback(request.get(), onRedirect,
                                             WINHTTP_CALLBACK_FLAG_REDIRECT,
                                             0 /* reserved */) != WINHTTP_INVALID_STATUS_CALLBACK,
                 "WinHttpSetStatusCallback: ");

    printStatus(tag, L"Đang kết nối GitHub và gửi yêu cầu...");
    const BOOL sent =
        winHttp().sendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0 /* headers length */,
                              WINHTTP_NO_REQUEST_DATA, 0 /* data length */, 0 /* total length */,
                              reinterpret_cast<DWORD_PTR>(&redirects));
    checkWinHttp(sent != FALSE, "WinHttpSendRequest: ");
    printStatus(tag, L"Đã gửi yêu cầu, đang chờ máy chủ phản hồi...");

    const BOOL received = winHttp().receiveResponse(request.get(), nullptr /* reserved */);
    // A refused downgrade is the reason, even when the plain-http leg then failed as well.
    refuseDowngrade(redirects);
    checkWinHttp(received != FALSE, "WinHttpReceiveResponse: ");
    // WinHTTP accepted the certificate of the server that answered; the machine must as well,
    // before anything of the body is written.
    requireMachineTrustedServer(request.get(), redirects.respondingUrl(url));

    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    check(winHttp().queryHeaders(
              request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
              WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX) != FALSE,
          "Không đọc được HTTP status.");
    check(status >= 200 && status <= 299, "Máy chủ trả về HTTP " + std::to_string(status));

    // Read as text: WinHTTP's number form converts to a signed 32-bit value under Wine, which
    // turns an announced 4,000,000,000 into 2,147,483,647.
    wchar_t lengthText[24] = {};
    DWORD lengthTextSize = sizeof(lengthText);
    std::uint64_t announced = 0;
    const bool lengthRead =
        winHttp().queryHeaders(request.get(), WINHTTP_QUERY_CONTENT_LENGTH,
                               WINHTTP_HEADER_NAME_BY_INDEX, lengthText, &lengthTextSize,
                               WINHTTP_NO_HEADER_INDEX) != FALSE &&
        parseDecimal(lengthText, announced);
    const bool lengthKnown = lengthRead && announced > 0;

    const std::filesystem::path partial = partialDownloadPath(target);
    std::error_code ignored;
    std::filesystem::remove(partial, ignored);
    std::ofstream file(partial, std::ios::binary | std::ios::trunc);
    check(file.good(), "Không tạo được file tải xuống: " + toUtf8(partial.native()));

    const auto buffer = std::make_unique<char[]>(kBufferSize);
    std::uint64_t bytesReceived = 0;
    ProgressLine progress{tag, lengthKnown, announced};

    if (lengthKnown) {
        printStatus(tag, L"Máy chủ phản hồi: " + formatByteSize(announced) + L". Bắt đầu tải...");
    } else {
        printStatus(tag, L"Máy chủ phản hồi. Bắt đầu tải...");
    }

    for (;;) {
        DWORD available = 0;
        checkWinHttp(winHttp().queryDataAvailable(request.get(), &available) != FALSE,
                     "WinHttpQueryDataAvailable: ");
        if (available == 0) {
            break;
        }
        while (available != 0) {
            DWORD read = 0;
            checkWinHttp(winHttp().readData(request.get(), buffer.get(),
                                            std::min(available, kBufferSize), &read) != FALSE,
                         "WinHttpReadData: ");
            check(read != 0, "Kết nối tải xuống kết thúc bất thường.");
            file.write(buffer.get(), static_cast<std::streamsize>(read));
            check(file.good(), "Không ghi được file tải xuống.");
            bytesReceived += read;
            available -= std::min(available, read);
            progress.update(bytesReceived);
        }
    }
    file.close();

    // WinHTTP may end a body that was cut short without an error (Wine's does): a count that
    // is not the announced one fails the attempt here, before anything is called complete.
    if (lengthKnown && bytesReceived != announced) {
        std::filesystem::remove(partial, ignored);
        throw std::runtime_error("Tải xuống không đầy đủ: nhận " + std::to_string(bytesReceived) +
                                 " trên " + std::to_string(announced) + " byte.");
    }
    check(bytesReceived != 0, "Máy chủ trả về file rỗng.");

    std::filesystem::remove(target, ignored);
    std::error_code renameError;
    std::filesystem::rename(partial, target, renameError);
    check(!renameError, "Không hoàn tất được file tải xuống.");

    printProgressEnd(tag, L"Tải xong 100% | " + formatByteSize(bytesReceived), 30);
}

} // namespace qv
