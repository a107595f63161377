#include "console/BatchRun.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "console/BatchTable.h"
#include "console/ConsoleHost.h"
#include "console/ConsoleOutput.h"
#include "console/ConsoleSession.h"
#include "console/PortInfo.h"
#include "console/Report.h"
#include "console/TimeText.h"
#include "platform/ConsoleIo.h"
#include "platform/DeviceMap.h"
#include "platform/Profile.h"
#include "platform/SerialPort.h"
#include "platform/SysError.h"
#include "ports/PortList.h"
#include "view/ProgDoc.h"
#include "view/ProgView.h"
#include "view/UserProfile.h"

namespace korv {

namespace {

using Clock = std::chrono::steady_clock;

// Where the remembered port is kept; a batch never writes it.
constexpr char kProfileCompany[] = "QUENDAL";
constexpr char kProfileApplication[] = "KORVALIN";

// As in a one-port run: after the last transfer the tester's answer is logged until the line has
// been quiet this long, but no longer than the limit.
constexpr std::chrono::milliseconds kAnswerQuiet{3000};
constexpr std::chrono::milliseconds kAnswerLimit{15000};
// How often the live table is redrawn.
constexpr std::chrono::milliseconds kTablePeriod{250};

// Ctrl-C stops every port's sender one after the other; each stop waits for its worker to notice
// the abort, so the view looks at the worker's flag often.
CProgView::Timing BatchTiming() {
    CProgView::Timing timing;
    timing.alivePoll = std::chrono::milliseconds(5);
    return timing;
}

// The file dialog's answer comes from the session, which knows whether one is still wanted.
class CFileAnswer : public IFileAnswer {
  public:
    explicit CFileAnswer(std::function<bool(std::string&)> choose) : m_choose(std::move(choose)) {}
    bool Choose(const FileDialogRequest&, std::string& path) override { return m_choose(path); }

  private:
    std::function<bool(std::string&)> m_choose;
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using LogFile = std::unique_ptr<std::FILE, FileCloser>;

// One port's update session: the update controller with a console host whose "terminal" is the
// port's log file. It is driven from outside, by the batch's wait: OnNotify when its queue is
// readable, Tick after every wake-up.
class CPortRun {
  public:
    // The log at logPath is opened; header is its first line for this run.
    CPortRun(const std::string& port, const ConsoleOptions& options, LogFile log,
             std::string logPath, const std::string& header,
             std::function<void(const std::string&)> note, TransferRecord record,
             const VerdictRules& rules, CTransferRecorder::RecordSink sink)
        : m_opt(options),
          m_log(std::move(log)),
          m_logPath(std::move(logPath)),
          m_note(note),
          m_out(m_log.get(), m_log.get(), false),
          m_answer([this](std::string& path) { return OnFileAsked(path); }),
          m_host(m_out, m_answer),
          m_profile(CUserProfile(kProfileCompany, kProfileApplication)),
          m_view(m_host, m_queue, m_profile, m_doc, &MakeSerialPort, std::string(), BatchTiming()),
          m_recorder(std::move(record), rules, std::move(sink)) {
        m_report.port = port;
        m_report.file = options.file;
        m_out.SetMessageObserver(std::move(note));
        m_view.SetReceiveObserver([this](char ch) { m_recorder.OnTesterByte(ch); });
        m_host.SetDialogPump([this] { DispatchPending(false); });
        m_out.Error(header);
    }
    ~CPortRun() { Finish(); }
    CPortRun(const CPortRun&) = delete;
    CPortRun& operator=(const CPortRun&) = delete;

    void Start(const CPortList& ports);
    bool Done() const { return m_report.phase == PortPhase::Done; }
    bool QueueValid() const { return m_queue.Valid(); }
    WaitHandle Waitable() const { return m_queue.Waitable(); }
    void OnNotify();
    void Tick();
    // Milliseconds until Tick has something to do (-1: nothing is due).
    int TimeoutMs() const;
    // Ends the port's run at once: a running transfer is stopped and ends as outcome, with why
    // and how far it got as its reason; a port still waiting for its prompt ends the same way;
    // a transfer that has ended keeps its outcome.
    void Stop(PortOutcome outcome, const std::string& why);
    const PortReport& Report();

  private:
    void DispatchPending(bool track);
    void AfterDispatch(int prevState);
    bool OnFileAsked(std::string& path);
    // Ends the transfer that was running; everyByteOut: the driver has taken the whole file.
    void EndRunningTransfer(int state, bool everyByteOut = false);
    // nextFollows: the tester asked for the file again; the port goes on to that transfer.
    void EndTransfer(PortOutcome outcome, const std::string& why = {}, bool nextFollows = false);
    // Takes the tester's verdict once it is known (a line, or the time-out).
    void CheckVerdict();
    // Ends a verdict wait without one (no_verdict), saying why in the log and on stderr if say.
    void AbandonVerdict(const std::string& reason, bool say);
    void Finish();

    // Once a write to the log has failed: the port's run says so, once, and fails.
    void CheckLog();

    const ConsoleOptions& m_opt;
    LogFile m_log;
    std::string m_logPath;
    std::function<void(const std::string&)> m_note;
    CConsoleOutput m_out;
    CNotifyQueue m_queue;
    CFileAnswer m_answer;
    CConsoleHost m_host;
    CProfileAdapter m_profile;
    CProgDoc m_doc;
    CProgView m_view;
    CTransferRecorder m_recorder;

    PortReport m_report;
    bool m_prompted = false;  // the tester has asked for an update
    CTransferAccount m_account;
    bool m_finishDue = false;
    Clock::time_point m_answerStart{};
    Clock::time_point m_lastReceived{};
    Clock::time_point m_openedAt{};
};

void CPortRun::Start(const CPortList& ports) {
    m_view.SetPortOverride(m_report.port);
    m_view.SetInitialUpdateFile(m_opt.file);
    // Every port sends the same file at the same time.
    m_view.SetShareUpdateFile(true);
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
        m_report.outcome = PortOutcome::NotOpened;
        m_report.reason = m_host.LastMessage();  // the open's own message, just shown
        m_recorder.EndedWithoutTransfer(PortOutcome::NotOpened, m_report.reason);
        Finish();
        return;
    }
    m_report.phase = PortPhase::Waiting;
    m_openedAt = Clock::now();
    if (m_opt.sendNow) {
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

void CPortRun::OnNotify() {
    DispatchPending(true);
    CheckVerdict();
    if (m_finishDue) {
        Finish();
    }
}

void CPortRun::DispatchPending(bool track) {
    DispatchNotices(m_queue, m_view, track ? &m_host : nullptr, [&](uint32_t code, int prev) {
        if (code == NOTIFY_RX_DATA) {
            m_lastReceived = Clock::now();
        }
        if (track) {
            AfterDispatch(prev);
        }
    });
}

void CPortRun::AfterDispatch(int prevState) {
    const int state = m_view.State();
    if (m_report.phase == PortPhase::Answer && state == STATE_PORT_CLOSED) {
        m_finishDue = true;  // the tester went away: there is no answer left to wait for
    }
    if (m_finishDue ||
        (m_report.phase != PortPhase::Waiting && m_report.phase != PortPhase::Sending)) {
        return;  // this port's run is over, or its last transfer has ended
    }
    if (m_host.DialogCancelled()) {
        m_prompted = true;
        EndTransfer(PortOutcome::Rejected);  // the view has said why
    } else if (state == STATE_SENDING && (prevState != STATE_SENDING || m_host.DialogAnswered())) {
        m_prompted = true;
        // The tester's verdict on the last transfer may have come in the same drain as this
        // prompt; one that has not come will not.
        CheckVerdict();
        if (m_recorder.VerdictPending()) {
            AbandonVerdict("The tester asked for the next update before it gave a verdict.", true);
        }
        m_recorder.TransferStarted(m_view.SendTotal());
        // The log says when each transfer began; what the tester says follows.
        m_out.Error(StampedMessage("Sending '" + m_view.UpdateFile() + "' (" +
                                   std::to_string(m_view.SendTotal()) + " bytes) to " +
                                   m_report.port + ".") +
                    "\n");
        m_report.phase = PortPhase::Sending;
        m_report.done = 0;
        m_report.total = m_view.SendTotal();
        m_report.seconds = 0;
        m_account.Begin(m_view, m_host);
    } else if (prevState == STATE_SENDING && state != STATE_SENDING) {
        EndRunningTransfer(state);
    } else if (prevState != STATE_PORT_CLOSED && state == STATE_PORT_CLOSED) {
        m_report.lostWhileSending = false;
        EndTransfer(PortOutcome::PortLost);
    }
}

void CPortRun::EndRunningTransfer(int state, bool everyByteOut) {
    if (state == STATE_PORT_CLOSED || m_view.LastSendError() == ERR_PORT_LOST) {
        // The sender usually sees a vanished port first: its write fails (a hung-up line, an
        // unplugged adapter) while the view still holds the port.
        m_report.lostWhileSending = true;
        EndTransfer(PortOutcome::PortLost);
    } else {
        const bool complete =
            (m_view.SendCompleted() || everyByteOut) && m_view.LastSendError() == 0;
        EndTransfer(complete ? PortOutcome::Sent : PortOutcome::Failed);
    }
}

bool CPortRun::OnFileAsked(std::string& path) {
    if (m_report.phase == PortPhase::Sending) {
        // The tester prompted again before the sender's end was reported (on Windows the sender
        // ends only once the port's output queue has drained): the view has just stopped that
        // sender, so its result is final and counts before the next transfer begins. A sender
        // stopped while it waited for the queue, with every byte handed to the driver and no
        // error, has sent the file: the tester has taken it in and asks for the next one. Any
        // other was cut: the tester started again, and the transfer that follows decides.
        const bool everyByteOut = m_view.SendTotal() > 0 && m_view.SendDone() == m_view.SendTotal();
        if (m_view.State() != STATE_PORT_CLOSED && m_view.LastSendError() == 0 &&
            !m_view.SendCompleted() && !everyByteOut) {
            EndTransfer(PortOutcome::Failed, CutTransferText(m_view), true);
        } else {
            EndRunningTransfer(m_view.State(), everyByteOut);
        }
        if (m_report.phase != PortPhase::Waiting) {
            return false;  // that was the run's one transfer
        }
    }
    path = m_opt.file;
    return true;
}

void CPortRun::EndTransfer(PortOutcome outcome, const std::string& why, bool nextFollows) {
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
    if (nextFollows || (m_opt.repeat && outcome != PortOutcome::PortLost)) {
        m_report.phase = PortPhase::Waiting;  // the next tester on this port prompts again
        return;
    }
    m_host.RefuseDialogs();
    if ((outcome == PortOutcome::Sent || outcome == PortOutcome::Failed) &&
        m_view.State() != STATE_PORT_CLOSED) {
        m_report.phase = PortPhase::Answer;
        m_answerStart = Clock::now();
        m_lastReceived = m_answerStart;
    } else {
        m_finishDue = true;
    }
}

void CPortRun::CheckVerdict() {
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
        // What the tester says after its verdict is logged until the line goes quiet.
        m_answerStart = Clock::now();
    }
}

void CPortRun::AbandonVerdict(const std::string& reason, bool say) {
    m_report.outcome = PortOutcome::NoVerdict;
    m_report.reason = reason;
    ++m_report.failed;
    if (say) {
        m_out.Message(reason);
    }
    m_recorder.GiveUpVerdict(reason);
}

void CPortRun::Tick() {
    CheckVerdict();
    const auto now = Clock::now();
    if (m_report.phase == PortPhase::Answer && !m_recorder.VerdictPending()) {
        if (now - m_lastReceived >= kAnswerQuiet || now - m_answerStart >= kAnswerLimit) {
            m_finishDue = true;
        }
    }
    if (m_opt.promptTimeout > 0 && m_report.phase == PortPhase::Waiting && !m_prompted &&
        now - m_openedAt >= std::chrono::seconds(m_opt.promptTimeout)) {
        m_report.outcome = PortOutcome::NoPrompt;
        m_report.reason = "The tester did not ask for the update within " +
                          std::to_string(m_opt.promptTimeout) + " s.";
        m_out.Message(m_report.reason);
        m_recorder.EndedWithoutTransfer(PortOutcome::NoPrompt, m_report.reason);
        m_finishDue = true;
    }
    if (m_finishDue) {
        Finish();
    }
}

int CPortRun::TimeoutMs() const {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    if (m_finishDue) {
        return 0;
    }
    std::optional<Clock::time_point> end;
    auto due = [&end](Clock::time_point t) { end = end ? std::min(*end, t) : t; };
    if (m_recorder.VerdictPending()) {
        due(m_recorder.VerdictDeadline());
    } else if (m_report.phase == PortPhase::Answer) {
        due(std::min(m_lastReceived + kAnswerQuiet, m_answerStart + kAnswerLimit));
    }
    if (m_opt.promptTimeout > 0 && m_report.phase == PortPhase::Waiting && !m_prompted) {
        due(m_openedAt + std::chrono::seconds(m_opt.promptTimeout));
    }
    if (!end) {
        return -1;
    }
    const auto now = Clock::now();
    return *end <= now ? 0 : static_cast<int>(duration_cast<milliseconds>(*end - now).count()) + 1;
}

void CPortRun::Stop(PortOutcome outcome, const std::string& why) {
    if (Done()) {
        return;
    }
    const bool stopped = m_report.phase != PortPhase::Answer;
    if (m_report.phase == PortPhase::Sending) {
        m_report.done = m_view.SendDone();
        m_report.seconds = m_account.Seconds();
        ++m_report.failed;
        m_view.StopSending();
        m_report.outcome = outcome;
        m_report.reason = why + " after " + std::to_string(m_report.done) + " of " +
                          std::to_string(m_report.total) + " bytes.";
        m_recorder.TransferEnded(outcome, m_view.SendDone(), m_view.LastSendSha256(),
                                 m_report.reason);
    } else if (m_recorder.VerdictPending()) {
        AbandonVerdict(why + " before the tester gave its verdict.", false);
    } else if (m_report.phase != PortPhase::Answer) {
        // A transfer that has ended keeps its outcome; a port still waiting was stopped.
        m_report.outcome = outcome;
        m_report.reason = why + (m_report.phase == PortPhase::Opening
                                     ? " before the port was opened."
                                     : " while waiting for the tester's prompt.");
        m_recorder.EndedWithoutTransfer(outcome, m_report.reason);
    }
    m_host.RefuseDialogs();
    // In the log only: the batch says once, on stderr, why it stopped.
    m_out.Error(StampedMessage(stopped ? m_report.reason : why + ".") + "\n");
    Finish();
}

void CPortRun::Finish() {
    m_finishDue = false;
    if (m_report.phase == PortPhase::Done) {
        return;
    }
    m_report.phase = PortPhase::Done;
    m_host.RefuseDialogs();
    m_view.ClosePort();
    // Whatever the reader had put in the ring still reaches the log, and may hold the verdict.
    DispatchPending(false);
    CheckVerdict();
    if (m_recorder.VerdictPending()) {
        AbandonVerdict("The port closed before the tester gave its verdict.", true);
    }
    m_out.FlushOut();
}

void CPortRun::CheckLog() {
    if (m_out.WriteError() == 0 || !m_report.logError.empty()) {
        return;
    }
    // The transfers go on; the operator learns that this port's record is incomplete.
    m_report.logError =
        "Cannot write the log file '" + m_logPath + "' : " + SystemErrorText(m_out.WriteError());
    m_note(m_report.logError);
}

const PortReport& CPortRun::Report() {
    CheckLog();
    if (m_report.phase == PortPhase::Sending) {
        m_report.done = m_view.SendDone();
        m_report.total = m_view.SendTotal();
        m_report.seconds = m_account.Seconds();
    }
    return m_report;
}

bool ListsAnyDevice(ISerialDeviceMap& map) {
    if (map.Open() != ERROR_SUCCESS) {
        return false;
    }
    char name[256];
    uint8_t data[256];
    uint32_t nameCap = sizeof name;
    uint32_t dataCap = sizeof data;
    uint32_t type = 0;
    const long rc = map.EnumValue(0, name, &nameCap, &type, data, &dataCap);
    map.Close();
    return rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA;
}

}  // namespace

std::vector<std::string> BatchPorts(
    const ConsoleOptions& options,
    const std::function<std::unique_ptr<ISerialDeviceMap>()>& makeMap,
    std::vector<std::string>* dropped) {
    std::vector<std::string> ports;
    std::map<std::string, std::string> devices;  // device -> the name it was first given as
    auto add = [&](const std::string& name) {
        std::string device = name;
        if (name.find("://") == std::string::npos) {
            device = DevicePathForPort(name);
            std::error_code ec;
            const auto resolved = std::filesystem::canonical(
                std::filesystem::path(std::u8string(device.begin(), device.end())), ec);
            if (!ec) {
                const auto u8 = resolved.u8string();
                device.assign(u8.begin(), u8.end());
            }
#ifdef _WIN32
            // Windows names devices without regard to case: com3 is COM3.
            std::transform(device.begin(), device.end(), device.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
#endif
        }
        const auto [at, added] = devices.emplace(device, name);
        if (added) {
            ports.push_back(name);
        } else if (dropped != nullptr && at->second != name) {
            dropped->push_back("'" + name + "' is " + device + ", given already as '" + at->second +
                               "'");
        }
    };
    for (const auto& name : options.ports) {
        add(name);
    }
    if (options.allPorts && ListsAnyDevice(*makeMap())) {
        // The list offers COM1 and COM2 when the system has no serial device; those are a
        // choice for the port menu, not testers to update.
        const auto map = makeMap();
        CPortList list;
        list.BuildPortList(*map);
        for (const PortNode* node = list.Head(); node != nullptr; node = node->pNext) {
            add(node->szName);
        }
    }
    return ports;
}

int RunBatch(const ConsoleOptions& options, CInterrupt& interrupt, std::FILE* out, std::FILE* err,
             bool errIsTerminal, const BatchWait& wait) {
    // A terminal that cannot move the cursor (TERM=dumb: an editor's shell, a CI log viewer)
    // gets the messages only.
    const char* term = std::getenv("TERM");
    const bool dumb = term != nullptr && std::string_view(term) == "dumb";
    CLiveTable table(err, errIsTerminal && !dumb && EnableTerminalControl(err));
    auto message = [&](const std::string& text) { table.Message(StampedMessage(text)); };
    const auto batchStart = Clock::now();

    if (!interrupt.Valid()) {
        message("Cannot set up the console: " + SystemErrorText(LastSystemError()));
        return EXIT_PORT_FAILED;
    }
    std::vector<std::string> sameDevice;
    const std::vector<std::string> ports = BatchPorts(
        options, [] { return MakeSystemDeviceMap(); }, &sameDevice);
    for (const auto& note : sameDevice) {
        message(note + ": its tester is updated once.");
    }
    if (ports.empty()) {
        message("There are no serial ports to update testers on.");
        return EXIT_PORT_FAILED;
    }
    // One wait watches every port and Ctrl-C.
    if (ports.size() + 1 > kMaxWaitHandles) {
        message("At most " + std::to_string(kMaxWaitHandles - 1) +
                " testers can be updated at once; " + std::to_string(ports.size()) +
                " ports were given.");
        return EXIT_USAGE;
    }

    // Every log file is opened before any port, so that a folder that cannot be written stops
    // the batch before any tester is touched.
    const std::string dirName = options.logDir.empty() ? kDefaultLogDir : options.logDir;
    const std::filesystem::path dir(std::u8string(dirName.begin(), dirName.end()));
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        message("Cannot make the log folder '" + dirName + "' : " + ec.message());
        return EXIT_PORT_FAILED;
    }
    // The records go to the log folder unless --report names another file; opened before any
    // port, like the logs.
    const std::string reportPath = options.report.empty()
                                       ? [&] {
                                             const auto u8 = (dir / kReportFileName).u8string();
                                             return std::string(u8.begin(), u8.end());
                                         }()
                                       : options.report;
    std::string reportError;
    const std::unique_ptr<CReportFile> report = CReportFile::Open(reportPath, &reportError);
    if (!report) {
        message(reportError);
        return EXIT_PORT_FAILED;
    }
    bool reportFailed = false;
    auto record = [&](const TransferRecord& r) {
        if (report->Append(r)) {
            return true;
        }
        if (!reportFailed) {
            message("Cannot write to the report '" + reportPath + "' : " +
                    SystemErrorText(LastSystemError()) + "; the summary below still holds.");
            reportFailed = true;
        }
        return false;
    };
    const VerdictRules rules = MakeVerdictRules(options);
    std::vector<LogFile> logs;
    std::vector<std::string> logPaths;
    std::set<std::string> names;
    const std::string started = LocalTimestamp();
    for (const auto& port : ports) {
        std::string name = LogFileName(port);
        for (int n = 2; !names.insert(name).second; ++n) {
            name = LogFileName(port + "-" + std::to_string(n));
        }
        const auto u8 = (dir / name).u8string();
        const std::string path(u8.begin(), u8.end());
        // Added to, never replaced: an earlier batch's log of this port is kept.
        int openError = 0;
        LogFile log(OpenForAppend(path, &openError));
        if (!log) {
            message("Cannot write the log file '" + path + "' : " + SystemErrorText(openError));
            return EXIT_PORT_FAILED;
        }
        logs.push_back(std::move(log));
        logPaths.push_back(path);
    }
    message("Updating " + std::to_string(ports.size()) +
            (ports.size() == 1 ? " tester" : " testers") + " with '" + options.file +
            "'; each port's output is logged in '" + dirName + "', the records in '" + reportPath +
            "'.");

    std::vector<std::unique_ptr<CPortRun>> runs;
    for (size_t i = 0; i < ports.size(); ++i) {
        const std::string port = ports[i];
        TransferRecord base;
        base.port = port;
        base.device = DevicePathForPort(port);
        base.file = options.file;
        base.log = logPaths[i];
        const std::string header = StampedMessage(port + ", update file '" + options.file + "'.\n");
        runs.push_back(std::make_unique<CPortRun>(
            port, options, std::move(logs[i]), logPaths[i], header,
            [&table, port](const std::string& text) {
                table.Message(StampedMessage(port + ": " + text));
            },
            std::move(base), rules, record));
        if (!runs.back()->QueueValid()) {
            message("Cannot set up the console: " + SystemErrorText(LastSystemError()));
            return EXIT_PORT_FAILED;
        }
    }

    const auto columns = [&] {
        const int width = TerminalColumns(err);
        // One column short of the edge: a line that fills the row exactly would wrap on some
        // terminals and push the table down.
        return width > 1 ? static_cast<size_t>(width - 1) : size_t{0};
    };
    auto reports = [&] {
        std::vector<PortReport> all;
        for (auto& run : runs) {
            all.push_back(run->Report());
        }
        return all;
    };
    auto drawTable = [&] {
        if (table.Live()) {
            const int rows = TerminalRows(err);
            const std::vector<PortReport> all = reports();
            const double elapsed = std::chrono::duration<double>(Clock::now() - batchStart).count();
            table.Show(FormatLiveTable(all, columns(), rows > 0 ? size_t(rows) : 0,
                                       FormatTotalsLine(all, elapsed)));
        }
    };

    {
        const auto map = MakeSystemDeviceMap();
        CPortList list;
        list.BuildPortList(*map);
        for (auto& run : runs) {
            if (interrupt.Raised()) {
                break;
            }
            run->Start(list);
            drawTable();
        }
    }

    bool interrupted = false;
    bool waitFailed = false;
    auto nextDraw = Clock::now();
    std::vector<WaitHandle> handles;
    std::vector<CPortRun*> waiting;
    size_t first = 0;
    for (;;) {
        if (interrupt.Raised()) {
            interrupted = true;
            break;
        }
        // The wait reports the lowest signalled handle, so the ports take turns at being first:
        // a busy port cannot keep the others waiting.
        handles.clear();
        waiting.clear();
        int timeout = -1;
        for (size_t k = 0; k < runs.size(); ++k) {
            CPortRun* run = runs[(first + k) % runs.size()].get();
            if (!run->Done()) {
                handles.push_back(run->Waitable());
                waiting.push_back(run);
                const int t = run->TimeoutMs();
                if (t >= 0 && (timeout < 0 || t < timeout)) {
                    timeout = t;
                }
            }
        }
        first = (first + 1) % runs.size();
        if (waiting.empty()) {
            break;
        }
        if (const int pump = table.PumpDueMs(); pump >= 0) {
            timeout = timeout < 0 ? pump : std::min(timeout, pump);
        }
        if (table.Live()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(nextDraw - Clock::now())
                    .count();
            const int t = static_cast<int>(std::max<long long>(left, 0));
            timeout = timeout < 0 ? t : std::min(timeout, t);
        }
        handles.push_back(interrupt.Waitable());
        int waitError = 0;
        const int which = wait ? wait(handles.data(), handles.size(), timeout, &waitError)
                               : WaitForAny(handles.data(), handles.size(), timeout, &waitError);
        if (which == WAIT_RESULT_FAILED) {
            message("Waiting for the testers failed: " + SystemErrorText(waitError));
            waitFailed = true;
            break;
        }
        if (which >= 0 && static_cast<size_t>(which) < waiting.size()) {
            waiting[static_cast<size_t>(which)]->OnNotify();
        }
        for (CPortRun* run : waiting) {
            run->Tick();
        }
        table.Pump();
        if (table.Live() && Clock::now() >= nextDraw) {
            drawTable();
            nextDraw = Clock::now() + kTablePeriod;
        }
    }
    if (interrupted) {
        for (auto& run : runs) {
            run->Stop(PortOutcome::Interrupted, "Interrupted");
        }
        message("Interrupted.");
    } else if (waitFailed) {
        // Nothing can serve the ports any more: they end as failed, and the run with the
        // transfers' worst status.
        for (auto& run : runs) {
            run->Stop(PortOutcome::Failed, "Stopped: waiting for the testers failed");
        }
    }
    drawTable();
    const std::vector<PortReport> all = reports();
    table.Clear();
    std::fputs(FormatSummary(all).c_str(), out);
    std::fflush(out);
    const int status = BatchStatus(all);
    message(FormatBatchVerdict(all, status));
    return status;
}

}  // namespace korv
