#include "console/BatchRun.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "console/BatchTable.h"
#include "platform/ConsoleIo.h"
#include "platform/DeviceMap.h"
#include "platform/PermissionHint.h"
#include "platform/SerialPort.h"
#include "platform/SysError.h"
#include "ports/PortList.h"
#include "station/Report.h"
#include "station/Station.h"
#include "station/StationLogs.h"
#include "station/TimeText.h"

#include "korv_version.h"

namespace korv {

namespace {

using Clock = std::chrono::steady_clock;

// How often the live table is redrawn.
constexpr std::chrono::milliseconds kTablePeriod{250};

// Ctrl-C stops every port's sender one after the other; each stop waits for its worker to notice
// the abort, so the view looks at the worker's flag often.
CProgView::Timing BatchTiming() {
    CProgView::Timing timing;
    timing.alivePoll = std::chrono::milliseconds(5);
    return timing;
}

// What the batch does between the station's waits: the live table, standard error's queue, and
// the logs that could not be written.
class CBatchView : public IStationView {
  public:
    CBatchView(CStation& station, CLiveTable& table, std::vector<CPortLog*>& logs, std::FILE* err,
               Clock::time_point start, bool unitColumn)
        : m_station(station),
          m_table(table),
          m_logs(logs),
          m_err(err),
          m_start(start),
          m_unitColumn(unitColumn) {}

    int DueMs() override {
        int due = m_table.PumpDueMs();
        if (m_table.Live()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(m_nextDraw - Clock::now())
                    .count();
            const int t = static_cast<int>(std::max<long long>(left, 0));
            due = due < 0 ? t : std::min(due, t);
        }
        return due;
    }

    void OnWake() override {
        CheckLogs();
        m_table.Pump();
        if (m_table.Live() && Clock::now() >= m_nextDraw) {
            Draw();
            m_nextDraw = Clock::now() + kTablePeriod;
        }
    }

    // Once a write to a log has failed: the port's run says so, once, and fails.
    void CheckLogs() {
        const auto& sessions = m_station.Sessions();
        for (size_t i = 0; i < m_logs.size() && i < sessions.size(); ++i) {
            const auto error = m_logs[i]->NewFailure();
            if (!error) {
                continue;
            }
            // The transfers go on; the operator learns that this port's record is incomplete.
            sessions[i]->SetLogError(*error);
            m_table.Message(StampedMessage(sessions[i]->Report().port + ": " + *error));
        }
    }

    void Draw() {
        if (!m_table.Live()) {
            return;
        }
        const int width = TerminalColumns(m_err);
        // One column short of the edge: a line that fills the row exactly would wrap on some
        // terminals and push the table down.
        const size_t columns = width > 1 ? static_cast<size_t>(width - 1) : size_t{0};
        const int rows = TerminalRows(m_err);
        const std::vector<PortReport> all = m_station.Reports();
        const double elapsed = std::chrono::duration<double>(Clock::now() - m_start).count();
        m_table.Show(FormatLiveTable(all, columns, rows > 0 ? size_t(rows) : 0,
                                     FormatTotalsLine(all, elapsed), m_unitColumn));
    }

  private:
    CStation& m_station;
    CLiveTable& m_table;
    std::vector<CPortLog*>& m_logs;
    std::FILE* m_err;
    Clock::time_point m_start;
    bool m_unitColumn;
    Clock::time_point m_nextDraw = Clock::now();
};

// The label a station file gave the port; empty for none.
std::string LabelOf(const ConsoleOptions& options, const std::string& port) {
    for (size_t i = 0; i < options.ports.size() && i < options.labels.size(); ++i) {
        if (options.ports[i] == port) {
            return options.labels[i];
        }
    }
    return {};
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

    // The logs outlive the sessions that write them.
    std::unique_ptr<CStationLogs> stationLogs;
    CStation station(interrupt, wait);
    if (!station.Valid()) {
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

    // Every log file is opened before any port, so that a folder that cannot be written stops
    // the batch before any tester is touched. The records go to the log folder unless --report
    // names another file.
    const std::string dirName = options.logDir.empty() ? kDefaultLogDir : options.logDir;
    std::string openError;
    stationLogs = CStationLogs::Open(dirName, options.report, &openError);
    if (!stationLogs) {
        message(openError);
        return EXIT_PORT_FAILED;
    }
    const std::string reportPath = stationLogs->ReportPath();
    auto record = stationLogs->RecordSink(
        [&](const std::string& text) { message(text + "; the summary below still holds."); });
    const VerdictRules rules =
        MakeVerdictRules(options.expect, options.reject, options.verdictTimeout, options.unitId);
    std::vector<CPortLog*> logs(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        logs[i] = stationLogs->AddPort(ports[i], &openError);
        if (logs[i] == nullptr) {
            message(openError);
            return EXIT_PORT_FAILED;
        }
    }
    message("Updating " + std::to_string(ports.size()) +
            (ports.size() == 1 ? " tester" : " testers") + " with '" + options.file +
            "'; each port's output is logged in '" + dirName + "', the records in '" + reportPath +
            "'.");

    SessionSettings settings;
    settings.file = options.file;
    settings.sendNow = options.sendNow;
    settings.repeat = options.repeat;
    settings.promptTimeout = options.promptTimeout;
    // Every port sends the same file at the same time.
    settings.shareFile = true;
    settings.logLines = true;
    settings.timing = BatchTiming();
    settings.permissionHint = &PermissionHint;
    const TransferRecord stationBase = StationRecordBase(options.stationName, KORV_VERSION);
    for (size_t i = 0; i < ports.size(); ++i) {
        const std::string port = ports[i];
        const std::string label = LabelOf(options, port);
        CLogOutput& out = logs[i]->Output();
        // The port's messages are in its log, and beside its name on standard error.
        out.SetMessageObserver([&table, port](const std::string& text) {
            table.Message(StampedMessage(port + ": " + text));
        });
        out.Error(StampedMessage(port + (label.empty() ? "" : " (" + label + ")") +
                                 ", update file '" + options.file + "'.\n"));
        TransferRecord base = stationBase;
        base.port = port;
        base.slot = label;
        base.device = DevicePathForPort(port);
        base.file = options.file;
        base.log = logs[i]->Path();
        settings.port = port;
        station.Add(std::make_unique<CPortSession>(settings, station.Queue(), out, nullptr,
                                                   std::move(base), rules, record));
    }

    const auto map = MakeSystemDeviceMap();
    CPortList list;
    list.BuildPortList(*map);
    CBatchView view(station, table, logs, err, batchStart, !options.unitId.empty());
    view.Draw();
    int waitError = 0;
    switch (station.Run(list, view, &waitError)) {
        case CStation::End::Done:
            break;
        case CStation::End::Interrupted:
            station.StopAll(PortOutcome::Interrupted, "Interrupted");
            message("Interrupted.");
            break;
        case CStation::End::WaitFailed:
            message("Waiting for the testers failed: " + SystemErrorText(waitError));
            // Nothing can serve the ports any more: they end as failed, and the run with the
            // transfers' worst status.
            station.StopAll(PortOutcome::Failed, "Stopped: waiting for the testers failed");
            break;
    }
    view.CheckLogs();
    view.Draw();
    const std::vector<PortReport> all = station.Reports();
    table.Clear();
    // A console is given the text as characters, whatever its code page.
    WriteText(out, FormatSummary(all, !options.unitId.empty()));
    std::fflush(out);
    const int status = BatchStatus(all);
    message(FormatBatchVerdict(all, status));
    return status;
}

}  // namespace korv
