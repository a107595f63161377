#include "station/StationModel.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <optional>

#include "platform/SerialPort.h"
#include "platform/SysError.h"
#include "platform/UpdateFile.h"
#include "ports/PortList.h"
#include "station/PortSession.h"
#include "station/Station.h"
#include "station/StationLogs.h"
#include "station/TimeText.h"
#include "station/Verdict.h"
#include "view/Strings.h"

namespace korv {

namespace {

using Clock = std::chrono::steady_clock;

// A port's pane before the window has said how large its pane is: 80 columns by 24 rows.
constexpr int kDefaultCellWidth = 8;
constexpr int kDefaultCellHeight = 16;
constexpr int kDefaultCols = 80;
constexpr int kDefaultRows = 24;
// While ports only wait, the elapsed time is the only figure that moves.
constexpr std::chrono::milliseconds kIdleRedraw{1000};

// Stop stops every sender one after the other; each stop waits for its worker to notice the
// abort, so the view looks at the worker's flag often (as a console batch does).
CProgView::Timing StationTiming() {
    CProgView::Timing timing;
    timing.alivePoll = std::chrono::milliseconds(5);
    return timing;
}

std::string Clock2(double seconds) {
    const auto s = static_cast<long long>(seconds < 0 ? 0 : seconds);
    char text[32];
    if (s >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    }
    return text;
}

// "15.0/40.0 KiB", the amounts in the unit chosen for the total.
std::string BytesText(uint64_t done, uint64_t total) {
    const bool mib = static_cast<double>(total) >= 10.0 * 1024 * 1024;
    const double scale = mib ? 1024.0 * 1024.0 : 1024.0;
    char text[64];
    std::snprintf(text, sizeof text, "%.1f/%.1f %s", static_cast<double>(done) / scale,
                  static_cast<double>(total) / scale, mib ? "MiB" : "KiB");
    return text;
}

// "0:04 left"; "--:-- left" while it is too early for a rate that means anything.
std::string LeftText(uint64_t done, uint64_t total, double seconds) {
    if (seconds < 0.5 || done == 0) {
        return "--:-- left";
    }
    const double rate = static_cast<double>(done) / seconds;
    return Clock2(static_cast<double>(total - std::min(done, total)) / rate + 0.5) + " left";
}

// The outcome a record names (RecordOutcome's inverse; "aborted" is Interrupted).
PortOutcome OutcomeOfRecord(const std::string& name) {
    for (const PortOutcome o :
         {PortOutcome::Sent, PortOutcome::Accepted, PortOutcome::TesterRejected,
          PortOutcome::NoVerdict, PortOutcome::Interrupted, PortOutcome::Failed,
          PortOutcome::PortLost, PortOutcome::NotOpened, PortOutcome::NoPrompt,
          PortOutcome::Rejected}) {
        if (name == RecordOutcome(o)) {
            return o;
        }
    }
    return PortOutcome::Failed;
}

// The update file as the sender checks it: a regular file that opens and starts with "* ".
bool CheckUpdateFile(const std::string& path, std::string* message) {
    CUpdateFile file;
    if (const int err = file.Open(path, true); err != 0) {
        *message = FormatMessageString(LoadString(IDS_FILE_OPEN_FAILED), {path}) + " : " +
                   SystemErrorText(err);
        return false;
    }
    char header[2];
    uint32_t got = 0;
    if (file.Read(header, sizeof header, &got) != 0 || got != 2 || header[0] != '*' ||
        header[1] != ' ') {
        *message = FormatMessageString(LoadString(IDS_NOT_UPDATE_FILE), {path});
        return false;
    }
    return true;
}

bool CheckPattern(const std::string& what, const std::string& pattern, std::string* message,
                  bool unit = false) {
    if (pattern.empty()) {
        return true;
    }
    std::string error;
    if (!(unit ? CompileUnitPattern(pattern, &error) : CompilePattern(pattern, &error))) {
        *message = what + ": " + error;
        return false;
    }
    return true;
}

}  // namespace

struct CStationModel::Impl {
    // One port of the station: its place in the config, its screen model (which lives as long
    // as the row, across runs) and, while a run has it, its session and log.
    struct Port {
        CReportWidget terminal;
        std::string product;  // looked up once: the lookup reads the system's device tables
        CPortLog* log = nullptr;
        CPortSession* session = nullptr;
        std::string lastMessage;
        // The last record's reason or verdict line: what the row says of the last outcome, even
        // when the port says more afterwards (the tester leaving the line).
        std::string lastOutcome;
        bool cut = false;  // the operator's stop or abort cut a transfer short
        // How the last transfer that began ended, from its record (None: none has).
        PortOutcome lastTransfer = PortOutcome::None;
        int passed = 0;    // transfers of this run that the tester got (sent or accepted)
        int finished = 0;  // transfers of this run whose outcome is known
    };

    explicit Impl(StationModelSetup s) : setup(std::move(s)) {
        if (!setup.now) {
            setup.now = [] { return Clock::now(); };
        }
    }

    StationModelSetup setup;
    std::function<void(unsigned)> onChange;
    StationConfig config;
    std::string filePath;
    // Declared before the station: the sessions write to the logs and through the rules until
    // they are gone.
    std::unique_ptr<CStationLogs> logs;
    VerdictRules rules;
    CStation station;
    // The sessions' port choice, which a station never shows: every session has its port.
    const CPortList noPortChoice;
    std::vector<std::unique_ptr<Port>> ports;  // by row
    std::vector<StationRow> rows;
    int selected = -1;
    int cellWidth = kDefaultCellWidth;
    int cellHeight = kDefaultCellHeight;
    int paneWidth = kDefaultCols * kDefaultCellWidth + 2;
    int paneHeight = kDefaultRows * kDefaultCellHeight + 2;
    bool running = false;
    bool everStarted = false;
    Clock::time_point started{};
    Clock::time_point ended{};
    unsigned pending = 0;  // changes not told yet
    Clock::time_point lastTold{};

    void Tell(unsigned what) {
        RefreshRows();
        pending = 0;
        lastTold = setup.now();
        if (onChange) {
            onChange(what);
        }
    }

    // Changes that the window hears of at most once every redraw period.
    void Later(unsigned what) { pending |= what; }

    int RowIndexOf(const Port* port) const {
        for (size_t i = 0; i < ports.size(); ++i) {
            if (ports[i].get() == port) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    size_t SessionIndexOf(const CPortSession* session) const {
        const auto& sessions = station.Sessions();
        for (size_t i = 0; i < sessions.size(); ++i) {
            if (sessions[i].get() == session) {
                return i;
            }
        }
        return sessions.size();
    }

    void SizeTerminal(CReportWidget& terminal) const {
        if (terminal.Rows() == 0 && terminal.Cols() == 0) {
            terminal.SetCellSize(cellWidth, cellHeight);
            terminal.OnSize(paneWidth, paneHeight);
        } else {
            terminal.Rescale(cellWidth, cellHeight, paneWidth, paneHeight);
        }
    }

    std::unique_ptr<Port> MakePort(const std::string& name) const {
        auto port = std::make_unique<Port>();
        SizeTerminal(port->terminal);
        if (setup.describePort) {
            port->product = setup.describePort(name);
        }
        return port;
    }

    // A session for row i that writes log; started by the next station.Begin.
    void AddSession(size_t i, CPortLog* log) {
        Port& port = *ports[i];
        const StationPort& sp = config.ports[i];
        port.log = log;
        port.cut = false;
        port.lastTransfer = PortOutcome::None;
        port.passed = 0;
        port.finished = 0;
        port.lastMessage.clear();
        port.lastOutcome.clear();
        CLogOutput& out = log->Output();
        out.SetTerminal(&port.terminal);
        Port* p = &port;
        out.SetMessageObserver([this, p](const std::string& text) {
            p->lastMessage = text;
            Later(ChangeFigures);
        });
        out.Error(StampedMessage(sp.name + ", update file '" + config.file + "'.\n"));

        SessionSettings settings;
        settings.port = sp.name;
        settings.file = config.file;
        settings.repeat = config.repeat;
        settings.promptTimeout = config.promptTimeout;
        // Every port sends the same file at the same time.
        settings.shareFile = true;
        settings.logLines = true;
        settings.timing = StationTiming();
        settings.permissionHint = setup.permissionHint;

        TransferRecord base = StationRecordBase(
            config.stationName.empty() ? setup.station : config.stationName, setup.version);
        base.port = sp.name;
        base.device = DevicePathForPort(sp.name);
        base.file = config.file;
        base.log = log->Path();
        base.slot = sp.label;

        auto sink = logs->RecordSink([this](const std::string& text) {
            // Told on every port's row: the records of all of them are incomplete from now on.
            for (auto& each : ports) {
                if (each->session != nullptr) {
                    each->lastOutcome = text;
                }
            }
            Later(ChangeFigures);
        });
        auto counted = [p, sink = std::move(sink)](const TransferRecord& record) {
            p->lastOutcome = !record.reason.empty()    ? record.reason
                             : !record.verdict.empty() ? ShownTesterText(record.verdict)
                                                       : p->lastMessage;
            // A transfer that began is one of the run's yield, whatever became of it; a port that
            // never got that far (not opened, no prompt, stopped while waiting) is not.
            if (record.outcome == RecordOutcome(PortOutcome::Sent) ||
                record.outcome == RecordOutcome(PortOutcome::Accepted)) {
                ++p->passed;
                ++p->finished;
            } else if (record.fileBytes.has_value()) {
                ++p->finished;
            }
            if (record.fileBytes.has_value()) {
                p->lastTransfer = OutcomeOfRecord(record.outcome);
            }
            return sink(record);
        };
        port.session = &station.Add(
            std::make_unique<CPortSession>(std::move(settings), station.Queue(), out, nullptr,
                                           std::move(base), rules, std::move(counted)));
    }

    void CheckLogs() {
        for (auto& port : ports) {
            if (port->log == nullptr || port->session == nullptr) {
                continue;
            }
            if (auto error = port->log->NewFailure()) {
                // The transfers go on; the operator learns that this port's log is incomplete.
                port->session->SetLogError(*error);
                port->lastMessage = *error;
                Later(ChangeFigures);
            }
        }
    }

    // Running turns false once every port has ended its run by itself.
    void CheckEnd() {
        if (running && !station.Active()) {
            running = false;
            ended = setup.now();
            Later(ChangeState | ChangeFigures);
        }
    }

    StationRow MakeRow(size_t i) {
        Port& port = *ports[i];
        StationRow row;
        row.label = config.ports[i].label;
        row.name = config.ports[i].name;
        row.product = port.product;
        row.last = port.lastOutcome.empty() ? port.lastMessage : port.lastOutcome;
        if (port.session == nullptr) {
            row.state = "idle";
            return row;
        }
        const PortReport& r = port.session->Report();
        row.unit = r.unit;
        row.done = r.done;
        row.total = r.total;
        row.percent =
            r.total == 0 ? 0 : static_cast<int>(std::min(r.done, r.total) * 100 / r.total);
        if (r.total > 0) {
            row.bytesText = BytesText(r.done, r.total);
        }
        row.sent = r.sent;
        row.accepted = r.accepted;
        row.failed = r.failed;
        row.logError = r.logError;
        row.running = r.phase != PortPhase::Done;
        row.sending = r.phase == PortPhase::Sending;
        // A line that went away between testers (a tester unplugged once it had its update)
        // leaves the last tester's outcome in sight; a transfer cut by it is its own outcome.
        const bool lostBetween = r.outcome == PortOutcome::PortLost && !r.lostWhileSending &&
                                 port.lastTransfer != PortOutcome::None;
        switch (r.phase) {
            case PortPhase::Opening:
                row.state = "opening";
                return row;
            case PortPhase::Sending:
                row.state = "sending";
                row.leftText = LeftText(r.done, r.total, r.seconds);
                return row;
            case PortPhase::Reconnecting:
                if (r.outcome == PortOutcome::PortLost && !lostBetween && !r.lostWhileSending) {
                    row.state = "reconnecting";  // no tester has been served yet
                    return row;
                }
                break;
            case PortPhase::Waiting:
                if (r.outcome == PortOutcome::None) {
                    row.state = "waiting for the tester";
                    return row;
                }
                break;
            case PortPhase::Answer:
            case PortPhase::Done:
                break;
        }
        PortReport shown = r;
        if (lostBetween) {
            shown.outcome = port.lastTransfer;
            shown.verdictPending = false;
        }
        SetOutcome(row, shown, port.cut);
        if (r.phase == PortPhase::Reconnecting) {
            row.state += "; reconnecting";
        } else if (r.phase == PortPhase::Waiting) {
            // The last tester's outcome stays in sight until the next tester asks.
            row.state += ", waiting for the next tester";
        } else if (lostBetween) {
            row.state += "; port lost since";
        }
        return row;
    }

    static void SetOutcome(StationRow& row, const PortReport& r, bool cut) {
        row.tone = RowTone::Fail;
        switch (r.outcome) {
            case PortOutcome::None:
                row.state = "idle";
                row.tone = RowTone::Neutral;
                return;
            case PortOutcome::Sent:
                row.state = r.verdictPending ? "sent, waiting for the verdict" : "sent";
                row.tone = r.verdictPending ? RowTone::Neutral : RowTone::Pass;
                return;
            case PortOutcome::Accepted:
                row.state = "accepted";
                row.tone = RowTone::Pass;
                return;
            case PortOutcome::TesterRejected:
                row.state = "rejected";
                return;
            case PortOutcome::NoVerdict:
                row.state = "no verdict";
                return;
            case PortOutcome::Failed:
                row.state = "failed";
                return;
            case PortOutcome::PortLost:
                row.state = "lost";
                return;
            case PortOutcome::NotOpened:
                row.state = "not opened";
                return;
            case PortOutcome::Rejected:
                row.state = "file rejected";
                return;
            case PortOutcome::NoPrompt:
                row.state = "no prompt";
                return;
            case PortOutcome::Interrupted:
                // A transfer cut short failed; a port that only waited was merely stopped.
                row.state = cut ? "aborted" : "stopped";
                row.tone = cut ? RowTone::Fail : RowTone::Neutral;
                return;
        }
    }

    void RefreshRows() {
        rows.resize(ports.size());
        for (size_t i = 0; i < ports.size(); ++i) {
            rows[i] = MakeRow(i);
        }
    }

    // Ends a port's run as the operator asked; a running transfer is cut and recorded.
    void StopPort(Port& port, const std::string& why) {
        if (port.session == nullptr || port.session->Done()) {
            return;
        }
        port.cut = port.session->Sending();
        port.session->Stop(PortOutcome::Interrupted, why);
        port.lastMessage = port.session->Report().reason;
    }

    // The port's row goes: nothing of its run may reach its screen or its counts any more.
    static void Detach(Port& port) {
        port.terminal.AttachWindow(nullptr);
        if (port.log != nullptr) {
            port.log->Output().SetTerminal(nullptr);
            port.log->Output().SetMessageObserver(nullptr);
        }
    }

    bool Refuse(std::string* message, const std::string& text) const {
        if (message != nullptr) {
            *message = text;
        }
        return false;
    }
};

CStationModel::CStationModel(StationModelSetup setup)
    : m_impl(std::make_unique<Impl>(std::move(setup))) {}

CStationModel::~CStationModel() {
    // Whoever listened may be going too: the last changes are told to nobody.
    m_impl->onChange = nullptr;
    Stop();
    m_impl->station.Clear(PortOutcome::Interrupted, "Stopped");
    for (auto& port : m_impl->ports) {
        Impl::Detach(*port);
    }
}

bool CStationModel::Valid() const {
    return m_impl->station.Valid();
}

void CStationModel::OnChange(std::function<void(unsigned)> onChange) {
    m_impl->onChange = std::move(onChange);
}

WaitHandle CStationModel::Waitable() const {
    return m_impl->station.Waitable();
}

void CStationModel::Serve() {
    Impl& m = *m_impl;
    m.station.Serve();
    m.CheckLogs();
    if (m.running) {
        // Bytes, times and phases move while ports run.
        m.Later(ChangeFigures);
    }
    m.CheckEnd();
    if (m.pending != 0 && m.setup.now() - m.lastTold >= kRedrawPeriod) {
        m.Tell(m.pending);
    }
}

int CStationModel::TimeoutMs() const {
    const Impl& m = *m_impl;
    int timeout = m.station.TimeoutMs();
    auto due = [&timeout](int ms) { timeout = timeout < 0 ? ms : std::min(timeout, ms); };
    const auto now = m.setup.now();
    auto msUntil = [&now](Clock::time_point t) {
        return t <= now
                   ? 0
                   : static_cast<int>(
                         std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count()) +
                         1;
    };
    if (m.pending != 0) {
        due(msUntil(m.lastTold + kRedrawPeriod));
    }
    if (m.running) {
        const bool sending = std::any_of(m.ports.begin(), m.ports.end(), [](const auto& port) {
            return port->session != nullptr && port->session->Sending();
        });
        due(msUntil(m.lastTold +
                    (sending ? std::chrono::milliseconds(kRedrawPeriod) : kIdleRedraw)));
    }
    return timeout;
}

const StationConfig& CStationModel::Config() const {
    return m_impl->config;
}

size_t CStationModel::RowCount() const {
    return m_impl->rows.size();
}

const StationRow& CStationModel::Row(size_t index) const {
    return m_impl->rows.at(index);
}

const std::vector<StationRow>& CStationModel::Rows() const {
    return m_impl->rows;
}

StationTotals CStationModel::Totals() const {
    const Impl& m = *m_impl;
    StationTotals t;
    int passed = 0;
    for (size_t i = 0; i < m.rows.size(); ++i) {
        t.sent += m.rows[i].sent;
        t.accepted += m.rows[i].accepted;
        t.failed += m.rows[i].failed;
        passed += m.ports[i]->passed;
        t.finished += m.ports[i]->finished;
    }
    if (t.finished == 0) {
        t.yield = "\xE2\x80\x94";  // an em dash: nothing to divide yet
    } else {
        char text[32];
        std::snprintf(text, sizeof text, "%d %%", (passed * 200 + t.finished) / (2 * t.finished));
        t.yield = text;
    }
    const auto end = m.running ? m.setup.now() : m.ended;
    t.elapsed =
        m.everStarted ? Clock2(std::chrono::duration<double>(end - m.started).count()) : "0:00";
    t.text = "Sent " + std::to_string(t.sent) + ", accepted " + std::to_string(t.accepted) +
             ", failed " + std::to_string(t.failed) + ", yield " + t.yield + ", " + t.elapsed +
             " elapsed";
    return t;
}

bool CStationModel::Running() const {
    return m_impl->running;
}

std::string CStationModel::LogFolder() const {
    return m_impl->logs ? m_impl->logs->Dir() : std::string();
}

std::string CStationModel::ReportPath() const {
    return m_impl->logs ? m_impl->logs->ReportPath() : std::string();
}

int CStationModel::SelectedRow() const {
    return m_impl->selected;
}

void CStationModel::Select(int index) {
    m_impl->selected = index >= 0 && static_cast<size_t>(index) < m_impl->ports.size() ? index : -1;
}

CReportWidget& CStationModel::Terminal(size_t index) {
    return m_impl->ports.at(index)->terminal;
}

void CStationModel::SetTerminalGeometry(int cellWidth, int cellHeight, int width, int height) {
    Impl& m = *m_impl;
    m.cellWidth = cellWidth;
    m.cellHeight = cellHeight;
    m.paneWidth = width;
    m.paneHeight = height;
    for (auto& port : m.ports) {
        m.SizeTerminal(port->terminal);
    }
}

bool CStationModel::Start(std::string* message) {
    Impl& m = *m_impl;
    if (m.running) {
        return m.Refuse(message, "The station is running already.");
    }
    if (m.config.ports.empty()) {
        return m.Refuse(message, "Add a port to the station first.");
    }
    if (m.config.file.empty()) {
        return m.Refuse(message, "Choose the update file first.");
    }
    std::string problem;
    if (!CheckUpdateFile(m.config.file, &problem) ||
        !CheckPattern("The accepting line", m.config.expect, &problem) ||
        !CheckPattern("The rejecting line", m.config.reject, &problem) ||
        !CheckPattern("The unit pattern", m.config.unitId, &problem, true)) {
        return m.Refuse(message, problem);
    }
    const std::string dir = m.config.logDir.empty() ? m.setup.defaultLogDir : m.config.logDir;
    std::unique_ptr<CStationLogs> runLogs = CStationLogs::Open(dir, "", &problem);
    if (!runLogs) {
        return m.Refuse(message, problem);
    }
    // Every port's log is opened before any port, so that a log that cannot be written stops
    // the run before a tester is touched.
    std::vector<CPortLog*> portLogs;
    for (const auto& port : m.config.ports) {
        CPortLog* log = runLogs->AddPort(port.name, &problem);
        if (log == nullptr) {
            return m.Refuse(message, problem);
        }
        portLogs.push_back(log);
    }
    // The last run's sessions have all ended; they go before the rules and logs they use.
    m.station.Clear(PortOutcome::Interrupted, "Stopped");
    for (auto& port : m.ports) {
        port->session = nullptr;
        port->log = nullptr;
    }
    m.logs = std::move(runLogs);
    m.rules = MakeVerdictRules(m.config.expect, m.config.reject, m.config.verdictTimeout,
                               m.config.unitId);
    for (size_t i = 0; i < m.ports.size(); ++i) {
        m.AddSession(i, portLogs[i]);
    }
    m.running = true;
    m.everStarted = true;
    m.started = m.setup.now();
    m.station.Begin(m.noPortChoice);
    m.CheckEnd();
    m.Tell(ChangeState | ChangeFigures);
    return true;
}

void CStationModel::Stop() {
    Impl& m = *m_impl;
    if (!m.running) {
        return;
    }
    for (auto& port : m.ports) {
        m.StopPort(*port, "Stopped by the operator");
    }
    m.CheckLogs();
    m.running = false;
    m.ended = m.setup.now();
    m.Tell(ChangeState | ChangeFigures);
}

bool CStationModel::Abort(size_t index, std::string* message) {
    Impl& m = *m_impl;
    if (index >= m.ports.size()) {
        return m.Refuse(message, "Select a port first.");
    }
    Impl::Port& port = *m.ports[index];
    if (port.session == nullptr || !port.session->Sending()) {
        return m.Refuse(message, "No transfer is running on " + m.config.ports[index].name + ".");
    }
    m.StopPort(port, "Aborted by the operator");
    m.CheckEnd();
    m.Tell(ChangeFigures | (m.running ? 0u : unsigned(ChangeState)));
    return true;
}

bool CStationModel::AddPort(const std::string& name, const std::string& label,
                            std::string* message) {
    Impl& m = *m_impl;
    if (name.empty()) {
        return m.Refuse(message, "Choose a port to add.");
    }
    for (const auto& port : m.config.ports) {
        if (port.name == name) {
            return m.Refuse(message, "The station has the port " + name + " already.");
        }
    }
    m.config.ports.push_back({name, label});
    m.ports.push_back(m.MakePort(name));
    if (m.running) {
        std::string problem;
        CPortLog* log = m.logs->AddPort(name, &problem);
        if (log == nullptr) {
            m.config.ports.pop_back();
            m.ports.pop_back();
            return m.Refuse(message, problem);
        }
        m.AddSession(m.ports.size() - 1, log);
        m.station.Begin(m.noPortChoice);
    }
    m.Tell(ChangeRows);
    return true;
}

bool CStationModel::RemovePort(size_t index, std::string* message) {
    Impl& m = *m_impl;
    if (index >= m.ports.size()) {
        return m.Refuse(message, "Select a port first.");
    }
    Impl::Port& port = *m.ports[index];
    if (port.session != nullptr) {
        m.StopPort(port, "Removed from the station");
        m.station.Remove(m.SessionIndexOf(port.session), PortOutcome::Interrupted,
                         "Removed from the station");
        port.session = nullptr;
    }
    Impl::Detach(port);
    m.ports.erase(m.ports.begin() + static_cast<std::ptrdiff_t>(index));
    m.config.ports.erase(m.config.ports.begin() + static_cast<std::ptrdiff_t>(index));
    if (m.selected >= static_cast<int>(m.ports.size())) {
        m.selected = static_cast<int>(m.ports.size()) - 1;
    }
    m.CheckEnd();
    m.Tell(ChangeRows | ChangeState);
    return true;
}

bool CStationModel::SetLabel(size_t index, const std::string& label, std::string* message) {
    Impl& m = *m_impl;
    if (index >= m.ports.size()) {
        return m.Refuse(message, "Select a port first.");
    }
    // The records of a run that is under way keep the label they started with.
    m.config.ports[index].label = label;
    m.Tell(ChangeFigures);
    return true;
}

bool CStationModel::SetSettings(const StationConfig& config, std::string* message) {
    Impl& m = *m_impl;
    if (m.running) {
        return m.Refuse(message, "Stop the station before changing its settings.");
    }
    if (config.verdictTimeout <= 0) {
        return m.Refuse(message, "The verdict time-out must be at least 1 s.");
    }
    if (config.promptTimeout < 0) {
        return m.Refuse(message, "The prompt time-out cannot be negative.");
    }
    std::vector<StationPort> ports = std::move(m.config.ports);
    m.config = config;
    m.config.ports = std::move(ports);
    m.Tell(ChangeState);
    return true;
}

bool CStationModel::Load(const std::string& path, std::string* message) {
    Impl& m = *m_impl;
    if (m.running) {
        return m.Refuse(message, "Stop the station before opening another.");
    }
    std::string error;
    std::optional<StationConfig> config = LoadStationFile(path, &error);
    if (!config) {
        return m.Refuse(message, error);
    }
    // The last run's sessions go with the rows they belong to.
    m.station.Clear(PortOutcome::Interrupted, "Stopped");
    for (auto& port : m.ports) {
        Impl::Detach(*port);
    }
    m.ports.clear();
    m.config = std::move(*config);
    for (const auto& port : m.config.ports) {
        m.ports.push_back(m.MakePort(port.name));
    }
    m.selected = m.ports.empty() ? -1 : 0;
    m.everStarted = false;
    m.filePath = path;
    m.Tell(ChangeRows | ChangeState | ChangeFigures);
    return true;
}

bool CStationModel::Save(const std::string& path, std::string* message) {
    Impl& m = *m_impl;
    std::string error;
    if (!SaveStationFile(path, m.config, &error)) {
        return m.Refuse(message, error);
    }
    m.filePath = path;
    return true;
}

const std::string& CStationModel::FilePath() const {
    return m_impl->filePath;
}

bool CStationModel::CanCloseWithoutAsking() const {
    const Impl& m = *m_impl;
    return std::none_of(m.ports.begin(), m.ports.end(), [](const auto& port) {
        if (port->session == nullptr || port->session->Done()) {
            return false;
        }
        const PortReport& r = port->session->Report();
        return r.phase == PortPhase::Sending || r.verdictPending;
    });
}

}  // namespace korv
