#include "app/redirection_guard.h"

#include "core/system_library.h"

#include <windows.h>

namespace qv {
namespace {

// PROCESS_MITIGATION_POLICY's ProcessRedirectionTrustPolicy and the policy's record; older
// headers lack both.
constexpr int kRedirectionTrustPolicy = 16;
constexpr DWORD kEnforceRedirectionTrust = 0x1;
struct RedirectionTrustPolicy {
    DWORD flags;
};

using SetProcessMitigationPolicyFunction = BOOL(WINAPI*)(int policy, PVOID buffer, SIZE_T length);

} // namespace

void enableRedirectionGuard() noexcept {
    // Windows 8 and later; looked up so that the program still starts where it is missing.
    const auto setPolicy = systemFunction<SetProcessMitigationPolicyFunction>(
        L"kernel32.dll", "SetProcessMitigationPolicy");
    if (setPolicy == nullptr) {
        return;
    }
    RedirectionTrustPolicy policy{kEnforceRedirectionTrust};
    // Older systems refuse the unknown policy (ERROR_INVALID_PARAMETER): they run without it.
    setPolicy(kRedirectionTrustPolicy, &policy, sizeof(policy));
}

} // namespace qv
