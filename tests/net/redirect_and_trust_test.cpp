#include "net/http_response.h"
#include "net/server_trust.h"

#include "core/errors.h"
#include "net/download.h"
#include "net/release_fixture.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <string>

namespace qv::test {
namespace {

// The machine trusts a chain that the SSL policy passes and that reaches one of its roots;
// status bits the policy weighs itself do not refuse a chain the policy passed.
TEST(MachineTrust, PolicyResultAndAMachineRootDecide) {
    const struct {
        const char* label;
        DWORD chainStatus;
        DWORD policyError;
        bool accepted;
    } rows[] = {
        {"clean", 0, 0, true},
        {"policy passes a partial chain", CERT_TRUST_IS_PARTIAL_CHAIN, 0, false},
        {"policy passes an untrusted root", CERT_TRUST_IS_UNTRUSTED_ROOT, 0, false},
        {"both, with revocation unknown",
         CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_REVOCATION_STATUS_UNKNOWN, 0, false},
        {"name constraints the policy accepts",
         CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT | CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT, 0,
         true},
        {"revocation unknown",
         CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION, 0, true},
        {"clean chain, wrong host", 0, static_cast<DWORD>(CERT_E_CN_NO_MATCH), false},
        {"expired", CERT_TRUST_IS_NOT_TIME_VALID, static_cast<DWORD>(CERT_E_EXPIRED), false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(machineAcceptsChain(row.chainStatus, row.policyError), row.accepted) << row.label;
    }
}

// Where a Location leads, from the URL that sent it.
TEST(RedirectLocation, ResolvesAgainstTheUrlThatSentIt) {
    const std::wstring from = L"https://a.example:8443/d/e/f.zip?x=1";
    const struct {
        const wchar_t* location;
        const wchar_t* resolved;
    } rows[] = {
        {L"https://b.example/g.zip", L"https://b.example/g.zip"},
        {L"HTTP://b.example/g.zip#part", L"HTTP://b.example/g.zip"},
        {L"//c.example/h", L"https://c.example/h"},
        {L"/i/j?y=2", L"https://a.example:8443/i/j?y=2"},
        {L"?y=2", L"https://a.example:8443/d/e/f.zip?y=2"},
        {L"k.zip", L"https://a.example:8443/d/e/k.zip"},
        {L"../k.zip?z", L"https://a.example:8443/d/e/../k.zip?z"},
        {L"a:b/c", L"a:b/c"}, // a scheme: not for a download, refused when it is read
        {L"", from.c_str()},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(resolveRedirect(from, row.location), row.resolved) << toUtf8(row.location);
    }
    EXPECT_EQ(resolveRedirect(L"http://h:1", L"k"), L"http://h:1/k");
    EXPECT_EQ(resolveRedirect(L"http://h:1?q/r", L"k"), L"http://h:1/k");
}

// ---- Servers the machine must trust, on every hop ----

// Only TLS 1.2 and later, and only servers the machine trusts: a server that offers nothing
// newer than TLS 1.0 or 1.1 fails the attempt in the secure channel, and one whose certificate
// chains to a root that only the user's store trusts (WinHTTP accepts it) is refused wherever
// it stands in a chain of redirects, even when the server at the end is trusted; both before
// anything is written.
TEST_F(ReleaseServerTest, ServersOfferingOldTlsOrAUserOnlyRootFailBeforeAnythingIsWritten) {
    const std::string body = patternBytes(64 * 1024, 12);
    const std::wstring path = publish("tls.bin", body);
    const std::string secureChannel =
        "WinHttpSendRequest: " + windowsErrorText(ERROR_WINHTTP_SECURE_CHANNEL_ERROR);
    const std::string untrusted = "Chứng chỉ máy chủ không được tin cậy trên máy này.";
    const std::wstring userRootBase = environmentText(L"QUORVALENT_TEST_USER_ROOT_BASE");
    const std::wstring userRoot = userRootBase + path;
    const struct {
        std::wstring url;
        std::string failure; // empty: delivers
    } rows[] = {
        {environmentText(L"QUORVALENT_TEST_TLS1_0_BASE") + path, secureChannel},
        {environmentText(L"QUORVALENT_TEST_TLS1_1_BASE") + path, secureChannel},
        {userRoot, untrusted},
        {httpsUrl(L"/redirect/https" + path + L"?location=" + userRoot), untrusted},
        {httpUrl(L"/redirect/https" + path + L"?location=" + userRoot), untrusted},
        {userRootBase + L"/redirect/https" + path + L"?location=" + httpsUrl(path), untrusted},
        {httpsUrl(L"/redirect/https" + path + L"?location=" + userRootBase + L"/redirect/https" +
                  path + L"?location=" + httpsUrl(path)),
         untrusted},
        {httpsUrl(path), ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(toUtf8(row.url));
        ASSERT_NE(row.url.find(L"://"), std::wstring::npos) << "a server base is missing";
        if (row.failure.empty()) {
            downloadFile(row.url, target(), kNetTag);
            EXPECT_TRUE(sameBytes(readFile(target()), body));
        } else {
            EXPECT_EQ(downloadFailure(row.url, target()), row.failure);
            EXPECT_FALSE(std::filesystem::exists(target()));
            EXPECT_FALSE(std::filesystem::exists(partial()));
        }
    }
    // Only the delivering row got as far as the response line, and it did.
    const std::wstring out = console_.out();
    const std::size_t answered = out.find(L"Máy chủ phản hồi");
    EXPECT_NE(answered, std::wstring::npos);
    EXPECT_EQ(out.find(L"Máy chủ phản hồi", answered + 1), std::wstring::npos) << toUtf8(out);
}

// ---- Redirects ----

TEST_F(ReleaseServerTest, RedirectsThatKeepOrGainSecurityAreFollowed) {
    const std::string body = patternBytes(200 * 1024, 5);
    const std::wstring path = publish("moved.bin", body);
    for (const std::wstring& url :
         {httpsUrl(L"/redirect/https" + path),
          httpsUrl(L"/redirect/https" + path + L"?redirect=301"),
          httpsUrl(L"/redirect/https" + path + L"?redirect=307"),
          httpUrl(L"/redirect/https" + path), httpUrl(L"/redirect/http" + path),
          httpsUrl(L"/redirect/https" + path + L"?redirect=308&hops=10"),
          httpsUrl(L"/redirect/https" + path + L"?redirect=303&location=" + path),
          httpsUrl(L"/redirect/https/elsewhere?location=" + path.substr(1)),
          httpsUrl(L"/redirect/https" + path + L"?location=//" +
                   httpsUrl(path).substr(httpsUrl(L"").find(L"//") + 2))}) {
        SCOPED_TRACE(toUtf8(url));
        downloadFile(url, target(), kNetTag);
        EXPECT_TRUE(sameBytes(readFile(target()), body));
        std::filesystem::remove(target());
    }
    EXPECT_EQ(downloadFailure(httpsUrl(L"/redirect/https" + path + L"?hops=11"), target()),
              "Máy chủ chuyển hướng quá nhiều lần.");
    EXPECT_FALSE(std::filesystem::exists(partial()));
}

TEST_F(ReleaseServerTest, RedirectFromHttpsToHttpIsRefusedBeforeAnyByteIsWritten) {
    const std::wstring path = publish("downgrade.bin", patternBytes(200 * 1024, 6));
    writeBytes(target(), "earlier package");
    const std::string prefix = "Đã chặn chuyển hướng không an toàn từ HTTPS sang HTTP: ";
    const std::string plainUrl = toUtf8(httpBase()) + toUtf8(path);

    EXPECT_EQ(downloadFailure(httpsUrl(L"/redirect/http" + path), target()), prefix + plainUrl);
    // The downgrade further down a chain of https redirects is caught as well.
    EXPECT_EQ(downloadFailure(httpsUrl(L"/redirect/https/redirect/http" + path), target()),
              prefix + plainUrl);
    // The URL is the server's text: control characters in it are shown, not obeyed.
    EXPECT_EQ(downloadFailure(httpsUrl(L"/redirect/http" + path + L"?location=" + httpBase() +
                                       L"/%1B%5B2J%07x%7F"),
                              target()),
              prefix + toUtf8(httpBase()) + "/\\x1B[2J\\x07x\\x7F");
    EXPECT_EQ(readFile(target()), "earlier package");
    EXPECT_FALSE(std::filesystem::exists(partial()));
    EXPECT_EQ(console_.out().find(L"Máy chủ phản hồi"), std::wstring::npos);
}

} // namespace
} // namespace qv::test
