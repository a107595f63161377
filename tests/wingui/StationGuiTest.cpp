// korvalin.exe --station end to end, through its real windows: simulated testers behind COM5 to
// COM8 of the Wine prefix, the ports added through the port dialog, the settings typed into the
// fields, the table read as a screen reader reads it, the terminal pane through WM_GETTEXT and the
// records from the report the run wrote.

#include <gtest/gtest.h>

#include <cwctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "GuiDriver.h"
#include "SimLine.h"

// After <windows.h>, which GuiDriver.h brings.
#include <commctrl.h>

namespace korv::test {
namespace {

// Ids of the station window's controls (its resource script has them too).
constexpr int kPorts = 1101;
constexpr int kStart = 1102;
constexpr int kStop = 1103;
constexpr int kAbort = 1104;
constexpr int kAdd = 1105;
constexpr int kRemove = 1106;
constexpr int kTotals = 1109;
constexpr int kRecords = 1110;
constexpr int kOpen = 1107;
constexpr int kSave = 1108;
constexpr int kTerminal = 1112;
constexpr int kFile = 1120;
constexpr int kExpect = 1122;
constexpr int kReject = 1123;
constexpr int kLogDir = 1127;
constexpr int kVerdictTimeout = 1125;
constexpr int kUnit = 1124;
constexpr int kRepeat = 1128;
constexpr int kAddPort = 1140;
constexpr int kAddLabel = 1141;

// The table's columns.
constexpr int kColLabel = 0;
constexpr int kColPort = 1;
constexpr int kColState = 2;
constexpr int kColUnit = 3;
constexpr int kColProgress = 4;
constexpr int kColSent = 5;
constexpr int kColAccepted = 6;
constexpr int kColFailed = 7;
constexpr int kColLast = 8;
constexpr int kColumns = 9;

// The tints of passed and failed rows (the program's own).
constexpr COLORREF kPassBack = RGB(0xDC, 0xF2, 0xDC);
constexpr COLORREF kFailBack = RGB(0xF8, 0xDC, 0xDC);

const wchar_t kDialogClass[] = L"#32770";
const wchar_t kStationTitle[] = L"KORVALIN Station";

// The simulator's lines after an update, which the station's patterns look for.
const wchar_t kAccepting[] = L"Update received";
const wchar_t kRejecting[] = L"Update rejected";

void SetText(HWND control, const std::wstring& text) {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                        SMTO_ABORTIFHUNG, 10000, &ignored);
}

// A folder of this process's temporary folder, removed with what the program wrote in it.
class TempFolder {
  public:
    explicit TempFolder(const std::wstring& name) {
        wchar_t dir[MAX_PATH];
        GetTempPathW(MAX_PATH, dir);
        m_path = std::wstring(dir) + L"korv-station-" + std::to_wstring(GetCurrentProcessId()) +
                 L"-" + name;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::wstring& Path() const { return m_path; }

  private:
    std::wstring m_path;
};

// The records of the report in folder, one JSON object a line.
std::vector<nlohmann::json> Records(const std::wstring& folder) {
    std::vector<nlohmann::json> records;
    std::ifstream in(std::filesystem::path(folder) / L"report.jsonl");
    for (std::string line; std::getline(in, line);) {
        records.push_back(nlohmann::json::parse(line, nullptr, false));
    }
    return records;
}

// The station window and its controls.
struct Station {
    HWND window = nullptr;
    HWND list = nullptr;
    std::unique_ptr<RemoteList> rows;

    bool Find(const GuiProgram& program, const wchar_t* title = kStationTitle) {
        window = program.WaitTop(kDialogClass, title);
        list = window != nullptr ? GetDlgItem(window, kPorts) : nullptr;
        if (list == nullptr) {
            return false;
        }
        rows = std::make_unique<RemoteList>(list);
        return rows->Ok();
    }
    HWND Control(int id) const { return GetDlgItem(window, id); }
    std::wstring Cell(int row, int column) const { return rows->Cell(row, column); }
    std::wstring State(int row) const { return Cell(row, kColState); }
    std::wstring Totals() const { return Text(Control(kTotals)); }
    std::wstring Screen() const { return Text(Control(kTerminal)); }
    bool Enabled(int id) const { return IsWindowEnabled(Control(id)) != FALSE; }
    // The table and the totals, for failure messages.
    std::string Describe() const {
        std::wstring all;
        for (int i = 0; i < rows->Count(); ++i) {
            all += rows->Row(i, kColumns) + L"\n";
        }
        return Narrow(all + Totals());
    }

    // Adds a port through the port dialog, as typed into it.
    void AddPort(const GuiProgram& program, const std::string& name, const std::wstring& label) {
        Click(Control(kAdd));
        const HWND dialog = program.WaitTop(kDialogClass, L"Add port");
        ASSERT_NE(dialog, nullptr);
        SetText(GetDlgItem(dialog, kAddPort), Widen(name));
        SetText(GetDlgItem(dialog, kAddLabel), label);
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(dialog); })) << "the dialog stayed";
    }

    // The settings every test uses: the file, the patterns, the log folder, one tester a port.
    void Settle(const std::wstring& file, const std::wstring& logDir) const {
        SetText(Control(kFile), file);
        SetText(Control(kExpect), kAccepting);
        SetText(Control(kReject), kRejecting);
        SetText(Control(kLogDir), logDir);
        SendMessageW(Control(kRepeat), BM_SETCHECK, BST_UNCHECKED, 0);
    }
};

// The simulated testers of a test, one on each COM port named.
std::vector<std::unique_ptr<SimLine>> StartTesters(
    const std::vector<std::pair<std::string, std::vector<std::string>>>& testers) {
    std::vector<std::unique_ptr<SimLine>> sims;
    for (const auto& [port, options] : testers) {
        sims.push_back(std::make_unique<SimLine>(options, port));
    }
    return sims;
}

// Four testers, one of which rejects the update: the table follows the run (states, the progress
// text, counts, the tints of passed and failed rows), each port's terminal shows its own tester,
// the totals line has the yield, and the report has a record per port with its outcome.
TEST(StationGuiTest, FourTestersOneRejecting) {
    // Different line rates: the ports are at different points of the file at any time (two have
    // their verdicts while two still send). Each tester names its serial number in its banner
    // and stays on the line after its update, until the test ends. It takes 5 s of silence as
    // the end of its file: a loaded machine that holds the line for a second must not make it
    // count a part of the file as the whole.
    const std::vector<std::string> common = {"--linger-ms", "600000",           "--delay-ms",
                                             "500",         "--end-silence-ms", "5000"};
    auto with = [&common](const std::string& serial, std::vector<std::string> options) {
        options.insert(options.end(), common.begin(), common.end());
        options.insert(options.end(), {"--serial", serial});
        return options;
    };
    auto sims = StartTesters({{"COM5", with("SN-1001", {"--rate", "12000"})},
                              {"COM6", with("SN-1002", {"--rate", "3500"})},
                              {"COM7", with("SN-1003", {"--rate", "16000", "--verdict", "reject"})},
                              {"COM8", with("SN-1004", {"--rate", "2500"})}});
    for (const auto& sim : sims) {
        ASSERT_TRUE(sim->Ok()) << sim->Problem();
    }
    const TempFile update(L"station-update.txt", UpdateBytes(40000));
    const TempFolder logs(L"logs");

    GuiProgram program(DesktopExe(), L"--station");
    ASSERT_TRUE(program.Started());
    Station station;
    ASSERT_TRUE(station.Find(program));
    EXPECT_EQ(station.rows->Count(), 0);
    EXPECT_TRUE(Contains(station.Totals(), L"Sent 0, accepted 0, failed 0")) << station.Describe();

    // Start without ports, or without a file, is refused with the reason, and nothing starts.
    Click(station.Control(kStart));
    EXPECT_TRUE(Contains(DismissMessageBox(program), L"Add a port to the station first."));
    const std::vector<std::string> ports = {"COM5", "COM6", "COM7", "COM8"};
    for (size_t i = 0; i < ports.size(); ++i) {
        station.AddPort(program, ports[i], L"Bay " + std::to_wstring(i + 1));
    }
    ASSERT_EQ(station.rows->Count(), 4) << station.Describe();
    // A port the station has already: the dialog says so and keeps what was typed.
    Click(station.Control(kAdd));
    HWND dialog = program.WaitTop(kDialogClass, L"Add port");
    ASSERT_NE(dialog, nullptr);
    SetText(GetDlgItem(dialog, kAddPort), L"COM6");
    SetText(GetDlgItem(dialog, kAddLabel), L"Again");
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(Contains(DismissMessageBox(program), L"The station has the port COM6 already."));
    EXPECT_TRUE(IsWindow(dialog));
    EXPECT_EQ(Text(GetDlgItem(dialog, kAddLabel)), L"Again");
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(dialog); }));
    // A fifth port, removed again from the keyboard (Delete on the table).
    station.AddPort(program, "COM9", L"Spare");
    ASSERT_EQ(station.rows->Count(), 5);
    EXPECT_EQ(station.rows->Selected(), 4) << "the added port is selected";
    PostMessageW(station.list, WM_KEYDOWN, VK_DELETE, 0);
    ASSERT_TRUE(WaitUntil([&] { return station.rows->Count() == 4; })) << station.Describe();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(station.Cell(i, kColLabel), L"Bay " + std::to_wstring(i + 1));
        EXPECT_EQ(station.Cell(i, kColPort), Widen(ports[static_cast<size_t>(i)]));
        EXPECT_EQ(station.State(i), L"idle");
    }
    Click(station.Control(kStart));
    EXPECT_TRUE(Contains(DismissMessageBox(program), L"Choose the update file first."));
    EXPECT_TRUE(station.Enabled(kStart));
    EXPECT_FALSE(station.Enabled(kStop));

    station.Settle(update.Path(), logs.Path());
    SetText(station.Control(kUnit), L"^Serial number: (\\S+)$");
    Click(station.Control(kStart));
    // Running: Stop instead of Start, and the settings fixed (the last control turned off).
    ASSERT_TRUE(WaitUntil([&] { return !station.Enabled(kRepeat); })) << station.Describe();
    EXPECT_TRUE(station.Enabled(kStop));
    EXPECT_FALSE(station.Enabled(kStart));
    EXPECT_FALSE(station.Enabled(kFile));

    // While a port sends, its progress says how far and how long to go, and Abort applies to it.
    const int slowest = 3;
    ASSERT_TRUE(WaitUntil([&] {
        return station.State(slowest) == L"sending" &&
               Contains(station.Cell(slowest, kColProgress), L" left") &&
               !Contains(station.Cell(slowest, kColProgress), L"--:--");
    })) << station.Describe();
    const std::wstring progress = station.Cell(slowest, kColProgress);
    EXPECT_TRUE(Contains(progress, L"/39.1 KiB, 0:")) << Narrow(progress);
    ASSERT_TRUE(station.rows->Select(slowest));
    EXPECT_TRUE(WaitUntil([&] { return station.Enabled(kAbort); })) << station.Describe();
    if (const char* shot = std::getenv("KORV_STATION_SCREENSHOT"); shot != nullptr && *shot) {
        // Once the fast testers have answered while the slow ones are still being sent to, and
        // the window has drawn it.
        WaitUntil(
            [&] { return station.State(0) == L"accepted" && station.State(2) == L"rejected"; },
            20s);
        RedrawWindow(station.window, nullptr, nullptr,
                     RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        EXPECT_TRUE(CaptureWindow(station.window, DosPath(shot)));
    }

    // The run ends by itself: one tester a port. (The window turns controls on before it turns
    // others off.)
    ASSERT_TRUE(WaitUntil([&] { return !station.Enabled(kStop); }, 120s)) << station.Describe();
    EXPECT_TRUE(station.Enabled(kStart));
    EXPECT_FALSE(station.Enabled(kAbort));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(station.Cell(i, kColUnit), L"SN-100" + std::to_wstring(i + 1));
    }
    for (const int i : {0, 1, 3}) {
        SCOPED_TRACE(i);
        EXPECT_EQ(station.State(i), L"accepted") << station.Describe();
        EXPECT_EQ(station.Cell(i, kColSent), L"1");
        EXPECT_EQ(station.Cell(i, kColAccepted), L"1");
        EXPECT_EQ(station.Cell(i, kColFailed), L"0");
        EXPECT_EQ(station.Cell(i, kColProgress), L"39.1/39.1 KiB");
        EXPECT_TRUE(Contains(station.Cell(i, kColLast), L"Update received: 40000 bytes"))
            << station.Describe();
    }
    EXPECT_EQ(station.State(2), L"rejected");
    EXPECT_EQ(station.Cell(2, kColSent), L"1");
    EXPECT_EQ(station.Cell(2, kColAccepted), L"0");
    EXPECT_EQ(station.Cell(2, kColFailed), L"1");
    EXPECT_TRUE(Contains(station.Cell(2, kColLast), kRejecting)) << station.Describe();
    EXPECT_TRUE(Contains(station.Totals(), L"Sent 4, accepted 3, failed 1, yield 75 %"))
        << station.Describe();
    EXPECT_TRUE(Contains(Text(station.Control(kRecords)), logs.Path())) << station.Describe();

    // The terminal below the table is the selected port's own.
    ASSERT_TRUE(station.rows->Select(2));
    EXPECT_TRUE(WaitUntil([&] { return Contains(station.Screen(), kRejecting); }))
        << Narrow(station.Screen());
    EXPECT_FALSE(Contains(station.Screen(), kAccepting)) << Narrow(station.Screen());
    ASSERT_TRUE(station.rows->Select(0));
    EXPECT_TRUE(WaitUntil([&] { return Contains(station.Screen(), kAccepting); }))
        << Narrow(station.Screen());
    EXPECT_TRUE(Contains(station.Screen(), L"Ready to receive update file"))
        << Narrow(station.Screen());
    // Moved to a monitor with another DPI (the pane's notices and the size between): the port's
    // screen stays, and so does the other port's.
    const HWND pane = station.Control(kTerminal);
    RECT client{};
    GetClientRect(pane, &client);
    SendMessageW(pane, 0x02E2, 0, 0);  // WM_DPICHANGED_BEFOREPARENT
    SendMessageW(pane, WM_SIZE, SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
    SendMessageW(pane, 0x02E3, 0, 0);  // WM_DPICHANGED_AFTERPARENT
    EXPECT_TRUE(Contains(station.Screen(), kAccepting)) << Narrow(station.Screen());
    ASSERT_TRUE(station.rows->Select(2));
    EXPECT_TRUE(WaitUntil([&] { return Contains(station.Screen(), kRejecting); }))
        << Narrow(station.Screen());
    ASSERT_TRUE(station.rows->Select(0));

    // Passed rows are tinted green, the failed row red (the row below the selection: a selected
    // row is in the selection's colours).
    for (const int i : {1, 2, 3}) {
        const RECT row = station.rows->ItemScreenRect(i);
        const int pass = PixelsNear(row, kPassBack);
        const int fail = PixelsNear(row, kFailBack);
        if (i == 2) {
            EXPECT_GT(fail, 100) << "row " << i;
            EXPECT_EQ(pass, 0) << "row " << i;
        } else {
            EXPECT_GT(pass, 100) << "row " << i;
            EXPECT_EQ(fail, 0) << "row " << i;
        }
    }

    // The records: one per port, with its outcome and the whole file sent.
    std::map<std::string, std::string> outcomes;
    for (const auto& record : Records(logs.Path())) {
        ASSERT_TRUE(record.is_object());
        outcomes[record.value("port", "")] = record.value("outcome", "");
        EXPECT_EQ(record.value("bytes_sent", 0), 40000) << record;
    }
    EXPECT_EQ(outcomes, (std::map<std::string, std::string>{{"COM5", "accepted"},
                                                            {"COM6", "accepted"},
                                                            {"COM7", "rejected"},
                                                            {"COM8", "accepted"}}));
    for (const auto& sim : sims) {
        EXPECT_TRUE(sim->SawEvent("RECEIVED 40000 bytes") ||
                    sim->WaitEvent("RECEIVED 40000 bytes", 10s))
            << sim->Transcript();
    }

    // Nothing runs: closing does not ask.
    PostMessageW(station.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.WaitExit(30s), 0u);
}

// Closing while updates are being sent asks first; No keeps the station running, Yes stops it
// (the transfers are aborted and recorded) and closes. Abort ends one port's transfer alone, and
// Enter in a field starts the station.
TEST(StationGuiTest, ClosingWhileSendingAsksFirst) {
    // 60 KB at 2 KB/s: half a minute on the line, longer than the test needs.
    const std::vector<std::string> slow = {"--rate", "2000",       "--linger-ms",
                                           "600000", "--delay-ms", "500"};
    auto sims = StartTesters({{"COM5", slow}, {"COM6", slow}});
    for (const auto& sim : sims) {
        ASSERT_TRUE(sim->Ok()) << sim->Problem();
    }
    const TempFile update(L"station-long.txt", UpdateBytes(60000));
    const TempFolder logs(L"close");

    GuiProgram program(DesktopExe(), L"--station");
    ASSERT_TRUE(program.Started());
    Station station;
    ASSERT_TRUE(station.Find(program));
    station.AddPort(program, "COM5", L"Left");
    station.AddPort(program, "COM6", L"Right");
    station.Settle(update.Path(), logs.Path());
    // Enter in a field is Start, the window's default button.
    PostMessageW(station.Control(kFile), WM_KEYDOWN, VK_RETURN, 0);
    ASSERT_TRUE(WaitUntil([&] {
        return station.State(0) == L"sending" && station.State(1) == L"sending";
    })) << station.Describe();

    // Abort: the selected port's transfer ends, the other goes on.
    ASSERT_TRUE(station.rows->Select(1));
    ASSERT_TRUE(WaitUntil([&] { return station.Enabled(kAbort); }));
    Click(station.Control(kAbort));
    ASSERT_TRUE(WaitUntil([&] { return station.State(1) == L"aborted"; })) << station.Describe();
    EXPECT_EQ(station.Cell(1, kColFailed), L"1");
    EXPECT_EQ(station.State(0), L"sending");

    // No: nothing changes.
    PostMessageW(station.window, WM_CLOSE, 0, 0);
    const std::wstring question = DismissMessageBox(program, IDNO);
    EXPECT_TRUE(Contains(question, L"Stop the station and close it?")) << Narrow(question);
    EXPECT_EQ(program.WaitExit(0ms), static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(station.State(0), L"sending") << station.Describe();
    EXPECT_TRUE(station.Enabled(kStop));

    // Yes: the station stops, writes its records and closes.
    PostMessageW(station.window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(DismissMessageBox(program, IDYES).empty());
    EXPECT_EQ(program.WaitExit(30s), 0u);
    const auto records = Records(logs.Path());
    ASSERT_EQ(records.size(), 2u);
    for (const auto& record : records) {
        EXPECT_EQ(record.value("outcome", ""), "aborted") << record;
        EXPECT_LT(record.value("bytes_sent", 60000), 60000) << record;
    }
}

// A tester unplugged mid-transfer, and a tester plugged in behind the same COM port: the port
// waits for its device (its row says so) and serves the next tester, while the station runs on.
// The cut transfer is counted and recorded as a lost port, the next one in full; stopping a port
// that only waits for its next tester asks nothing and records nothing more.
TEST(StationGuiTest, UnpluggedTesterComesBack) {
    // 40 KB at 3 KB/s: long enough on the line to be unplugged part way.
    auto first = std::make_unique<SimLine>(
        std::vector<std::string>{"--rate", "3000", "--linger-ms", "600000", "--delay-ms", "500"},
        "COM5");
    ASSERT_TRUE(first->Ok()) << first->Problem();
    const TempFile update(L"station-replug.txt", UpdateBytes(40000));
    const TempFolder logs(L"replug");

    GuiProgram program(DesktopExe(), L"--station");
    ASSERT_TRUE(program.Started());
    Station station;
    ASSERT_TRUE(station.Find(program));
    station.AddPort(program, "COM5", L"Bay 1");
    station.Settle(update.Path(), logs.Path());
    // Tester after tester: a port that is lost waits for the next one.
    SendMessageW(station.Control(kRepeat), BM_SETCHECK, BST_CHECKED, 0);
    Click(station.Control(kStart));
    ASSERT_TRUE(first->WaitEvent("RECEIVING")) << first->Transcript();
    ASSERT_TRUE(WaitUntil([&] { return station.State(0) == L"sending"; })) << station.Describe();

    first->Command("hangup");
    ASSERT_TRUE(first->WaitEvent("HANGUP")) << first->Transcript();
    ASSERT_TRUE(WaitUntil([&] { return station.State(0) == L"lost; reconnecting"; }))
        << station.Describe();
    EXPECT_EQ(station.Cell(0, kColFailed), L"1");
    EXPECT_TRUE(station.Enabled(kStop)) << "the station runs on";

    SimLine next({"--rate", "20000", "--linger-ms", "600000", "--delay-ms", "500",
                  "--end-silence-ms", "5000", "--save", "{dir}/got"},
                 "COM5");
    ASSERT_TRUE(next.Ok()) << next.Problem();
    ASSERT_TRUE(next.WaitEvent("RECEIVED", 120s)) << next.Transcript();
    EXPECT_EQ(next.ReadBack("got"), update.Content());
    ASSERT_TRUE(WaitUntil([&] {
        return station.State(0) == L"accepted, waiting for the next tester";
    })) << station.Describe();
    EXPECT_EQ(station.Cell(0, kColSent), L"1");
    EXPECT_EQ(station.Cell(0, kColAccepted), L"1");
    EXPECT_EQ(station.Cell(0, kColFailed), L"1");
    EXPECT_TRUE(Contains(station.Totals(), L"Sent 1, accepted 1, failed 1, yield 50 %"))
        << station.Describe();

    // Waiting for the next tester: closing stops the port without asking.
    PostMessageW(station.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.WaitExit(30s), 0u);
    EXPECT_EQ(program.FindTop(kDialogClass, L"KORVALIN"), nullptr);
    const auto records = Records(logs.Path());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].value("outcome", ""), "port_lost") << records[0];
    EXPECT_LT(records[0].value("bytes_sent", 40000), 40000) << records[0];
    EXPECT_EQ(records[1].value("outcome", ""), "accepted") << records[1];
    EXPECT_EQ(records[1].value("bytes_sent", 0), 40000) << records[1];
    for (const auto& record : records) {
        EXPECT_EQ(record.value("port", ""), "COM5") << record;
        EXPECT_EQ(record.value("slot", ""), "Bay 1") << record;
    }
}

// The end of the user's session: logging off waits while a transfer runs (the session manager is
// told why); when the session ends anyway, the station stops and writes its records before the
// system ends the process. (The station is started with F5.)
TEST(StationGuiTest, SessionEndStopsTheStationWithItsRecords) {
    auto sims =
        StartTesters({{"COM5", {"--rate", "2000", "--linger-ms", "600000", "--delay-ms", "500"}}});
    ASSERT_TRUE(sims[0]->Ok()) << sims[0]->Problem();
    const TempFile update(L"station-session.txt", UpdateBytes(60000));
    const TempFolder logs(L"session");

    GuiProgram program(DesktopExe(), L"--station");
    ASSERT_TRUE(program.Started());
    Station station;
    ASSERT_TRUE(station.Find(program));
    station.AddPort(program, "COM5", L"Bay 1");
    station.Settle(update.Path(), logs.Path());
    // F5 is Start.
    PostMessageW(station.window, WM_KEYDOWN, VK_F5, 0);
    ASSERT_TRUE(WaitUntil([&] { return station.State(0) == L"sending"; })) << station.Describe();

    DWORD_PTR answer = 1;
    SendMessageTimeoutW(station.window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG,
                        10000, &answer);
    EXPECT_EQ(answer, 0u) << "logging off waits for the transfer";
    EXPECT_EQ(station.State(0), L"sending");

    SendMessageTimeoutW(station.window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG,
                        30000, &answer);
    // Written before WM_ENDSESSION returned: the process may end right after.
    const auto records = Records(logs.Path());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].value("outcome", ""), "aborted") << records[0];
    EXPECT_LT(records[0].value("bytes_sent", 60000), 60000) << records[0];
    EXPECT_TRUE(WaitUntil([&] { return station.State(0) == L"aborted"; })) << station.Describe();
    SendMessageTimeoutW(station.window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG,
                        10000, &answer);
    EXPECT_EQ(answer, 1u) << "nothing runs any more";
    PostMessageW(station.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.WaitExit(30s), 0u);
}

// What the keyboard needs: every control the operator uses is a tab stop, no two mnemonics share
// a letter, and every control lies inside the window.
TEST(StationGuiTest, EveryControlIsReachedFromTheKeyboard) {
    GuiProgram program(DesktopExe(), L"--station");
    ASSERT_TRUE(program.Started());
    Station station;
    ASSERT_TRUE(station.Find(program));
    RECT window{};
    GetClientRect(station.window, &window);
    std::map<wchar_t, std::wstring> mnemonics;
    int tabStops = 0;
    for (HWND child = GetWindow(station.window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls[64] = L"";
        GetClassNameW(child, cls, 64);
        const std::wstring text = Text(child);
        const LONG style = GetWindowLongW(child, GWL_STYLE);
        SCOPED_TRACE(Narrow(std::wstring(cls) + L" '" + text + L"'"));
        const bool isStatic = _wcsicmp(cls, L"Static") == 0;
        const bool isGroup = _wcsicmp(cls, L"Button") == 0 && (style & BS_TYPEMASK) == BS_GROUPBOX;
        if (!isStatic && !isGroup) {
            EXPECT_NE(style & WS_TABSTOP, 0) << "not a tab stop";
            ++tabStops;
        }
        const size_t amp = text.find(L'&');
        if (amp != std::wstring::npos && amp + 1 < text.size() &&
            !(isStatic && (style & SS_NOPREFIX) != 0)) {
            const auto key = static_cast<wchar_t>(towlower(text[amp + 1]));
            const auto [at, added] = mnemonics.emplace(key, text);
            EXPECT_TRUE(added) << "Alt+" << static_cast<char>(key) << " is also '"
                               << Narrow(at->second) << "'";
        }
        RECT rc{};
        GetWindowRect(child, &rc);
        MapWindowPoints(nullptr, station.window, reinterpret_cast<POINT*>(&rc), 2);
        EXPECT_TRUE(rc.left >= 0 && rc.top >= 0 && rc.right <= window.right &&
                    rc.bottom <= window.bottom)
            << "outside the window";
    }
    // The table, seven buttons, the terminal, seven fields, Browse and the check box.
    EXPECT_EQ(tabStops, 18);
    EXPECT_EQ(mnemonics.size(), 18u) << "a label or button without its mnemonic";
    PostMessageW(station.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.WaitExit(30s), 0u);
}

// A file's text, as this process reads it.
std::string ReadFile(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::wstring& path, const std::string& text) {
    std::ofstream(std::filesystem::path(path), std::ios::binary) << text;
}

// A station file given on the command line opens with the window: its ports and settings. What
// the operator changes is saved (ports, labels, the fields' settings, and what the window has no
// field for); a file that is not a station file is refused with the reason and leaves the station
// as it was.
TEST(StationGuiTest, StationFilesOpenAndSave) {
    const TempFolder folder(L"files");
    std::filesystem::create_directories(folder.Path());
    const std::wstring bench = folder.Path() + L"\\bench.json";
    WriteFile(bench, R"({"ports": [{"name": "COM5", "label": "Bay 1"}, {"name": "COM6"}],
 "file": "update.txt", "expect": "Update received", "verdict_timeout": 45,
 "log_dir": "logs", "repeat": false, "station_name": "Line 3"})");
    const std::wstring broken = folder.Path() + L"\\broken.json";
    WriteFile(broken, R"({"ports": [{"name": "COM5"}, {"name": "COM5"}]})");

    GuiProgram program(DesktopExe(), L"--station \"" + bench + L"\"");
    ASSERT_TRUE(program.Started());
    Station station;
    ASSERT_TRUE(station.Find(program, L"bench.json - KORVALIN Station"));
    ASSERT_EQ(station.rows->Count(), 2) << station.Describe();
    EXPECT_EQ(station.Cell(0, kColLabel), L"Bay 1");
    EXPECT_EQ(station.Cell(1, kColPort), L"COM6");
    EXPECT_EQ(Text(station.Control(kFile)), folder.Path() + L"\\update.txt");
    EXPECT_EQ(Text(station.Control(kExpect)), kAccepting);
    EXPECT_EQ(Text(station.Control(kVerdictTimeout)), L"45");
    EXPECT_EQ(Text(station.Control(kLogDir)), folder.Path() + L"\\logs");
    EXPECT_EQ(SendMessageW(station.Control(kRepeat), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(station.rows->Selected(), 0);

    // Changed and saved under another name. A label is edited in place (F2 on the table).
    station.AddPort(program, "COM7", L"Bay 3");
    DWORD_PTR edit = 0;
    SendMessageTimeoutW(station.list, LVM_EDITLABELW, 1, 0, SMTO_ABORTIFHUNG, 10000, &edit);
    ASSERT_NE(edit, 0u) << "no label edit";
    SetText(reinterpret_cast<HWND>(edit), L"  Bay 2 ");
    PostMessageW(reinterpret_cast<HWND>(edit), WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_TRUE(WaitUntil([&] { return station.Cell(1, kColLabel) == L"Bay 2"; }))
        << station.Describe();
    SetText(station.Control(kReject), kRejecting);
    // A time-out a station file would refuse is not saved.
    SetText(station.Control(kVerdictTimeout), L"90000");
    Click(station.Control(kSave));
    EXPECT_TRUE(Contains(DismissMessageBox(program),
                         L"The verdict time-out is a number of seconds, 1 to 86400."));
    SetText(station.Control(kVerdictTimeout), L"30");
    Click(station.Control(kSave));
    HWND dialog = program.WaitTop(kDialogClass, L"Save station");
    ASSERT_NE(dialog, nullptr);
    const std::wstring saved = folder.Path() + L"\\line3.json";
    ASSERT_TRUE(ChooseFile(dialog, saved));
    ASSERT_TRUE(WaitUntil([&] { return Text(station.window) == L"line3.json - KORVALIN Station"; }))
        << Narrow(Text(station.window));
    const auto json = nlohmann::json::parse(ReadFile(saved), nullptr, false);
    ASSERT_TRUE(json.is_object()) << ReadFile(saved);
    EXPECT_EQ(json["ports"].size(), 3u) << json;
    EXPECT_EQ(json["ports"][2].value("label", ""), "Bay 3") << json;
    EXPECT_EQ(json["ports"][1].value("label", ""), "Bay 2") << json;
    EXPECT_EQ(json.value("file", ""), "update.txt") << json;
    EXPECT_EQ(json.value("reject", ""), "Update rejected") << json;
    EXPECT_EQ(json.value("verdict_timeout", 0), 30) << json;
    EXPECT_EQ(json.value("repeat", true), false) << json;
    EXPECT_EQ(json.value("station_name", ""), "Line 3") << json;

    // A file that is not a station file: the reason, and the station shown stays.
    Click(station.Control(kOpen));
    dialog = program.WaitTop(kDialogClass, L"Open station");
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(ChooseFile(dialog, broken));
    const std::wstring refusal = DismissMessageBox(program);
    EXPECT_TRUE(Contains(refusal, L"broken.json")) << Narrow(refusal);
    EXPECT_TRUE(Contains(refusal, L"ports[1].name")) << Narrow(refusal);
    EXPECT_EQ(station.rows->Count(), 3);
    EXPECT_EQ(Text(station.window), L"line3.json - KORVALIN Station");

    PostMessageW(station.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.WaitExit(30s), 0u);

    // Given on the command line, it is refused the same way; the window opens empty.
    GuiProgram again(DesktopExe(), L"--station \"" + broken + L"\"");
    ASSERT_TRUE(again.Started());
    EXPECT_TRUE(Contains(DismissMessageBox(again), L"broken.json"));
    Station empty;
    ASSERT_TRUE(empty.Find(again));
    EXPECT_EQ(empty.rows->Count(), 0);
    PostMessageW(empty.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(again.WaitExit(30s), 0u);
}

// The station's own option: the one-port window's options do not go with it.
TEST(StationGuiTest, StationOptionRefusesTheOnePortOptions) {
    GuiProgram program(DesktopExe(), L"--station --port COM5");
    ASSERT_TRUE(program.Started());
    const std::wstring message = DismissMessageBox(program);
    EXPECT_TRUE(Contains(message, L"--port and --file are for the one-port window"))
        << Narrow(message);
    EXPECT_TRUE(Contains(message, L"korvalin --station")) << Narrow(message);
    EXPECT_EQ(program.WaitExit(30s), 2u);
}

}  // namespace
}  // namespace korv::test
