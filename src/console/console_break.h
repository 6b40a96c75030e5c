#pragma once
// Work that must not be cut in the middle (an update that lands whole or is put back) holds a
// ConsoleBreakDeferral. While it lives, Ctrl+C and Ctrl+Break are kept until the work is done
// and only then end the process, as they would have (unless the work failed: the failure then
// ends the run, reported as any other). Closing the console, logging off or shutting down asks
// the work to stop (consoleStopRequested) and waits until it has, as long as the system lets the
// process live: Windows ends it a few seconds after such a signal, whatever the handler does.
// A log-off or shutdown reaches this program only through its hidden session window, which
// the deferral keeps: the window refuses the session's end, naming why, and where the system
// ends the session anyway, asks the work to stop and answers once it has.

#include "console/session_window.h"

#include <windows.h>

#include <optional>

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
    std::optional<SessionWindow> window_; // made once deferring, closed once no longer
};

// Whether a close, log-off or shutdown signal came while the current deferral lives: the work
// should stop at its next step and undo what it did.
bool consoleStopRequested();

// The console control handler a deferral registers; exposed so that tests can call it as the
// system does, on a thread of its own.
BOOL WINAPI deferConsoleBreak(DWORD event);

// The calls that name why the session must wait, and take that back (ShutdownBlockReasonCreate
// and ShutdownBlockReasonDestroy), as parameters so that tests can watch them.
struct BlockReasonCalls {
    BOOL(WINAPI* create)(HWND window, LPCWSTR reason);
    BOOL(WINAPI* destroy)(HWND window);
};

// The session window's answer to WM_QUERYENDSESSION and WM_ENDSESSION, called on the window's
// thread. While a deferral lives, the session's end is refused, with the reason "Đang cài đặt
// Quorvalent, vui lòng chờ..."; if it ends anyway (WM_ENDSESSION with wParam TRUE), the work is
// asked to stop and the answer returns once it has, after which Windows ends the process.
// Otherwise the session may end, and no reason is left.
LRESULT deferSessionEnd(HWND window, UINT message, WPARAM wParam, const BlockReasonCalls& calls);

} // namespace qv
