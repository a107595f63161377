#include "station/PortSession.h"

#include <algorithm>
#include <iterator>
#include <optional>

#include "platform/SerialPort.h"
#include "platform/SysError.h"
#include "platform/net/NetPortName.h"
#include "ports/PortList.h"
#include "station/TimeText.h"

namespace korv {

namespace {

// Where the remembered port is kept (the desktop program writes it).
constexpr char kProfileCompany[] = "QUENDAL";
constexpr char kProfileApplication[] = "KORVALIN";

// After the last transfer the tester usually answers (it checks what it received and says so).
// Its output is shown until the line has been quiet this long, but no longer than the limit.
constexpr std::chrono::milliseconds kAnswerQuiet{3000};
constexpr std::chrono::milliseconds kAnswerLimit{15000};

// A lost serial port is looked for about once a second: while its device is not there a look
// costs the system one name lookup, and no open is started. A network server that has gone is
// tried less and less often, so that a station left waiting for it does not hammer it.
constexpr std::chrono::seconds kSerialReopenPeriod{1};
constexpr std::chrono::seconds kNetworkReopenDelays[] = {
    std::chrono::seconds(1), std::chrono::seconds(2), std::chrono::seconds(4),
    std::chrono::seconds(8), std::chrono::seconds(10)};
constexpr int kNetworkReopenSteps = static_cast<int>(std::size(kNetworkReopenDelays));
// A port that served a transfer, or stayed open this long, after it came back starts its next
// wait at the first delay; one lost again sooner (a server that takes the connection and drops
// it) goes on where its back-off was.
constexpr std::chrono::seconds kReopenSettled{10};

int MsUntil(std::chrono::steady_clock::time_point end) {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    const auto now = std::chrono::steady_clock::now();
    return end <= now ? 0 : static_cast<int>(duration_cast<milliseconds>(end - now).count()) + 1;
}

}  // namespace

CPortSession::CPortSession(SessionSettings settings, CStationQueue& queue, ISessionOutput& out,
                           IFileAnswer* answer, TransferRecord base, const VerdictRules& rules,
                           CTransferRecorder::RecordSink sink)
    : m_settings(std::move(settings)),
      m_out(out),
      m_frontAnswer(answer),
      m_queue(queue),
      m_answer(*this),
      m_host(out, m_answer),
      m_profile(CUserProfile(kProfileCompany, kProfileApplication)),
      m_view(m_host, m_queue, m_profile, m_doc, &MakeSerialPort, m_settings.programPath,
             m_settings.timing),
      m_recorder(std::move(base), rules, std::move(sink)) {
    m_report.port = m_settings.port;
    m_report.label = m_recorder.Base().slot;
    m_report.file = m_settings.file;
    m_host.SetDialogPump([this] { DispatchPending(false); });
    m_view.SetReceiveObserver([this](char ch) { m_recorder.OnTesterByte(ch, AllHandedOut()); });
}

CPortSession::~CPortSession() {
    Finish();
}

bool CPortSession::AllHandedOut() const {
    return m_view.SendTotal() > 0 && m_view.SendDone() >= m_view.SendTotal();
}

void CPortSession::Start(const CPortList& ports) {
    if (!m_settings.port.empty()) {
        m_view.SetPortOverride(m_settings.port);
    }
    if (!m_settings.file.empty()) {
        m_view.SetInitialUpdateFile(m_settings.file);
    }
    m_view.SetShareUpdateFile(m_settings.shareFile);
    m_host.BeginDispatch();
    m_view.PrepareInitialUpdate(ports);
    if (m_settings.port.empty()) {
        // The remembered port: the records name it as the view chose it.
        TransferRecord base = m_recorder.Base();
        base.port = m_view.PortName();
        base.device = DevicePathForPort(m_view.PortName());
        base.file = m_settings.file;
        m_recorder.SetBase(std::move(base));
        m_report.port = m_view.PortName();
    }
    m_openStart = Clock::now();
    m_opener = std::make_unique<CPortOpener>();
    if (!m_opener->Start(&MakeSerialPort, DevicePathForPort(m_view.PortName()), m_queue)) {
        // Without a thread of its own the port is opened here, as the desktop program does.
        m_opener.reset();
        m_host.BeginDispatch();
        m_view.FinishInitialUpdate();
        OnPortPrepared();
    }
}

void CPortSession::OnPortPrepared() {
    m_out.FlushOut();
    if (m_view.State() == STATE_PORT_CLOSED) {
        if (m_host.LastMessage().find(SystemErrorText(ERR_ACCESS_DENIED)) != std::string::npos &&
            m_settings.permissionHint) {
            const std::string hint =
                m_settings.permissionHint(DevicePathForPort(m_view.PortName()));
            if (!hint.empty()) {
                m_out.Message(hint);
            }
        }
        // The open's own message, just shown.
        OpenFailed(m_host.LastMessage());
        return;
    }
    ServeOpenPort();
}

void CPortSession::ServeOpenPort() {
    m_report.phase = PortPhase::Waiting;
    m_openedAt = Clock::now();
    m_transferSinceOpen = false;
    if (m_settings.sendNow) {
        const int prev = m_view.State();
        m_host.BeginDispatch();
        m_view.OnSendUpdateFile();
        m_out.FlushOut();
        AfterDispatch(prev);
    }
    if (m_finishDue) {
        Finish();
    }
}

void CPortSession::OpenFailed(const std::string& reason) {
    m_report.outcome = PortOutcome::NotOpened;
    m_report.reason = reason;
    m_recorder.EndedWithoutTransfer(PortOutcome::NotOpened, reason);
    Finish();
}

void CPortSession::OnNotify() {
    if (Done()) {
        CStationQueue::Notice notice{};
        while (m_queue.Pop(notice)) {
        }
        return;
    }
    DispatchPending(true);
    CheckVerdict();
    if (m_finishDue) {
        Finish();
    }
}

void CPortSession::DispatchPending(bool track) {
    CStationQueue::Notice notice{};
    while (m_queue.Pop(notice)) {
        if (notice.wParam == COMM_NOTIFY_TAG && notice.lParam == NOTIFY_PORT_PREPARED) {
            PortPrepared prepared;
            std::unique_ptr<ISerialPort> port = m_opener ? m_opener->Take(&prepared) : nullptr;
            if (port && m_report.phase == PortPhase::Opening) {
                m_view.SetPreparedPort(std::move(port), prepared);
                m_host.BeginDispatch();
                m_view.FinishInitialUpdate();
                OnPortPrepared();
            } else if (port && m_report.phase == PortPhase::Reconnecting) {
                Reopened(std::move(port), prepared);
            }
            continue;
        }
        const int before = m_view.State();
        if (track) {
            m_host.BeginDispatch();
        }
        m_view.OnCommNotify(notice.wParam, notice.lParam);
        if (notice.lParam == NOTIFY_RX_DATA) {
            m_lastReceived = Clock::now();
        }
        if (track) {
            AfterDispatch(before);
        }
    }
}

void CPortSession::AfterDispatch(int prevState) {
    const int state = m_view.State();
    if (m_report.phase == PortPhase::Answer && state == STATE_PORT_CLOSED) {
        m_finishDue = true;  // the tester went away: there is no answer left to wait for
    }
    // An interrupted dialog is no verdict on the file: the station ends the run as interrupted.
    if (m_finishDue ||
        (m_report.phase != PortPhase::Waiting && m_report.phase != PortPhase::Sending) ||
        (m_settings.stopRequested && m_settings.stopRequested())) {
        return;  // this port's run is over, or its last transfer has ended
    }
    if (m_host.DialogCancelled()) {
        // The view asked for a file and got none: the one given was rejected (the view has said
        // why), or there was none to give.
        m_prompted = true;
        EndTransfer(PortOutcome::Rejected);
    } else if (state == STATE_SENDING && (prevState != STATE_SENDING || m_host.DialogAnswered())) {
        m_prompted = true;
        // The tester's verdict on the last transfer may have come in the same drain as this
        // prompt; one that has not come will not.
        CheckVerdict();
        if (m_recorder.VerdictPending()) {
            AbandonVerdict("The tester asked for the next update before it gave a verdict.", true);
        }
        m_recorder.TransferStarted(m_view.SendTotal());
        if (m_settings.logLines) {
            // The log says when each transfer began; what the tester says follows.
            m_out.Error(StampedMessage("Sending '" + m_view.UpdateFile() + "' (" +
                                       std::to_string(m_view.SendTotal()) + " bytes) to " +
                                       m_report.port + ".") +
                        "\n");
        }
        m_report.phase = PortPhase::Sending;
        m_transferSinceOpen = true;
        m_report.done = 0;
        m_report.total = m_view.SendTotal();
        m_report.seconds = 0;
        m_deliveryDue = false;
        m_account.Begin(m_host);
    } else if (prevState == STATE_SENDING && state != STATE_SENDING) {
        EndRunningTransfer(state);
    } else if (prevState != STATE_PORT_CLOSED && state == STATE_PORT_CLOSED) {
        m_report.lostWhileSending = m_account.Open();
        EndTransfer(PortOutcome::PortLost);
    }
}

void CPortSession::EndRunningTransfer(int state) {
    if (state == STATE_PORT_CLOSED || m_view.LastSendError() == ERR_PORT_LOST) {
        // The sender usually sees a vanished port first: its write fails (a hung-up line, an
        // unplugged adapter) while the view still holds the port.
        m_report.lostWhileSending = true;
        EndTransfer(PortOutcome::PortLost);
        return;
    }
    if (!m_view.SendCompleted() || m_view.LastSendError() != 0) {
        EndTransfer(PortOutcome::Failed);
        return;
    }
    // The port has let go of every byte. A port that is not the line itself (a pseudo-terminal,
    // a relay, a device server) lets go of them long before the tester has them: the file is
    // the tester's once the line can have carried it.
    if (Clock::now() < m_account.LineEnd(m_view.SendTotal())) {
        m_deliveryDue = true;
        return;
    }
    EndTransfer(PortOutcome::Sent);
}

bool CPortSession::Answer::Choose(const FileDialogRequest& request, std::string& path) {
    if (!m_session.BeforeAnswer()) {
        return false;
    }
    if (m_session.m_frontAnswer != nullptr) {
        return m_session.m_frontAnswer->Choose(request, path);
    }
    path = m_session.m_settings.file;
    return true;
}

bool CPortSession::BeforeAnswer() {
    if (!m_account.Open() ||
        (m_report.phase != PortPhase::Waiting && m_report.phase != PortPhase::Sending)) {
        return true;
    }
    // The tester asks for the file while a transfer is still open: the view has just stopped
    // that sender for the new prompt. Only a transfer whose sender had put the whole file out
    // and seen the port's queue empty (nothing was left for the stop to discard), and for which
    // the line has had the time to carry the last byte, is one the tester took: it asks for the
    // next, which ends a run that sends one file. Any other was cut: the tester started again,
    // and the transfer that follows decides.
    const bool delivered = m_view.State() != STATE_PORT_CLOSED && m_view.LastSendError() == 0 &&
                           m_view.SendCompleted() &&
                           Clock::now() >= m_account.LineEnd(m_view.SendTotal());
    if (delivered) {
        EndTransfer(PortOutcome::Sent);
    } else if (m_view.State() == STATE_PORT_CLOSED || m_view.LastSendError() != 0) {
        EndRunningTransfer(m_view.State());  // a lost port, or a failed write
    } else {
        EndTransfer(PortOutcome::Failed, CutTransferText(m_view, LineBytes(m_account.Seconds())),
                    true);
    }
    return m_report.phase == PortPhase::Waiting;
}

void CPortSession::EndTransfer(PortOutcome outcome, const std::string& why, bool nextFollows) {
    m_out.ClearProgress();
    m_deliveryDue = false;
    const bool sending = m_account.Open();
    const TransferEnd end = m_account.End(outcome, m_view, m_host, m_out, why);
    if (sending) {
        m_report.done = end.done;
        m_report.total = end.total;
        m_report.seconds = end.seconds;
    }
    if (outcome == PortOutcome::Sent) {
        ++m_report.sent;
    } else if (outcome == PortOutcome::Rejected || sending) {
        ++m_report.failed;
    }
    m_report.reason = end.reason;
    m_report.outcome = outcome;
    if (sending) {
        m_recorder.TransferEnded(outcome, m_report.done, m_view.LastSendSha256(),
                                 outcome == PortOutcome::Sent ? std::string() : m_report.reason);
    } else {
        // A rejected file is an event of its own each time; a port lost while waiting for the
        // next tester is none once this port has a record.
        m_recorder.EndedWithoutTransfer(outcome, m_report.reason, outcome == PortOutcome::Rejected);
    }
    if (nextFollows || (m_settings.repeat && outcome != PortOutcome::PortLost)) {
        m_report.phase = PortPhase::Waiting;  // the next tester on this port prompts again
        return;
    }
    if (m_settings.repeat) {
        // The port went away; the next tester comes once it is back.
        BeginReconnect();
        return;
    }
    m_host.RefuseDialogs();
    if ((outcome == PortOutcome::Sent || outcome == PortOutcome::Failed) &&
        m_view.State() != STATE_PORT_CLOSED) {
        // The run's status waits for the tester's verdict; its output is shown until then.
        m_report.phase = PortPhase::Answer;
        m_answerStart = Clock::now();
        m_lastReceived = m_answerStart;
    } else {
        m_finishDue = true;
    }
}

void CPortSession::BeginReconnect() {
    const int lost = m_view.LostReason();
    // The view may still hold the hung-up port (the sender saw it go first): it is let go now,
    // so that the device can come back under the same name.
    m_view.ClosePort();
    m_view.UpdateData(false);
    m_out.FlushOut();
    m_lostEndReason = m_report.reason;
    m_report.phase = PortPhase::Reconnecting;
    m_report.reason = "Port lost: " + SystemErrorText(lost != 0 ? lost : ERR_PORT_LOST) +
                      "; waiting for it to come back.";
    m_out.Message(m_report.port + " was lost; waiting for it to come back.");
    if (m_transferSinceOpen || Clock::now() - m_openedAt >= kReopenSettled) {
        m_reopenTries = 0;
    }
    m_reopenErrors.clear();
    // The first open's opener has long ended; each try has one of its own.
    m_opener.reset();
    ScheduleReopen();
}

void CPortSession::ScheduleReopen() {
    const bool network = IsNetworkPortName(m_view.PortName());
    const auto delay = network
                           ? kNetworkReopenDelays[std::min(m_reopenTries, kNetworkReopenSteps - 1)]
                           : kSerialReopenPeriod;
    m_reopenTries = std::min(m_reopenTries + 1, kNetworkReopenSteps);
    m_reopenAt = Clock::now() + delay;
}

void CPortSession::TryReopen() {
    // The name as given, looked up anew each time: a link (/dev/serial/by-id/...) may name
    // another device node once the adapter is back.
    const std::string device = DevicePathForPort(m_view.PortName());
    if (!DevicePresent(device)) {
        ScheduleReopen();
        return;
    }
    m_reopenStart = Clock::now();
    m_opener = std::make_unique<CPortOpener>();
    if (!m_opener->Start(&MakeSerialPort, device, m_queue)) {
        // No thread for the open now; the station's own thread is not to wait for a device.
        m_opener.reset();
        ScheduleReopen();
    }
}

void CPortSession::Reopened(std::unique_ptr<ISerialPort> port, const PortPrepared& prepared) {
    m_opener.reset();
    if (prepared.openError != 0 || prepared.setupError != 0) {
        // A port held after its settings were refused is let go with the try.
        port.reset();
        ReopenFailed(
            (prepared.openError != 0 ? "Could not open " : "Could not set up ") + m_report.port +
            " again : " +
            SystemErrorText(prepared.openError != 0 ? prepared.openError : prepared.setupError));
        return;
    }
    // Set up as on the first open: line settings, purge, reader, the pane cleared.
    m_view.SetPreparedPort(std::move(port), prepared);
    m_host.BeginDispatch();
    m_view.FinishInitialUpdate();
    m_out.FlushOut();
    if (m_view.State() == STATE_PORT_CLOSED) {
        ReopenFailed(m_host.LastMessage());  // the view has just said why
        return;
    }
    m_report.reason = m_lostEndReason;
    m_out.Message(m_report.port + " is back; waiting for the tester.");
    ServeOpenPort();
}

void CPortSession::ReopenFailed(const std::string& why) {
    // Every second a device that is back but refuses the open (held by another program, no
    // access) would say the same, and a server may give two reasons by turns (a reset seen while
    // connecting, then while negotiating): each reason is said once while the port waits.
    if (m_reopenErrors.insert(why).second) {
        m_out.Message(why + "; trying again.");
    }
    ScheduleReopen();
}

void CPortSession::CheckVerdict() {
    std::string message;
    const auto verdict = m_recorder.Decide(Clock::now(), &message);
    if (!verdict) {
        return;
    }
    m_report.outcome = *verdict;
    if (*verdict == PortOutcome::Accepted) {
        ++m_report.accepted;
    } else if (*verdict != PortOutcome::Sent) {
        ++m_report.failed;
        m_report.reason = message;
    }
    if (!message.empty()) {
        m_out.Message(message);
    }
    if (m_report.phase == PortPhase::Answer) {
        // What the tester says after its verdict is shown until the line goes quiet.
        m_answerStart = Clock::now();
    }
}

void CPortSession::AbandonVerdict(const std::string& reason, bool say) {
    m_report.outcome = PortOutcome::NoVerdict;
    m_report.reason = reason;
    ++m_report.failed;
    if (say) {
        m_out.Message(reason);
    }
    m_recorder.GiveUpVerdict(reason);
}

void CPortSession::Tick() {
    if (Done()) {
        return;
    }
    const auto now = Clock::now();
    if (m_report.phase == PortPhase::Reconnecting) {
        if (!m_opener) {
            if (now >= m_reopenAt) {
                TryReopen();
            }
        } else if (now - m_reopenStart >= m_settings.openLimit) {
            // Left to end by itself, as at the first open.
            m_opener.reset();
            ReopenFailed("Could not open " + m_report.port + " again : it did not open within " +
                         std::to_string(m_settings.openLimit.count()) + " s");
        }
        return;
    }
    if (m_report.phase == PortPhase::Opening) {
        if (now - m_openStart >= m_settings.openLimit) {
            const std::string reason = "Failed to open " + m_view.PortName() +
                                       " : it did not open within " +
                                       std::to_string(m_settings.openLimit.count()) + " s.";
            m_out.Message(reason);
            OpenFailed(reason);
        }
        return;
    }
    if (m_deliveryDue && now >= m_account.LineEnd(m_view.SendTotal())) {
        EndTransfer(PortOutcome::Sent);
    }
    CheckVerdict();
    if (m_report.phase == PortPhase::Answer && !m_recorder.VerdictPending()) {
        if (now - m_lastReceived >= kAnswerQuiet || now - m_answerStart >= kAnswerLimit) {
            m_finishDue = true;
        }
    }
    if (m_settings.promptTimeout > 0 && m_report.phase == PortPhase::Waiting && !m_prompted &&
        now - m_openedAt >= std::chrono::seconds(m_settings.promptTimeout)) {
        m_report.outcome = PortOutcome::NoPrompt;
        m_report.reason = "The tester did not ask for the update within " +
                          std::to_string(m_settings.promptTimeout) + " s.";
        m_out.Message(m_report.reason);
        m_recorder.EndedWithoutTransfer(PortOutcome::NoPrompt, m_report.reason);
        m_finishDue = true;
    }
    if (m_finishDue) {
        Finish();
    }
}

int CPortSession::TimeoutMs() const {
    if (Done()) {
        return -1;
    }
    if (m_finishDue) {
        return 0;
    }
    std::optional<Clock::time_point> end;
    auto due = [&end](Clock::time_point t) { end = end ? std::min(*end, t) : t; };
    if (m_report.phase == PortPhase::Opening) {
        due(m_openStart + m_settings.openLimit);
    }
    if (m_report.phase == PortPhase::Reconnecting) {
        due(m_opener ? m_reopenStart + m_settings.openLimit : m_reopenAt);
    }
    if (m_deliveryDue) {
        due(m_account.LineEnd(m_view.SendTotal()));
    }
    if (m_recorder.VerdictPending()) {
        due(m_recorder.VerdictDeadline());
    } else if (m_report.phase == PortPhase::Answer) {
        due(std::min(m_lastReceived + kAnswerQuiet, m_answerStart + kAnswerLimit));
    }
    if (m_settings.promptTimeout > 0 && m_report.phase == PortPhase::Waiting && !m_prompted) {
        due(m_openedAt + std::chrono::seconds(m_settings.promptTimeout));
    }
    return end ? MsUntil(*end) : -1;
}

void CPortSession::Stop(PortOutcome outcome, const std::string& why) {
    if (Done()) {
        return;
    }
    const bool stopped = m_report.phase != PortPhase::Answer;
    m_out.ClearProgress();
    if (m_report.phase == PortPhase::Sending) {
        // Stopped first, then read once: the reason, the count and the hash all describe what
        // went out, which the sender may have added to until it stopped.
        m_view.StopSending();
        m_deliveryDue = false;
        m_report.done = m_view.SendDone();
        m_report.seconds = m_account.Seconds();
        m_account = CTransferAccount{};
        ++m_report.failed;
        m_report.outcome = outcome;
        m_report.reason = why + " after " + std::to_string(m_report.done) + " of " +
                          std::to_string(m_report.total) + " bytes.";
        m_recorder.TransferEnded(outcome, m_report.done, m_view.LastSendSha256(), m_report.reason);
    } else if (m_recorder.VerdictPending()) {
        AbandonVerdict(why + " before the tester gave its verdict.", false);
    } else if (m_report.phase != PortPhase::Answer) {
        // A transfer that has ended keeps its outcome; a port still waiting was stopped.
        m_report.outcome = outcome;
        m_report.reason =
            why + (m_report.phase == PortPhase::Opening ? " before the port was opened."
                   : m_report.phase == PortPhase::Reconnecting
                       ? " while waiting for the port to come back."
                       : " while waiting for the tester's prompt.");
        m_recorder.EndedWithoutTransfer(outcome, m_report.reason);
    }
    m_host.RefuseDialogs();
    if (m_settings.logLines) {
        // In the log only: the station says once why it stopped.
        m_out.Error(StampedMessage(stopped ? m_report.reason : why + ".") + "\n");
    }
    Finish();
}

void CPortSession::Finish() {
    m_finishDue = false;
    if (m_report.phase == PortPhase::Done) {
        return;
    }
    m_report.phase = PortPhase::Done;
    // An open still under way is left to end by itself.
    m_opener.reset();
    m_host.RefuseDialogs();
    m_view.ClosePort();
    // Whatever the reader had put in the ring still reaches the output, and may hold the verdict.
    DispatchPending(false);
    CheckVerdict();
    if (m_recorder.VerdictPending()) {
        AbandonVerdict("The port closed before the tester gave its verdict.", true);
    }
    m_out.ClearProgress();
    m_out.FlushOut();
}

const PortReport& CPortSession::Report() {
    m_report.verdictPending = m_recorder.VerdictPending();
    m_report.unit = m_recorder.Unit();
    if (m_report.phase == PortPhase::Sending) {
        m_report.done = m_view.SendDone();
        m_report.total = m_view.SendTotal();
        m_report.seconds = m_account.Seconds();
    }
    return m_report;
}

}  // namespace korv
