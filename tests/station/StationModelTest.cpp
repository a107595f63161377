// The station window's model against real simulated testers on ptys: the rows, counts and yield
// a window shows, the records and logs of a run, the operator's commands and what they refuse.

#include "station/StationModel.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "Child.h"
#include "TempDir.h"
#include "Texts.h"
#include "Wait.h"
#include "platform/Wait.h"
#include "station/StationLogs.h"

namespace korv {
namespace {

using test::ReadWholeFile;
using test::Sim;
using test::TempDir;
using test::UpdateText;

constexpr auto kDeadline = std::chrono::seconds(60);

class StationModelTest : public ::testing::Test {
  protected:
    StationModelTest() {
        StationModelSetup setup;
        setup.version = "9.9.9";
        setup.station = "bench-7";
        setup.defaultLogDir = m_dir / "logs";
        m_model = std::make_unique<CStationModel>(std::move(setup));
        m_model->OnChange([this](unsigned what) {
            m_changes.push_back(what);
            m_changeTimes.push_back(std::chrono::steady_clock::now());
        });
        m_file = m_dir.Write("update.txt", UpdateText(3000));
    }

    // Settings with the update file and the verdict lines of the simulated tester.
    StationConfig Settings() const {
        StationConfig config;
        config.file = m_file;
        config.expect = "Update received";
        config.reject = "Update rejected";
        config.verdictTimeout = 30;
        config.repeat = false;
        return config;
    }

    Sim& AddTester(const std::string& label, std::vector<std::string> options) {
        m_sims.push_back(std::make_unique<Sim>(std::move(options)));
        Sim& sim = *m_sims.back();
        EXPECT_TRUE(sim.ok());
        std::string message;
        EXPECT_TRUE(m_model->AddPort(sim.Port(), label, &message)) << message;
        return sim;
    }

    // The toolkit's part: wait for the model's waitable or its time-out, then serve it.
    template <class Cond>
    bool DriveUntil(Cond cond, std::chrono::milliseconds limit = kDeadline) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!cond()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            const WaitHandle handle = m_model->Waitable();
            int timeout = m_model->TimeoutMs();
            if (timeout < 0 || timeout > 100) {
                timeout = 100;
            }
            int err = 0;
            EXPECT_NE(WaitForAny(&handle, 1, timeout, &err), WAIT_RESULT_FAILED) << err;
            m_model->Serve();
        }
        return true;
    }

    std::vector<nlohmann::json> Records() const {
        std::vector<nlohmann::json> records;
        std::istringstream in(ReadWholeFile(m_dir / "logs/report.jsonl"));
        for (std::string line; std::getline(in, line);) {
            records.push_back(nlohmann::json::parse(line));
        }
        return records;
    }

    std::string Screen(size_t row) {
        CReportWidget& term = m_model->Terminal(row);
        std::string text;
        for (int r = 0; r < term.Rows(); ++r) {
            for (int c = 0; c < term.Cols(); ++c) {
                text += term.CellAt(c, r);
            }
            text += '\n';
        }
        return text;
    }

    TempDir m_dir;
    std::string m_file;
    std::vector<std::unique_ptr<Sim>> m_sims;
    std::unique_ptr<CStationModel> m_model;
    std::vector<unsigned> m_changes;
    std::vector<std::chrono::steady_clock::time_point> m_changeTimes;
};

TEST_F(StationModelTest, StartRefusesWhatCannotRunAndTouchesNothing) {
    std::string message;
    ASSERT_TRUE(m_model->Valid());
    EXPECT_FALSE(m_model->Start(&message));
    EXPECT_EQ(message, "Add a port to the station first.");

    // The port is never opened below: a refused start leaves the tester alone.
    Sim& sim = AddTester("Bay 1", {"--wait-open", "on"});
    StationConfig config = Settings();
    config.file.clear();
    ASSERT_TRUE(m_model->SetSettings(config, &message)) << message;
    EXPECT_FALSE(m_model->Start(&message));
    EXPECT_EQ(message, "Choose the update file first.");

    struct Case {
        std::string what;
        std::function<void(StationConfig&)> change;
        std::string says;
    };
    const std::string notUpdate = m_dir.Write("notes.txt", "no header here\n");
    const std::string blocker = m_dir.Write("blocker", "a file where the log folder would be");
    const std::vector<Case> cases = {
        {"missing file", [&](StationConfig& c) { c.file = m_dir / "missing.txt"; },
         "Error opening file '" + (m_dir / "missing.txt") + "' : "},
        {"not an update", [&](StationConfig& c) { c.file = notUpdate; },
         "The file '" + notUpdate + "' does not appear to be a software update file"},
        {"bad expect", [](StationConfig& c) { c.expect = "Update (received"; },
         "The accepting line: 'Update (received' is not a regular expression"},
        {"bad reject", [](StationConfig& c) { c.reject = "[rejected"; },
         "The rejecting line: '[rejected' is not a regular expression"},
        {"bad unit", [](StationConfig& c) { c.unitId = "SN(\\d+"; },
         "The unit pattern: 'SN(\\d+' is not a regular expression"},
        {"log folder", [&](StationConfig& c) { c.logDir = blocker + "/logs"; },
         "Cannot make the log folder '" + blocker + "/logs' : "},
    };
    for (const auto& c : cases) {
        StationConfig bad = Settings();
        c.change(bad);
        ASSERT_TRUE(m_model->SetSettings(bad, &message)) << c.what;
        message.clear();
        EXPECT_FALSE(m_model->Start(&message)) << c.what;
        EXPECT_EQ(message.rfind(c.says, 0), 0u) << c.what << ": " << message;
        EXPECT_FALSE(m_model->Running()) << c.what;
    }
    EXPECT_FALSE(std::filesystem::exists(m_dir / "logs")) << "a refused start made the folder";
    EXPECT_EQ(m_model->Row(0).state, "idle");
    sim.Poll();
    EXPECT_FALSE(sim.Find("OPENED")) << sim.Transcript();
}

TEST_F(StationModelTest, PortsAreEditedOnlyAsTheyCanBe) {
    std::string message;
    EXPECT_FALSE(m_model->AddPort("", "Bay 1", &message));
    EXPECT_EQ(message, "Choose a port to add.");
    ASSERT_TRUE(m_model->AddPort("/dev/ttyUSB7", "Bay 1", &message));
    EXPECT_FALSE(m_model->AddPort("/dev/ttyUSB7", "Bay 2", &message));
    EXPECT_EQ(message, "The station has the port /dev/ttyUSB7 already.");
    ASSERT_TRUE(m_model->AddPort("rfc2217://bench:4001", "", &message));
    ASSERT_EQ(m_model->RowCount(), 2u);
    EXPECT_EQ(m_model->Row(0).label, "Bay 1");
    EXPECT_EQ(m_model->Row(1).name, "rfc2217://bench:4001");
    EXPECT_EQ(m_model->Row(0).tone, RowTone::Neutral);

    m_model->Select(1);
    EXPECT_TRUE(m_model->RemovePort(0, &message));
    ASSERT_EQ(m_model->RowCount(), 1u);
    EXPECT_EQ(m_model->Config().ports[0].name, "rfc2217://bench:4001");
    EXPECT_EQ(m_model->SelectedRow(), 0) << "the selection follows what is left";
    EXPECT_FALSE(m_model->RemovePort(3, &message));
    EXPECT_FALSE(m_model->Abort(0, &message));
    EXPECT_EQ(message, "No transfer is running on rfc2217://bench:4001.");

    StationConfig config = Settings();
    config.verdictTimeout = 0;
    EXPECT_FALSE(m_model->SetSettings(config, &message));
    EXPECT_NE(m_model->Config().file, m_file) << "a refused change took effect";

    const StationTotals totals = m_model->Totals();
    EXPECT_EQ(totals.yield, "\xE2\x80\x94");
    EXPECT_EQ(totals.text, "Sent 0, accepted 0, failed 0, yield \xE2\x80\x94, 0:00 elapsed");
    EXPECT_TRUE(m_model->CanCloseWithoutAsking());
}

// A station file saved from the model comes back whole; a bad one is refused and changes nothing.
TEST_F(StationModelTest, StationFileRoundTripAndRefusal) {
    std::string message;
    ASSERT_TRUE(m_model->AddPort("/dev/ttyUSB3", "Bay 3", &message));
    ASSERT_TRUE(m_model->AddPort("rfc2217://bench:4001", "", &message));
    StationConfig config = Settings();
    config.unitId = "SN: (\\w+)";
    config.promptTimeout = 20;
    config.logDir = m_dir / "station-logs";
    ASSERT_TRUE(m_model->SetSettings(config, &message)) << message;
    const std::string path = m_dir / "bench.json";
    ASSERT_TRUE(m_model->Save(path, &message)) << message;
    EXPECT_EQ(m_model->FilePath(), path);

    CStationModel other;
    ASSERT_TRUE(other.Load(path, &message)) << message;
    ASSERT_EQ(other.RowCount(), 2u);
    EXPECT_EQ(other.Row(0).label, "Bay 3");
    EXPECT_EQ(other.Row(1).name, "rfc2217://bench:4001");
    EXPECT_EQ(other.Row(1).state, "idle");
    EXPECT_EQ(other.Config().file, m_file);
    EXPECT_EQ(other.Config().unitId, config.unitId);
    EXPECT_EQ(other.Config().promptTimeout, 20);
    EXPECT_EQ(other.Config().logDir, config.logDir);
    EXPECT_FALSE(other.Config().repeat);

    const std::string bad = m_dir.Write("bad.json", "{\"ports\": [], \"colour\": 3}");
    EXPECT_FALSE(other.Load(bad, &message));
    EXPECT_NE(message.find("bad.json"), std::string::npos) << message;
    EXPECT_EQ(other.RowCount(), 2u) << "a refused file replaced the station";
    EXPECT_EQ(other.FilePath(), path);
}

// Three testers, one of which rejects the update: rows, counts, yield, the records with their
// slots, each port's log and screen.
TEST_F(StationModelTest, RunOfThreeTestersWithOneRejecting) {
    AddTester("Bay 1", {});
    AddTester("Bay 2", {"--verdict", "reject"});
    AddTester("Bay 3", {});
    std::string message;
    ASSERT_TRUE(m_model->SetSettings(Settings(), &message)) << message;
    ASSERT_TRUE(m_model->Start(&message)) << message;
    EXPECT_TRUE(m_model->Running());
    ASSERT_TRUE(DriveUntil([&] { return !m_model->Running(); }))
        << m_model->Row(0).state << " / " << m_model->Row(1).state << " / "
        << m_model->Row(2).state;

    const auto& rows = m_model->Rows();
    ASSERT_EQ(rows.size(), 3u);
    for (size_t i : {0u, 2u}) {
        EXPECT_EQ(rows[i].state, "accepted") << i << ": " << rows[i].last;
        EXPECT_EQ(rows[i].tone, RowTone::Pass) << i;
        EXPECT_EQ(rows[i].sent, 1) << i;
        EXPECT_EQ(rows[i].accepted, 1) << i;
        EXPECT_EQ(rows[i].failed, 0) << i;
        EXPECT_EQ(rows[i].done, 3000u) << i;
        EXPECT_EQ(rows[i].percent, 100) << i;
        EXPECT_EQ(rows[i].bytesText, "2.9/2.9 KiB") << i;
        EXPECT_EQ(rows[i].last.rfind("Update received: 3000 bytes", 0), 0u) << rows[i].last;
    }
    EXPECT_EQ(rows[1].state, "rejected");
    EXPECT_EQ(rows[1].tone, RowTone::Fail);
    EXPECT_EQ(rows[1].sent, 1);
    EXPECT_EQ(rows[1].accepted, 0);
    EXPECT_EQ(rows[1].failed, 1);
    EXPECT_NE(rows[1].last.find("Update rejected"), std::string::npos) << rows[1].last;

    const StationTotals totals = m_model->Totals();
    EXPECT_EQ(totals.sent, 3);
    EXPECT_EQ(totals.accepted, 2);
    EXPECT_EQ(totals.failed, 1);
    EXPECT_EQ(totals.finished, 3);
    EXPECT_EQ(totals.yield, "67 %");

    const auto records = Records();
    ASSERT_EQ(records.size(), 3u);
    std::map<std::string, std::string> bySlotOutcome;
    for (const auto& r : records) {
        bySlotOutcome[r.value("port", "")] = r.value("outcome", "");
        EXPECT_EQ(r["bytes_sent"], 3000) << r;
        EXPECT_EQ(r["log"].get<std::string>().rfind(m_dir / "logs/", 0), 0u) << r;
    }
    EXPECT_EQ(bySlotOutcome[m_sims[0]->Port()], "accepted");
    EXPECT_EQ(bySlotOutcome[m_sims[1]->Port()], "rejected");
    EXPECT_EQ(bySlotOutcome[m_sims[2]->Port()], "accepted");

    // The screen is the tester's, the log has it and the program's lines beside.
    EXPECT_NE(Screen(1).find("Update rejected"), std::string::npos) << Screen(1);
    const std::string log = ReadWholeFile(m_dir / ("logs/" + LogFileName(m_sims[1]->Port())));
    EXPECT_NE(log.find(m_sims[1]->Port() + ", update file '" + m_file + "'."), std::string::npos)
        << log;
    EXPECT_NE(log.find("Update rejected"), std::string::npos) << log;
    EXPECT_NE(log.find("KORVALIN: The tester rejected"), std::string::npos) << log;
    for (const auto& sim : m_sims) {
        EXPECT_TRUE(sim->WaitEvent("RECEIVED 3000 bytes")) << sim->Transcript();
    }

    // Figures are redrawn at most every period; the commands' own changes come at once.
    size_t figures = 0;
    for (size_t i = 1; i < m_changeTimes.size(); ++i) {
        if (m_changes[i] == CStationModel::ChangeFigures) {
            ++figures;
            EXPECT_GE(m_changeTimes[i] - m_changeTimes[i - 1], CStationModel::kRedrawPeriod)
                << "redraw " << i << " came too soon";
        }
    }
    EXPECT_GT(figures, 0u);
}

// With repeat, a port whose line goes away is opened again once it is back. A tester that
// leaves once it has its update leaves its verdict in sight while the port waits for its line;
// one unplugged mid-transfer leaves its cut transfer recorded, and the tester behind the same
// name afterwards gets the whole file.
TEST_F(StationModelTest, PortThatComesBack) {
    const std::string link = m_dir / "bay1";
    auto& first = AddTester("Bay 1", {"--link", link, "--linger-ms", "0"});
    ASSERT_EQ(m_model->Row(0).name, first.Port());
    // The port is the link, as a by-id name is: the model was given the pty; rename it.
    std::string message;
    ASSERT_TRUE(m_model->RemovePort(0, &message));
    ASSERT_TRUE(m_model->AddPort(link, "Bay 1", &message)) << message;
    StationConfig config = Settings();
    config.repeat = true;
    ASSERT_TRUE(m_model->SetSettings(config, &message));
    ASSERT_TRUE(m_model->Start(&message)) << message;
    ASSERT_TRUE(DriveUntil([&] { return m_model->Row(0).accepted == 1; })) << m_model->Row(0).state;
    // The simulator leaves after its update: its pty goes, the link dangles.
    ASSERT_TRUE(first.WaitExit());
    ASSERT_TRUE(DriveUntil([&] { return m_model->Row(0).state == "accepted; reconnecting"; }))
        << m_model->Row(0).state;
    EXPECT_EQ(m_model->Row(0).tone, RowTone::Pass);
    EXPECT_TRUE(m_model->Running());

    // The next tester is unplugged mid-transfer.
    m_sims.push_back(
        std::make_unique<Sim>(std::vector<std::string>{"--link", link, "--rate", "1024"}));
    Sim& second = *m_sims.back();
    ASSERT_TRUE(DriveUntil([&] { return m_model->Row(0).sending; })) << m_model->Row(0).state;
    ASSERT_TRUE(second.WaitEvent("RECEIVING"));
    second.Command("hangup");
    ASSERT_TRUE(DriveUntil([&] { return m_model->Row(0).state == "lost; reconnecting"; }))
        << m_model->Row(0).state;
    EXPECT_EQ(m_model->Row(0).tone, RowTone::Fail);
    EXPECT_EQ(m_model->Row(0).failed, 1);

    // And the one after it gets the whole file. It comes once the unplugged one has gone: that
    // one's exit removes the link if it names its pty, which the next may have been given anew.
    ASSERT_TRUE(second.WaitExit());
    m_sims.push_back(
        std::make_unique<Sim>(std::vector<std::string>{"--link", link, "--save", m_dir / "third"}));
    ASSERT_TRUE(DriveUntil([&] { return m_model->Row(0).accepted == 2; }))
        << m_model->Row(0).state << "\n"
        << ReadWholeFile(m_dir / ("logs/" + LogFileName(link)));
    EXPECT_EQ(ReadWholeFile(m_dir / "third"), ReadWholeFile(m_file));
    m_model->Stop();
    const auto records = Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0]["outcome"], "accepted");
    EXPECT_EQ(records[1]["outcome"], "port_lost");
    EXPECT_EQ(records[2]["outcome"], "accepted");
    EXPECT_EQ(m_model->Totals().yield, "67 %");
    EXPECT_EQ(m_model->Row(0).sent, 2);
}

// A port added to a running station starts at once, with a log of its own; removing a port that
// sends aborts and records its transfer first.
TEST_F(StationModelTest, PortsAddedAndRemovedWhileRunning) {
    m_file = m_dir.Write("big.txt", UpdateText(30000));
    AddTester("Slow", {"--rate", "512"});
    std::string message;
    StationConfig config = Settings();
    config.file = m_file;
    ASSERT_TRUE(m_model->SetSettings(config, &message));
    ASSERT_TRUE(m_model->Start(&message)) << message;
    ASSERT_TRUE(DriveUntil([&] { return m_model->Row(0).sending; }));

    AddTester("Late", {"--linger-ms", "60000"});
    EXPECT_TRUE(m_model->Row(1).running);
    ASSERT_TRUE(DriveUntil([&] { return m_model->Row(1).accepted == 1; })) << m_model->Row(1).state;
    EXPECT_TRUE(m_model->Row(0).sending) << "the late port held up the first";
    EXPECT_TRUE(std::filesystem::exists(m_dir / ("logs/" + LogFileName(m_sims[1]->Port()))));

    ASSERT_TRUE(m_model->RemovePort(0, &message)) << message;
    ASSERT_EQ(m_model->RowCount(), 1u);
    EXPECT_EQ(m_model->Row(0).label, "Late");
    const auto records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]["outcome"], "accepted");
    EXPECT_EQ(records[1]["outcome"], "aborted");
    EXPECT_EQ(records[1]["slot"], "Slow");
}

// Stop during transfers is Ctrl+C: the transfers end as aborted and are recorded; Start runs
// fresh sessions on the same ports.
TEST_F(StationModelTest, StopAbortsTransfersAndStartRunsAgain) {
    // A slow line: 30 KiB at 1 KiB/s keeps both transfers running until they are stopped.
    m_file = m_dir.Write("big.txt", UpdateText(30000));
    AddTester("Left", {"--rate", "1024", "--repeat", "2"});
    AddTester("Right", {"--rate", "1024", "--repeat", "2"});
    std::string message;
    StationConfig config = Settings();
    config.file = m_file;
    ASSERT_TRUE(m_model->SetSettings(config, &message));
    ASSERT_TRUE(m_model->Start(&message)) << message;
    EXPECT_FALSE(m_model->Start(&message));
    EXPECT_EQ(message, "The station is running already.");
    EXPECT_FALSE(m_model->SetSettings(config, &message));
    ASSERT_TRUE(DriveUntil([&] {
        return m_model->Row(0).sending && m_model->Row(1).sending && m_model->Row(0).done > 0;
    }));
    EXPECT_EQ(m_model->Row(0).state, "sending");
    EXPECT_FALSE(m_model->Row(0).leftText.empty());
    EXPECT_FALSE(m_model->CanCloseWithoutAsking());

    ASSERT_TRUE(m_model->Abort(1, &message)) << message;
    EXPECT_EQ(m_model->Row(1).state, "aborted");
    EXPECT_EQ(m_model->Row(1).tone, RowTone::Fail);
    EXPECT_TRUE(m_model->Row(0).sending) << "abort stopped another port";
    m_model->Stop();
    EXPECT_FALSE(m_model->Running());
    EXPECT_TRUE(m_model->CanCloseWithoutAsking());
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(m_model->Row(i).state, "aborted") << i;
        EXPECT_EQ(m_model->Row(i).failed, 1) << i;
        EXPECT_NE(m_model->Row(i).last.find("after"), std::string::npos) << m_model->Row(i).last;
    }
    auto records = Records();
    ASSERT_EQ(records.size(), 2u);
    for (const auto& r : records) {
        EXPECT_EQ(r["outcome"], "aborted") << r;
        EXPECT_LT(r["bytes_sent"].get<uint64_t>(), 30000u) << r;
    }
    EXPECT_EQ(m_model->Totals().yield, "0 %");

    // The testers ask again for the file (their second update): a fresh run serves them.
    config.file = m_dir.Write("small.txt", UpdateText(2000));
    ASSERT_TRUE(m_model->SetSettings(config, &message));
    for (auto& sim : m_sims) {
        sim->Command("restart");
    }
    ASSERT_TRUE(m_model->Start(&message)) << message;
    EXPECT_EQ(m_model->Row(0).sent, 0) << "counts belong to the run";
    ASSERT_TRUE(DriveUntil([&] { return !m_model->Running(); }));
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(m_model->Row(i).state, "accepted") << i << ": " << m_model->Row(i).last;
    }
    EXPECT_EQ(m_model->Totals().yield, "100 %");
    records = Records();
    ASSERT_EQ(records.size(), 4u) << "each run adds its records to the same report";
}

}  // namespace
}  // namespace korv
