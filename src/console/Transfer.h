#pragma once
// One transfer's end as a value: how it ended, how far it got and why, taken when it ends. The
// one-port run and every port of a batch account for their transfers the same way.

#include <chrono>
#include <cstdint>
#include <string>

namespace korv {

class CConsoleHost;
class CConsoleOutput;
class CProgView;

// How a port's last transfer, or the port itself, ended.
enum class PortOutcome {
    None,         // nothing has ended yet
    Sent,         // the whole file went out
    NotOpened,    // the port could not be opened or configured
    Rejected,     // the update file was refused (not an update file, unreadable)
    Failed,       // the transfer did not complete
    PortLost,     // the port went away (unplugged, hung up)
    Interrupted,  // Ctrl-C, SIGTERM, SIGHUP
};

struct TransferEnd {
    PortOutcome outcome = PortOutcome::None;
    std::string file;
    uint64_t done = 0;   // bytes handed to the port
    uint64_t total = 0;  // the file's size
    double seconds = 0;  // from the first byte to the end
    std::string reason;  // why it did not complete, as the operator was told; empty when sent
};

// The console's exit status for how a transfer (or the port) ended; a port lost while a transfer
// ran is a failed transfer (4), one lost while waiting a failed port (1).
int OutcomeExitStatus(PortOutcome outcome, bool lostWhileSending);

// What the operator is told of a transfer the tester cut short by asking for the file again.
std::string CutTransferText(const CProgView& view);

// The transfers of one view, one at a time: Begin when its sender starts, End once when it ends.
class CTransferAccount {
  public:
    void Begin(const CProgView& view, const CConsoleHost& host);
    bool Open() const { return m_open; }
    double Seconds() const;

    // Ends the open transfer (or, with none open, a file that was never sent) as outcome and
    // tells the operator on out: "Sent ..." for a transfer that completed, otherwise why not.
    // The reason is why, if given; else the message the view showed since Begin; else how far
    // the transfer got, with the sender's system error.
    TransferEnd End(PortOutcome outcome, const CProgView& view, const CConsoleHost& host,
                    CConsoleOutput& out, const std::string& why = {});

  private:
    bool m_open = false;
    int m_messagesAtStart = 0;
    std::chrono::steady_clock::time_point m_start{};
};

}  // namespace korv
