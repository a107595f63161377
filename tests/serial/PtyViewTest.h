#pragma once
// The controller on a real pseudo-terminal, with the test as the tester at the other end.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "Fakes.h"
#include "Pty.h"
#include "TempDir.h"
#include "view/ProgView.h"

namespace korv::test {

class PtyViewTest : public ::testing::Test, protected ViewRig {
  protected:
    void SetUp() override { ASSERT_TRUE(pty.ok()); }
    // A controller that has opened the pty as its port.
    std::unique_ptr<CProgView> OpenView(CProgView::Timing timing = CProgView::Timing{},
                                        SerialPortFactory factory = &MakeTermiosPort) {
        return Open(pty.path(), timing, factory);
    }
    template <typename Pred>
    bool Pump(CProgView& v, Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        return sink.PumpUntil(v, pred, limit);
    }
    // The tester stops the line with XOFF. The marker behind it shows in the terminal only once
    // the port has taken in everything before it, the XOFF included.
    void HoldLine(CProgView& v) {
        const std::string marker = "(line held)\r\n";
        const size_t before = host.echo.text.size();
        ASSERT_TRUE(pty.Send("\x13" + marker));
        ASSERT_TRUE(
            Pump(v, [&] { return host.echo.text.find(marker, before) != std::string::npos; }));
    }
    // Reads the tester's end and delivers notifications until the transfer has ended and at
    // least want bytes have arrived; returns everything received.
    std::string Collect(CProgView& v, size_t want = 0) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (std::chrono::steady_clock::now() < deadline &&
               (v.State() == STATE_SENDING || pty.received().size() < want)) {
            pty.ReadAvailable(5);
            while (sink.PumpOne(v)) {
            }
        }
        pty.ReadAvailable(5);
        return pty.received();
    }

    Pty pty;
    TempDir dir;
};

}  // namespace korv::test
