#pragma once
// The one message pump. A thread that created windows or entered a COM apartment must deliver
// what is sent or posted to it while it waits: the Shell's own windows and COM calls back into
// the apartment need it, and a setup program that broadcasts a message waits for every
// top-level window to answer.

namespace qv {

// Dispatches every message waiting for this thread, then returns.
void pumpThreadMessages() noexcept;

} // namespace qv
