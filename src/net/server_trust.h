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

// Once WinHTTP has received the response to request, whose last URL was responseUrl: for an
// https URL, builds the chain of the certificate the server presented with the machine's chain
// engine and checks it with the SSL policy for the URL's host. Throws "Chứng chỉ máy chủ không
// được tin cậy trên máy này." unless both the chain's trust status (revocation status unknown
// aside) and the policy's status are clean, and also when the certificate cannot be read or the
// URL cannot be understood. Plain http URLs pass.
void requireMachineTrustedServer(HINTERNET request, const std::wstring& responseUrl);

} // namespace qv
