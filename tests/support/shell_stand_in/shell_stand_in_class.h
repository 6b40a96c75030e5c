#pragma once
// The class under which the tests' Shell stand-in is registered in the test prefix, in place
// of the system's Shell.Application. Shared by the stand-in and the tests that check it.

#include <windows.h>

namespace qv::test {

// {14E310E1-8465-42AE-A643-65C162755415}
inline constexpr CLSID kShellStandInClass = {
    0x14e310e1, 0x8465, 0x42ae, {0xa6, 0x43, 0x65, 0xc1, 0x62, 0x75, 0x54, 0x15}};

// How CopyHere behaves, read from the process environment at every call so each test can
// choose: "instant" (default), "background", "fail", "fail-bare", "short", "renamed" (the last
// file lands under another name), "late" (the last file first holds zeros of its full length,
// its bytes come after the delay), "wrong-byte" (the last file lands with its first byte
// changed, for good).
inline constexpr wchar_t kModeVariable[] = L"QUORVALENT_SHELL_STAND_IN";
// Milliseconds the background mode waits after each file, and the late mode before the last
// file's bytes (default 100).
inline constexpr wchar_t kDelayVariable[] = L"QUORVALENT_SHELL_STAND_IN_DELAY_MS";
// The EXCEPINFO description of the "fail" mode.
inline constexpr wchar_t kFailureVariable[] = L"QUORVALENT_SHELL_STAND_IN_ERROR";

} // namespace qv::test
