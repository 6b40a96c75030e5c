#include "net/server_trust.h"

#include "net/crypt32_api.h"
#include "net/winhttp_api.h"

#include <wincrypt.h>

#include <stdexcept>

namespace qv {
namespace {

constexpr char kUntrusted[] = "Chứng chỉ máy chủ không được tin cậy trên máy này.";

// A chain that ends without reaching a root the machine trusts.
constexpr DWORD kNoMachineRoot = CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_UNTRUSTED_ROOT;

struct SecureHost {
    bool secure = false;
    std::wstring host;
};

// The scheme and host of url; throws kUntrusted when url cannot be read.
SecureHost hostOf(const std::wstring& url) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1); // a pointer into url, not a copy
    if (url.empty() ||
        !winHttp().crackUrl(url.c_str(), 0 /* up to the terminator */, 0 /* flags */, &parts)) {
        throw std::runtime_error(kUntrusted);
    }
    return {parts.nScheme == INTERNET_SCHEME_HTTPS,
            std::wstring(parts.lpszHostName, parts.dwHostNameLength)};
}

UniqueCertificate serverCertificate(HINTERNET request) {
    PCCERT_CONTEXT certificate = nullptr;
    DWORD size = sizeof(certificate);
    if (!winHttp().queryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size)) {
        return UniqueCertificate();
    }
    return UniqueCertificate(certificate);
}

// The chain for server authentication, built by the machine's engine from the machine's stores
// and the certificates the server sent along.
UniqueCertificateChain machineChain(PCCERT_CONTEXT certificate) {
    LPSTR serverAuthentication[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof(parameters);
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = serverAuthentication;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!crypt32().getCertificateChain(HCCE_LOCAL_MACHINE, certificate, nullptr /* now */,
                                       certificate->hCertStore, &parameters, 0 /* flags */,
                                       nullptr /* reserved */, &chain)) {
        return UniqueCertificateChain();
    }
    return UniqueCertificateChain(chain);
}

// The SSL policy's error for the chain and host; revocation is not asked for (WinHTTP, which
// the download leaves at its default, does not ask either), so its status being unknown is no
// reason to refuse.
DWORD sslPolicyError(PCCERT_CHAIN_CONTEXT chain, const std::wstring& host) {
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof(ssl);
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = const_cast<wchar_t*>(host.c_str());
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof(policy);
    policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof(status);
    if (!crypt32().verifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
        return static_cast<DWORD>(CERT_E_UNTRUSTEDROOT); // no policy result: not passed
    }
    return status.dwError;
}

} // namespace

void prepareMachineTrust() noexcept {
    try {
        const HCERTSTORE roots = crypt32().openStore(
            CERT_STORE_PROV_SYSTEM_W, 0 /* encoding */, 0 /* default provider */,
            CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, L"Root");
        if (roots != nullptr) {
            crypt32().closeStore(roots, 0 /* flags */);
        }
    } catch (...) {
        // Nothing prepared: the check itself loads what it needs, and reports what fails.
    }
}

bool machineAcceptsChain(DWORD chainErrorStatus, DWORD policyError) {
    return policyError == 0 && (chainErrorStatus & kNoMachineRoot) == 0;
}

void requireMachineTrustedServer(HINTERNET request, const std::wstring& responseUrl) {
    const SecureHost where = hostOf(responseUrl);
    if (!where.secure) {
        return;
    }
    const UniqueCertificate certificate = serverCertificate(request);
    const UniqueCertificateChain chain =
        certificate ? machineChain(certificate.get()) : UniqueCertificateChain();
    const bool trusted = chain && machineAcceptsChain(chain.get()->TrustStatus.dwErrorStatus,
                                                      sslPolicyError(chain.get(), where.host));
    if (!trusted) {
        throw std::runtime_error(kUntrusted);
    }
}

} // namespace qv
