#include "console/console_break.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace qv {
namespace {

int g_breaks = 0;
void countBreak() {
    ++g_breaks;
}

DWORD WINAPI deliver(void* event) {
    return static_cast<DWORD>(
        deferConsoleBreak(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(event))));
}

// The system calls the handler on a thread of its own; here it is called the same way.
TEST(ConsoleBreakDeferral, KeepsBreaksUntilTheWorkIsDoneAndHoldsACloseUntilThen) {
    const struct {
        const char* label;
        DWORD event;
        bool kept;  // the break ends the process once the work is done
        bool waits; // the handler returns only once the work is done
    } cases[] = {
        {"Ctrl+C", CTRL_C_EVENT, true, false},
        {"Ctrl+Break", CTRL_BREAK_EVENT, true, false},
        {"the console closed", CTRL_CLOSE_EVENT, false, true},
        {"shutting down", CTRL_SHUTDOWN_EVENT, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        g_breaks = 0;
        HANDLE thread = nullptr;
        {
            const ConsoleBreakDeferral deferral(countBreak);
            if (c.waits) {
                thread = ::CreateThread(nullptr, 0, deliver,
                                        reinterpret_cast<void*>(static_cast<UINT_PTR>(c.event)), 0,
                                        nullptr);
                ASSERT_NE(thread, nullptr);
                EXPECT_EQ(::WaitForSingleObject(thread, 300), static_cast<DWORD>(WAIT_TIMEOUT))
                    << "the process would end in the middle of the work";
            } else {
                EXPECT_TRUE(deferConsoleBreak(c.event));
                EXPECT_EQ(g_breaks, 0) << "the break ended the work";
            }
        }
        EXPECT_EQ(g_breaks, c.kept ? 1 : 0);
        if (thread != nullptr) {
            EXPECT_EQ(::WaitForSingleObject(thread, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
            DWORD result = TRUE;
            ::GetExitCodeThread(thread, &result);
            EXPECT_EQ(result, static_cast<DWORD>(FALSE)) << "the system's handler must end it";
            ::CloseHandle(thread);
        }
    }
    // Outside the work, every event goes on to the system's handler.
    EXPECT_FALSE(deferConsoleBreak(CTRL_C_EVENT));
    EXPECT_FALSE(deferConsoleBreak(CTRL_CLOSE_EVENT));
}

} // namespace
} // namespace qv
