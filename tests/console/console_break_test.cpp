#include "console/console_break.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qv {
namespace {

int g_breaks = 0;

DWORD WINAPI deliver(void* event) {
    return static_cast<DWORD>(
        deferConsoleBreak(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(event))));
}

// A handler that waits first asks the work to stop, then cannot return before the work ends:
// the request is awaited as an event, and the thread must then stay held (a handler that does
// not wait would have returned). One that does not wait returns, however slow the machine.
void expectHeldOrReturned(HANDLE thread, bool waits) {
    if (!waits) {
        EXPECT_EQ(::WaitForSingleObject(thread, 60000), static_cast<DWORD>(WAIT_OBJECT_0));
        return;
    }
    for (int i = 0; i < 12000 && !consoleStopRequested(); ++i) {
        ::Sleep(5);
    }
    EXPECT_TRUE(consoleStopRequested()) << "the work was never asked to stop";
    EXPECT_EQ(::WaitForSingleObject(thread, 300), static_cast<DWORD>(WAIT_TIMEOUT));
}

// The system calls the handler on a thread of its own; so does this test.
TEST(ConsoleBreakDeferral, KeepsBreaksUntilTheWorkIsDoneAndHoldsACloseUntilThen) {
    const struct {
        const char* label;
        DWORD event;
        bool waits;     // returns only once the work is done (and then lets the process end);
                        // otherwise the break is kept and ends the process after the work
        bool workFails; // then the failure ends the run, and is reported first
    } cases[] = {
        {"Ctrl+C", CTRL_C_EVENT, false, false},
        {"Ctrl+Break", CTRL_BREAK_EVENT, false, false},
        {"Ctrl+C, and the work fails", CTRL_C_EVENT, false, true},
        {"the console closed", CTRL_CLOSE_EVENT, true, false},
        {"logging off", CTRL_LOGOFF_EVENT, true, false},
        {"shutting down", CTRL_SHUTDOWN_EVENT, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        g_breaks = 0;
        HANDLE thread = nullptr;
        try {
            const ConsoleBreakDeferral deferral([] { ++g_breaks; });
            thread =
                ::CreateThread(nullptr, 0, deliver,
                               reinterpret_cast<void*>(static_cast<UINT_PTR>(c.event)), 0, nullptr);
            ASSERT_NE(thread, nullptr);
            expectHeldOrReturned(thread, c.waits);
            EXPECT_EQ(g_breaks, 0) << "the work was cut";
            // A close asks the work to stop at its next step (and put back what it did); a
            // break lets it run to its end.
            EXPECT_EQ(consoleStopRequested(), c.waits);
            if (c.workFails) {
                throw std::runtime_error("Không sao chép được");
            }
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(g_breaks, c.waits || c.workFails ? 0 : 1);
        EXPECT_EQ(::WaitForSingleObject(thread, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
        DWORD handled = 2;
        ::GetExitCodeThread(thread, &handled);
        EXPECT_EQ(handled, static_cast<DWORD>(c.waits ? FALSE : TRUE));
        ::CloseHandle(thread);
    }
    // The next piece of work starts unasked.
    {
        const ConsoleBreakDeferral deferral;
        EXPECT_FALSE(consoleStopRequested());
    }
    // Outside the work, every event goes on to the system's handler.
    EXPECT_FALSE(deferConsoleBreak(CTRL_C_EVENT));
    EXPECT_FALSE(deferConsoleBreak(CTRL_CLOSE_EVENT));
}

std::vector<std::wstring> g_reasons; // given, in order
int g_reasonsTakenBack = 0;

BOOL WINAPI giveReason(HWND, LPCWSTR reason) {
    g_reasons.emplace_back(reason);
    return TRUE;
}

BOOL WINAPI takeReasonBack(HWND) {
    ++g_reasonsTakenBack;
    return TRUE;
}

struct SessionMessage {
    UINT message;
    WPARAM wParam;
};

DWORD WINAPI deliverToSessionWindow(void* message) {
    const auto* sent = static_cast<const SessionMessage*>(message);
    return static_cast<DWORD>(
        deferSessionEnd(nullptr, sent->message, sent->wParam, {giveReason, takeReasonBack}));
}

// A console program that loads user32 hears of a log-off or shutdown only through a top-level
// window; the system sends the window's messages on the window's thread, as this test does.
TEST(ConsoleBreakDeferral, TheSessionWindowHoldsALogOffUntilTheWorkIsDone) {
    const std::wstring reason = L"Đang cài đặt Quorvalent, vui lòng chờ...";
    const struct {
        const char* label;
        bool duringTheWork;
        SessionMessage sent;
        LRESULT answer;
        bool waits; // returns only once the work is done, having asked it to stop
        std::vector<std::wstring> reasons;
        int takenBack;
    } cases[] = {
        {"may the session end, during the work",
         true,
         {WM_QUERYENDSESSION, 0},
         FALSE,
         false,
         {reason},
         0},
        {"may the session end, outside the work",
         false,
         {WM_QUERYENDSESSION, 0},
         TRUE,
         false,
         {},
         1},
        {"the session ends all the same", true, {WM_ENDSESSION, TRUE}, 0, true, {}, 0},
        {"the session goes on", true, {WM_ENDSESSION, FALSE}, 0, false, {}, 0},
        {"the session ends, outside the work", false, {WM_ENDSESSION, TRUE}, 0, false, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        g_reasons.clear();
        g_reasonsTakenBack = 0;
        HANDLE thread = nullptr;
        {
            std::optional<ConsoleBreakDeferral> deferral;
            if (c.duringTheWork) {
                deferral.emplace();
            }
            SessionMessage sent = c.sent;
            thread = ::CreateThread(nullptr, 0, deliverToSessionWindow, &sent, 0, nullptr);
            ASSERT_NE(thread, nullptr);
            expectHeldOrReturned(thread, c.waits);
            EXPECT_EQ(consoleStopRequested(), c.waits);
            EXPECT_EQ(g_reasons, c.reasons);
            EXPECT_EQ(g_reasonsTakenBack, c.takenBack);
            // The work ends here (put back, as asked).
            if (!c.waits) {
                ::WaitForSingleObject(thread, 5000);
            }
        }
        EXPECT_EQ(::WaitForSingleObject(thread, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
        DWORD answered = 2;
        ::GetExitCodeThread(thread, &answered);
        EXPECT_EQ(answered, static_cast<DWORD>(c.answer));
        ::CloseHandle(thread);
    }

    // The window itself: top-level and hidden while the work goes on, answering as above;
    // gone with the work.
    const wchar_t className[] = L"QuorvalentInstallerNativeSession";
    {
        const ConsoleBreakDeferral deferral;
        const HWND window = ::FindWindowW(className, nullptr);
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(::GetAncestor(window, GA_PARENT), ::GetDesktopWindow()) << "not message-only";
        EXPECT_FALSE(::IsWindowVisible(window));
        EXPECT_EQ(::SendMessageW(window, WM_QUERYENDSESSION, 0, 0), FALSE);
    }
    EXPECT_EQ(::FindWindowW(className, nullptr), nullptr);
}

} // namespace
} // namespace qv
