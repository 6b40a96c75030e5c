#pragma once
// The WinHTTP session a download attempt runs in: TLS 1.2 or later where the system allows it,
// and the proxy that the person's own settings name.

#include "net/winhttp_handle.h"

#include <string>

namespace qv {

// A synchronous session for fetching url, with the download's time limits. The proxy comes
// from the person's settings: an automatic configuration (resolved once per run), else a named
// proxy with its bypass list, else the machine's WinHTTP setting. Throws "WinHttpOpen: " + the
// system's text when no session can be opened.
UniqueWinHttpHandle openDownloadSession(const std::wstring& url);

} // namespace qv
