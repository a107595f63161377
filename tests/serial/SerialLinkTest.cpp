// The update controller on a real pseudo-terminal with real threads: opening and closing, the
// reader and the drain, sending files byte-exact, XON/XOFF, abort and a line that goes away.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "PtyViewTest.h"
#include "Wait.h"
#include "platform/SysError.h"
#include "ports/PortList.h"
#include "view/ProgView.h"

namespace korv {
namespace {

using namespace std::chrono_literals;
using test::FakeHost;
using test::FakeProfile;
using test::FakeSink;

// The real port, with the outcome of every write kept for the test.
struct WriteOutcomes {
    struct Write {
        int rc;
        bool shortCount;
        std::chrono::steady_clock::time_point end;
    };
    std::atomic<int> started{0};
    std::mutex mutex;
    std::vector<Write> writes;
    static inline WriteOutcomes* current = nullptr;
};

class OutcomePort final : public ISerialPort {
  public:
    static std::unique_ptr<ISerialPort> Make() { return std::make_unique<OutcomePort>(); }
    int Open(const std::string& path) override { return m_port->Open(path); }
    void SetupComm(uint32_t in, uint32_t out) override { m_port->SetupComm(in, out); }
    void Purge() override { m_port->Purge(); }
    void SetCommTimeouts(const CommTimeouts& t) override { m_port->SetCommTimeouts(t); }
    void GetCommState(Dcb& dcb) override { m_port->GetCommState(dcb); }
    int SetCommState(const Dcb& dcb) override { return m_port->SetCommState(dcb); }
    void SetCommMask(uint32_t mask) override { m_port->SetCommMask(mask); }
    void Shutdown() override { m_port->Shutdown(); }
    int Read(uint8_t* buf, uint32_t count, uint32_t* got) override {
        return m_port->Read(buf, count, got);
    }
    int Write(const uint8_t* buf, uint32_t n, const Event& abort, uint32_t* written) override {
        if (WriteOutcomes* o = WriteOutcomes::current) {
            ++o->started;
        }
        const int rc = m_port->Write(buf, n, abort, written);
        if (WriteOutcomes* o = WriteOutcomes::current) {
            std::lock_guard<std::mutex> lock(o->mutex);
            o->writes.push_back({rc, *written < n, std::chrono::steady_clock::now()});
        }
        return rc;
    }
    int DrainOutput(const Event& abort) override { return m_port->DrainOutput(abort); }
    void FlushOutput() override { m_port->FlushOutput(); }
    bool HungUp() const override { return m_port->HungUp(); }

  private:
    std::unique_ptr<ISerialPort> m_port = MakeTermiosPort();
};

class SerialLinkTest : public test::PtyViewTest {
  protected:
    // Sends the file through the popup command and collects it on the tester's side.
    std::string SendAndCollect(CProgView& v, const std::string& content) {
        host.answers = {dir.Write("update.txt", content)};
        pty.received().clear();
        v.OnSendUpdateFile();
        EXPECT_EQ(v.State(), STATE_SENDING);
        return Collect(v, content.size());
    }
};

// The settings the program puts on the line: 57600 baud, 8N1, raw, XON/XOFF both ways.
void ExpectProgramLine(const test::Pty& pty) {
    termios t{};
    ASSERT_TRUE(pty.LineSettings(&t));
    EXPECT_EQ(cfgetospeed(&t), B57600);
    EXPECT_EQ(cfgetispeed(&t), B57600);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t{CS8});
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
}

TEST_F(SerialLinkTest, OpensWithLineSettingsReopensAndCloses) {
    termios before{};
    ASSERT_TRUE(pty.LineSettings(&before));
    ASSERT_NE(cfgetospeed(&before), B57600);
    auto v = OpenView();
    ASSERT_EQ(v->State(), STATE_READY) << host.echo.text;
    EXPECT_NE(host.echo.text.find("Successfully opened " + pty.path() + "."), std::string::npos);
    ExpectProgramLine(pty);
    for (int i = 0; i < 3; ++i) {
        v->OpenPort();
        ASSERT_EQ(v->State(), STATE_READY);
        ExpectProgramLine(pty);
    }
    v->ClosePort();
    EXPECT_EQ(v->State(), STATE_PORT_CLOSED);
    EXPECT_FALSE(v->ReaderAlive());
    // The line is left as it was found.
    termios after{};
    ASSERT_TRUE(pty.LineSettings(&after));
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
}

TEST_F(SerialLinkTest, BusyMissingAndNonTerminalPortsFailToOpen) {
    auto first = OpenView();
    ASSERT_EQ(first->State(), STATE_READY);

    FakeHost otherHost;
    FakeSink otherSink;
    CProgDoc otherDoc;
    CProgView second(otherHost, otherSink, profile, otherDoc, &MakeTermiosPort, "");
    second.SetPortOverride(pty.path());
    second.OnInitialUpdate(ports);
    EXPECT_EQ(second.State(), STATE_PORT_CLOSED);
    ASSERT_EQ(otherHost.boxes.size(), 1u);
    EXPECT_EQ(otherHost.boxes[0], "Failed to open " + pty.path() + " : " + SystemErrorText(EBUSY));

    for (const auto& [path, err] : {std::pair{std::string("/dev/korvalin-no-such-port"), ENOENT},
                                    std::pair{dir.Write("plain", "x"), ENOTTY}}) {
        otherHost.boxes.clear();
        second.SetPortOverride(path);
        second.OnInitialUpdate(ports);
        EXPECT_EQ(second.State(), STATE_PORT_CLOSED);
        ASSERT_EQ(otherHost.boxes.size(), 1u);
        EXPECT_EQ(otherHost.boxes[0], "Failed to open " + path + " : " + SystemErrorText(err));
        EXPECT_FALSE(second.PortHeld());
    }
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    second.SetPortOverride(fifo);
    second.OnInitialUpdate(ports);  // must not block on a FIFO without a writer
    EXPECT_EQ(second.State(), STATE_PORT_CLOSED);
}

TEST_F(SerialLinkTest, PromptSplitOverSeveralReadsOpensTheDialog) {
    auto v = OpenView();
    ASSERT_EQ(v->State(), STATE_READY);
    host.echo.text.clear();
    const std::string prompt = PROMPT_READY;
    for (size_t i = 0; i < prompt.size(); i += 12) {
        ASSERT_TRUE(pty.Send(prompt.substr(i, 12)));
        // A gap longer than the read interval so each piece ends a read of its own.
        ASSERT_TRUE(
            Pump(*v, [&] { return host.echo.text.size() >= std::min(i + 12, prompt.size()) - 1; }));
        if (i + 12 < prompt.size()) {
            EXPECT_TRUE(host.dialogs.empty());
        }
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_TRUE(Pump(*v, [&] { return !host.dialogs.empty(); }));
    EXPECT_EQ(host.dialogs.size(), 1u);
}

TEST_F(SerialLinkTest, FilesArriveByteExact) {
    auto v = OpenView();
    ASSERT_EQ(v->State(), STATE_READY);
    for (size_t size : {size_t{2}, size_t{512}, size_t{513}, size_t{1024}, size_t{1} << 20}) {
        SCOPED_TRACE(size);
        const std::string content = test::UpdateBytes(size);
        const std::string got = SendAndCollect(*v, content);
        EXPECT_EQ(got.size(), content.size());
        EXPECT_TRUE(got == content);
        EXPECT_EQ(v->State(), STATE_SEND_ENDED);
        EXPECT_TRUE(v->SendCompleted());
        EXPECT_EQ(v->SendDone(), size);
    }
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(SerialLinkTest, XoffHoldsTheLineThenXonResumesExact) {
    auto v = OpenView();
    ASSERT_EQ(v->State(), STATE_READY);
    HoldLine(*v);
    const std::string content = test::UpdateBytes(20000);
    host.answers = {dir.Write("update.txt", content)};
    v->OnSendUpdateFile();
    ASSERT_EQ(v->State(), STATE_SENDING);
    const auto holdUntil = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < holdUntil) {
        pty.ReadAvailable(20);
    }
    EXPECT_EQ(pty.received().size(), 0u) << "bytes went out while XOFF held the line";
    EXPECT_EQ(v->State(), STATE_SENDING);
    ASSERT_TRUE(pty.Send("\x11"));
    const std::string got = pty.Receive(content.size());
    EXPECT_TRUE(got == content);
    ASSERT_TRUE(Pump(*v, [&] { return v->State() == STATE_SEND_ENDED; }));
    EXPECT_TRUE(v->SendCompleted());
}

TEST_F(SerialLinkTest, AbortWhileXoffHoldsEndsAtOnceWithOneNotice) {
    WriteOutcomes outcomes;
    WriteOutcomes::current = &outcomes;
    auto v = OpenView(CProgView::Timing{}, &OutcomePort::Make);
    ASSERT_EQ(v->State(), STATE_READY);
    HoldLine(*v);
    host.answers = {dir.Write("update.txt", test::UpdateBytes(50000))};
    v->OnSendUpdateFile();
    ASSERT_EQ(v->State(), STATE_SENDING);
    ASSERT_TRUE(test::WaitUntil([&] { return outcomes.started.load() > 0; }));
    const auto abortAt = std::chrono::steady_clock::now();
    v->OnMiscButton();
    EXPECT_EQ(v->State(), STATE_SEND_ENDED);
    EXPECT_FALSE(v->WriterAlive());
    // The held write was cut off by the abort, not left to give up at its time-out (a second
    // and a half for a chunk) and then stopped.
    {
        std::lock_guard<std::mutex> lock(outcomes.mutex);
        ASSERT_FALSE(outcomes.writes.empty());
        EXPECT_EQ(outcomes.writes.back().rc, ECANCELED);
        for (const auto& w : outcomes.writes) {
            EXPECT_FALSE(w.end > abortAt && w.rc == 0 && w.shortCount)
                << "a write held by XOFF ran into its time-out after the abort";
        }
    }
    WriteOutcomes::current = nullptr;
    EXPECT_EQ(sink.Count(NOTIFY_TX_DONE), 1u);
    // After XON nothing more of the aborted file goes out.
    ASSERT_TRUE(pty.Send("\x11"));
    for (int i = 0; i < 10; ++i) {
        pty.ReadAvailable(20);
    }
    EXPECT_EQ(pty.received().size(), 0u);
}

TEST_F(SerialLinkTest, CloseWhileReaderWaitsOnSilentLine) {
    auto v = OpenView();
    ASSERT_TRUE(v->ReaderAlive());
    v->ClosePort();
    EXPECT_FALSE(v->ReaderAlive());
    EXPECT_EQ(v->State(), STATE_PORT_CLOSED);
}

TEST_F(SerialLinkTest, FloodReachesTheDrainInOrder) {
    // The ring of 1000 bytes fills at once on an unthrottled pty; a short full-ring pause keeps
    // the test quick while still taking the full-ring path hundreds of times.
    CProgView::Timing timing;
    timing.readerPause = 5ms;
    auto v = OpenView(timing);
    ASSERT_EQ(v->State(), STATE_READY);
    std::string flood;
    for (int line = 0; flood.size() < (size_t{1} << 20); ++line) {
        flood += "line " + std::to_string(line) + " of the tester's output\n";
    }
    host.echo.text.clear();
    std::atomic<bool> sent{false};
    std::thread tester([&] { sent = pty.Send(flood, 120s); });
    const bool drained = Pump(
        *v, [&] { return host.echo.text.size() >= flood.size(); }, 120s);
    tester.join();
    ASSERT_TRUE(sent);
    ASSERT_TRUE(drained) << host.echo.text.size();
    EXPECT_TRUE(host.echo.text == flood);
}

TEST_F(SerialLinkTest, LineHungUpWhileIdleClosesThePortWithAMessage) {
    auto v = OpenView();
    ASSERT_EQ(v->State(), STATE_READY);
    pty.HangUp();
    ASSERT_TRUE(Pump(*v, [&] { return v->State() == STATE_PORT_CLOSED; }));
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0],
              "Lost the connection on " + pty.path() +
                  "; reconnect it, then retry opening the port : " + SystemErrorText(EIO));
    EXPECT_FALSE(v->ReaderAlive());
    EXPECT_FALSE(v->PortHeld());
}

TEST_F(SerialLinkTest, LineHungUpMidTransferIsReportedOnce) {
    auto v = OpenView();
    ASSERT_EQ(v->State(), STATE_READY);
    HoldLine(*v);
    const std::string file = dir.Write("update.txt", test::UpdateBytes(100000));
    host.answers = {file};
    v->OnSendUpdateFile();
    ASSERT_EQ(v->State(), STATE_SENDING);
    pty.HangUp();
    ASSERT_TRUE(Pump(*v, [&] { return v->State() == STATE_SEND_ENDED; }));
    EXPECT_FALSE(v->SendCompleted());
    EXPECT_NE(v->LastSendError(), 0);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].rfind("The transfer of '" + file + "' did not complete", 0), 0u);
    // The reader's own notice of the lost line adds no second report.
    for (int i = 0; i < 20; ++i) {
        pty.ReadAvailable(10);
        sink.PumpOne(*v);
    }
    EXPECT_EQ(v->State(), STATE_SEND_ENDED);
    v->ClosePort();
    EXPECT_EQ(host.boxes.size(), 1u);
}

}  // namespace
}  // namespace korv
