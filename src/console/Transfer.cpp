#include "console/Transfer.h"

#include "console/ConsoleHost.h"
#include "console/ConsoleOutput.h"
#include "console/ConsoleSession.h"
#include "platform/SysError.h"
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
    }
    return EXIT_TRANSFER_FAILED;
}

std::string CutTransferText(const CProgView& view) {
    return "The transfer of '" + view.UpdateFile() +
           "' did not complete: the tester asked for the file again after " +
           std::to_string(view.SendDone()) + " of " + std::to_string(view.SendTotal()) + " bytes.";
}

void CTransferAccount::Begin(const CProgView&, const CConsoleHost& host) {
    m_open = true;
    m_messagesAtStart = host.MessageCount();
    m_start = std::chrono::steady_clock::now();
}

double CTransferAccount::Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

TransferEnd CTransferAccount::End(PortOutcome outcome, const CProgView& view,
                                  const CConsoleHost& host, CConsoleOutput& out,
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
