#include "station/Report.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <exception>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/ConsoleIo.h"
#include "platform/HostName.h"
#include "platform/SysError.h"
#include "station/TimeText.h"

namespace korv {

namespace {

nlohmann::json OrNull(const std::string& text) {
    return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

// Seeds a record id generator: 256 bits from the system's random source. Where there is none
// (std::random_device may throw), the clocks and the generator's address still make a seed
// that differs from run to run.
std::array<uint32_t, 8> IdSeedWords(const void* where) {
    std::array<uint32_t, 8> words{};
    try {
        std::random_device source;
        for (auto& w : words) {
            w = source();
        }
    } catch (const std::exception&) {
        const auto now =
            static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count() ^
                                  std::chrono::steady_clock::now().time_since_epoch().count());
        const auto at = reinterpret_cast<uintptr_t>(where);
        words = {static_cast<uint32_t>(now), static_cast<uint32_t>(now >> 32),
                 static_cast<uint32_t>(at), static_cast<uint32_t>(uint64_t{at} >> 32)};
    }
    return words;
}

}  // namespace

TransferRecord StationRecordBase(const std::string& stationName, const std::string& version) {
    TransferRecord base;
    base.station = stationName.empty() ? HostName() : stationName;
    base.version = version;
    return base;
}

CRecordIds::CRecordIds() {
    const std::array<uint32_t, 8> words = IdSeedWords(this);
    std::seed_seq seed(words.begin(), words.end());
    m_generator.seed(seed);
}

std::string CRecordIds::Next() {
    uint64_t high = m_generator();
    uint64_t low = m_generator();
    // Version 4 (random) and the RFC 4122 variant, as any UUID reader expects.
    high = (high & ~uint64_t{0xF000}) | 0x4000;
    low = (low & ~(uint64_t{0xC} << 60)) | (uint64_t{0x8} << 60);
    char text[40];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx",
                  static_cast<unsigned>(high >> 32), static_cast<unsigned>((high >> 16) & 0xFFFF),
                  static_cast<unsigned>(high & 0xFFFF), static_cast<unsigned>(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
    return text;
}

const char* RecordOutcome(PortOutcome outcome) {
    switch (outcome) {
        case PortOutcome::Sent:
            return "sent";
        case PortOutcome::Accepted:
            return "accepted";
        case PortOutcome::TesterRejected:
            return "rejected";
        case PortOutcome::NoVerdict:
            return "no_verdict";
        case PortOutcome::None:
        case PortOutcome::Interrupted:
            return "aborted";
        case PortOutcome::Failed:
            return "failed";
        case PortOutcome::PortLost:
            return "port_lost";
        case PortOutcome::NotOpened:
            return "not_opened";
        case PortOutcome::NoPrompt:
            return "no_prompt";
        case PortOutcome::Rejected:
            return "bad_file";
    }
    return "failed";
}

std::string RecordLine(const TransferRecord& r) {
    // The fields in a fixed order, so that records read well as text too.
    nlohmann::ordered_json j;
    j["port"] = r.port;
    j["device"] = r.device;
    j["started"] = IsoUtc(r.started);
    j["ended"] = IsoUtc(r.ended);
    j["file"] = r.file;
    j["file_bytes"] = r.fileBytes ? nlohmann::json(*r.fileBytes) : nlohmann::json(nullptr);
    j["sha256"] = OrNull(r.sha256);
    j["bytes_sent"] = r.bytesSent;
    j["outcome"] = r.outcome;
    j["reason"] = OrNull(r.reason);
    j["tester"] = r.tester;
    j["verdict"] = OrNull(r.verdict);
    j["log"] = OrNull(r.log);
    j["unit"] = OrNull(r.unit);
    j["slot"] = OrNull(r.slot);
    j["station"] = OrNull(r.station);
    j["version"] = OrNull(r.version);
    j["id"] = r.id;
    // A tester's bytes need not be UTF-8: they are written as U+FFFD rather than refused.
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string FormatTotalsLine(const std::vector<PortReport>& reports, double elapsedSeconds) {
    int sent = 0;
    int accepted = 0;
    int failed = 0;
    int running = 0;
    for (const auto& r : reports) {
        sent += r.sent;
        accepted += r.accepted;
        failed += r.failed;
        // A port that could not be opened or never prompted has no transfer to count, but it
        // has failed all the same.
        if (r.phase == PortPhase::Done && r.sent == 0 && r.failed == 0 && OutcomeStatus(r) != 0) {
            ++failed;
        }
        if (r.phase != PortPhase::Done) {
            ++running;
        }
    }
    const auto s = static_cast<long long>(elapsedSeconds);
    char clock[32];
    std::snprintf(clock, sizeof clock, "%lld:%02lld", s / 60, s % 60);
    return "Total: " + std::to_string(sent) + " sent, " + std::to_string(accepted) + " accepted, " +
           std::to_string(failed) + " failed, " + std::to_string(running) + " running, " + clock +
           " elapsed";
}

std::string FormatBatchVerdict(const std::vector<PortReport>& reports, int status) {
    // Outcomes counted in the order they first appear, each under its summary label.
    std::vector<std::pair<std::string, int>> counts;
    for (const auto& r : reports) {
        const std::string label = OutcomeLabel(r);
        auto it = std::find_if(counts.begin(), counts.end(),
                               [&](const auto& c) { return c.first == label; });
        if (it == counts.end()) {
            counts.emplace_back(label, 1);
        } else {
            ++it->second;
        }
    }
    std::string text = "Verdict: " + std::to_string(reports.size()) +
                       (reports.size() == 1 ? " tester: " : " testers: ");
    for (size_t i = 0; i < counts.size(); ++i) {
        text += (i > 0 ? ", " : "") + std::to_string(counts[i].second) + " " + counts[i].first;
    }
    return text + "; exit status " + std::to_string(status) + ".";
}

std::unique_ptr<CReportFile> CReportFile::Open(const std::string& path, std::string* error) {
    int err = 0;
    std::FILE* file = OpenForAppend(path, &err);
    if (file == nullptr) {
        if (error != nullptr) {
            *error = "Cannot write the report '" + path + "' : " + SystemErrorText(err);
        }
        return nullptr;
    }
    return std::unique_ptr<CReportFile>(new CReportFile(path, file));
}

bool CReportFile::Append(const TransferRecord& record) {
    const std::string line = RecordLine(record) + "\n";
    // One write of the whole line to a file opened for appending: records of several ports
    // never interleave, and each is on the disk's way before the run goes on.
    const bool written = std::fwrite(line.data(), 1, line.size(), m_file.get()) == line.size();
    return std::fflush(m_file.get()) == 0 && written;
}

CTransferRecorder::CTransferRecorder(TransferRecord base, const VerdictRules& rules,
                                     RecordSink sink)
    : m_base(std::move(base)), m_rules(rules), m_sink(std::move(sink)) {
    m_base.started = WallClock::now();
}

std::string ShownTesterText(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            shown += '^';
            shown += static_cast<char>(u ^ 0x40);
        } else if (u > 0x7E) {
            shown += '?';
        } else {
            shown += c;
        }
    }
    return shown;
}

void CTransferRecorder::OnTesterByte(char ch, bool allHandedOut) {
    if (!m_lines.Feed(ch)) {
        return;
    }
    const std::string& line = m_lines.Line();
    if (!m_sending) {
        if (m_tester.size() < kTesterLinesKept) {
            m_tester.push_back(line);
        }
        // Every line before the prompt is looked at, kept or not: a tester may print its
        // identity after a long self-test.
        if (m_nextUnit.empty() && m_rules.unitId) {
            m_nextUnit = MatchUnit(*m_rules.unitId, line);
        }
    }
    // A verdict may come before the sender's end is known: the tester has the last byte before
    // the driver has reported the queue empty. A rejection wins over an acceptance seen before
    // it, up to the moment the verdict is taken (Decide).
    if ((m_sending || m_pending) && m_verdict != Verdict::Rejected && m_rules.Wanted()) {
        const Verdict verdict = MatchVerdict(m_rules, line);
        const bool counts = verdict == Verdict::Rejected ||
                            (verdict == Verdict::Accepted && m_verdict == Verdict::None &&
                             (m_pending || allHandedOut));
        if (counts) {
            m_verdict = verdict;
            m_verdictLine = line;
        }
    }
}

void CTransferRecorder::TransferStarted(uint64_t fileBytes) {
    if (m_pending) {
        // The lines since belong to the tester now prompting, not to the verdict given up.
        m_pending = false;
        Write(PortOutcome::NoVerdict,
              "The tester asked for the next update before it gave a verdict.", false);
    }
    BeginRecord();
    m_current.started = WallClock::now();
    m_current.fileBytes = fileBytes;
    m_sending = true;
    m_verdict = Verdict::None;
    m_verdictLine.clear();
}

bool CTransferRecorder::TransferEnded(PortOutcome outcome, uint64_t bytesSent,
                                      const std::string& sha256, const std::string& reason) {
    m_sending = false;
    m_current.bytesSent = bytesSent;
    m_current.sha256 = sha256;
    if (outcome == PortOutcome::Sent && m_rules.Wanted()) {
        m_pending = true;
        m_deadline = Clock::now() + m_rules.timeout;
        return true;
    }
    Write(outcome, reason);
    return false;
}

std::optional<PortOutcome> CTransferRecorder::Decide(Clock::time_point now, std::string* message) {
    if (!m_pending) {
        return std::nullopt;
    }
    PortOutcome outcome;
    std::string text;
    if (m_verdict == Verdict::Rejected) {
        outcome = PortOutcome::TesterRejected;
        text = "The tester rejected '" + m_current.file + "': " + ShownTesterText(m_verdictLine);
    } else if (m_verdict == Verdict::Accepted) {
        outcome = PortOutcome::Accepted;
        text = "The tester accepted '" + m_current.file + "': " + ShownTesterText(m_verdictLine);
    } else if (now >= m_deadline) {
        if (!m_rules.expect) {
            // Only a rejection was looked for, and none came: the tester has the file.
            outcome = PortOutcome::Sent;
        } else {
            outcome = PortOutcome::NoVerdict;
            text = "No verdict from the tester on '" + m_current.file + "' within " +
                   std::to_string(m_rules.timeout.count()) + " s.";
        }
    } else {
        return std::nullopt;
    }
    m_pending = false;
    m_current.verdict = m_verdictLine;
    Write(outcome, outcome == PortOutcome::Accepted ? std::string() : text);
    if (message != nullptr) {
        *message = text;
    }
    return outcome;
}

void CTransferRecorder::GiveUpVerdict(const std::string& reason) {
    if (!m_pending) {
        return;
    }
    m_pending = false;
    Write(PortOutcome::NoVerdict, reason);
}

void CTransferRecorder::EndedWithoutTransfer(PortOutcome outcome, const std::string& reason,
                                             bool always) {
    if (m_pending) {
        GiveUpVerdict(reason);
        return;
    }
    if (m_records > 0 && !always) {
        return;
    }
    BeginRecord();
    Write(outcome, reason);
}

void CTransferRecorder::BeginRecord() {
    m_current = m_base;
    m_current.tester = std::move(m_tester);
    m_tester.clear();
    m_current.unit = std::move(m_nextUnit);
    m_nextUnit.clear();
}

void CTransferRecorder::Write(PortOutcome outcome, const std::string& reason, bool newLines) {
    m_current.ended = WallClock::now();
    m_current.outcome = RecordOutcome(outcome);
    m_current.reason =
        outcome == PortOutcome::Sent || outcome == PortOutcome::Accepted ? std::string() : reason;
    m_current.id = m_ids.Next();
    ++m_records;
    if (m_sink && !m_sink(m_current)) {
        m_writeOk = false;
    }
    if (newLines) {
        // The tester's lines so far answered this transfer; those that follow belong to the next.
        m_tester.clear();
        m_nextUnit.clear();
    }
}

}  // namespace korv
