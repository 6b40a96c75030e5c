#pragma once

namespace qv {

// The whole process: console set-up, COM, dispatch, error report, closing pause; returns the
// exit code (0 success, 1 failure).
int runEntryPoint(int argc, wchar_t** argv);

} // namespace qv
