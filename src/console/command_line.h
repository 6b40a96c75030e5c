#pragma once

namespace qv {

// True when an argument after the program's own path equals the flag, ignoring letter case.
bool hasFlag(int argc, const wchar_t* const* argv, const wchar_t* flag);

} // namespace qv
