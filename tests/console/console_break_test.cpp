#include "console/console_break.h"

#include <gtest/gtest.h>

#include <windows.h>

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
        bool waits; // returns only once the work is done (and then lets the process end);
                    // otherwise the break is kept and ends the process after the work
    } cases[] = {
        {"Ctrl+C", CTRL_C_EVENT, false},
        {"Ctrl+Break", CTRL_BREAK_EVENT, false},
        {"the console closed", CTRL_CLOSE_EVENT, true},
        {"shutting down", CTRL_SHUTDOWN_EVENT, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        g_breaks = 0;
        HANDLE thread = nullptr;
        {
            const ConsoleBreakDeferral deferral([] { ++g_breaks; });
            thread =
                ::CreateThread(nullptr, 0, deliver,
                               reinterpret_cast<void*>(static_cast<UINT_PTR>(c.event)), 0, nullptr);
            ASSERT_NE(thread, nullptr);
            EXPECT_EQ(::WaitForSingleObject(thread, 300),
                      static_cast<DWORD>(c.waits ? WAIT_TIMEOUT : WAIT_OBJECT_0));
            EXPECT_EQ(g_breaks, 0) << "the work was cut";
        }
        EXPECT_EQ(g_breaks, c.waits ? 0 : 1);
        EXPECT_EQ(::WaitForSingleObject(thread, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
        DWORD handled = 2;
        ::GetExitCodeThread(thread, &handled);
        EXPECT_EQ(handled, static_cast<DWORD>(c.waits ? FALSE : TRUE));
        ::CloseHandle(thread);
    }
    // Outside the work, every event goes on to the system's handler.
    EXPECT_FALSE(deferConsoleBreak(CTRL_C_EVENT));
    EXPECT_FALSE(deferConsoleBreak(CTRL_CLOSE_EVENT));
}

} // namespace
} // namespace qv
