#include "station/PortReport.h"

#include <algorithm>

namespace korv {

int OutcomeStatus(const PortReport& report) {
    const int status = OutcomeExitStatus(report.outcome, report.lostWhileSending);
    return report.logError.empty() ? status : std::max(status, static_cast<int>(EXIT_PORT_FAILED));
}

int BatchStatus(const std::vector<PortReport>& reports) {
    int worst = reports.empty() ? EXIT_PORT_FAILED : EXIT_SENT;
    for (const auto& r : reports) {
        worst = std::max(worst, OutcomeStatus(r));
    }
    return worst;
}

std::string OutcomeLabel(const PortReport& r) {
    switch (r.outcome) {
        case PortOutcome::None:
            return "not sent";
        case PortOutcome::Sent:
            return "sent";
        case PortOutcome::NotOpened:
            return "not opened";
        case PortOutcome::Rejected:
            return "file rejected";
        case PortOutcome::Failed:
            return "failed";
        case PortOutcome::PortLost:
            return "port lost";
        case PortOutcome::Interrupted:
            return "interrupted";
        case PortOutcome::Accepted:
            return "accepted";
        case PortOutcome::TesterRejected:
            return "rejected";
        case PortOutcome::NoVerdict:
            return "no verdict";
        case PortOutcome::NoPrompt:
            return "no prompt";
    }
    return "?";
}

std::string PhaseLabel(const PortReport& r) {
    switch (r.phase) {
        case PortPhase::Opening:
            return "opening";
        case PortPhase::Waiting:
            return "waiting for prompt";
        case PortPhase::Sending:
            return "sending";
        case PortPhase::Reconnecting:
            return "reconnecting";
        case PortPhase::Answer:
        case PortPhase::Done:
            return OutcomeLabel(r);
    }
    return "?";
}

}  // namespace korv
