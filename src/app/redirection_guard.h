#pragma once

namespace qv {

// Asks Windows to refuse, for every path this process opens, junctions that were made by a
// non-administrator (the redirection trust mitigation of Windows 10 22H2 and Windows 11). The
// installer runs elevated and writes where unelevated programs can create folders: this stops a
// planted junction at the system's level too, on every path. Where Windows lacks the call or
// the policy, nothing happens. Never throws.
void enableRedirectionGuard() noexcept;

} // namespace qv
