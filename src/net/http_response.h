#pragma once
// One GET, redirects followed here rather than inside WinHTTP, so that every server on the way
// is judged before its answer is acted on and every hop carries the same request headers.

#include "net/winhttp_handle.h"

#include <windows.h>
#include <winhttp.h>

#include <optional>
#include <string>

namespace qv {

// The answer that is not a redirect, with the handles its body is read through. Members are
// closed in reverse order: request, connection, session.
struct HttpResponse {
    UniqueWinHttpHandle session;
    UniqueWinHttpHandle connection;
    UniqueWinHttpHandle request;
    std::wstring url; // whose server answered
    DWORD status = 0;
};

// GETs url with the request headers (may be empty), following up to 10 redirects (301, 302,
// 303, 307, 308 with a Location). Prints the "connecting" and "sent" lines of the first request
// under tag. Each https server, the first and every one a redirect leads to, must be trusted
// by the machine (net/server_trust.h) before its answer is acted on; once an https server has
// answered, a redirect to plain http is refused before that server is contacted. Throws
// "URL tải xuống không hợp lệ." for a URL (or Location) that cannot be read, "Đã chặn chuyển
// hướng không an toàn từ HTTPS sang HTTP: " + the URL, "Máy chủ chuyển hướng quá nhiều lần."
// past the tenth redirect, and "<WinHTTP call>: " + the system's text.
HttpResponse requestFollowingRedirects(const std::wstring& url, const std::wstring& headers,
                                       const std::wstring& tag);

// A response header's text; nothing when the response has none.
std::optional<std::wstring> responseHeader(HINTERNET request, DWORD query);

// Where a Location leads from the URL that sent it: an absolute URL as it is; "//host/...",
// "/path", "?query" and a relative path against from. A fragment is dropped.
std::wstring resolveRedirect(const std::wstring& from, const std::wstring& location);

} // namespace qv
