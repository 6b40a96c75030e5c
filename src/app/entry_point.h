#pragma once

namespace qv {

// True when an argument after the program's own path equals the flag, ignoring letter case.
bool hasFlag(int argc, const wchar_t* const* argv, const wchar_t* flag);

// The whole process: console set-up, COM, dispatch, error report, closing pause; returns the
// exit code (0 success, 1 failure).
int runEntryPoint(int argc, wchar_t** argv);

} // namespace qv
