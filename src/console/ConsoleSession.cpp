#include "console/ConsoleSession.h"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/DeviceMap.h"
#include "platform/PermissionHint.h"
#include "platform/Program.h"
#include "platform/SysError.h"
#include "ports/PortList.h"
#include "station/Report.h"
#include "station/Station.h"

#include "korv_version.h"

namespace korv {

namespace {

using Clock = std::chrono::steady_clock;

// How often the progress line is redrawn.
constexpr std::chrono::milliseconds kProgressPeriod{250};

// Without a file on the command line, the operator types one. While the question is open the
// tester's output keeps coming (the session's own notices are dispatched) and a signal cancels
// it.
class CAskFileAnswer : public IFileAnswer {
  public:
    CAskFileAnswer(CConsoleOutput& out, CInterrupt& interrupt, WaitHandle queue)
        : m_out(out), m_interrupt(interrupt), m_queue(queue) {}
    void SetSession(CPortSession* session) { m_session = session; }

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
                if (m_session != nullptr) {
                    m_session->PumpDialog();
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
    CPortSession* m_session = nullptr;
};

// What the one-port run does between waits: the progress line, and standard error's queue.
class COnePortView : public IStationView {
  public:
    COnePortView(CConsoleOutput& out, CPortSession& session) : m_out(out), m_session(session) {}

    int DueMs() override {
        int due = -1;
        if (m_out.ProgressAllowed() && m_session.Sending()) {
            due = static_cast<int>(kProgressPeriod.count());
        }
        // Messages the terminal has not taken yet are offered again soon.
        const int pump = m_out.ErrPumpDueMs();
        return pump >= 0 && (due < 0 || pump < due) ? pump : due;
    }

    void OnWake() override {
        m_out.PumpErr();
        if (!m_out.ProgressAllowed() || !m_session.Sending()) {
            return;
        }
        const auto now = Clock::now();
        if (now - m_lastProgress < kProgressPeriod) {
            return;
        }
        m_lastProgress = now;
        const PortReport& report = m_session.Report();
        m_out.ShowProgress(FormatProgress(report.done, report.total, report.seconds));
    }

  private:
    CConsoleOutput& m_out;
    CPortSession& m_session;
    Clock::time_point m_lastProgress{};
};

}  // namespace

int RunConsoleSession(const ConsoleOptions& options, CConsoleOutput& out, CInterrupt& interrupt) {
    CStation station(interrupt);
    if (!station.Valid()) {
        out.Message("Cannot set up the console: " + SystemErrorText(LastSystemError()));
        return EXIT_PORT_FAILED;
    }
    std::unique_ptr<CReportFile> report;
    if (!options.report.empty()) {
        // Opened before the port: a report that cannot be written stops the run before the
        // tester is touched.
        std::string error;
        report = CReportFile::Open(options.report, &error);
        if (!report) {
            out.Message(error);
            return EXIT_PORT_FAILED;
        }
    }
    auto record = [&](const TransferRecord& r) {
        if (!report || report->Append(r)) {
            return true;
        }
        out.Message("Cannot write to the report '" + report->Path() +
                    "' : " + SystemErrorText(LastSystemError()) + ".");
        return false;
    };
    const VerdictRules rules =
        MakeVerdictRules(options.expect, options.reject, options.verdictTimeout, options.unitId);

    SessionSettings settings;
    settings.port = options.port;
    settings.file = options.file;
    settings.sendNow = options.sendNow;
    settings.repeat = options.repeat;
    settings.promptTimeout = options.promptTimeout;
    settings.programPath = ProgramPath();
    settings.permissionHint = &PermissionHint;
    settings.stopRequested = [&interrupt] { return interrupt.Raised(); };
    CAskFileAnswer ask(out, interrupt, station.Queue().Waitable());
    TransferRecord base = StationRecordBase(options.stationName, KORV_VERSION);
    base.port = options.port;
    base.device = options.port.empty() ? std::string() : DevicePathForPort(options.port);
    base.file = options.file;
    CPortSession& session = station.Add(std::make_unique<CPortSession>(
        settings, station.Queue(), out, options.file.empty() ? &ask : nullptr, std::move(base),
        rules, record));
    ask.SetSession(&session);

    const auto map = MakeSystemDeviceMap();
    CPortList ports;
    ports.BuildPortList(*map);
    COnePortView view(out, session);
    int waitError = 0;
    switch (station.Run(ports, view, &waitError)) {
        case CStation::End::Done:
            break;
        case CStation::End::Interrupted:
            session.Stop(PortOutcome::Interrupted, "Interrupted");
            out.Message("Interrupted.");
            break;
        case CStation::End::WaitFailed:
            out.Message("Waiting failed: " + SystemErrorText(waitError));
            // A transfer still running is cut by the close; one that has ended keeps its status.
            session.Stop(PortOutcome::Failed, "Stopped: waiting failed");
            break;
    }
    out.ClearProgress();
    out.FlushOut();
    return station.Status();
}

}  // namespace korv
