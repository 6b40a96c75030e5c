#pragma once

namespace qv {

// A normal installation run, steps 1 to 10; returns 0, throws on any failure.
int runInstaller();

} // namespace qv
