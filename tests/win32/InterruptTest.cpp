// Closing the console window on Windows: a request to stop, like a hang-up on Linux. The system
// ends the process as soon as the control handler returns, so the handler holds it until the
// run that owns the interrupt has aborted its transfers and written its records.

#include "platform/win32/Win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Wait.h"

namespace korv {
namespace {

TEST(ConsoleClose, RaisesTheInterruptAndHoldsTheProcessUntilTheRunIsOver) {
    // With nobody to act on it, the system's own handling ends the process at once.
    EXPECT_FALSE(win32::OnConsoleControl(CTRL_CLOSE_EVENT));

    std::atomic<bool> returned{false};
    std::thread system;
    {
        CInterrupt interrupt;
        ASSERT_TRUE(interrupt.Valid());
        system = std::thread([&] {
            EXPECT_TRUE(win32::OnConsoleControl(CTRL_CLOSE_EVENT));
            returned.store(true);
        });
        const WaitHandle h = interrupt.Waitable();
        ASSERT_EQ(WaitForAny(&h, 1, 60000), 0);
        EXPECT_TRUE(interrupt.Raised());
        // The run is still writing its summary: the window may not take the process yet.
        ::Sleep(300);
        EXPECT_FALSE(returned.load());
    }
    system.join();
    EXPECT_TRUE(returned.load());
}

}  // namespace
}  // namespace korv
