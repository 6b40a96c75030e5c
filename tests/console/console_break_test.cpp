#include "console/console_break.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <stdexcept>

namespace qv {
namespace {

int g_breaks = 0;

DWORD WINAPI deliver(void* event) {
    return static_cast<DWORD>(
        deferConsoleBreak(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(event))));
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
            EXPECT_EQ(::WaitForSingleObject(thread, 300),
                      static_cast<DWORD>(c.waits ? WAIT_TIMEOUT : WAIT_OBJECT_0));
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

} // namespace
} // namespace qv
