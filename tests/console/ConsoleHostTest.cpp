// The console host's parts that decide what the run does: the output streams, the file-dialog
// answers and the notification queue.

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Fakes.h"
#include "TempDir.h"
#include "Texts.h"
#include "console/ConsoleOutput.h"
#include "platform/Wait.h"
#include "ports/PortList.h"
#include "station/SessionHost.h"
#include "station/Transfer.h"
#include "view/ProgView.h"

namespace korv {
namespace {

// A stream whose text can be read back.
class Capture {
  public:
    Capture() : m_file(std::tmpfile()) {}
    ~Capture() { std::fclose(m_file); }
    std::FILE* File() { return m_file; }
    std::string Text() {
        std::fflush(m_file);
        std::rewind(m_file);
        std::string text;
        for (int c; (c = std::fgetc(m_file)) != EOF;) {
            text += static_cast<char>(c);
        }
        return text;
    }

  private:
    std::FILE* m_file;
};

struct ProgressCase {
    uint64_t done;
    uint64_t total;
    double seconds;
    std::string line;
};

class Progress : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(Progress, Formats) {
    EXPECT_EQ(FormatProgress(GetParam().done, GetParam().total, GetParam().seconds),
              GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Line, Progress,
    ::testing::Values(
        ProgressCase{15360, 40960, 2.6786, " 37%  15.0/40.0 KiB 5.6 KiB/s 0:04 left"},
        ProgressCase{0, 40960, 0.0, "  0%  0.0/40.0 KiB --- KiB/s --:-- left"},
        ProgressCase{40960, 40960, 7.0, "100%  40.0/40.0 KiB 5.7 KiB/s 0:00 left"},
        // More reported than the file holds (it grew while being sent) stays at 100 %.
        ProgressCase{50000, 40960, 7.0, "100%  40.0/40.0 KiB 5.7 KiB/s 0:00 left"},
        ProgressCase{0, 0, 1.0, "100%  0.0/0.0 KiB --- KiB/s --:-- left"},
        ProgressCase{512ull << 20, 1ull << 30, 2.0, " 50%  512.0/1024.0 MiB 256.0 MiB/s 0:02 left"},
        ProgressCase{5760, 5760ull * 3700, 1.0, "  0%  0.0/20.3 MiB 5.6 KiB/s 1:01:39 left"}));

TEST(ConsoleOutput, MessagesAreOneLineEach) {
    Capture out;
    Capture err;
    CConsoleOutput console(out.File(), err.File(), false);
    console.SetStamp([] { return std::string("2026-12-08 15:03:07"); });
    console.Message("Failed to open COM7 : No such file or directory\r\n");
    console.Message("two\r\nlines");
    EXPECT_EQ(err.Text(),
              "2026-12-08 15:03:07 KORVALIN: Failed to open COM7 : No such file or directory\n"
              "2026-12-08 15:03:07 KORVALIN: two  lines\n");
    EXPECT_EQ(out.Text(), "");
}

TEST(ConsoleOutput, ProgressLineIsTakenDownBeforeOtherOutput) {
    Capture out;
    Capture err;
    CConsoleOutput console(out.File(), err.File(), true);
    console.SetStamp(nullptr);
    console.ShowProgress(" 10%");
    console.ShowProgress(" 10%");  // unchanged: not drawn again
    console.ShowProgress(" 9");
    console.Echo('x');
    console.FlushOut();
    console.Message("m");
    EXPECT_EQ(err.Text(), "\r 10%\r 9  \r  \rKORVALIN: m\n");
    EXPECT_EQ(out.Text(), "x");
}

class FixedAnswer : public IFileAnswer {
  public:
    bool Choose(const FileDialogRequest&, std::string& path) override {
        ++asked;
        path = answer;
        return !answer.empty();
    }
    std::string answer = "/tmp/update.txt";
    int asked = 0;
};

TEST(SessionHost, AnswersOnceAndCancelsTheRetryAfterARejection) {
    Capture out;
    Capture err;
    CConsoleOutput console(out.File(), err.File(), false);
    FixedAnswer answer;
    CSessionHost host(console, answer);

    host.BeginDispatch();
    FileDialogRequest request;
    ASSERT_TRUE(host.RunFileDialog(request));
    EXPECT_EQ(request.fileName, "/tmp/update.txt");
    EXPECT_FALSE(host.DialogCancelled());
    // The view asks again in the same dispatch: the file was refused.
    EXPECT_FALSE(host.RunFileDialog(request));
    EXPECT_TRUE(host.DialogCancelled());
    EXPECT_TRUE(host.FileRejected());

    // The tester's next prompt is a new dispatch and gets the file again.
    host.BeginDispatch();
    EXPECT_TRUE(host.RunFileDialog(request));
    EXPECT_FALSE(host.FileRejected());
    EXPECT_EQ(answer.asked, 2);

    host.RefuseDialogs();
    host.BeginDispatch();
    EXPECT_FALSE(host.RunFileDialog(request));
    EXPECT_EQ(answer.asked, 2);
}

TEST(SessionHost, NoAnswerIsACancelNotARejection) {
    Capture out;
    Capture err;
    CConsoleOutput console(out.File(), err.File(), false);
    FixedAnswer answer;
    answer.answer.clear();
    CSessionHost host(console, answer);
    host.BeginDispatch();
    FileDialogRequest request;
    EXPECT_FALSE(host.RunFileDialog(request));
    EXPECT_TRUE(host.DialogCancelled());
    EXPECT_FALSE(host.FileRejected());
}

TEST(SessionHost, DialogPumpDoesNotCountAsANewDialog) {
    Capture out;
    Capture err;
    CConsoleOutput console(out.File(), err.File(), false);
    FixedAnswer answer;
    CSessionHost host(console, answer);
    FileDialogRequest nested;
    bool nestedAnswer = true;
    // Whatever the notices handled during the dialog do, a dialog opened by them is refused
    // and the outer dialog still gets its one answer.
    host.SetDialogPump([&] { nestedAnswer = host.RunFileDialog(nested); });
    host.BeginDispatch();
    FileDialogRequest request;
    EXPECT_TRUE(host.RunFileDialog(request));
    EXPECT_FALSE(nestedAnswer);
    EXPECT_FALSE(host.DialogCancelled());
}

TEST(SessionHost, TerminalBytesGoToStdoutAndRepaintFlushes) {
    Capture out;
    Capture err;
    CConsoleOutput console(out.File(), err.File(), false);
    FixedAnswer answer;
    CSessionHost host(console, answer);
    CReportWidget* term = host.GetTerminal();
    ASSERT_NE(term, nullptr);
    EXPECT_EQ(term->Cols(), 80);
    EXPECT_EQ(term->Rows(), 24);
    term->Write(
        "ab\x01\x08"
        "c\r\n",
        true);
    // Control bytes other than BS, CR and LF are not shown on the pane, so not on stdout.
    EXPECT_EQ(out.Text(),
              "ab\x08"
              "c\r\n");
}

// Three sessions' workers post at once: each session gets its own notices in order, the station
// is woken for every one, and a session that takes its own notices (a dialog's loop) leaves
// nothing to wake for.
TEST(StationQueue, KeepsEachSessionsOrderAndWakesTheStation) {
    CStationQueue queue;
    ASSERT_TRUE(queue.Valid());
    std::vector<std::unique_ptr<CSessionQueue>> sessions;
    for (int i = 0; i < 3; ++i) {
        sessions.push_back(std::make_unique<CSessionQueue>(queue));
    }
    constexpr uint32_t kPerThread = 20000;
    std::vector<std::thread> producers;
    for (uint32_t t = 0; t < 3; ++t) {
        producers.emplace_back([&sessions, t] {
            for (uint32_t i = 0; i < kPerThread; ++i) {
                sessions[t]->PostCommNotify(COMM_NOTIFY_TAG, i);
            }
        });
    }
    std::vector<uint32_t> next(3, 0);
    uint32_t taken = 0;
    while (taken < 3 * kPerThread) {
        const WaitHandle wake = queue.Waitable();
        ASSERT_EQ(WaitForAny(&wake, 1, 60000), 0) << "a posted notice did not wake the station";
        size_t ready = 0;
        while (queue.TakeReady(ready)) {
            ASSERT_LT(ready, 3u);
            CStationQueue::Notice n{};
            while (sessions[ready]->Pop(n)) {
                ASSERT_EQ(n.lParam, next[ready]) << "session " << ready;
                ++next[ready];
                ++taken;
            }
        }
    }
    for (auto& p : producers) {
        p.join();
    }
    size_t ready = 0;
    EXPECT_FALSE(queue.TakeReady(ready));
    const WaitHandle wake = queue.Waitable();
    EXPECT_EQ(WaitForAny(&wake, 1, 0), WAIT_RESULT_TIMEOUT);

    sessions[1]->PostCommNotify(COMM_NOTIFY_TAG, 7);
    CStationQueue::Notice n{};
    ASSERT_TRUE(sessions[1]->Pop(n));
    EXPECT_EQ(n.lParam, 7u);
    EXPECT_EQ(WaitForAny(&wake, 1, 0), WAIT_RESULT_TIMEOUT) << "woken for a notice already taken";
    EXPECT_FALSE(queue.TakeReady(ready));
}

// A transfer's reason is its own: an earlier box (a transfer before, a port message) is not it,
// and a failure the view did not name is told and kept with how far the transfer got.
TEST(TransferAccount, TheReasonBelongsToTheTransferThatEnded) {
    test::FakePortControl control;
    test::FakePort::control = &control;
    test::TempDir dir;
    test::WriteWholeFile(dir / "u.txt", test::UpdateText(5000));
    Capture err;
    CConsoleOutput out(err.File(), err.File(), false);
    class Answer : public IFileAnswer {
      public:
        explicit Answer(std::string path) : m_path(std::move(path)) {}
        bool Choose(const FileDialogRequest&, std::string& path) override {
            path = m_path;
            return true;
        }

      private:
        std::string m_path;
    } answer(dir / "u.txt");
    CSessionHost host(out, answer);
    test::FakeSink sink;
    test::FakeProfile profile;
    CProgDoc doc;
    CPortList ports;
    ports.AddPort("COM1");
    CProgView view(host, sink, profile, doc, &test::FakePort::Make, "/opt/korvalin/bin/korvalin",
                   CProgView::Timing{std::chrono::milliseconds(1), std::chrono::milliseconds(1),
                                     std::chrono::milliseconds(1)});
    view.OnInitialUpdate(ports);
    host.MessageBox("An earlier transfer's box.");

    CTransferAccount account;
    control.holdWrites = true;
    host.BeginDispatch();
    view.OnSendUpdateFile();
    ASSERT_EQ(view.State(), STATE_SENDING);
    account.Begin(host);
    view.StopSending();  // stopped without a box of its own
    const TransferEnd end = account.End(PortOutcome::Failed, view, host, out);
    EXPECT_EQ(end.outcome, PortOutcome::Failed);
    EXPECT_EQ(end.total, 5000u);
    EXPECT_EQ(end.reason,
              "The transfer of '" + (dir / "u.txt") + "' failed after 0 of 5000 bytes.");
    EXPECT_NE(err.Text().find("KORVALIN: " + end.reason + "\n"), std::string::npos);
    EXPECT_FALSE(account.Open());
    view.ClosePort();
    test::FakePort::control = nullptr;
}

}  // namespace
}  // namespace korv
