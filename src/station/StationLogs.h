#pragma once
// Where a station's runs leave their trace, the same for the console's batch and the station
// window: a log folder, one log per port (added to, never replaced) that holds the session's
// output, and the records of every transfer in one report. Everything is opened before any port
// is, so that a folder that cannot be written stops the run before a tester is touched.

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "station/Report.h"
#include "station/SessionHost.h"
#include "terminal/ReportWidget.h"

namespace korv {

// The log file's name for a port: its name without "/dev/" or "\\.\", with every character
// other than letters, digits, '.', '_' and '-' replaced ('/' by '-'), a '_' after a name that
// Windows keeps for a device (COM1..COM9, LPT1..LPT9, CON, PRN, AUX, NUL), and ".log" appended.
std::string LogFileName(const std::string& port);

// A session's output written to its log: the tester's bytes as the pane shows them, and each
// message as a line "<local time> KORVALIN: <text>". A window's port also shows the bytes on a
// screen model of its own.
class CLogOutput : public ISessionOutput {
  public:
    // file is written, not owned; null writes nothing (the terminal alone).
    explicit CLogOutput(std::FILE* file) : m_file(file) {}
    ~CLogOutput() override;
    CLogOutput(const CLogOutput&) = delete;
    CLogOutput& operator=(const CLogOutput&) = delete;

    void Echo(char ch) override;
    // Writes what waits to the file and the screen model; the model paints at once.
    void FlushOut() override;
    // Line ends inside the text become spaces.
    void Message(const std::string& text) override;
    void Error(const std::string& text) override;
    void ClearProgress() override {}

    // The screen model that also gets the tester's bytes; null: none.
    void SetTerminal(CReportWidget* terminal) { m_terminal = terminal; }
    // Also hands every message's text (without the "KORVALIN: " prefix) to observer.
    void SetMessageObserver(std::function<void(const std::string&)> observer) {
        m_messageObserver = std::move(observer);
    }
    // What stands before "KORVALIN:" on a message line (tests fix it; default the local time).
    void SetStamp(std::function<std::string()> stamp) { m_stamp = std::move(stamp); }
    // The system's code of the first write that failed (a full disk), 0 if none did.
    int WriteError() const { return m_writeError; }

  private:
    void Put(const std::string& text);
    void Flush();

    std::FILE* m_file;
    CReportWidget* m_terminal = nullptr;
    std::string m_shown;  // bytes for the screen model, until FlushOut
    int m_writeError = 0;
    std::function<void(const std::string&)> m_messageObserver;
    std::function<std::string()> m_stamp;
};

// One port's log file and the output that writes it.
class CPortLog {
  public:
    CPortLog(std::string path, std::FILE* file);
    ~CPortLog();
    CPortLog(const CPortLog&) = delete;
    CPortLog& operator=(const CPortLog&) = delete;

    const std::string& Path() const { return m_path; }
    CLogOutput& Output() { return m_out; }
    // "Cannot write the log file '<path>' : <reason>" the first time a write to it is found to
    // have failed; nullopt before that and afterwards.
    std::optional<std::string> NewFailure();

  private:
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::string m_path;
    std::unique_ptr<std::FILE, Closer> m_file;
    CLogOutput m_out;
    bool m_failed = false;
};

class CStationLogs {
  public:
    // Makes the folder dir (with its parents) and opens the report: reportPath, or report.jsonl
    // in dir when it is empty. nullptr with the message in *error when either fails.
    static std::unique_ptr<CStationLogs> Open(const std::string& dir, const std::string& reportPath,
                                              std::string* error);
    ~CStationLogs();
    CStationLogs(const CStationLogs&) = delete;
    CStationLogs& operator=(const CStationLogs&) = delete;

    const std::string& Dir() const { return m_dir; }
    const std::string& ReportPath() const { return m_report->Path(); }

    // Opens the port's log in the folder, named after the port (a second port of the same name
    // in this run gets "-2", and so on). nullptr with the message in *error when it cannot be
    // opened. The log lives as long as this object.
    CPortLog* AddPort(const std::string& port, std::string* error);

    // Where the sessions write their records. A record that cannot be written is told once, by
    // a call of failed with "Cannot write to the report '<path>' : <reason>".
    CTransferRecorder::RecordSink RecordSink(std::function<void(const std::string&)> failed);
    bool ReportFailed() const { return m_reportFailed; }

  private:
    CStationLogs(std::string dir, std::unique_ptr<CReportFile> report);

    std::string m_dir;
    std::unique_ptr<CReportFile> m_report;
    std::set<std::string> m_names;
    std::vector<std::unique_ptr<CPortLog>> m_logs;
    bool m_reportFailed = false;
};

}  // namespace korv
