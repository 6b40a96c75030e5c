#include "net/http_response.h"

#include "console/console_output.h"
#include "core/errors.h"
#include "net/http_session.h"
#include "net/server_trust.h"
#include "net/winhttp_api.h"

#include <cwctype>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace qv {
namespace {

constexpr int kMostRedirects = 10;
constexpr char kDowngradeMessage[] = "Đã chặn chuyển hướng không an toàn từ HTTPS sang HTTP: ";

struct UrlParts {
    bool secure = false;
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring object; // path plus query
};

UrlParts crackUrl(const std::wstring& url) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    // -1 asks for pointers into url instead of copies; user name and password stay unasked.
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    check(winHttp().crackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0 /* flags */, &parts) !=
                  FALSE &&
              (parts.nScheme == INTERNET_SCHEME_HTTP || parts.nScheme == INTERNET_SCHEME_HTTPS),
          "URL tải xuống không hợp lệ.");

    UrlParts result;
    result.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    result.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    result.port = parts.nPort;
    result.object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.dwExtraInfoLength > 0) {
        result.object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    }
    return result;
}

bool isRedirect(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// "name:" at the start, as a URL scheme is spelled, before any '/', '?' or '#'.
bool startsWithScheme(const std::wstring& text) {
    const std::size_t colon = text.find(L':');
    if (colon == 0 || colon == std::wstring::npos || !std::iswalpha(text[0])) {
        return false;
    }
    for (std::size_t at = 1; at < colon; ++at) {
        if (!std::iswalnum(text[at]) && text[at] != L'+' && text[at] != L'-' && text[at] != L'.') {
            return false;
        }
    }
    return true;
}

// Sends the request and waits for its answer; the first request's lines go to the console.
void sendAndReceive(HINTERNET request, const std::wstring& headers, bool first,
                    const std::wstring& tag) {
    // WinHTTP would follow a redirect before anyone could judge the server that sent it.
    DWORD disable = WINHTTP_DISABLE_REDIRECTS;
    checkLastError(winHttp().setOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &disable,
                                     sizeof(disable)) != FALSE,
                 "WinHttpSetOption: ");
    if (first) {
        printStatus(tag, L"Đang kết nối GitHub và gửi yêu cầu...");
    }
    const BOOL sent = winHttp().sendRequest(
        request, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
        static_cast<DWORD>(headers.size()), WINHTTP_NO_REQUEST_DATA, 0 /* data length */,
        0 /* total length */, 0 /* context */);
    checkLastError(sent != FALSE, "WinHttpSendRequest: ");
    if (first) {
        printStatus(tag, L"Đã gửi yêu cầu, đang chờ máy chủ phản hồi...");
    }
    checkLastError(winHttp().receiveResponse(request, nullptr /* reserved */) != FALSE,
                 "WinHttpReceiveResponse: ");
}

DWORD WINAPI prepareMachineTrustThread(void* /* unused */) {
    prepareMachineTrust();
    return 0;
}

DWORD statusOf(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    check(winHttp().queryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                                 WINHTTP_NO_HEADER_INDEX) != FALSE,
          "Không đọc được HTTP status.");
    return status;
}

} // namespace

HttpResponse requestFollowingRedirects(const std::wstring& url, const std::wstring& headers,
                                       const std::wstring& tag) {
    UrlParts parts = crackUrl(url);
    HttpResponse response;
    response.session = openDownloadSession(url);
    response.url = url;
    // The machine's roots load while the first request is in flight: that first load is most
    // of what the first check of a server costs.
    // Without a thread, the check loads them itself.
    JoinedThread trustPreparation =
        parts.secure ? startThread(prepareMachineTrustThread, nullptr) : JoinedThread();
    bool securedYet = false;
    for (int redirects = 0;; ++redirects) {
        if (securedYet && !parts.secure) {
            // The URL is the server's own text: shown printably, like every echo from outside.
            throw std::runtime_error(kDowngradeMessage + toUtf8(printableText(response.url)));
        }
        securedYet = securedYet || parts.secure;
        response.request.reset();
        response.connection.reset(winHttp().connect(response.session.get(), parts.host.c_str(),
                                                    parts.port, 0 /* reserved */));
        checkLastError(static_cast<bool>(response.connection), "WinHttpConnect: ");
        response.request.reset(winHttp().openRequest(
            response.connection.get(), L"GET", parts.object.c_str(), nullptr /* default version */,
            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
            parts.secure ? WINHTTP_FLAG_SECURE : 0));
        checkLastError(static_cast<bool>(response.request), "WinHttpOpenRequest: ");
        sendAndReceive(response.request.get(), headers, redirects == 0, tag);
        // WinHTTP accepted the server's certificate; the machine must as well, before anything
        // the server said is acted on.
        trustPreparation.reset(); // waits for the roots to be loaded
        requireMachineTrustedServer(response.request.get(), response.url);

        response.status = statusOf(response.request.get());
        const std::optional<std::wstring> location =
            isRedirect(response.status)
                ? responseHeader(response.request.get(), WINHTTP_QUERY_LOCATION)
                : std::nullopt;
        if (!location) {
            return response;
        }
        check(redirects < kMostRedirects, "Máy chủ chuyển hướng quá nhiều lần.");
        response.url = resolveRedirect(response.url, *location);
        parts = crackUrl(response.url);
    }
}

std::optional<std::wstring> responseHeader(HINTERNET request, DWORD query) {
    DWORD size = 0;
    winHttp().queryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                           &size, WINHTTP_NO_HEADER_INDEX);
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) {
        return std::nullopt;
    }
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
    if (!winHttp().queryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                                WINHTTP_NO_HEADER_INDEX)) {
        return std::nullopt;
    }
    return std::wstring(text.data(), size / sizeof(wchar_t));
}

std::wstring resolveRedirect(const std::wstring& from, const std::wstring& location) {
    const std::wstring target = location.substr(0, location.find(L'#'));
    if (startsWithScheme(target)) {
        return target;
    }
    const std::size_t hostStart = from.find(L"://");
    const std::size_t pathStart =
        hostStart == std::wstring::npos ? 0 : from.find_first_of(L"/?", hostStart + 3);
    const std::wstring origin = from.substr(0, pathStart);
    const std::wstring withoutQuery = from.substr(0, from.find(L'?'));
    if (target.compare(0, 2, L"//") == 0) {
        return from.substr(0, hostStart + 1) + target;
    }
    if (target.empty() || target[0] == L'/') {
        return target.empty() ? from : origin + target;
    }
    if (target[0] == L'?') {
        return withoutQuery + target;
    }
    const std::size_t lastSlash = withoutQuery.rfind(L'/');
    const bool hasPath = pathStart != std::wstring::npos && lastSlash != std::wstring::npos &&
                         lastSlash >= pathStart && pathStart < withoutQuery.size();
    return (hasPath ? withoutQuery.substr(0, lastSlash + 1) : origin + L"/") + target;
}

} // namespace qv
