#pragma once
// Whether the machine, not only the signed-in user, trusts the server a download talks to.
// WinHTTP checks the server's certificate with the current user's chain engine, which also
// trusts roots from the user's own store: any unelevated program of the user can add one
// there, name a proxy in the user's settings and serve its own packages to the elevated run
// over "verified" HTTPS. The machine's root store takes an administrator to change.

#include <windows.h>
#include <winhttp.h>

#include <string>

namespace qv {

// Once WinHTTP has received the response to request, which was sent to responseUrl (no redirect
// followed): for an https URL, builds the chain of the certificate the server presented with the
// machine's chain engine and checks it with the SSL policy for the URL's host. Throws "Chứng chỉ
// máy chủ không được tin cậy trên máy này." unless machineAcceptsChain says so, and also when the
// certificate cannot be read or the URL cannot be understood. Plain http URLs pass.
void requireMachineTrustedServer(HINTERNET request, const std::wstring& responseUrl);

// Loads what the machine's chain engine reads first (crypt32, the machine's root store), so that
// the first check need not wait for it; meant to run beside a request in flight. Never throws.
void prepareMachineTrust() noexcept;

// The judgement on a chain the machine's engine built: the SSL policy passed (policyError 0)
// and the chain reaches one of the machine's roots. The policy alone is not enough, since some
// systems' policy passes a chain that stops short of any root; other status bits (such as name
// constraints the policy accepts) are the policy's to weigh.
bool machineAcceptsChain(DWORD chainErrorStatus, DWORD policyError);

} // namespace qv
