#include "console/ConsoleSession.h"

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

#include "console/ConsoleHost.h"
#include "console/PortInfo.h"
#include "console/Transfer.h"
#include "platform/DeviceMap.h"
#include "platform/Profile.h"
#include "platform/Program.h"
#include "platform/SerialPort.h"
#include "platform/SysError.h"
#include "platform/Wait.h"
#include "ports/PortList.h"
#include "view/ProgDoc.h"
#include "view/ProgView.h"
#include "view/UserProfile.h"

namespace korv {

namespace {

using Clock = std::chrono::steady_clock;

// Where the remembered port is kept (the desktop program writes it).
constexpr char kProfileCompany[] = "QUENDAL";
constexpr char kProfileApplication[] = "KORVALIN";

// After the last transfer the tester usually answers (it checks what it received and says so).
// Its output is shown until the line has been quiet this long, but no longer than the limit.
// "Sent" means the driver has let go of the bytes; a pseudo-terminal accepts some 17 KiB ahead
// of its reader, which at 5,760 bytes/s is three seconds still on their way.
constexpr std::chrono::milliseconds kAnswerQuiet{3000};
constexpr std::chrono::milliseconds kAnswerLimit{15000};
// How often the progress line is redrawn.
constexpr std::chrono::milliseconds kProgressPeriod{250};

// The file given on the command line answers the dialog.
class CFixedFileAnswer : public IFileAnswer {
  public:
    explicit CFixedFileAnswer(std::string path) : m_path(std::move(path)) {}
    bool Choose(const FileDialogRequest&, std::string& path) override {
        path = m_path;
        return true;
    }

  private:
    std::string m_path;
};

// Without a file on the command line, the operator types one. While the question is open the
// tester's output keeps coming (pump) and a signal cancels it.
class CAskFileAnswer : public IFileAnswer {
  public:
    CAskFileAnswer(CConsoleOutput& out, CInterrupt& interrupt, WaitHandle queue)
        : m_out(out), m_interrupt(interrupt), m_queue(queue) {}
    void SetPump(std::function<void()> pump) { m_pump = std::move(pump); }

    bool Choose(const FileDialogRequest&, std::string& path) override {
        if (!StdinIsConsole()) {
            m_out.Message("No update file: give one with --file PATH.");
            return false;
        }
        if (!m_stdin) {
            m_stdin = std::make_unique<CStdinReader>();
        }
        m_out.Error("Update file: ");
        std::string line;
        for (;;) {
            // Asked before every wait: a request may already have been seen and recorded by
            // the dispatch that opened this question.
            if (m_interrupt.Raised()) {
                m_out.Error("\n");
                return false;
            }
            const WaitHandle handles[] = {m_interrupt.Waitable(), m_queue, m_stdin->Waitable()};
            const int which = WaitForAny(handles, 3, -1);
            if (which == WAIT_RESULT_FAILED) {
                return false;
            }
            if (which == 0) {
                continue;  // the check at the top of the loop ends the question
            }
            if (which == 1) {
                if (m_pump) {
                    m_pump();
                }
                continue;
            }
            if (!m_stdin->Take(line)) {
                m_out.Error("\n");
                break;  // end of input: whatever was typed is the answer
            }
            if (line.find('\n') != std::string::npos) {
                break;
            }
        }
        line = line.substr(0, line.find('\n'));
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
            line.pop_back();
        }
        const char* home = std::getenv("HOME");
        if (line.starts_with("~/") && home != nullptr) {
            line = home + line.substr(1);
        }
        if (line.empty()) {
            m_out.Message("No update file was given.");
            return false;
        }
        path = line;
        return true;
    }

  private:
    CConsoleOutput& m_out;
    CInterrupt& m_interrupt;
    WaitHandle m_queue;
    std::unique_ptr<CStdinReader> m_stdin;
    std::function<void()> m_pump;
};

// Gives the session a word before the dialog is answered: a prompt that arrives while a transfer
// still waits for its end may have to close that transfer's account first.
class CAnswerAfter : public IFileAnswer {
  public:
    CAnswerAfter(IFileAnswer& answer, std::function<bool()> before)
        : m_answer(answer), m_before(std::move(before)) {}
    bool Choose(const FileDialogRequest& request, std::string& path) override {
        return m_before() && m_answer.Choose(request, path);
    }

  private:
    IFileAnswer& m_answer;
    std::function<bool()> m_before;
};

class CSession {
  public:
    CSession(const ConsoleOptions& options, CConsoleOutput& out, CInterrupt& interrupt)
        : m_opt(options),
          m_out(out),
          m_interrupt(interrupt),
          m_fixedAnswer(options.file),
          m_askAnswer(out, interrupt, m_queue.Waitable()),
          m_answer(options.file.empty() ? static_cast<IFileAnswer&>(m_askAnswer)
                                        : static_cast<IFileAnswer&>(m_fixedAnswer),
                   [this] { return BeforeAnswer(); }),
          m_host(out, m_answer),
          m_profile(CUserProfile(kProfileCompany, kProfileApplication)),
          m_view(m_host, m_queue, m_profile, m_doc, &MakeSerialPort, ProgramPath()) {
        m_host.SetDialogPump([this] { DispatchPending(false); });
        m_askAnswer.SetPump([this] { m_host.PumpWhileDialog(); });
    }

    int Run();

  private:
    enum class Phase { Running, Answer, Done };

    void DispatchPending(bool track);
    void AfterDispatch(int prevState);
    // nextFollows: the tester asked for the file again; the run goes on to that transfer.
    void EndTransfer(PortOutcome outcome, const std::string& why = {}, bool nextFollows = false);
    bool BeforeAnswer();
    void UpdateProgress();
    int Interrupt();
    int Finish(int status);
    int PollTimeoutMs() const;

    const ConsoleOptions& m_opt;
    CConsoleOutput& m_out;
    CInterrupt& m_interrupt;
    CNotifyQueue m_queue;
    CFixedFileAnswer m_fixedAnswer;
    CAskFileAnswer m_askAnswer;
    CAnswerAfter m_answer;
    CConsoleHost m_host;
    CProfileAdapter m_profile;
    CProgDoc m_doc;
    CProgView m_view;

    Phase m_phase = Phase::Running;
    int m_status = EXIT_SENT;
    CTransferAccount m_account;
    Clock::time_point m_answerStart{};
    Clock::time_point m_lastReceived{};
    Clock::time_point m_lastProgress{};
};

void CSession::DispatchPending(bool track) {
    DispatchNotices(m_queue, m_view, track ? &m_host : nullptr, [&](uint32_t code, int prev) {
        if (code == NOTIFY_RX_DATA) {
            m_lastReceived = Clock::now();
        }
        if (track) {
            AfterDispatch(prev);
        }
    });
}

void CSession::AfterDispatch(int prevState) {
    const int state = m_view.State();
    if (m_phase == Phase::Answer && state == STATE_PORT_CLOSED) {
        m_phase = Phase::Done;  // the tester went away: there is no answer left to wait for
    }
    // An interrupted dialog is no verdict on the file: the main loop ends the run as
    // interrupted.
    if (m_phase != Phase::Running || m_interrupt.Raised()) {
        return;
    }
    if (m_host.DialogCancelled()) {
        // The view asked for a file and got none: the one given was rejected (the view has said
        // why), or there was none to give.
        EndTransfer(PortOutcome::Rejected);
    } else if (state == STATE_SENDING && (prevState != STATE_SENDING || m_host.DialogAnswered())) {
        m_account.Begin(m_view, m_host);
        m_lastProgress = {};
    } else if (prevState == STATE_SENDING && state != STATE_SENDING) {
        const bool complete =
            state != STATE_PORT_CLOSED && m_view.SendCompleted() && m_view.LastSendError() == 0;
        EndTransfer(complete ? PortOutcome::Sent
                    : state == STATE_PORT_CLOSED || m_view.LastSendError() == ERR_PORT_LOST
                        ? PortOutcome::PortLost
                        : PortOutcome::Failed);
    } else if (prevState != STATE_PORT_CLOSED && state == STATE_PORT_CLOSED) {
        EndTransfer(PortOutcome::PortLost);
    }
}

bool CSession::BeforeAnswer() {
    if (m_phase != Phase::Running || !m_account.Open()) {
        return true;
    }
    // The tester asks for the file while a transfer is still open: the view has just stopped
    // that sender for the new prompt. One that had handed every byte to the port without an
    // error has sent the file (the port confirms an empty output queue only after a settling
    // pause, so its end was not dispatched yet); the tester took it in and asks for the next,
    // which ends a run that sends one file. Any other was cut: the tester started again, and
    // the transfer that follows decides the run.
    if (m_view.LastSendError() == 0 &&
        (m_view.SendCompleted() ||
         (m_view.SendTotal() > 0 && m_view.SendDone() == m_view.SendTotal()))) {
        EndTransfer(PortOutcome::Sent);
        return m_phase == Phase::Running;
    }
    EndTransfer(PortOutcome::Failed, CutTransferText(m_view), true);
    return true;
}

void CSession::EndTransfer(PortOutcome outcome, const std::string& why, bool nextFollows) {
    m_out.ClearProgress();
    const bool sending = m_account.Open();
    m_account.End(outcome, m_view, m_host, m_out, why);
    m_status = OutcomeExitStatus(outcome, sending);
    if (nextFollows || (m_opt.repeat && outcome != PortOutcome::PortLost)) {
        return;  // wait for the tester's next prompt
    }
    m_host.RefuseDialogs();
    if ((outcome == PortOutcome::Sent || outcome == PortOutcome::Failed) &&
        m_view.State() != STATE_PORT_CLOSED) {
        m_phase = Phase::Answer;
        m_answerStart = Clock::now();
        m_lastReceived = m_answerStart;
    } else {
        m_phase = Phase::Done;
    }
}

void CSession::UpdateProgress() {
    if (!m_out.ProgressAllowed() || m_view.State() != STATE_SENDING) {
        return;
    }
    const auto now = Clock::now();
    if (now - m_lastProgress < kProgressPeriod) {
        return;
    }
    m_lastProgress = now;
    const double elapsed = m_account.Seconds();
    m_out.ShowProgress(FormatProgress(m_view.SendDone(), m_view.SendTotal(), elapsed));
}

int CSession::PollTimeoutMs() const {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    int timeout = -1;
    if (m_phase == Phase::Answer) {
        const auto now = Clock::now();
        const auto end = std::min(m_lastReceived + kAnswerQuiet, m_answerStart + kAnswerLimit);
        timeout =
            end <= now ? 0 : static_cast<int>(duration_cast<milliseconds>(end - now).count()) + 1;
    } else if (m_out.ProgressAllowed() && m_view.State() == STATE_SENDING) {
        timeout = static_cast<int>(kProgressPeriod.count());
    }
    // Messages the terminal has not taken yet are offered again soon.
    const int pump = m_out.ErrPumpDueMs();
    return pump >= 0 && (timeout < 0 || pump < timeout) ? pump : timeout;
}

int CSession::Interrupt() {
    m_out.ClearProgress();
    if (m_view.State() == STATE_SENDING) {
        m_view.StopSending();
    }
    m_host.RefuseDialogs();
    m_out.Message("Interrupted.");
    // Once the last transfer has ended, only the wait for the tester's answer was cut short:
    // the run's status is that transfer's.
    return Finish(m_phase == Phase::Answer ? m_status : EXIT_INTERRUPTED);
}

int CSession::Finish(int status) {
    m_host.RefuseDialogs();
    m_view.ClosePort();
    // Whatever the reader had put in the ring still reaches stdout.
    DispatchPending(false);
    m_out.ClearProgress();
    m_out.FlushOut();
    return status;
}

int CSession::Run() {
    if (!m_queue.Valid() || !m_interrupt.Valid()) {
        m_out.Message("Cannot set up the console: " + SystemErrorText(LastSystemError()));
        return EXIT_PORT_FAILED;
    }
    const auto map = MakeSystemDeviceMap();
    CPortList ports;
    ports.BuildPortList(*map);
    if (!m_opt.port.empty()) {
        m_view.SetPortOverride(m_opt.port);
    }
    if (!m_opt.file.empty()) {
        m_view.SetInitialUpdateFile(m_opt.file);
    }

    m_host.BeginDispatch();
    m_view.OnInitialUpdate(ports);
    m_out.FlushOut();
    if (m_view.State() == STATE_PORT_CLOSED) {
        if (m_host.LastMessage().find(SystemErrorText(ERR_ACCESS_DENIED)) != std::string::npos) {
            const std::string hint = PermissionHint(DevicePathForPort(m_view.PortName()));
            if (!hint.empty()) {
                m_out.Message(hint);
            }
        }
        return Finish(EXIT_PORT_FAILED);
    }

    if (m_opt.sendNow) {
        const int prev = m_view.State();
        m_host.BeginDispatch();
        m_view.OnSendUpdateFile();
        m_out.FlushOut();
        AfterDispatch(prev);
    }

    while (m_phase != Phase::Done) {
        if (m_interrupt.Raised()) {
            return Interrupt();
        }
        const WaitHandle handles[] = {m_queue.Waitable(), m_interrupt.Waitable()};
        int err = 0;
        const int which = WaitForAny(handles, 2, PollTimeoutMs(), &err);
        if (which == WAIT_RESULT_FAILED) {
            m_out.Message("Waiting failed: " + SystemErrorText(err));
            // A transfer still running is cut by the close; one that has ended keeps its status.
            return Finish(m_phase == Phase::Answer ? m_status : EXIT_TRANSFER_FAILED);
        }
        if (m_interrupt.Raised()) {
            return Interrupt();
        }
        if (which == 0) {
            DispatchPending(true);
        }
        m_out.PumpErr();
        if (m_phase == Phase::Answer) {
            const auto now = Clock::now();
            if (now - m_lastReceived >= kAnswerQuiet || now - m_answerStart >= kAnswerLimit) {
                m_phase = Phase::Done;
            }
        }
        UpdateProgress();
    }
    if (m_interrupt.Raised()) {
        return Interrupt();
    }
    return Finish(m_status);
}

}  // namespace

int RunConsoleSession(const ConsoleOptions& options, CConsoleOutput& out, CInterrupt& interrupt) {
    CSession session(options, out, interrupt);
    return session.Run();
}

}  // namespace korv
