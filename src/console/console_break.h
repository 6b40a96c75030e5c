#pragma once
// Work that must not be cut in the middle (an update that lands whole or is put back) holds a
// ConsoleBreakDeferral. While it lives, Ctrl+C and Ctrl+Break are kept until the work is done
// and only then end the process, as they would have (unless the work failed: the failure then
// ends the run, reported as any other). Closing the console, logging off or shutting down asks
// the work to stop (consoleStopRequested) and waits until it has, as long as the system lets the
// process live: Windows ends it a few seconds after such a signal, whatever the handler does.

#include <windows.h>

namespace qv {

class ConsoleBreakDeferral {
public:
    using BreakAction = void (*)();
    // `onBreak` runs when the deferral ends after a kept break; by default the process ends
    // with the exit code Windows gives a process stopped by Ctrl+C.
    explicit ConsoleBreakDeferral(BreakAction onBreak = nullptr);
    ~ConsoleBreakDeferral();
    ConsoleBreakDeferral(const ConsoleBreakDeferral&) = delete;
    ConsoleBreakDeferral& operator=(const ConsoleBreakDeferral&) = delete;

private:
    BreakAction onBreak_;
    int exceptionsBefore_; // in flight when the deferral began
    bool registered_;
};

// Whether a close, log-off or shutdown signal came while the current deferral lives: the work
// should stop at its next step and undo what it did.
bool consoleStopRequested();

// The console control handler a deferral registers; exposed so that tests can call it as the
// system does, on a thread of its own.
BOOL WINAPI deferConsoleBreak(DWORD event);

} // namespace qv
