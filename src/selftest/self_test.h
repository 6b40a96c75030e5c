#pragma once

namespace qv {

// The acceptance self-tests selected by "--self-test"; returns 0, throws at the first failure.
int runSelfTests(int argc, const wchar_t* const* argv);

} // namespace qv
