#pragma once
// The station window's model, shared by the Qt and the Win32 station windows: the station being
// edited (its ports with their labels and the settings they share), the running station with a
// session per port, and what a window shows of it: a row per port, a totals line and each port's
// terminal. No toolkit and no system calls: the window draws what the model says and hands the
// operator's commands to it.
//
// How a toolkit drives it (everything on the GUI thread):
//   1. Make the model with a StationModelSetup (program version, station name, how to describe a
//      port, the permission hint) and check Valid(); set OnChange.
//   2. Watch Waitable() (Linux: a descriptor that polls readable while notices wait: a
//      QSocketNotifier of type Read; Windows: an event HANDLE: MsgWaitForMultipleObjectsEx in the
//      message loop). When it is signalled, call Serve().
//   3. After every call into the model (Serve, a command, a selection), read TimeoutMs() and arm
//      a single-shot timer with it (-1: disarm); when the timer fires, call Serve(). The model
//      never calls back into the toolkit from another thread.
//   4. OnChange(what) asks for a redraw: ChangeRows means the rows were added, removed or
//      reordered (rebuild the table), ChangeFigures that the rows' figures and the totals changed
//      (redraw them from Rows() and Totals()), ChangeState that Running() or the settings
//      changed (enable the buttons and fields anew). Figures come at most kRedrawPeriod apart
//      however busy the ports are; a command's own change comes at once.
//   5. The terminal pane shows Terminal(SelectedRow()): the pane is that screen model's window
//      (ITermWindow); when the selection changes it detaches the old model and attaches the new
//      one, sizes it and repaints. Every port's screen model is fed as its tester's bytes arrive,
//      shown or not, and paints at once through the window attached to it. SetTerminalGeometry
//      gives every port's model the pane's cell and client size, so that a port shown later has
//      the grid the pane draws. A port's screen model goes with its row: the pane lets go of it
//      (shows none) before RemovePort and Load, and before the model itself is destroyed.
//   6. Commands return false with a message for a message box when they are refused; a refused
//      command has changed nothing.
//   7. Before closing: CanCloseWithoutAsking(); when it is false, ask the operator, and on yes
//      call Stop() (which ends the running transfers and writes their records), then close.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Wait.h"
#include "station/StationFile.h"
#include "terminal/ReportWidget.h"

namespace korv {

// How a row is coloured. The row's state text says the same in words.
enum class RowTone { Neutral, Pass, Fail };

struct StationRow {
    std::string label;    // the operator's name for the port ("Bay 3"); may be empty
    std::string name;     // the port as the port list names it
    std::string product;  // what is plugged in (a USB adapter's product), where known
    // "idle", "opening", "waiting for the tester", "sending", "sent", "accepted", "rejected",
    // "no verdict", "failed", "lost", "reconnecting", "not opened", "no prompt", "file rejected",
    // "aborted", "stopped"
    std::string state;
    RowTone tone = RowTone::Neutral;
    std::string unit;       // the identity of the tester on the port, from its own lines
    uint64_t done = 0;      // bytes of the current (or last) transfer gone out
    uint64_t total = 0;     // that transfer's file size (0: no transfer yet)
    int percent = 0;        // done of total, 0..100
    std::string bytesText;  // "15.0/40.0 KiB"; empty before the first transfer
    std::string leftText;   // "0:04 left" while sending; empty otherwise
    int sent = 0;           // updates sent completely in this run
    int accepted = 0;       // of those, updates the tester said it took
    int failed = 0;         // updates rejected, cut short or left without a verdict
    std::string last;       // the last transfer's reason or verdict line, or the port's message
    std::string logError;   // why the port's log could not be written; empty if it could
    bool running = false;   // the port's session is serving it
    bool sending = false;   // a transfer is running: Abort applies
};

struct StationTotals {
    int sent = 0;
    int accepted = 0;
    int failed = 0;
    int finished = 0;     // transfers whose outcome is known (passed or failed)
    std::string yield;    // "92 %": passed of finished; "—" while nothing has finished
    std::string elapsed;  // "0:42": since Start (stands still once the station stopped)
    std::string text;     // the totals line: "Sent 12, accepted 11, failed 1, yield 92 %, ..."
};

// What the front end knows that the model may not find out by itself.
struct StationModelSetup {
    std::string version;  // the program's version, for the records
    // The station's name for the records when the station file names none; empty: the host name.
    std::string station;
    // The log folder when the station names none (an absolute path: a window's working folder
    // is no place the operator looks).
    std::string defaultLogDir = "korvalin-logs";
    // The product behind a port name ("FT232R USB UART"), or empty; null: none known.
    std::function<std::string(const std::string&)> describePort;
    // Advice for a port the system refused to open, by its device path; null: none.
    std::function<std::string(const std::string&)> permissionHint;
    // The clock of elapsed times and redraws (tests set it); null: steady_clock.
    std::function<std::chrono::steady_clock::time_point()> now;
};

class CStationModel {
  public:
    enum Change : unsigned { ChangeRows = 1, ChangeFigures = 2, ChangeState = 4 };
    // The shortest time between two redraws of the figures.
    static constexpr std::chrono::milliseconds kRedrawPeriod{250};

    explicit CStationModel(StationModelSetup setup = {});
    // A running station is stopped first, its records written (OnChange is not called then).
    ~CStationModel();
    CStationModel(const CStationModel&) = delete;
    CStationModel& operator=(const CStationModel&) = delete;

    // False when the station's queue could not be made (nothing can run).
    bool Valid() const;
    // Called with a mask of Change bits whenever the window should redraw.
    void OnChange(std::function<void(unsigned)> onChange);

    // --- the drive (see the top of this file)
    WaitHandle Waitable() const;
    void Serve();
    int TimeoutMs() const;

    // --- what the window shows
    const StationConfig& Config() const;
    size_t RowCount() const;
    const StationRow& Row(size_t index) const;
    const std::vector<StationRow>& Rows() const;
    StationTotals Totals() const;
    bool Running() const;
    // The folder of the logs and the report of the current (or last) run; empty before one.
    std::string LogFolder() const;
    std::string ReportPath() const;

    // The selected row (-1: none); the pane shows its terminal.
    int SelectedRow() const;
    void Select(int index);
    CReportWidget& Terminal(size_t index);
    void SetTerminalGeometry(int cellWidth, int cellHeight, int width, int height);

    // --- commands (false with *message when refused; then nothing changed)
    // Starts a session on every port. Refused while running, without ports, without an update
    // file, with a file that is not an update file, with patterns that do not compile, or when
    // the log folder, a log or the report cannot be written.
    bool Start(std::string* message);
    // Ends every port's run as the console's Ctrl+C does: running transfers are aborted and their
    // records written.
    void Stop();
    // Aborts one port's running transfer (its record is written); the port's run ends.
    bool Abort(size_t index, std::string* message);
    // A port by its list name, with the operator's label. Refused for an empty or a duplicate
    // name. While the station runs the port starts at once.
    bool AddPort(const std::string& name, const std::string& label, std::string* message);
    // Removes a port; a running port is stopped first (its record written).
    bool RemovePort(size_t index, std::string* message);
    bool SetLabel(size_t index, const std::string& label, std::string* message);
    // Every setting but the ports (config.ports is ignored). Refused while running.
    bool SetSettings(const StationConfig& config, std::string* message);
    // Reads a station file and takes it as the station (ports, labels, settings; the rows start
    // idle); refused while running, and refused with the reader's message (which names the file,
    // the key and the reason) when the file is not a station file. The station shown is then
    // kept as it was.
    bool Load(const std::string& path, std::string* message);
    bool Save(const std::string& path, std::string* message);
    // The station file last loaded or saved; empty if none.
    const std::string& FilePath() const;

    // False while a transfer runs or waits for its tester's verdict: closing then asks first.
    // Ports that only wait for their next tester are stopped without asking.
    bool CanCloseWithoutAsking() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace korv
