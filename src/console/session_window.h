#pragma once
// A console program that loads user32 (this one does, through ole32 and shell32) is told of a
// log-off or shutdown only through a top-level window: Windows sends it no console event then.
// A SessionWindow is such a window, hidden, with a thread of its own to hear the session's end
// while the process's own thread works.

#include "core/guards.h"

#include <windows.h>

namespace qv {

class SessionWindow {
public:
    using Answer = LRESULT (*)(HWND window, UINT message, WPARAM wParam);

    // Makes the window and waits until it can hear messages; `answer` answers
    // WM_QUERYENDSESSION and WM_ENDSESSION on the window's thread. Where the system gives no
    // window (no desktop, no display), there is none and nothing else changes.
    explicit SessionWindow(Answer answer);
    ~SessionWindow(); // the window closed, its thread ended
    SessionWindow(const SessionWindow&) = delete;
    SessionWindow& operator=(const SessionWindow&) = delete;

    HWND handle() const { return window_; }

private:
    static DWORD WINAPI run(void* self);

    Answer answer_;
    HWND window_ = nullptr;
    UniqueResource<HANDLE, closeKernelHandle> ready_;
    JoinedThread thread_;
};

} // namespace qv
