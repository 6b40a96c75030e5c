#include "net/http_response.h"
#include "net/server_trust.h"

#include "core/errors.h"

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

} // namespace
} // namespace qv::test
