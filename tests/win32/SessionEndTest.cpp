// The end of the user's session as the console program hears of it: logoff and shutdown come to
// a hidden top-level window (a process that has loaded user32 never gets them through its
// console handler), raise the interrupt and hold the process for the run's records, within the
// few seconds the system allows; and the PC kept awake while a transfer runs. What real Windows
// does around these (the logoff itself, its time-outs) only a real session shows.

#include "platform/win32/Win32.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "Wait.h"
#include "platform/ConsoleIo.h"
#include "platform/KeepAwake.h"
#include "platform/Wait.h"

namespace korv {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The interrupt's hidden window in this process.
HWND SessionWindow() {
    HWND found = nullptr;
    test::WaitUntil([&] {
        for (HWND w = ::FindWindowExW(nullptr, nullptr, L"KorvalinSessionEnd", nullptr);
             w != nullptr; w = ::FindWindowExW(nullptr, w, L"KorvalinSessionEnd", nullptr)) {
            DWORD pid = 0;
            ::GetWindowThreadProcessId(w, &pid);
            if (pid == ::GetCurrentProcessId()) {
                found = w;
                return true;
            }
        }
        return false;
    });
    return found;
}

bool Signalled(const CInterrupt& interrupt) {
    const WaitHandle h = interrupt.Waitable();
    return WaitForAny(&h, 1, 0) == 0;
}

// Run in order in one process: ProcessEnding stays set once the end has come.
TEST(SessionEnd, LogoffRaisesTheInterruptAndHoldsTheProcessForTheRunWithinTheSystemsLimit) {
    std::atomic<bool> returned{false};
    std::thread system;
    {
        CInterrupt interrupt;
        ASSERT_TRUE(interrupt.Valid());
        const HWND window = SessionWindow();
        ASSERT_NE(window, nullptr) << "no window hears of the session's end";
        EXPECT_FALSE(::IsWindowVisible(window));
        // Asked first: the program agrees, and nothing stops yet.
        EXPECT_EQ(::SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
        // A logoff that another program cancelled ends nothing.
        ::SendMessageW(window, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF);
        EXPECT_FALSE(Signalled(interrupt));
        EXPECT_FALSE(ProcessEnding());

        system = std::thread([&] {
            ::SendMessageW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
            returned.store(true);
        });
        const WaitHandle h = interrupt.Waitable();
        ASSERT_EQ(WaitForAny(&h, 1, 60000), 0);
        EXPECT_TRUE(interrupt.Raised());
        EXPECT_TRUE(ProcessEnding());
        // The run is still writing its records: the session may not take the process yet.
        ::Sleep(300);
        EXPECT_FALSE(returned.load());
    }
    system.join();
    EXPECT_TRUE(returned.load());
}

// A run that never finishes does not hold the system beyond the hold (the system itself
// ends the process after about 5 s): neither at logoff nor when the console window closes.
TEST(SessionEnd, TheHoldEndsOnItsOwnWhenTheRunDoesNotFinish) {
    for (const bool consoleClosed : {false, true}) {
        CInterrupt interrupt;
        ASSERT_TRUE(interrupt.Valid());
        const HWND window = SessionWindow();
        ASSERT_NE(window, nullptr);
        std::atomic<bool> returned{false};
        const auto start = Clock::now();
        std::thread system([&] {
            if (consoleClosed)
                win32::OnConsoleControl(CTRL_CLOSE_EVENT);
            else
                ::SendMessageW(window, WM_ENDSESSION, TRUE, 0);
            returned.store(true);
        });
        EXPECT_TRUE(test::WaitUntil([&] { return returned.load(); }))
            << (consoleClosed ? "close" : "shutdown");
        system.join();
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kEndHoldMs) + 3s)
            << (consoleClosed ? "close" : "shutdown");
        EXPECT_TRUE(interrupt.Raised());
    }
    // Logoff and shutdown through the console handler are other sessions' (a service gets
    // them): no request to stop this process.
    CInterrupt interrupt;
    EXPECT_FALSE(win32::OnConsoleControl(CTRL_LOGOFF_EVENT));
    EXPECT_FALSE(win32::OnConsoleControl(CTRL_SHUTDOWN_EVENT));
    EXPECT_FALSE(Signalled(interrupt));
}

// Standard error that nobody reads does not hold an ending process: what waits is given up in
// well under the system's limit (the logs and records keep it).
TEST(SessionEnd, StandardErrorNobodyReadsIsGivenUpQuicklyWhenTheProcessEnds) {
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, nullptr, 4096));
    const win32::UniqueHandle reader(readEnd);
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(writeEnd), _O_BINARY);
    ASSERT_GE(fd, 0);
    std::FILE* stream = ::_fdopen(fd, "wb");
    ASSERT_NE(stream, nullptr);
    MarkProcessEnding();
    const auto start = Clock::now();
    {
        CErrWriter writer(stream);
        const std::string text(32 * 1024, 'e');
        EXPECT_GT(writer.TryWrite(text.data(), text.size()), 0u);
    }
    EXPECT_LT(Clock::now() - start, 3s);
    // The stream stays open: the writer's thread may still be in its write.
}

// The PC stays awake while a holder exists (a transfer runs), and may sleep again after it.
TEST(KeepAwake, HoldsOffTheSystemsSleepWhileItExists) {
    std::thread sender([] {
        {
            const CKeepAwake awake;
            EXPECT_EQ(CKeepAwake::Held(), 1);
            // The state now in force, as the system reports it when asked to keep it.
            const EXECUTION_STATE during =
                ::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
            EXPECT_EQ(during & (ES_CONTINUOUS | ES_SYSTEM_REQUIRED),
                      static_cast<EXECUTION_STATE>(ES_CONTINUOUS | ES_SYSTEM_REQUIRED));
        }
        EXPECT_EQ(CKeepAwake::Held(), 0);
        const EXECUTION_STATE after = ::SetThreadExecutionState(ES_CONTINUOUS);
        EXPECT_EQ(after & ES_SYSTEM_REQUIRED, 0u);
    });
    sender.join();
}

}  // namespace
}  // namespace korv
