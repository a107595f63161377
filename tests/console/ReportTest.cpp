// Records and verdicts: what a port's recorder writes for each sequence of tester lines and
// transfer events, the JSON a record becomes, and the ports a report sends back for a retry.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/HostName.h"
#include "station/Report.h"
#include "station/RetryList.h"

namespace korv {
namespace {

struct RecorderCase {
    const char* name;
    const char* expect;  // "" for none
    const char* reject;
    // "<text": the tester sends text; "(text": the same while the file's last byte has not been
    // handed to the port yet; "start"; "sent", "failed": the transfer ends so;
    // "tick": the verdict is asked for now, "late": after its time-out; "none:<outcome>",
    // "always:<outcome>": the run ends without a transfer.
    std::vector<std::string> steps;
    // "outcome|verdict|tester lines|first tester line" per record written, and "|unit" with a
    // unit pattern.
    std::vector<std::string> records;
    const char* unitId = "";
};

void PrintTo(const RecorderCase& c, std::ostream* os) {
    *os << c.name;
}

class Recorder : public ::testing::TestWithParam<RecorderCase> {};

TEST_P(Recorder, WritesTheRecordsTheEventsCallFor) {
    const RecorderCase& c = GetParam();
    VerdictRules rules;
    rules.timeout = std::chrono::seconds(5);
    if (*c.expect != '\0') {
        rules.expect = CompilePattern(c.expect, nullptr);
    }
    if (*c.reject != '\0') {
        rules.reject = CompilePattern(c.reject, nullptr);
    }
    if (*c.unitId != '\0') {
        rules.unitId = CompileUnitPattern(c.unitId, nullptr);
        ASSERT_TRUE(rules.unitId) << c.unitId;
    }
    std::vector<std::string> got;
    CTransferRecorder recorder({}, rules, [&](const TransferRecord& r) {
        got.push_back(r.outcome + "|" + r.verdict + "|" + std::to_string(r.tester.size()) + "|" +
                      (r.tester.empty() ? "" : r.tester.front()) +
                      (*c.unitId != '\0' ? "|" + r.unit : ""));
        return true;
    });
    const std::map<std::string, PortOutcome> outcomes = {{"sent", PortOutcome::Sent},
                                                         {"failed", PortOutcome::Failed},
                                                         {"not_opened", PortOutcome::NotOpened},
                                                         {"bad_file", PortOutcome::Rejected},
                                                         {"no_prompt", PortOutcome::NoPrompt}};
    for (const std::string& step : c.steps) {
        const std::string arg = step.substr(step.find(':') + 1);
        if (step[0] == '<' || step[0] == '(') {
            for (const char ch : step.substr(1)) {
                recorder.OnTesterByte(ch, step[0] == '<');
            }
        } else if (step == "start") {
            recorder.TransferStarted(100);
        } else if (step == "tick" || step == "late") {
            const auto now = CTransferRecorder::Clock::now();
            recorder.Decide(step == "tick" ? now : now + std::chrono::seconds(6), nullptr);
        } else if (step.starts_with("none:") || step.starts_with("always:")) {
            recorder.EndedWithoutTransfer(outcomes.at(arg), "why", step[0] == 'a');
        } else {
            recorder.TransferEnded(outcomes.at(step), 100, "ab", "why");
        }
    }
    EXPECT_EQ(got, c.records);
}

const std::string kBanner = "\r\nBoot 2.1\r\n\r\nReady to receive update file....\r\n";
const std::string kOk = "<Update received: 9 bytes, header ok\r\n";
const std::string kManyLines = [] {
    std::string s;
    for (int i = 0; i < 30; ++i)
        s += "line " + std::to_string(i) + "\r\n";
    return s;
}();

INSTANTIATE_TEST_SUITE_P(
    Report, Recorder,
    ::testing::Values(
        RecorderCase{
            "NoRulesSentAtOnce", "", "", {"<" + kBanner, "start", "sent"}, {"sent||2|Boot 2.1"}},
        RecorderCase{"AcceptedWhenTheLineFollows",
                     "header ok",
                     "rejected",
                     {"<" + kBanner, "start", "sent", "tick", kOk, "tick"},
                     {"accepted|Update received: 9 bytes, header ok|2|Boot 2.1"}},
        // The tester may answer before the driver reports the queue empty.
        RecorderCase{"AcceptedWhenTheLineCameFirst",
                     "header ok",
                     "",
                     {"start", kOk, "sent", "tick"},
                     {"accepted|Update received: 9 bytes, header ok|0|"}},
        RecorderCase{"RejectWinsOverExpect",
                     "header",
                     "bad",
                     {"start", "sent", "<header bad\n", "tick"},
                     {"rejected|header bad|0|"}},
        // While the file still goes out, an accepting line is about a block, not the update.
        RecorderCase{"AnAcceptBeforeTheLastByteIsNoVerdict",
                     "header ok",
                     "rejected",
                     {"start", "(Block 1: header ok\r\n", "sent", "<Update rejected\r\n", "tick"},
                     {"rejected|Update rejected|0|"}},
        // Until the verdict is taken, a rejection overrules an acceptance seen before it.
        RecorderCase{"ARejectionAfterAnAcceptStillWins",
                     "header ok",
                     "rejected",
                     {"start", "sent", "<header ok\r\nrejected\r\n", "tick"},
                     {"rejected|rejected|0|"}},
        RecorderCase{"SilenceIsNoVerdictOnlyAfterTheTimeOut",
                     "header ok",
                     "",
                     {"start", "sent", "tick", "<Update done\r\n", "tick", "late"},
                     {"no_verdict||0|"}},
        RecorderCase{
            "OnlyRejectAndSilenceIsSent", "", "rejected", {"start", "sent", "late"}, {"sent||0|"}},
        RecorderCase{
            "AFailedTransferWaitsForNoVerdict", "ok", "", {"start", "failed"}, {"failed||0|"}},
        RecorderCase{"TheNextPromptEndsAWaitingVerdict",
                     "ok",
                     "",
                     {"start", "sent", "<Boot 2.2\r\n", "start", "sent", "<ok\r\n", "tick"},
                     {"no_verdict||0|", "accepted|ok|1|Boot 2.2"}},
        // A line is matched on its first 256 characters only; far more is no danger.
        RecorderCase{"ALongLineIsCutNotMatchedWhole",
                     "^x+$",
                     "y",
                     {"start", "sent", "<" + std::string(300000, 'x') + "y\r\n", "tick"},
                     {"accepted|" + std::string(kMaxTesterLine, 'x') + "|0|"}},
        RecorderCase{"AtMostTwentyTesterLines",
                     "",
                     "",
                     {"<" + kManyLines, "start", "sent"},
                     {"sent||20|line 0"}},
        RecorderCase{"APortWithoutTransferGetsOneRecord",
                     "",
                     "",
                     {"<" + kBanner, "none:no_prompt", "none:not_opened"},
                     {"no_prompt||2|Boot 2.1"}},
        RecorderCase{"EveryBadFileIsRecorded",
                     "",
                     "",
                     {"start", "sent", "always:bad_file"},
                     {"sent||0|", "bad_file||0|"}},
        // The first line before the prompt that names the unit counts; lines during the
        // transfer do not, and the next tester is not taken for the last one.
        RecorderCase{"TheUnitIsTheFirstMatchBeforeThePrompt",
                     "",
                     "",
                     {"<Boot\r\nSerial number: A1\r\nSerial number: B2\r\n", "start",
                      "<Serial number: C3\r\n", "sent", "<Boot\r\n", "start", "sent"},
                     {"sent||3|Boot|A1", "sent||1|Boot|"},
                     "Serial number: (\\S+)"},
        // A long self-test before the identity: past the lines kept, the unit is still found.
        RecorderCase{"AUnitAfterTheKeptLinesCounts",
                     "",
                     "",
                     {"<" + kManyLines + "S/N 0042\r\n", "start", "sent"},
                     {"sent||20|line 0|0042"},
                     "S/N (\\d+)"},
        // The next tester names itself while the last one's verdict is awaited: its unit goes
        // with its own record, not with the verdict that was given up.
        RecorderCase{
            "TheNextTestersUnitIsItsOwn",
            "ok",
            "",
            {"<S/N 1\r\n", "start", "sent", "<S/N 2\r\n", "start", "sent", "<ok\r\n", "tick"},
            {"no_verdict||1|S/N 1|1", "accepted|ok|1|S/N 2|2"},
            "S/N (\\d+)"},
        // A port that never got a transfer names its tester too; an empty capture names none.
        RecorderCase{"ARecordWithoutTransferHasItsUnit",
                     "",
                     "",
                     {"<Boot\r\nUnit: \r\nUnit: X-9\r\n", "none:no_prompt"},
                     {"no_prompt||3|Boot|X-9"},
                     "Unit: (\\S*)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Report, TesterTextIsShownWithoutItsControlBytes) {
    const std::pair<std::string, std::string> rows[] = {
        {"\x1b]0;title\x07ok\x1b[2J", "^[]0;title^Gok^[[2J"},
        {"tab\there\x7f", "tab^Ihere^?"},
        {"caf\xc3\xa9 \x9b"
         "1m",
         "caf?? ?1m"},
        {"plain text 0-9 ~", "plain text 0-9 ~"},
    };
    for (const auto& [text, shown] : rows) {
        EXPECT_EQ(ShownTesterText(text), shown);
    }
}

TEST(Report, RecordIsOneLineOfJsonWithNullsForWhatIsUnknown) {
    TransferRecord r;
    r.port = "COM7";
    r.device = "\\\\.\\COM7";
    r.started = WallClock::time_point(std::chrono::milliseconds(1765202587123));
    r.ended = r.started + std::chrono::milliseconds(1500);
    r.file = "upd \"1\".txt";
    r.outcome = "not_opened";
    r.tester = {"Boot\x01", std::string("\xff", 1)};
    const std::string line = RecordLine(r);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const auto j = nlohmann::json::parse(line);
    EXPECT_EQ(line.substr(0, 9), "{\"port\":\"");
    EXPECT_EQ(j["started"], "2025-12-08T14:03:07.123Z");
    EXPECT_EQ(j["ended"], "2025-12-08T14:03:08.623Z");
    EXPECT_EQ(j["file"], "upd \"1\".txt");
    for (const char* key : {"file_bytes", "sha256", "reason", "verdict", "log"}) {
        EXPECT_TRUE(j[key].is_null()) << key;
    }
    EXPECT_EQ(j["bytes_sent"], 0);
    EXPECT_EQ(j["tester"][1], "\xef\xbf\xbd");  // not UTF-8: replaced, not refused
    for (const char* key : {"unit", "slot", "station", "version"}) {
        EXPECT_TRUE(j[key].is_null()) << key;
    }
    EXPECT_EQ(j.size(), 18u);
}

// Every record names the station, the program's version and the port's slot, and has an id of
// its own, in the form of a random UUID, whichever recorder wrote it.
TEST(Report, RecordsNameTheirStationSlotAndVersionAndEachHasItsOwnId) {
    TransferRecord base = StationRecordBase("Line 3", "9.8.7");
    EXPECT_EQ(base.station, "Line 3");
    EXPECT_EQ(StationRecordBase("", "1").station, HostName());
    EXPECT_FALSE(HostName().empty());
    base.port = "COM5";
    base.slot = "Bay 1";
    std::vector<nlohmann::json> records;
    const auto sink = [&](const TransferRecord& r) {
        records.push_back(nlohmann::json::parse(RecordLine(r)));
        return true;
    };
    VerdictRules rules;
    CTransferRecorder first(base, rules, sink);
    CTransferRecorder second(base, rules, sink);
    for (CTransferRecorder* recorder : {&first, &second, &first}) {
        recorder->TransferStarted(10);
        recorder->TransferEnded(PortOutcome::Sent, 10, "ab", "");
    }
    ASSERT_EQ(records.size(), 3u);
    std::set<std::string> ids;
    for (const auto& j : records) {
        EXPECT_EQ(j["station"], "Line 3");
        EXPECT_EQ(j["version"], "9.8.7");
        EXPECT_EQ(j["slot"], "Bay 1");
        const std::string id = j["id"];
        EXPECT_TRUE(std::regex_match(
            id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
            << id;
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 3u);
}

// What the port's report shows as its tester's unit: the one its lines before the prompt named,
// kept through the transfer and after it until the next tester names itself.
TEST(Report, TheUnitShownIsTheTestersOnThePortNow) {
    VerdictRules rules;
    rules.unitId = CompileUnitPattern("S/N (\\w+)", nullptr);
    CTransferRecorder recorder({}, rules, {});
    auto say = [&](const std::string& text) {
        for (const char ch : text) {
            recorder.OnTesterByte(ch);
        }
    };
    EXPECT_EQ(recorder.Unit(), "");
    say("Boot\r\nS/N A1\r\n");
    EXPECT_EQ(recorder.Unit(), "A1");
    recorder.TransferStarted(10);
    say("S/N Z9\r\n");  // a line of the transfer's, not an identity
    EXPECT_EQ(recorder.Unit(), "A1");
    recorder.TransferEnded(PortOutcome::Sent, 10, "ab", "");
    EXPECT_EQ(recorder.Unit(), "A1");
    say("Boot\r\nS/N B2\r\n");
    EXPECT_EQ(recorder.Unit(), "B2");
    // A tester that does not name itself is shown without a unit once it is sent to.
    recorder.TransferStarted(10);
    recorder.TransferEnded(PortOutcome::Sent, 10, "ab", "");
    say("Boot\r\n");
    recorder.TransferStarted(10);
    EXPECT_EQ(recorder.Unit(), "");
}

TEST(Report, TotalsAndVerdictLinesCountEveryPort) {
    auto port = [](PortPhase phase, PortOutcome outcome, int sent, int accepted, int failed) {
        PortReport r;
        r.phase = phase;
        r.outcome = outcome;
        r.sent = sent;
        r.accepted = accepted;
        r.failed = failed;
        return r;
    };
    const std::vector<PortReport> ports = {
        port(PortPhase::Done, PortOutcome::Accepted, 2, 2, 0),
        port(PortPhase::Answer, PortOutcome::TesterRejected, 1, 0, 1),
        port(PortPhase::Sending, PortOutcome::None, 0, 0, 0),
        port(PortPhase::Done, PortOutcome::NotOpened, 0, 0, 0)};
    EXPECT_EQ(FormatTotalsLine(ports, 83.6),
              "Total: 3 sent, 2 accepted, 2 failed, 2 running, 1:23 elapsed");
    EXPECT_EQ(
        FormatBatchVerdict(ports, 5),
        "Verdict: 4 testers: 1 accepted, 1 rejected, 1 not sent, 1 not opened; exit status 5.");
}

TEST(Report, RetryTakesThePortsWhoseLastRecordFailed) {
    std::istringstream in(
        "{\"port\":\"COM5\",\"outcome\":\"failed\",\"file\":\"a.txt\"}\n"
        "{\"port\":\"COM6\",\"outcome\":\"rejected\",\"file\":\"a.txt\"}\n"
        "\n"
        "{\"port\":\"COM5\",\"outcome\":\"accepted\",\"file\":\"a.txt\"}\r\n"
        "{\"port\":\"COM7\",\"outcome\":\"no_prompt\",\"file\":\"b.txt\"}\n"
        "{\"port\":\"COM8\",\"outcome\":\"sent\"}\n"
        "{\"port\":\"COM9\",\"outc");  // cut off by a crash
    const RetryList list = ReadRetryList(in, "r.jsonl");
    ASSERT_TRUE(list.ok) << list.error;
    EXPECT_EQ(list.ports, (std::vector<std::string>{"COM6", "COM7"}));
    EXPECT_EQ(list.files, (std::vector<std::string>{"a.txt", "b.txt"}));
    ASSERT_EQ(list.warnings.size(), 1u);
    EXPECT_NE(list.warnings[0].find("Line 7"), std::string::npos) << list.warnings[0];

    std::istringstream empty("not json\n");
    EXPECT_FALSE(ReadRetryList(empty, "x").ok);
}

}  // namespace
}  // namespace korv
