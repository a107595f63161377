#pragma once
// Production records: one JSON object per line (JSON Lines) for every transfer, written and
// flushed the moment the transfer's outcome is known, so that a record once written survives a
// crash of the run. A line engineer reads them with a program (jq) to know which tester got which
// file, byte for byte (sha256 of what was sent), and what the tester said about it.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "station/PortReport.h"
#include "station/TimeText.h"
#include "station/Verdict.h"

namespace korv {

// The name of the report every batch writes in its log folder.
inline constexpr const char* kReportFileName = "report.jsonl";
// Lines of the tester's own kept in a record (its banner and identity before the prompt).
inline constexpr size_t kTesterLinesKept = 20;

struct TransferRecord {
    std::string port;    // as given
    std::string device;  // the resolved device path, or a network port's address
    WallClock::time_point started{};
    WallClock::time_point ended{};
    std::string file;
    std::optional<uint64_t> fileBytes;  // unknown when no transfer began
    std::string sha256;                 // empty (null) when no transfer began
    uint64_t bytesSent = 0;
    std::string outcome;  // RecordOutcome's names
    std::string reason;   // empty: null
    std::vector<std::string> tester;
    std::string verdict;  // empty: null
    std::string log;      // empty: null (a one-port run logs to stdout)
    // The tester's identity (its serial number): the first match of the unit pattern's capture
    // group in the tester's lines before its prompt; empty: null.
    std::string unit;
    std::string slot;     // the port's label; empty: null
    std::string station;  // the host name, or the name the operator gave the station; empty: null
    std::string version;  // the program's version
    // Unique per record, across stations and runs: records gathered from many stations can be
    // told apart and merged without duplicates. Given when the record is written.
    std::string id;
};

// The fields every record of a station shares: the station's name (the host name when
// stationName is empty) and the program's version.
TransferRecord StationRecordBase(const std::string& stationName, const std::string& version);

// Record ids: 128 random bits written as a UUID (version 4, "0f8e...-4...-a..."), from a
// generator seeded from the system's random source when it is made.
class CRecordIds {
  public:
    CRecordIds();
    std::string Next();

  private:
    std::mt19937_64 m_generator;
};

// The tester's text as it may be shown to people on a terminal: control bytes are written in
// caret notation (ESC as ^[, BEL as ^G, DEL as ^?) and bytes above 0x7E as '?', so that nothing
// a tester sends can move the operator's cursor, clear the screen or retitle the window. The pane
// and the records (JSON escapes them) keep the tester's own bytes.
std::string ShownTesterText(const std::string& text);

// The record's name of an outcome: sent, accepted, rejected, no_verdict, aborted, failed,
// port_lost, not_opened, no_prompt, bad_file.
const char* RecordOutcome(PortOutcome outcome);

// The record as one line of JSON, without the line end.
std::string RecordLine(const TransferRecord& record);

// The live table's last line: "Total: 3 sent, 2 accepted, 1 failed, 1 running, 0:42 elapsed".
std::string FormatTotalsLine(const std::vector<PortReport>& reports, double elapsedSeconds);
// The batch's one-line verdict for standard error: "Verdict: 4 testers: 3 accepted,
// 1 rejected; exit status 5."
std::string FormatBatchVerdict(const std::vector<PortReport>& reports, int status);

// A report file, added to (never replaced), one record per line, each flushed as written.
class CReportFile {
  public:
    // nullptr with a message when path cannot be opened for adding.
    static std::unique_ptr<CReportFile> Open(const std::string& path, std::string* error);
    // False when the record could not be written in full (the disk is full, the file is gone).
    bool Append(const TransferRecord& record);
    const std::string& Path() const { return m_path; }

  private:
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    CReportFile(std::string path, std::FILE* file) : m_path(std::move(path)), m_file(file) {}
    std::string m_path;
    std::unique_ptr<std::FILE, Closer> m_file;
};

// One port's records. It sees every byte the tester sends and the start and end of every
// transfer, keeps the tester's lines that belong in the next record, and waits for the tester's
// verdict when rules are given. A port without a report (a one-port run without --report) still
// gets its verdict: report may be null.
class CTransferRecorder {
  public:
    using Clock = std::chrono::steady_clock;
    using RecordSink = std::function<bool(const TransferRecord&)>;

    CTransferRecorder(TransferRecord base, const VerdictRules& rules, RecordSink sink);

    // The fields every record of this port shares (port, device, file, log, slot, station,
    // version).
    void SetBase(TransferRecord base) {
        base.started = m_base.started;
        m_base = std::move(base);
    }
    const TransferRecord& Base() const { return m_base; }
    // The identity of the tester on the port now: the unit its lines since the last record
    // named, else that of the running (or last) transfer's tester; empty when none is known.
    const std::string& Unit() const { return m_nextUnit.empty() ? m_current.unit : m_nextUnit; }
    // Every byte the tester sent, as the pane shows it; allHandedOut: the running transfer's
    // last byte has been handed to the port. A line that accepts the update counts only once
    // the last byte has gone to the port (an earlier one is about a block, not the update); a
    // line that rejects it counts whenever it comes before the verdict is taken.
    void OnTesterByte(char ch, bool allHandedOut = true);
    // A transfer of fileBytes bytes has begun.
    void TransferStarted(uint64_t fileBytes);
    // The transfer that was running has ended with outcome. A completed one (Sent) waits for the
    // tester's verdict when rules are given: true then, and the record is written once Decide
    // returns the verdict; otherwise the record is written now.
    bool TransferEnded(PortOutcome outcome, uint64_t bytesSent, const std::string& sha256,
                       const std::string& reason);
    bool VerdictPending() const { return m_pending; }
    // When the verdict wait ends without one.
    Clock::time_point VerdictDeadline() const { return m_deadline; }
    // The verdict once it is known (from a line, or no_verdict at the deadline), with its
    // message in *message; the record is written then. nullopt while it is still awaited.
    std::optional<PortOutcome> Decide(Clock::time_point now, std::string* message);
    // Ends a verdict wait early (interrupted, the port went away, the tester prompted again):
    // no_verdict with reason.
    void GiveUpVerdict(const std::string& reason);
    // The port's run ends without a transfer since its last record (not opened, no prompt,
    // interrupted while waiting, a rejected file): one record with no bytes sent. Once a port
    // has a record, a run that ends while waiting for the next tester (--repeat) adds none.
    void EndedWithoutTransfer(PortOutcome outcome, const std::string& reason, bool always = false);
    int Records() const { return m_records; }
    // False once a record could not be written.
    bool WriteOk() const { return m_writeOk; }

  private:
    void Write(PortOutcome outcome, const std::string& reason, bool newLines = true);
    // The next record is begun from the base: the tester's lines so far, and the unit they
    // named, are its.
    void BeginRecord();

    TransferRecord m_base;
    const VerdictRules& m_rules;
    RecordSink m_sink;
    CLineSplitter m_lines;
    std::vector<std::string> m_tester;
    std::string m_nextUnit;  // the unit m_tester's lines named
    bool m_sending = false;
    bool m_pending = false;
    Clock::time_point m_deadline{};
    Verdict m_verdict = Verdict::None;
    std::string m_verdictLine;
    TransferRecord m_current;
    int m_records = 0;
    bool m_writeOk = true;
    CRecordIds m_ids;
};

}  // namespace korv
