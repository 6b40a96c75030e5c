#include "net/http_session.h"

#include "core/errors.h"
#include "net/winhttp_api.h"

#include <windows.h>
#include <winhttp.h>

#include <optional>
#include <stdexcept>

namespace qv {
namespace {

constexpr wchar_t kUserAgent[] = L"Quorvalent-Installer-Native/1.3";
constexpr int kResolveTimeoutMs = 30000;
constexpr int kConnectTimeoutMs = 30000;
constexpr int kSendTimeoutMs = 30000;
constexpr int kReceiveTimeoutMs = 1800000;

// Text that WinHTTP allocated for the caller with GlobalAlloc.
inline void freeGlobalText(wchar_t* text) {
    ::GlobalFree(text);
}
using GlobalText = UniqueResource<wchar_t*, freeGlobalText>;

struct ProxyChoice {
    DWORD accessType = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    std::wstring proxy;
    std::wstring bypass;
};

ProxyChoice namedProxy(const wchar_t* proxy, const wchar_t* bypass) {
    return {WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy, bypass != nullptr ? bypass : L""};
}

// The configuration script runs in WinHTTP's own service, not inside this elevated process,
// where Windows offers that (Windows 8 and later); where the flag is refused, it runs where
// Windows runs it.
bool askProxyForUrl(HINTERNET resolver, const std::wstring& url, WINHTTP_AUTOPROXY_OPTIONS options,
                    WINHTTP_PROXY_INFO& info) {
    options.dwFlags |= WINHTTP_AUTOPROXY_RUN_OUTPROCESS_ONLY;
    if (winHttp().getProxyForUrl(resolver, url.c_str(), &options, &info)) {
        return true;
    }
    if (::GetLastError() != ERROR_INVALID_PARAMETER) {
        return false;
    }
    options.dwFlags &= ~WINHTTP_AUTOPROXY_RUN_OUTPROCESS_ONLY;
    return winHttp().getProxyForUrl(resolver, url.c_str(), &options, &info) != FALSE;
}

// What an automatic configuration (detection, a script, or both) says for url; nothing when it
// cannot be resolved.
std::optional<ProxyChoice> resolveAutomaticProxy(const std::wstring& url, bool autoDetect,
                                                 const wchar_t* scriptUrl) {
    const UniqueWinHttpHandle resolver(winHttp().open(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY,
                                                      WINHTTP_NO_PROXY_NAME,
                                                      WINHTTP_NO_PROXY_BYPASS, 0 /* sync */));
    if (!resolver) {
        return std::nullopt;
    }
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (autoDetect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (scriptUrl != nullptr) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = scriptUrl;
    }
    WINHTTP_PROXY_INFO info{};
    bool resolved = askProxyForUrl(resolver.get(), url, options, info);
    // The person's logon is offered only when the script's server asks for one, and only to the
    // server of a script the person named: one that detection found may be anybody's on the
    // local network.
    if (!resolved && ::GetLastError() == ERROR_WINHTTP_LOGIN_FAILURE && scriptUrl != nullptr) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.dwAutoDetectFlags = 0;
        options.fAutoLogonIfChallenged = TRUE;
        resolved = askProxyForUrl(resolver.get(), url, options, info);
    }
    if (!resolved) {
        return std::nullopt;
    }
    const GlobalText proxy(info.lpszProxy);
    const GlobalText bypass(info.lpszProxyBypass);
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && proxy) {
        return namedProxy(proxy.get(), bypass.get());
    }
    return ProxyChoice{WINHTTP_ACCESS_TYPE_NO_PROXY, {}, {}}; // the configuration says direct
}

// Detection can take seconds, and every package comes from the same release location: the
// first answer, or its absence, serves the whole run.
const std::optional<ProxyChoice>& automaticProxy(const std::wstring& url, bool autoDetect,
                                                 const wchar_t* scriptUrl) {
    static const std::optional<ProxyChoice> resolved =
        resolveAutomaticProxy(url, autoDetect, scriptUrl);
    return resolved;
}

ProxyChoice personsProxy(const std::wstring& url) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings{};
    if (!winHttp().getIEProxyConfigForCurrentUser(&settings)) {
        return {};
    }
    const GlobalText scriptUrl(settings.lpszAutoConfigUrl);
    const GlobalText proxy(settings.lpszProxy);
    const GlobalText bypass(settings.lpszProxyBypass);
    if (settings.fAutoDetect || scriptUrl) {
        const std::optional<ProxyChoice>& resolved =
            automaticProxy(url, settings.fAutoDetect != FALSE, scriptUrl.get());
        if (resolved) {
            return *resolved;
        }
    }
    if (proxy && *proxy.get() != L'\0') {
        return namedProxy(proxy.get(), bypass.get());
    }
    return {}; // the machine's WinHTTP setting
}

const wchar_t* textOrNull(const std::wstring& text) {
    return text.empty() ? nullptr : text.c_str();
}

// TLS 1.2 and 1.3; TLS 1.2 alone where 1.3 is unknown; the system's own choice where neither
// can be set (there, servers that insist on TLS 1.2 fail the attempt).
void requireModernTls(HINTERNET session) {
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (winHttp().setOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                            sizeof(protocols))) {
        return;
    }
    protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    winHttp().setOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols));
}

} // namespace

UniqueWinHttpHandle openDownloadSession(const std::wstring& url) {
    const ProxyChoice proxy = personsProxy(url);
    UniqueWinHttpHandle session(winHttp().open(kUserAgent, proxy.accessType,
                                               textOrNull(proxy.proxy), textOrNull(proxy.bypass),
                                               0 /* synchronous */));
    checkLastError(static_cast<bool>(session), "WinHttpOpen: ");
    requireModernTls(session.get());
    winHttp().setTimeouts(session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                          kReceiveTimeoutMs);
    return session;
}

} // namespace qv
