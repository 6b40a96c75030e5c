#include "console/session_window.h"

namespace qv {
namespace {

const wchar_t kClassName[] = L"QuorvalentInstallerNativeSession";

LRESULT CALLBACK sessionWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
    }
    if (message == WM_QUERYENDSESSION || message == WM_ENDSESSION) {
        const auto answer =
            reinterpret_cast<SessionWindow::Answer>(::GetWindowLongPtrW(window, GWLP_USERDATA));
        if (answer != nullptr) {
            return answer(window, message, wParam);
        }
    }
    if (message == WM_DESTROY) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

bool registerClass() {
    static const bool registered = [] {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = sessionWindowProcedure;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kClassName;
        return ::RegisterClassW(&windowClass) != 0;
    }();
    return registered;
}

} // namespace

SessionWindow::SessionWindow(Answer answer)
    : answer_(answer), ready_(::CreateEventW(nullptr /* security */, TRUE /* manual */,
                                             FALSE /* not set */, nullptr /* unnamed */)) {
    if (!ready_ || !registerClass()) {
        return;
    }
    thread_ = startThread(run, this);
    if (thread_) {
        ::WaitForSingleObject(ready_.get(), INFINITE);
    }
}

SessionWindow::~SessionWindow() {
    if (window_ != nullptr) {
        ::PostMessageW(window_, WM_CLOSE, 0, 0);
    }
    thread_.reset(); // once the window is gone
}

DWORD WINAPI SessionWindow::run(void* self) {
    auto* owner = static_cast<SessionWindow*>(self);
    // Top-level and hidden: a message-only window would hear nothing of the session.
    const HWND window =
        ::CreateWindowExW(0 /* no extended style */, kClassName, L"Quorvalent", WS_OVERLAPPED, 0, 0,
                          0, 0, nullptr /* no parent */, nullptr /* no menu */,
                          ::GetModuleHandleW(nullptr), reinterpret_cast<void*>(owner->answer_));
    owner->window_ = window;
    ::SetEvent(owner->ready_.get());
    if (window == nullptr) {
        return 0;
    }
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::DispatchMessageW(&message);
    }
    return 0;
}

} // namespace qv
