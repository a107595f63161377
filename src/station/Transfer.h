#pragma once
// One transfer's end as a value: how it ended, how far it got and why, taken when it ends. Every
// port session accounts for its transfers the same way.

#include <chrono>
#include <cstdint>
#include <string>

#include "station/Outcome.h"

namespace korv {

class CSessionHost;
class CProgView;
class ISessionOutput;

// 57600 baud, 8N1: ten bit times a byte. No tester can have taken a file faster than this.
inline constexpr double kLineBytesPerSecond = 5760.0;
// The line time is taken as 3 % shorter (an adapter's clock may run that much fast) and 50 ms
// shorter (the first byte leaves a little after the sender starts), so that a real line is never
// judged faster than the file could go.
inline constexpr double kLineTimeSlack = 0.03;
inline constexpr double kLineTimeSlackSeconds = 0.05;

// The least time the line needs to carry bytes from the first byte on.
double LineSeconds(uint64_t bytes);
// The most bytes the line can have carried in seconds from the first byte on.
uint64_t LineBytes(double seconds);

struct TransferEnd {
    PortOutcome outcome = PortOutcome::None;
    std::string file;
    uint64_t done = 0;   // bytes handed to the port
    uint64_t total = 0;  // the file's size
    double seconds = 0;  // from the first byte to the end
    std::string reason;  // why it did not complete, as the operator was told; empty when sent
};

// What the operator is told of a transfer the tester cut short by asking for the file again
// after the line had carried at most carried bytes of it.
std::string CutTransferText(const CProgView& view, uint64_t carried);

// The transfers of one view, one at a time: Begin when its sender starts, End once when it ends.
class CTransferAccount {
  public:
    using Clock = std::chrono::steady_clock;

    void Begin(const CSessionHost& host);
    bool Open() const { return m_open; }
    double Seconds() const;
    // When the line can have carried total bytes of the open transfer.
    Clock::time_point LineEnd(uint64_t total) const;

    // Ends the open transfer (or, with none open, a file that was never sent) as outcome and
    // tells the operator on out: "Sent ..." for a transfer that completed, otherwise why not.
    // The reason is why, if given; else the message the view showed since Begin; else how far
    // the transfer got, with the sender's system error.
    TransferEnd End(PortOutcome outcome, const CProgView& view, const CSessionHost& host,
                    ISessionOutput& out, const std::string& why = {});

  private:
    bool m_open = false;
    int m_messagesAtStart = 0;
    Clock::time_point m_start{};
};

}  // namespace korv
