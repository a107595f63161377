// The update controller against recording fakes: the panel, the receive drain and prompt
// matchers, reports, opening and closing, the file dialog loop, validation and the sender.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ostream>
#include <thread>
#include <utility>

#include "Fakes.h"
#include "TempDir.h"
#include "Wait.h"
#include "platform/KeepAwake.h"
#include "platform/SysError.h"
#include "ports/PortList.h"
#include "view/ProgView.h"
#include "view/Strings.h"

namespace korv {
namespace {

using namespace std::chrono_literals;
using test::FakeHost;
using test::FakePort;
using test::FakePortControl;
using test::FakeProfile;
using test::FakeSink;
using test::TempDir;

constexpr CProgView::Timing kFast{std::chrono::milliseconds(1), std::chrono::milliseconds(1),
                                  std::chrono::milliseconds(1)};

class ViewTest : public ::testing::Test {
  protected:
    ViewTest() {
        FakePort::control = &control;
        ports.AddPort("COM2");
        ports.AddPort("COM1");
    }
    ~ViewTest() override { FakePort::control = nullptr; }

    std::unique_ptr<CProgView> MakeView(CProgView::Timing timing = kFast) {
        auto v = std::make_unique<CProgView>(host, sink, profile, doc, &FakePort::Make,
                                             "/opt/korvalin/bin/korvalin", timing);
        return v;
    }
    // Starts a view with the port open; the terminal log is cleared.
    std::unique_ptr<CProgView> OpenView(CProgView::Timing timing = kFast) {
        auto v = MakeView(timing);
        v->OnInitialUpdate(ports);
        host.echo.text.clear();
        return v;
    }
    void Deliver(CProgView& v, const std::string& bytes) {
        const auto before = v.RxHead();
        {
            std::lock_guard<std::mutex> lock(control.mutex);
            control.incoming.push_back(bytes);
        }
        control.cv.notify_all();
        ASSERT_TRUE(
            sink.PumpUntil(v, [&] { return v.RxTail() == v.RxHead() && v.RxHead() != before; }));
    }
    // Waits, without delivering anything, until a notification with this code is queued.
    bool WaitNotice(uint32_t code) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (sink.Count(code) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }
    void WaitSendEnded(CProgView& v) {
        ASSERT_TRUE(sink.PumpUntil(v, [&] { return v.State() != STATE_SENDING; }));
    }

    FakePortControl control;
    FakeHost host;
    FakeSink sink;
    FakeProfile profile;
    CProgDoc doc;
    CPortList ports;
    TempDir dir;
};

// ---- panel ----

TEST_F(ViewTest, StartupOpensRememberedPortAndPrintsInstructions) {
    profile.values["SETTINGS/COMMPORT"] = "COM2";
    auto v = MakeView();
    v->OnInitialUpdate(ports);
    EXPECT_EQ(host.combo, (std::vector<std::string>{"COM1", "COM2"}));
    EXPECT_EQ(host.curSel, 1);
    EXPECT_EQ(control.opened, (std::vector<std::string>{DevicePathForPort("COM2")}));
    EXPECT_EQ(v->State(), STATE_READY);
    EXPECT_EQ(v->UpdateFile(), "/opt/korvalin/bin/*.txt");
    EXPECT_EQ(host.echo.text.rfind("\r\nSuccessfully opened COM2.\n\r\nReady to perform", 0), 0u)
        << host.echo.text;
    EXPECT_FALSE(host.buttonShown);
    EXPECT_TRUE(host.portChoiceEnabled);
    EXPECT_EQ(profile.writes, 0);
    EXPECT_GT(host.focus, 0);
    // The line settings the port received.
    EXPECT_EQ(control.applied.BaudRate, 57600u);
    EXPECT_EQ(control.applied.ByteSize, 8);
    EXPECT_EQ(control.applied.fOutX, 1u);
    EXPECT_EQ(control.applied.fInX, 1u);
    EXPECT_EQ(control.applied.XonChar, 0x11);
    EXPECT_EQ(control.applied.XoffChar, 0x13);
    EXPECT_EQ(control.applied.XoffLim, 100);
    EXPECT_EQ(control.applied.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(control.purges, 2);
}

TEST_F(ViewTest, MissingRememberedPortSelectsFirstWithoutWritingProfile) {
    profile.values["SETTINGS/COMMPORT"] = "ttyUSB9";
    auto v = MakeView();
    v->OnInitialUpdate(ports);
    EXPECT_EQ(v->PortName(), "COM1");
    EXPECT_EQ(host.curSel, 0);
    EXPECT_EQ(profile.writes, 0);
}

// Network ports come from the profile after the system's; a remembered one stays chosen, listed
// or not (the system cannot say it has gone).
TEST_F(ViewTest, ProfileNetworkPortsAreOfferedAndARememberedOneKept) {
    profile.values["SETTINGS/NETPORTS"] = "rfc2217://a:1; bad ;socket://b:2;rfc2217://a:1";
    for (const std::string remembered : {"socket://b:2", "rfc2217://gone:3"}) {
        profile.values["SETTINGS/COMMPORT"] = remembered;
        auto v = MakeView();
        v->OnInitialUpdate(ports);
        EXPECT_EQ(v->PortName(), remembered);
        EXPECT_EQ(host.combo[static_cast<size_t>(host.curSel)], remembered);
        EXPECT_EQ(std::vector<std::string>(host.combo.begin(), host.combo.begin() + 4),
                  (std::vector<std::string>{"COM1", "COM2", "rfc2217://a:1", "socket://b:2"}));
        EXPECT_EQ(control.opened.back(), remembered);
    }
    EXPECT_EQ(WithProfileNetPorts({"COM1", "socket://b:2"}, profile),
              (std::vector<std::string>{"COM1", "socket://b:2", "rfc2217://a:1"}));
}

TEST_F(ViewTest, PortOverrideIsAddedAndNotRemembered) {
    auto v = MakeView();
    v->SetPortOverride("/dev/pts/77");
    v->OnInitialUpdate(ports);
    EXPECT_EQ(host.combo, (std::vector<std::string>{"COM1", "COM2", "/dev/pts/77"}));
    EXPECT_EQ(host.curSel, 2);
    EXPECT_EQ(control.opened.back(), DevicePathForPort("/dev/pts/77"));
    EXPECT_EQ(profile.writes, 0);
    // A second initial update rebuilds the choice rather than doubling it.
    v->OnInitialUpdate(ports);
    EXPECT_EQ(host.combo.size(), 3u);
}

TEST_F(ViewTest, PanelTableAndRefreshRule) {
    auto v = OpenView();
    struct Row {
        int state;
        const char* button;
        const char* message;
        bool enabled;
    };
    const Row rows[] = {
        {STATE_PORT_CLOSED, "Retry Opening COMM Port",
         "Cannot perform software update - COMM port is not open.", true},
        {STATE_SENDING, "Abort Software Update", "Sending file '/opt/korvalin/bin/*.txt'.", false},
        {STATE_SEND_ENDED, "Send Another Software Update File", nullptr, true},
        {STATE_READY, nullptr, "Ready to perform a tester software update:", true},
        {7, nullptr, nullptr, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.state);
        host.echo.text.clear();
        host.buttonText.clear();
        v->SetStateForTest(row.state);
        v->UpdateData(false);
        EXPECT_EQ(host.buttonShown, row.button != nullptr);
        if (row.button != nullptr) {
            EXPECT_EQ(host.buttonText, row.button);
        }
        if (row.message != nullptr) {
            EXPECT_EQ(host.echo.text.rfind(std::string("\r\n") + row.message, 0), 0u)
                << host.echo.text;
            EXPECT_EQ(host.echo.text.substr(host.echo.text.size() - 2), "\r\n");
        } else {
            EXPECT_EQ(host.echo.text, "");
        }
        EXPECT_EQ(host.portChoiceEnabled, row.enabled);
        EXPECT_EQ(doc.CanCloseFrame(), row.enabled);
        EXPECT_EQ(doc.OnUpdateAppExit(), row.enabled);
        // The same state again: nothing printed, nothing changed.
        host.echo.text.clear();
        v->UpdateData(false);
        EXPECT_EQ(host.echo.text, "");
    }
    v->SetStateForTest(STATE_READY);
}

TEST_F(ViewTest, ReopenInSameStateReprintsInstructionsAndClearsTerminal) {
    auto v = OpenView();
    host.window.calls.clear();
    host.combo.clear();
    host.ComboAddString("COM1");
    host.curSel = 0;
    v->OnSelchangeCommPort();
    EXPECT_EQ(profile.values["SETTINGS/COMMPORT"], "COM1");
    EXPECT_EQ(control.opened.size(), 2u);
    EXPECT_NE(host.echo.text.find("Ready to perform"), std::string::npos);
    EXPECT_EQ(host.window.calls.front(), "all");  // cleared
    EXPECT_EQ(v->State(), STATE_READY);
}

// New and Open would reopen the port; not while a file is being sent.
TEST_F(ViewTest, NewAndOpenAreRefusedOnlyWhileSending) {
    auto v = OpenView();
    control.holdWrites = true;
    host.answers = {dir.Write("u.txt", test::UpdateBytes(5000))};
    v->OnSendUpdateFile();
    ASSERT_EQ(v->State(), STATE_SENDING);
    host.dialogs.clear();
    host.answers = {dir.path() + "/u.txt"};
    EXPECT_FALSE(v->OnFileNew());
    EXPECT_FALSE(v->OnFileOpen());
    EXPECT_TRUE(host.dialogs.empty()) << "no dialog while sending";
    EXPECT_TRUE(v->WriterAlive());

    v->OnMiscButton();  // Abort
    ASSERT_EQ(v->State(), STATE_SEND_ENDED);
    EXPECT_TRUE(v->OnFileNew());
    // Open asks for any file first: a chosen one says go, a cancelled dialog changes nothing.
    EXPECT_TRUE(v->OnFileOpen());
    ASSERT_EQ(host.dialogs.size(), 1u);
    EXPECT_EQ(host.dialogs[0].title, "Open");
    EXPECT_EQ(host.dialogs[0].filter, "All Files (*.*)|*.*||");
    host.answers = {""};
    EXPECT_FALSE(v->OnFileOpen());
    EXPECT_EQ(v->State(), STATE_SEND_ENDED);
}

// The Open dialog runs an event loop: a prompt that completes in it starts no transfer that
// choosing a file would then cut off by reopening the port. The tester is served once the
// dialog has closed, whatever the operator chose in it.
TEST_F(ViewTest, PromptWhileTheOpenDialogIsUpIsServedAfterItInsteadOfAReopen) {
    auto v = OpenView();
    const std::string file = dir.Write("u.txt", test::UpdateBytes(5000));
    for (const std::string& openAnswer : {file, std::string()}) {
        SCOPED_TRACE(openAnswer.empty() ? "Open cancelled" : "file chosen in Open");
        host.dialogs.clear();
        bool prompted = false;
        host.duringDialog = [&] {
            if (!prompted) {
                prompted = true;
                Deliver(*v, PROMPT_READY);
            }
        };
        host.answers = {openAnswer, file};  // the Open dialog's, then the update file's
        EXPECT_FALSE(v->OnFileOpen()) << "no reopen under the tester's request";
        ASSERT_EQ(host.dialogs.size(), 2u);
        EXPECT_EQ(host.dialogs[0].title, "Open");
        EXPECT_EQ(host.dialogs[1].title, "Select software update file...");
        WaitSendEnded(*v);
        EXPECT_TRUE(v->SendCompleted());
        EXPECT_EQ(v->LastOutcome().kind, TransferOutcome::SENT);
        EXPECT_TRUE(control.writesCancelled.empty());
        host.duringDialog = nullptr;
        control.written.clear();
    }
}

// ---- reports ----

TEST_F(ViewTest, ReportWithBoxAndSystemText) {
    auto v = OpenView();
    const std::string port = "COM7";
    v->ReportMessage(true, 2, IDS_PORT_OPEN_FAILED, port);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0], "Failed to open COM7 : " + SystemErrorText(2));
    EXPECT_EQ(host.echo.text, host.boxes[0] + "\n");
    host.echo.text.clear();
    v->ReportMessage(false, 0, IDS_PORT_OPENED, std::string("COM1"));
    EXPECT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.echo.text, "Successfully opened COM1.\n");
}

// ---- opening and closing ----

TEST_F(ViewTest, OpenFailureReportsAndOffersRetry) {
    control.openError = ERR_BUSY;
    auto v = MakeView();
    v->OnInitialUpdate(ports);
    EXPECT_EQ(v->State(), STATE_PORT_CLOSED);
    EXPECT_FALSE(v->PortHeld());
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0], "Failed to open COM1 : " + SystemErrorText(ERR_BUSY));
    EXPECT_EQ(host.buttonText, "Retry Opening COMM Port");
    EXPECT_NE(host.echo.text.find("COMM port is not open."), std::string::npos);
    control.openError = 0;
    v->OnMiscButton();
    EXPECT_EQ(v->State(), STATE_READY);
    EXPECT_FALSE(host.buttonShown);
}

TEST_F(ViewTest, RefusedSettingsHoldThePortUntilRetry) {
    control.setStateError = ERR_INVALID;
    auto v = MakeView();
    v->OnInitialUpdate(ports);
    EXPECT_EQ(v->State(), STATE_PORT_CLOSED);
    EXPECT_TRUE(v->PortHeld());
    EXPECT_EQ(host.boxes.at(0),
              "Error setting RS232 parameters for COM1 : " + SystemErrorText(ERR_INVALID));
    EXPECT_FALSE(v->ReaderAlive());
    control.setStateError = 0;
    v->OnMiscButton();
    EXPECT_EQ(control.alive, 1);  // the held port was released before the new open
    EXPECT_EQ(v->State(), STATE_READY);
}

TEST_F(ViewTest, ClosePortTwiceIsHarmless) {
    auto v = OpenView();
    EXPECT_TRUE(v->ReaderAlive());
    v->ClosePort();
    EXPECT_FALSE(v->ReaderAlive());
    EXPECT_EQ(control.alive, 0);
    v->ClosePort();
    EXPECT_EQ(v->State(), STATE_PORT_CLOSED);
    EXPECT_EQ(v->ButtonCmd(), 0u);
}

// ---- receive side ----

TEST_F(ViewTest, DrainAcrossTheWrapKeepsOrder) {
    auto v = OpenView();
    v->ClosePort();
    uint8_t ring[RX_RING_SIZE];
    std::string expected;
    for (int i = 0; i < 999; ++i) {
        const int pos = (500 + i) % RX_RING_SIZE;
        ring[pos] = static_cast<uint8_t>('a' + i % 26);
        expected += static_cast<char>('a' + i % 26);
    }
    v->SetRingForTest(499, 500, ring);
    host.echo.text.clear();
    v->ProcessReceived();
    EXPECT_EQ(host.echo.text, expected);
    EXPECT_EQ(v->RxTail(), v->RxHead());
}

// The reader's side of the ring: how much it asks the port for at each fill level, and where
// the head goes after the read. The ring is brought to (tail, head) the way the program gets
// there: bytes delivered and drained up to the tail, then delivered up to the head.
struct RingCase {
    const char* name;
    int tail, head;
    uint32_t ask;    // 0: the ring is full, nothing is asked for until it is drained
    size_t deliver;  // bytes the asked-for read then delivers
    int headAfter;
};

void PrintTo(const RingCase& c, std::ostream* os) {
    *os << c.name;
}

class ReceiveRingTest : public ViewTest, public ::testing::WithParamInterface<RingCase> {
  protected:
    void Push(const std::string& bytes) {
        {
            std::lock_guard<std::mutex> lock(control.mutex);
            control.incoming.push_back(bytes);
        }
        control.cv.notify_all();
    }
    // True once the reader has taken everything in and waits in a read of its own.
    bool ReaderWaitsAt(CProgView& v, int head) {
        std::lock_guard<std::mutex> lock(control.mutex);
        return v.RxHead() == head && control.incoming.empty() && control.readWaiting;
    }
    size_t Asks() {
        std::lock_guard<std::mutex> lock(control.mutex);
        return control.readAsks.size();
    }
    uint32_t LastAsk() {
        std::lock_guard<std::mutex> lock(control.mutex);
        return LastAskLocked();
    }
    uint32_t LastAskLocked() { return control.readAsks.empty() ? 0 : control.readAsks.back(); }
};

TEST_P(ReceiveRingTest, AsksForWhatFitsAndWraps) {
    const RingCase& c = GetParam();
    auto v = OpenView();
    if (c.tail > 0) {
        Push(std::string(static_cast<size_t>(c.tail), 't'));
        ASSERT_TRUE(sink.PumpUntil(*v, [&] { return v->RxTail() == c.tail; }));
    }
    const int rest = (c.head - c.tail + RX_RING_SIZE) % RX_RING_SIZE;
    if (rest > 0) {
        Push(std::string(static_cast<size_t>(rest), 'h'));
    }
    if (c.ask == 0) {
        // Full: the reader pauses instead of asking for nothing or overwriting the tail.
        ASSERT_TRUE(test::WaitUntil([&] {
            std::lock_guard<std::mutex> lock(control.mutex);
            return v->RxHead() == c.head && control.incoming.empty();
        }));
        const size_t asks = Asks();
        std::this_thread::sleep_for(100ms);  // a hundred reader pauses
        EXPECT_EQ(Asks(), asks) << "a full ring asked for " << LastAsk();
        {
            std::lock_guard<std::mutex> lock(control.mutex);
            EXPECT_FALSE(control.readWaiting) << "a full ring asked for " << LastAskLocked();
        }
        EXPECT_EQ(v->RxTail(), c.tail);
        // Drained, it asks for the one slot left before the end of the buffer.
        ASSERT_TRUE(sink.PumpUntil(*v, [&] { return v->RxTail() == c.head; }));
        ASSERT_TRUE(test::WaitUntil([&] { return ReaderWaitsAt(*v, c.head); }));
        EXPECT_EQ(LastAsk(), 1u);
        return;
    }
    ASSERT_TRUE(test::WaitUntil([&] { return ReaderWaitsAt(*v, c.head); }));
    EXPECT_EQ(v->RxTail(), c.tail);
    EXPECT_EQ(LastAsk(), c.ask);
    const size_t posted = sink.Count(NOTIFY_RX_DATA);
    Push(std::string(c.deliver, 'n'));
    ASSERT_TRUE(test::WaitUntil([&] { return sink.Count(NOTIFY_RX_DATA) == posted + 1; }))
        << "the read was not announced";
    EXPECT_EQ(v->RxHead(), c.headAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReceiveRingTest,
    ::testing::Values(RingCase{"empty ring asks for all but one slot", 0, 0, 999, 999, 999},
                      RingCase{"full ring at 999 and 0 asks for nothing", 0, 999, 0, 0, 0},
                      RingCase{"last slot before the end wraps the head", 500, 999, 1, 1, 0},
                      RingCase{"head ahead of the tail reads to the end", 200, 700, 300, 300, 0},
                      RingCase{"head behind the tail stops one short of it", 700, 200, 499, 499,
                               699},
                      RingCase{"a read of no bytes is still announced", 0, 0, 999, 0, 0}));

TEST_F(ViewTest, PromptSplitOverReadsTriggersOnItsLastByte) {
    auto v = OpenView();
    Deliver(*v, "Ready to rec");
    Deliver(*v, "eive update fil");
    EXPECT_TRUE(host.dialogs.empty());
    Deliver(*v, "e....\r\n");
    EXPECT_EQ(host.dialogs.size(), 1u);
    EXPECT_EQ(v->State(), STATE_SEND_ENDED);  // the dialog was cancelled
    EXPECT_EQ(host.buttonText, "Send Another Software Update File");
}

TEST_F(ViewTest, NearMissPromptsDoNotTrigger) {
    auto v = OpenView();
    Deliver(*v, "Ready to receive update file...\r\n");
    Deliver(*v, "RReady to receive update file....\r\n");
    Deliver(*v, "file using plain text transmission and XOn/Xoff handshaking...\r\n");
    Deliver(*v, "ready to receive update file....\r\n");
    EXPECT_TRUE(host.dialogs.empty());
    EXPECT_EQ(v->State(), STATE_READY);
    Deliver(*v,
            "Please send the file using plain text transmission and XOn/Xoff handshaking"
            "....\r\n");
    EXPECT_EQ(host.dialogs.size(), 1u);
}

TEST_F(ViewTest, TwoPromptsInOneDrainOpenOneDialog) {
    auto v = OpenView();
    Deliver(*v, std::string("file using plain text transmission and XOn/Xoff handshaking....\r\n") +
                    PROMPT_READY);
    EXPECT_EQ(host.dialogs.size(), 1u);
}

TEST_F(ViewTest, NotificationsWithAnotherTagAreIgnored) {
    auto v = OpenView();
    EXPECT_EQ(v->OnCommNotify(0x1235, NOTIFY_TX_DONE), 1);
    EXPECT_EQ(v->OnCommNotify(0x1235, NOTIFY_CONTEXT_MENU), 1);
    EXPECT_EQ(v->State(), STATE_READY);
    EXPECT_EQ(host.popups, 0);
}

TEST_F(ViewTest, PopupOnlyWhenReadyOrEnded) {
    auto v = OpenView();
    for (int state : {STATE_PORT_CLOSED, STATE_SENDING}) {
        v->SetStateForTest(state);
        v->OnCommNotify(COMM_NOTIFY_TAG, NOTIFY_CONTEXT_MENU);
    }
    EXPECT_EQ(host.popups, 0);
    v->SetStateForTest(STATE_READY);
    v->OnCommNotify(COMM_NOTIFY_TAG, NOTIFY_CONTEXT_MENU);
    EXPECT_EQ(host.popups, 1);
    EXPECT_TRUE(host.dialogs.empty());
    host.popupChoice = true;
    v->SetStateForTest(STATE_SEND_ENDED);
    v->OnCommNotify(COMM_NOTIFY_TAG, NOTIFY_CONTEXT_MENU);
    EXPECT_EQ(host.popups, 2);
    EXPECT_EQ(host.dialogs.size(), 1u);
}

// The menu runs an event loop: a prompt that starts a transfer while it is open is not stopped
// by the menu's command afterwards.
TEST_F(ViewTest, PopupCommandDoesNotStopATransferThatStartedWhileTheMenuWasOpen) {
    auto v = OpenView();
    control.holdWrites = true;
    host.answers = {dir.Write("u.txt", test::UpdateBytes(5000))};
    host.popupChoice = true;
    host.duringPopup = [&] { Deliver(*v, PROMPT_READY); };
    v->OnCommNotify(COMM_NOTIFY_TAG, NOTIFY_CONTEXT_MENU);
    EXPECT_EQ(v->State(), STATE_SENDING);
    EXPECT_TRUE(v->WriterAlive());
    EXPECT_EQ(host.dialogs.size(), 1u);
    EXPECT_TRUE(control.writesCancelled.empty());
    v->OnMiscButton();  // Abort
}

// ---- file dialog, validation, sending ----

TEST_F(ViewTest, StartSendingWithPortClosedDoesNothing) {
    auto v = OpenView();
    v->ClosePort();
    v->StartSending();
    EXPECT_TRUE(host.dialogs.empty());
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_EQ(v->State(), STATE_PORT_CLOSED);
}

TEST_F(ViewTest, DialogSettingsAndInitialFolder) {
    auto v = OpenView();
    v->StartSending();
    ASSERT_EQ(host.dialogs.size(), 1u);
    const FileDialogRequest& r = host.dialogs[0];
    EXPECT_EQ(r.title, "Select software update file...");
    EXPECT_EQ(r.filter, "Software update files (*.txt)|*.txt|All Files (*.*)|*.*||");
    EXPECT_EQ(r.defaultExt, "txt");
    EXPECT_EQ(r.fileName, "/opt/korvalin/bin/*.txt");
    EXPECT_EQ(r.initialDir, "/opt/korvalin/bin");
    EXPECT_EQ(v->State(), STATE_SEND_ENDED);
    EXPECT_EQ(v->UpdateFile(), "/opt/korvalin/bin/*.txt");

    struct FolderCase {
        const char* path;
        const char* folder;
    };
    for (const FolderCase& c : {FolderCase{"C:\\Tools\\update.txt", "C:\\Tools"},
                                FolderCase{"D:\\update.txt", "D:"}, FolderCase{"D:update.txt", "D"},
                                FolderCase{"update.txt", ""}, FolderCase{"/update.txt", ""}}) {
        auto w = std::make_unique<CProgView>(host, sink, profile, doc, &FakePort::Make, "", kFast);
        w->SetInitialUpdateFile(c.path);
        v.reset();
        w->OnInitialUpdate(ports);
        host.dialogs.clear();
        w->StartSending();
        ASSERT_EQ(host.dialogs.size(), 1u);
        EXPECT_EQ(host.dialogs[0].initialDir, c.folder) << c.path;
        EXPECT_EQ(host.dialogs[0].fileName, c.path);
        v = std::move(w);
    }
}

TEST_F(ViewTest, RejectedFilesBringTheDialogBack) {
    auto v = OpenView();
    const std::string tab = dir.Write("tab.txt", "*\tx");
    const std::string space = dir.Write("space.txt", " *x");
    const std::string one = dir.Write("one.txt", "*");
    const std::string empty = dir.Write("empty.txt", "");
    const std::string missing = dir.path() + "/missing.txt";
    const std::string fifo = test::MakeSpecialFile(dir);
    ASSERT_FALSE(fifo.empty());
    host.answers = {tab, space, one, empty, missing, dir.path(), fifo, ""};
    v->StartSending();
    ASSERT_EQ(host.dialogs.size(), 8u);
    EXPECT_EQ(host.dialogs[1].fileName, tab);  // the rejected path stays in the name box
    EXPECT_EQ(host.dialogs[1].initialDir, "/opt/korvalin/bin");
    ASSERT_EQ(host.boxes.size(), 7u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(host.boxes[i], "The file '" + host.dialogs[i + 1].fileName.substr(0) +
                                     "' does not appear to be a software update file");
    }
    EXPECT_EQ(host.boxes[4],
              "Error opening file '" + missing + "' : " + SystemErrorText(ERR_NOT_FOUND));
    EXPECT_EQ(host.boxes[5],
              "Error opening file '" + dir.path() + "' : " + SystemErrorText(ERR_NOT_REGULAR_FILE));
    EXPECT_EQ(host.boxes[6],
              "Error opening file '" + fifo + "' : " + SystemErrorText(ERR_NOT_REGULAR_FILE));
    EXPECT_EQ(v->State(), STATE_SEND_ENDED);
    EXPECT_EQ(v->UpdateFile(), "/opt/korvalin/bin/*.txt");
    EXPECT_TRUE(control.written.empty());
}

TEST_F(ViewTest, FilesArriveWholeInChunks) {
    auto v = OpenView();
    for (size_t size : {2u, 512u, 513u, 1024u, 70000u}) {
        SCOPED_TRACE(size);
        const std::string content = test::UpdateBytes(size);
        const std::string file = dir.Write("u" + std::to_string(size) + ".txt", content);
        control.written.clear();
        control.writeSizes.clear();
        host.answers = {file};
        v->OnSendUpdateFile();
        EXPECT_EQ(v->State(), STATE_SENDING);
        EXPECT_FALSE(doc.CanCloseFrame());
        EXPECT_FALSE(host.portChoiceEnabled);
        EXPECT_EQ(host.buttonText, "Abort Software Update");
        WaitSendEnded(*v);
        EXPECT_EQ(control.written, content);
        EXPECT_EQ(control.writeSizes.front(), std::min<size_t>(size, 512));
        EXPECT_TRUE(v->SendCompleted());
        EXPECT_EQ(v->SendDone(), size);
        EXPECT_EQ(v->SendTotal(), size);
        EXPECT_EQ(v->LastSendError(), 0);
        EXPECT_EQ(v->LastOutcome().kind, TransferOutcome::SENT);
        EXPECT_EQ(v->LastOutcome().done, size);
        EXPECT_EQ(v->UpdateFile(), file);
        EXPECT_EQ(host.buttonText, "Send Another Software Update File");
        EXPECT_TRUE(doc.CanCloseFrame());
    }
    EXPECT_TRUE(host.boxes.empty());
    // A completed transfer's tail is never discarded: not by the sender, not by the close.
    v->ClosePort();
    EXPECT_EQ(control.flushes, 0);
}

// What the forms show of a transfer: progress with a timer while it runs, started afresh when a
// prompt brings the next file, then its outcome until the port closes.
TEST_F(ViewTest, FollowerShowsProgressThenOutcome) {
    CTransferFollower follower;
    EXPECT_FALSE(follower.Follow(nullptr).display.shown);
    auto v = OpenView();
    CTransferFollower::Step step = follower.Follow(v.get());
    EXPECT_EQ(step.timer, CTransferFollower::KEEP_TIMER);
    EXPECT_TRUE(step.redraw);
    EXPECT_FALSE(step.display.shown);

    control.holdWrites = true;
    host.answers = {dir.Write("u.txt", test::UpdateBytes(5000))};
    v->OnSendUpdateFile();
    follower.FileChosen();
    ASSERT_EQ(v->State(), STATE_SENDING);
    step = follower.Follow(v.get());
    EXPECT_EQ(step.timer, CTransferFollower::START_TIMER);
    EXPECT_TRUE(step.display.shown);
    EXPECT_EQ(step.display.permille, 0);
    EXPECT_EQ(step.display.text, "0.0 of 4.9 KiB");
    // Further calls into the view leave the running display to its timer...
    step = follower.Follow(v.get());
    EXPECT_EQ(step.timer, CTransferFollower::KEEP_TIMER);
    EXPECT_FALSE(step.redraw);
    // ...unless a newly chosen file restarts it.
    follower.FileChosen();
    EXPECT_EQ(follower.Follow(v.get()).timer, CTransferFollower::START_TIMER);

    v->OnMiscButton();  // Abort
    step = follower.Follow(v.get());
    EXPECT_EQ(step.timer, CTransferFollower::STOP_TIMER);
    EXPECT_TRUE(step.display.shown);
    EXPECT_EQ(step.display.text, "Aborted at 0.0 of 4.9 KiB");
    EXPECT_EQ(follower.Follow(v.get()).timer, CTransferFollower::KEEP_TIMER);
    v->ClosePort();
    step = follower.Follow(v.get());
    EXPECT_TRUE(step.redraw);
    EXPECT_FALSE(step.display.shown);
}

TEST_F(ViewTest, ShortWritesResumeFromTheRightOffset) {
    auto v = OpenView();
    control.maxWrite = 100;
    const std::string content = test::UpdateBytes(1300);
    host.answers = {dir.Write("u.txt", content)};
    v->OnSendUpdateFile();
    WaitSendEnded(*v);
    EXPECT_EQ(control.written, content);
    // 512 asked, 100 taken, then exactly the rest: 412, 312, ...
    ASSERT_GE(control.writeSizes.size(), 3u);
    EXPECT_EQ(control.writeSizes[0], 512u);
    EXPECT_EQ(control.writeSizes[1], 412u);
    EXPECT_EQ(control.writeSizes[2], 312u);
}

TEST_F(ViewTest, AbortWhileHeldEndsAtOnceWithOneNotice) {
    CProgView::Timing timing = kFast;
    timing.abortSettle = 200ms;
    auto v = OpenView(timing);
    control.holdWrites = true;
    host.answers = {dir.Write("u.txt", test::UpdateBytes(5000))};
    v->OnSendUpdateFile();
    ASSERT_EQ(v->State(), STATE_SENDING);
    ASSERT_TRUE(test::WaitUntil([&] {
        std::lock_guard<std::mutex> lock(control.mutex);
        return !control.writeSizes.empty();
    }));
    // The PC is kept awake while the sender runs, however long the line is held.
    EXPECT_EQ(CKeepAwake::Held(), 1);
    v->OnMiscButton();  // Abort
    EXPECT_EQ(v->State(), STATE_SEND_ENDED);
    EXPECT_FALSE(v->WriterAlive());
    EXPECT_EQ(CKeepAwake::Held(), 0);
    // The wait cursor goes up before the held write is cancelled and stays up for the settle
    // time after it, then comes down once.
    ASSERT_EQ(host.cursorShown.size(), 1u);
    ASSERT_EQ(host.cursorHidden.size(), 1u);
    ASSERT_EQ(control.writesCancelled.size(), 1u);
    EXPECT_LE(host.cursorShown[0], control.writesCancelled[0]);
    EXPECT_GE(host.cursorHidden[0] - control.writesCancelled[0], timing.abortSettle);
    EXPECT_EQ(host.waitCursor, 0);
    EXPECT_EQ(sink.Count(NOTIFY_TX_DONE), 1u);
    EXPECT_FALSE(v->SendCompleted());
    EXPECT_EQ(v->LastOutcome().kind, TransferOutcome::ABORTED);
    EXPECT_EQ(v->LastOutcome().done, 0u);
    EXPECT_EQ(v->LastOutcome().total, 5000u);
    EXPECT_EQ(control.flushes, 1);  // nothing more goes out
    // The sender's own notice finds nothing left to stop.
    v->OnCommNotify(COMM_NOTIFY_TAG, NOTIFY_TX_DONE);
    EXPECT_EQ(v->State(), STATE_SEND_ENDED);
    EXPECT_EQ(v->LastOutcome().kind, TransferOutcome::ABORTED);
    EXPECT_TRUE(host.boxes.empty());
    // Closing the port forgets the outcome.
    v->ClosePort();
    EXPECT_EQ(v->LastOutcome().kind, TransferOutcome::NONE);
}

// A cancel that this program did not ask for (a driver ending the I/O of a device that has
// gone) is a failure like any other, never an abort.
TEST_F(ViewTest, FailedTransferIsReportedOnceAndNotAsSuccess) {
    auto v = OpenView();
    const std::string file = dir.Write("u.txt", test::UpdateBytes(3000));
    for (const int code : {ERR_PORT_LOST, ERR_CANCELLED}) {
        SCOPED_TRACE(code);
        host.boxes.clear();
        const int flushes = control.flushes;
        control.failWritesWith = code;
        host.answers = {file};
        v->OnSendUpdateFile();
        WaitSendEnded(*v);
        EXPECT_EQ(v->State(), STATE_SEND_ENDED);
        EXPECT_FALSE(v->SendCompleted());
        EXPECT_EQ(v->LastSendError(), code);
        EXPECT_EQ(v->LastOutcome().kind, TransferOutcome::FAILED);
        EXPECT_EQ(control.flushes, flushes + 1);  // nothing more of a failed file goes out
        ASSERT_EQ(host.boxes.size(), 1u);
        EXPECT_EQ(host.boxes[0], "The transfer of '" + file +
                                     "' did not complete; the tester may not be updated : " +
                                     SystemErrorText(code));
        v->OnCommNotify(COMM_NOTIFY_TAG, NOTIFY_TX_DONE);
        EXPECT_EQ(host.boxes.size(), 1u);
    }
}

// The failure box runs a nested event loop; the tester may prompt again while it is up.
TEST_F(ViewTest, PromptWhileTheFailureBoxIsUpStartsTheNextTransferCleanly) {
    auto v = OpenView();
    control.failWritesWith = EIO;
    host.answers = {dir.Write("bad.txt", test::UpdateBytes(3000))};
    v->OnSendUpdateFile();
    ASSERT_EQ(v->State(), STATE_SENDING);
    ASSERT_TRUE(WaitNotice(NOTIFY_TX_DONE));

    const std::string second = test::UpdateBytes(2000);
    const std::string secondPath = dir.Write("good.txt", second);
    struct Seen {
        int state;
        bool canClose;
        bool portChoice;
        std::string button;
    } seen{};
    bool prompted = false;
    host.duringBox = [&] {
        if (std::exchange(prompted, true)) {
            return;
        }
        seen = {v->State(), doc.CanCloseFrame(), host.portChoiceEnabled, host.buttonText};
        {
            std::lock_guard<std::mutex> lock(control.mutex);
            control.failWritesWith = 0;
            control.holdWrites = true;
            control.written.clear();
        }
        host.answers = {secondPath};
        Deliver(*v, PROMPT_READY);
    };
    ASSERT_TRUE(sink.PumpOne(*v));  // the failed sender's notice: the box
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(seen.state, STATE_SEND_ENDED);
    EXPECT_TRUE(seen.canClose);
    EXPECT_TRUE(seen.portChoice);
    EXPECT_EQ(seen.button, "Send Another Software Update File");
    EXPECT_EQ(v->LastOutcome().kind, TransferOutcome::NONE) << "the next transfer has started";
    // The transfer started under the box is still the one shown once the box has gone.
    EXPECT_EQ(v->State(), STATE_SENDING);
    EXPECT_TRUE(v->WriterAlive());
    EXPECT_FALSE(doc.CanCloseFrame());
    EXPECT_FALSE(host.portChoiceEnabled);
    EXPECT_EQ(host.buttonText, "Abort Software Update");
    {
        std::lock_guard<std::mutex> lock(control.mutex);
        control.holdWrites = false;
    }
    WaitSendEnded(*v);
    EXPECT_TRUE(v->SendCompleted());
    EXPECT_EQ(control.written, second);
}

TEST_F(ViewTest, PromptWhileStartSendingReportsAFailureOpensNoSecondDialog) {
    auto v = OpenView();
    control.failWritesWith = EIO;
    host.answers = {dir.Write("bad.txt", test::UpdateBytes(3000))};
    v->OnSendUpdateFile();
    ASSERT_TRUE(WaitNotice(NOTIFY_TX_DONE));
    // The operator asks for the next file before the failed sender's notice was handled; its
    // box is up when the tester prompts.
    {
        std::lock_guard<std::mutex> lock(control.mutex);
        control.failWritesWith = 0;
    }
    const std::string second = test::UpdateBytes(2000);
    host.answers = {dir.Write("good.txt", second)};
    bool prompted = false;
    host.duringBox = [&] {
        if (!std::exchange(prompted, true)) {
            Deliver(*v, PROMPT_READY);
        }
    };
    v->OnSendUpdateFile();
    EXPECT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.dialogs.size(), 2u) << "the prompt under the box opened no dialog of its own";
    ASSERT_EQ(v->State(), STATE_SENDING);
    WaitSendEnded(*v);
    EXPECT_TRUE(v->SendCompleted());
    EXPECT_EQ(control.written, second);
}

TEST_F(ViewTest, PromptDuringTransferStopsItBeforeTheDialog) {
    auto v = OpenView();
    control.holdWrites = true;
    host.answers = {dir.Write("u.txt", test::UpdateBytes(5000))};
    v->OnSendUpdateFile();
    ASSERT_EQ(v->State(), STATE_SENDING);
    bool senderGoneAtDialog = false;
    host.duringDialog = [&] { senderGoneAtDialog = !v->WriterAlive(); };
    Deliver(*v, PROMPT_READY);
    EXPECT_EQ(host.dialogs.size(), 2u);
    EXPECT_TRUE(senderGoneAtDialog);
    EXPECT_EQ(v->State(), STATE_SEND_ENDED);
}

TEST_F(ViewTest, StaleNoticeOfAStoppedSenderDoesNotEndTheNextTransfer) {
    auto v = OpenView();
    control.holdWrites = true;
    host.answers = {dir.Write("first.txt", test::UpdateBytes(5000))};
    v->OnSendUpdateFile();
    ASSERT_EQ(v->State(), STATE_SENDING);
    // The tester prompts again; the dialog answers at once, before the first sender's notice
    // has been handled.
    const std::string second = test::UpdateBytes(3000);
    host.answers = {dir.Write("second.txt", second)};
    v->OnSendUpdateFile();
    ASSERT_EQ(v->State(), STATE_SENDING);
    ASSERT_EQ(sink.Count(NOTIFY_TX_DONE), 1u);
    ASSERT_TRUE(sink.PumpOne(*v));  // the first sender's notice
    EXPECT_EQ(v->State(), STATE_SENDING);
    {
        std::lock_guard<std::mutex> lock(control.mutex);
        control.written.clear();
        control.holdWrites = false;
    }
    WaitSendEnded(*v);
    EXPECT_TRUE(v->SendCompleted());
    EXPECT_EQ(control.written, second);
}

TEST_F(ViewTest, NoNestedDialogWhenAPromptCompletesWhileOneIsOpen) {
    auto v = OpenView();
    int depth = 0;
    int maxDepth = 0;
    host.duringDialog = [&] {
        ++depth;
        maxDepth = std::max(depth, maxDepth);
        // The operator still looks at the dialog while the tester prompts again.
        if (depth == 1) {
            Deliver(*v, PROMPT_READY);
        }
        --depth;
    };
    Deliver(*v, PROMPT_READY);
    EXPECT_EQ(maxDepth, 1);
    EXPECT_EQ(host.dialogs.size(), 1u);
}

TEST_F(ViewTest, HungUpLineDoesNotSpinTheReader) {
    // Whatever the failure, a cancel that nobody here asked for included.
    for (const int code : {ERR_CANCELLED, ERR_INVALID}) {
        SCOPED_TRACE(code);
        control.readFailure = code;
        control.reads = 0;
        auto v = OpenView();
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(200ms);
        int reads;
        {
            std::lock_guard<std::mutex> lock(control.mutex);
            reads = control.reads;
        }
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
        EXPECT_LE(reads, elapsed + 5);
    }
    control.readFailure = ERR_PORT_LOST;
    sink.queue.clear();
    control.reads = 0;
    auto v = OpenView();
    const auto start = std::chrono::steady_clock::now();
    // With 1 ms pauses the reader makes at most about one read per millisecond.
    std::this_thread::sleep_for(200ms);
    int reads;
    {
        std::lock_guard<std::mutex> lock(control.mutex);
        reads = control.reads;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    EXPECT_LE(reads, elapsed + 5);
    EXPECT_EQ(sink.Count(NOTIFY_RX_DATA), 0u);
    // The lost line is announced once; the idle controller closes the port and says so.
    EXPECT_EQ(sink.Count(NOTIFY_PORT_LOST), 1u);
    ASSERT_TRUE(sink.PumpUntil(*v, [&] { return v->State() == STATE_PORT_CLOSED; }));
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0],
              "Lost the connection on COM1; reconnect it, then retry opening the port : " +
                  SystemErrorText(ERR_PORT_LOST));
    EXPECT_EQ(host.buttonText, "Retry Opening COMM Port");
    // A stale notice about a port that has since been reopened changes nothing.
    control.readFailure = 0;
    v->OnMiscButton();
    ASSERT_EQ(v->State(), STATE_READY);
    v->OnCommNotify(COMM_NOTIFY_TAG, NOTIFY_PORT_LOST);
    EXPECT_EQ(v->State(), STATE_READY);
    EXPECT_EQ(host.boxes.size(), 1u);
}

// The tester's last words before the line went are shown, not dropped with the failed read.
TEST_F(ViewTest, BytesOfAReadThatEndsInAnErrorReachTheTerminal) {
    auto v = OpenView();
    control.endReadWith = ERR_PORT_LOST;
    Deliver(*v, "Tester going down\r\n");
    EXPECT_NE(host.echo.text.find("Tester going down"), std::string::npos) << host.echo.text;
    ASSERT_TRUE(sink.PumpUntil(*v, [&] { return v->State() == STATE_PORT_CLOSED; }));
    EXPECT_EQ(host.boxes.size(), 1u);
}

}  // namespace
}  // namespace korv
