#include "console/console_break.h"

#include <atomic>
#include <exception>

namespace qv {
namespace {

std::atomic<bool> g_deferring{false};
std::atomic<bool> g_breakKept{false};
std::atomic<bool> g_stopRequested{false};

// Set while no deferral lives: a handler that waits for the work finds it done.
HANDLE workDone() {
    static const HANDLE event = ::CreateEventW(nullptr /* security */, TRUE /* manual */,
                                               TRUE /* set */, nullptr /* unnamed */);
    return event;
}

void endAsCtrlCWould() {
    ::ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

// Asks the work to stop and returns once it has (or the system ends the process first).
void stopTheWorkAndWait() {
    g_stopRequested = true;
    ::WaitForSingleObject(workDone(), INFINITE);
}

LRESULT answerTheSession(HWND window, UINT message, WPARAM wParam) {
    return deferSessionEnd(window, message, wParam,
                           {::ShutdownBlockReasonCreate, ::ShutdownBlockReasonDestroy});
}

} // namespace

BOOL WINAPI deferConsoleBreak(DWORD event) {
    if (!g_deferring) {
        return FALSE; // the next handler, or the system's, decides
    }
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        g_breakKept = true;
        return TRUE;
    }
    // Closing, logging off, shutting down: the process ends once a handler returns, so this
    // one asks the work to stop and returns when it has stopped (or the system ends the process
    // first).
    stopTheWorkAndWait();
    return FALSE;
}

LRESULT deferSessionEnd(HWND window, UINT message, WPARAM wParam, const BlockReasonCalls& calls) {
    if (message == WM_QUERYENDSESSION) {
        if (!g_deferring) {
            calls.destroy(window);
            return TRUE;
        }
        calls.create(window, L"Đang cài đặt Quorvalent, vui lòng chờ...");
        return FALSE;
    }
    // The session ends (wParam TRUE) even though this window asked it to wait: the user chose
    // to, or the system forced it.
    if (message == WM_ENDSESSION && wParam != FALSE && g_deferring) {
        stopTheWorkAndWait();
    }
    return 0;
}

bool consoleStopRequested() {
    return g_stopRequested;
}

ConsoleBreakDeferral::ConsoleBreakDeferral(BreakAction onBreak)
    : onBreak_(onBreak != nullptr ? onBreak : endAsCtrlCWould),
      exceptionsBefore_(std::uncaught_exceptions()) {
    g_breakKept = false;
    g_stopRequested = false;
    if (const HANDLE done = workDone()) {
        ::ResetEvent(done);
    }
    g_deferring = true;
    registered_ = ::SetConsoleCtrlHandler(deferConsoleBreak, TRUE) != FALSE;
    window_.emplace(answerTheSession);
}

ConsoleBreakDeferral::~ConsoleBreakDeferral() {
    g_deferring = false;
    if (const HANDLE done = workDone()) {
        ::SetEvent(done);
    }
    if (registered_) {
        ::SetConsoleCtrlHandler(deferConsoleBreak, FALSE);
    }
    // Left by a failure, the run is ending anyway: it reports the failure (which may name where
    // the old copies are kept) instead of being cut short before it can.
    if (g_breakKept.exchange(false) && std::uncaught_exceptions() <= exceptionsBefore_) {
        onBreak_();
    }
}

} // namespace qv
