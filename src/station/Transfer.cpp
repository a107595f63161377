#include "station/Transfer.h"

#include <algorithm>
#include <cmath>

#include "platform/SysError.h"
#include "station/SessionHost.h"
#include "view/ProgView.h"

namespace korv {

int OutcomeExitStatus(PortOutcome outcome, bool lostWhileSending) {
    switch (outcome) {
        case PortOutcome::Sent:
            return EXIT_SENT;
        case PortOutcome::None:  // the run ended before this port's update did
        case PortOutcome::Failed:
            return EXIT_TRANSFER_FAILED;
        case PortOutcome::NotOpened:
            return EXIT_PORT_FAILED;
        case PortOutcome::Rejected:
            return EXIT_FILE_REJECTED;
        case PortOutcome::PortLost:
            return lostWhileSending ? EXIT_TRANSFER_FAILED : EXIT_PORT_FAILED;
        case PortOutcome::Interrupted:
            return EXIT_INTERRUPTED;
        case PortOutcome::Accepted:
            return EXIT_SENT;
        case PortOutcome::TesterRejected:
        case PortOutcome::NoVerdict:
            return EXIT_NOT_ACCEPTED;
        case PortOutcome::NoPrompt:
            return EXIT_TRANSFER_FAILED;
    }
    return EXIT_TRANSFER_FAILED;
}

double LineSeconds(uint64_t bytes) {
    const double seconds = static_cast<double>(bytes) / kLineBytesPerSecond * (1 - kLineTimeSlack);
    return std::max(0.0, seconds - kLineTimeSlackSeconds);
}

uint64_t LineBytes(double seconds) {
    const double bytes = (std::max(0.0, seconds) + kLineTimeSlackSeconds) / (1 - kLineTimeSlack) *
                         kLineBytesPerSecond;
    return static_cast<uint64_t>(std::floor(bytes));
}

std::string CutTransferText(const CProgView& view, uint64_t carried) {
    const uint64_t done = std::min<uint64_t>(view.SendDone(), carried);
    return "The transfer of '" + view.UpdateFile() +
           "' did not complete: the tester asked for the file again after " + std::to_string(done) +
           " of " + std::to_string(view.SendTotal()) + " bytes.";
}

void CTransferAccount::Begin(const CSessionHost& host) {
    m_open = true;
    m_messagesAtStart = host.MessageCount();
    m_start = Clock::now();
}

double CTransferAccount::Seconds() const {
    return std::chrono::duration<double>(Clock::now() - m_start).count();
}

CTransferAccount::Clock::time_point CTransferAccount::LineEnd(uint64_t total) const {
    return m_start + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(LineSeconds(total)));
}

TransferEnd CTransferAccount::End(PortOutcome outcome, const CProgView& view,
                                  const CSessionHost& host, ISessionOutput& out,
                                  const std::string& why) {
    TransferEnd end;
    end.outcome = outcome;
    end.file = view.UpdateFile();
    if (m_open) {
        end.done = view.SendDone();
        end.total = view.SendTotal();
        end.seconds = Seconds();
    }
    const bool wasOpen = m_open;
    m_open = false;
    if (outcome == PortOutcome::Sent) {
        out.Message("Sent '" + end.file + "': " + std::to_string(end.done) + " bytes.");
        return end;
    }
    if (!why.empty()) {
        end.reason = why;
        out.Message(why);
    } else if (host.MessageCount() > m_messagesAtStart || !wasOpen) {
        // The view has said why (a rejected file, a failing port).
        end.reason = host.LastMessage();
    } else {
        // The view reports failures it can name; say at least how far the transfer got.
        end.reason = "The transfer of '" + end.file + "' failed after " + std::to_string(end.done) +
                     " of " + std::to_string(end.total) + " bytes";
        if (view.LastSendError() != 0) {
            end.reason += " : " + SystemErrorText(view.LastSendError());
        }
        end.reason += ".";
        out.Message(end.reason);
    }
    return end;
}

}  // namespace korv
