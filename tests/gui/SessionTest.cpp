// The whole desktop program against the simulated tester on a pty: start-up, prompt, file
// dialog, transfer and its outcome, abort, send another, the popup, the nested-dialog guard, and
// Ctrl+N and Ctrl+O.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "Child.h"
#include "GuiTestSupport.h"
#include "TempDir.h"
#include "app/MainFrame.h"
#include "app/ProgApp.h"
#include "app/ProgForm.h"
#include "app/TermWidget.h"
#include "platform/DeviceMap.h"
#include "view/ProgView.h"

namespace korv {
namespace {

using test::ScreenText;
using test::WaitUntil;

constexpr char kInstructions[] = "Ready to perform a tester software update:";
constexpr char kPrompt[] = "Ready to receive update file....";

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override { test::ClearSettings(); }
    void TearDown() override {
        if (HasFailure() && sim) {
            // The simulator's side of the story, for a failure seen only on a busy machine.
            for (const std::string& event : sim->Events()) {
                std::fprintf(stderr, "tester: %s\n", event.c_str());
            }
        }
        app.reset();
        sim.reset();
    }

    void StartSim(std::vector<std::string> args) {
        sim = std::make_unique<test::Sim>(std::move(args));
        ASSERT_TRUE(sim->ok()) << "cannot start " KORV_TESTER_SIM;
    }

    // Starts the program; ports lists the system's serial devices (the pty is not among them
    // unless a test puts it there).
    void StartApp(const std::string& portOverride, std::vector<std::string> ports = {}) {
        AppOptions options;
        options.portOverride = portOverride;
        options.programPath = dir.path() + "/korvalin";
        options.deviceMap = [ports] { return test::MakeListedDeviceMap(ports); };
        options.prepareForm = [this](CProgForm& form) {
            form.SetFileDialogHook([this](FileDialogRequest& request) {
                ++dialogs;
                ++dialogDepth;
                maxDialogDepth = std::max(maxDialogDepth, dialogDepth);
                lastRequest = request;
                bool chosen = false;
                if (onDialog) {
                    chosen = onDialog(request);
                }
                --dialogDepth;
                return chosen;
            });
            form.SetMessageBoxHook([this](const std::string& text) { boxes.push_back(text); });
            form.SetPopupHook([this](const QPoint&) {
                ++popups;
                return popupChoice;
            });
        };
        app = std::make_unique<CProgApp>(std::move(options));
        app->InitInstance();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&app->Frame()));
    }

    // The dialog answers with this file once.
    void AnswerDialogWith(const std::string& path) {
        onDialog = [path](FileDialogRequest& request) {
            request.fileName = path;
            return true;
        };
    }

    CProgForm& form() { return app->Form(); }
    CProgView& view() { return app->View(); }
    CMainFrame& frame() { return app->Frame(); }
    std::string screen() { return ScreenText(*form().GetTerminal()); }
    bool waitState(int state, int timeoutMs = 30000) {
        return WaitUntil([&] { return view().State() == state; }, timeoutMs);
    }
    std::string receivedEvent(const std::string& bytes) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "RECEIVED %zu bytes crc32 %08x header ok", bytes.size(),
                      test::Crc32(bytes));
        return buf;
    }

    test::TempDir dir;
    std::unique_ptr<test::Sim> sim;
    std::unique_ptr<CProgApp> app;
    std::function<bool(FileDialogRequest&)> onDialog;
    FileDialogRequest lastRequest;
    int dialogs = 0;
    int dialogDepth = 0;
    int maxDialogDepth = 0;
    std::vector<std::string> boxes;
    int popups = 0;
    bool popupChoice = false;
};

TEST_F(SessionTest, CommandLinePortOpensAtStartAndInstructionsShow) {
    StartSim({"--prompt", "none"});
    StartApp(sim->Port(), {"ttyS0", "ttyS1"});
    ASSERT_TRUE(test::WaitEvent(*sim, "OPENED"));
    EXPECT_EQ(view().State(), STATE_READY);
    const std::string text = screen();
    EXPECT_NE(text.find("Successfully opened " + sim->Port() + "."), std::string::npos) << text;
    EXPECT_NE(text.find(kInstructions), std::string::npos) << text;
    EXPECT_FALSE(form().ActionButton()->isVisible()) << "no button while waiting for a prompt";
    EXPECT_EQ(form().ComboGetText(), sim->Port());
    EXPECT_EQ(form().PortCombo()->count(), 3) << "the command-line port joins the list";
    EXPECT_TRUE(form().PortCombo()->isEnabled());
    EXPECT_TRUE(frame().ExitAction()->isEnabled());
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(test::ReadSetting(QStringLiteral("SETTINGS/COMMPORT")).isEmpty())
        << "a command-line port is not remembered";

    // The tester's own output reaches the pane.
    sim->Command("say hello from the tester");
    EXPECT_TRUE(
        WaitUntil([&] { return screen().find("hello from the tester") != std::string::npos; }));
}

TEST_F(SessionTest, RememberedPortIsOpenedWhenTheSystemListsIt) {
    StartSim({"--prompt", "none"});
    const std::string name = sim->Port().substr(std::string("/dev/").size());  // "pts/N"
    test::WriteSetting(QStringLiteral("SETTINGS/COMMPORT"), QString::fromStdString(name));
    StartApp("", {"ttyS4", name});
    ASSERT_TRUE(test::WaitEvent(*sim, "OPENED"));
    EXPECT_EQ(view().State(), STATE_READY);
    EXPECT_EQ(form().ComboGetText(), name);
    EXPECT_NE(screen().find(kInstructions), std::string::npos);
}

TEST_F(SessionTest, MissingRememberedPortSelectsTheFirstListedAndReportsItsFailure) {
    test::WriteSetting(QStringLiteral("SETTINGS/COMMPORT"), QStringLiteral("ttyGONE5"));
    StartApp("", {"ttyKORVNONE3", "ttyKORVNONE1"});
    EXPECT_EQ(form().ComboGetText(), "ttyKORVNONE1");
    EXPECT_EQ(view().PortName(), "ttyKORVNONE1");
    EXPECT_EQ(view().State(), STATE_PORT_CLOSED);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].rfind("Failed to open ttyKORVNONE1 : ", 0), 0u) << boxes[0];
    EXPECT_TRUE(form().ActionButton()->isVisible());
    EXPECT_EQ(form().ActionButton()->text(), QStringLiteral("Retry Opening COMM Port"));
    EXPECT_NE(screen().find("Cannot perform software update - COMM port is not open."),
              std::string::npos);
    EXPECT_EQ(test::ReadSetting(QStringLiteral("SETTINGS/COMMPORT")), QStringLiteral("ttyGONE5"))
        << "written only when the operator picks a port";

    // Right click with the port closed: no popup.
    QTest::mouseClick(form().Terminal(), Qt::RightButton, {}, QPoint(50, 50));
    EXPECT_EQ(popups, 0);
}

TEST_F(SessionTest, PromptStreamsTheFileWhileTheWindowStaysLocked) {
    const std::string bytes = test::UpdateBytes(9000);
    const std::string path = dir.Write("update.txt", bytes);
    StartSim({"--prompt", "ready", "--rate", "5760"});
    AnswerDialogWith(path);
    StartApp(sim->Port());
    ASSERT_TRUE(waitState(STATE_SENDING));
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(lastRequest.title, "Select software update file...");
    EXPECT_EQ(lastRequest.filter, "Software update files (*.txt)|*.txt|All Files (*.*)|*.*||");

    // While sending: no port choice, no Exit, no closing, and the progress display runs.
    EXPECT_FALSE(form().PortCombo()->isEnabled());
    EXPECT_FALSE(form().PortLabel()->isEnabled());
    EXPECT_FALSE(frame().ExitAction()->isEnabled());
    EXPECT_EQ(form().ActionButton()->text(), QStringLiteral("Abort Software Update"));
    EXPECT_NE(screen().find("Sending file '" + path + "'."), std::string::npos) << screen();
    EXPECT_TRUE(form().Progress()->isVisible());
    const QRegularExpression progress(
        QStringLiteral("^\\d+\\.\\d of 8\\.8 KiB(, \\d+:\\d\\d left)?$"));
    EXPECT_TRUE(progress.match(form().ProgressText()->text()).hasMatch())
        << form().ProgressText()->text().toStdString();
    EXPECT_FALSE(frame().close());
    EXPECT_TRUE(frame().isVisible());
    frame().ExitAction()->trigger();
    EXPECT_TRUE(frame().isVisible());

    const auto received = test::WaitEvent(*sim, "RECEIVED");
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, receivedEvent(bytes));
    ASSERT_TRUE(waitState(STATE_SEND_ENDED));
    EXPECT_TRUE(view().SendCompleted());
    EXPECT_EQ(form().ActionButton()->text(), QStringLiteral("Send Another Software Update File"));
    EXPECT_TRUE(form().PortCombo()->isEnabled());
    EXPECT_TRUE(form().PortLabel()->isEnabled());
    EXPECT_TRUE(frame().ExitAction()->isEnabled());
    // The display stays, saying how the transfer ended.
    EXPECT_TRUE(form().Progress()->isVisible());
    EXPECT_EQ(form().Progress()->value(), form().Progress()->maximum());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Sent 8\\.8 KiB in \\d+:\\d\\d$"))
                    .match(form().ProgressText()->text())
                    .hasMatch())
        << form().ProgressText()->text().toStdString();
    EXPECT_TRUE(frame().close());
}

TEST_F(SessionTest, AbortStopsTheTransferAndSendAnotherStartsTheNext) {
    // A pty takes some 20 KiB ahead of the reader before the writer has to wait, so progress
    // moves in steps of that size: the file is many steps long and the line fast enough that
    // the steps come well inside the estimate's window, and the transfer is still going when
    // the abort comes however slow the machine.
    const std::string big = test::UpdateBytes(600000);
    const std::string small = test::UpdateBytes(3000);
    const std::string bigPath = dir.Write("big.txt", big);
    const std::string smallPath = dir.Write("small.txt", small);
    StartSim({"--prompt", "ready", "--rate", "20000", "--repeat", "2"});
    AnswerDialogWith(bigPath);
    StartApp(sim->Port());
    ASSERT_TRUE(waitState(STATE_SENDING));
    ASSERT_TRUE(test::WaitEvent(*sim, "RECEIVING"));
    // Once the line has shown a steady rate the progress display estimates the time left.
    EXPECT_TRUE(
        WaitUntil([&] { return form().ProgressText()->text().contains(QStringLiteral(" left")); }));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d+\\.\\d of 585\\.9 KiB, \\d+:\\d\\d left$"))
                    .match(form().ProgressText()->text())
                    .hasMatch())
        << form().ProgressText()->text().toStdString();
    if (const char* shot = std::getenv("KORV_SCREENSHOT"); shot != nullptr && *shot != '\0') {
        frame().grab().save(QString::fromLocal8Bit(shot));
    }

    QTest::mouseClick(form().ActionButton(), Qt::LeftButton);
    EXPECT_EQ(view().State(), STATE_SEND_ENDED);
    EXPECT_FALSE(view().SendCompleted());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the wait cursor is gone again";
    EXPECT_EQ(form().ActionButton()->text(), QStringLiteral("Send Another Software Update File"));
    EXPECT_TRUE(frame().ExitAction()->isEnabled());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Aborted at \\d+\\.\\d of 585\\.9 KiB$"))
                    .match(form().ProgressText()->text())
                    .hasMatch())
        << form().ProgressText()->text().toStdString();
    EXPECT_TRUE(form().ProgressText()->isVisible());
    const auto partial = test::WaitEvent(*sim, "RECEIVED");
    ASSERT_TRUE(partial);
    unsigned long long got = 0;
    ASSERT_EQ(std::sscanf(partial->c_str(), "RECEIVED %llu", &got), 1);
    EXPECT_LT(got, big.size());

    // The simulator prompts again for its second update; the file goes this time.
    AnswerDialogWith(smallPath);
    ASSERT_TRUE(test::WaitEvent(*sim, "PROMPT"));
    ASSERT_TRUE(waitState(STATE_SENDING));
    ASSERT_TRUE(waitState(STATE_SEND_ENDED));
    const auto second = test::WaitEvent(*sim, "RECEIVED");
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, receivedEvent(small));
    EXPECT_EQ(dialogs, 2);

    // "Send Another" opens the dialog without a prompt; cancelling it leaves things as they are.
    onDialog = nullptr;
    QTest::mouseClick(form().ActionButton(), Qt::LeftButton);
    EXPECT_EQ(dialogs, 3);
    EXPECT_EQ(lastRequest.fileName, smallPath) << "the dialog starts at the last file sent";
    EXPECT_EQ(view().State(), STATE_SEND_ENDED);
    EXPECT_TRUE(form().ProgressText()->text().startsWith(QStringLiteral("Sent 2.9 KiB in ")))
        << form().ProgressText()->text().toStdString();
}

TEST_F(SessionTest, PopupIsOfferedOnlyWhenReadyOrAfterATransfer) {
    // Several times what a pty takes ahead of the reader: the transfer is surely still going.
    const std::string path = dir.Write("update.txt", test::UpdateBytes(200000));
    StartSim({"--prompt", "none", "--rate", "2000"});
    StartApp(sim->Port());
    ASSERT_TRUE(test::WaitEvent(*sim, "OPENED"));
    ASSERT_EQ(view().State(), STATE_READY);

    QTest::mouseClick(form().Terminal(), Qt::RightButton, {}, QPoint(60, 60));
    EXPECT_EQ(popups, 1);
    EXPECT_EQ(dialogs, 0) << "menu dismissed: nothing happens";

    popupChoice = true;
    AnswerDialogWith(path);
    QTest::mouseClick(form().Terminal(), Qt::RightButton, {}, QPoint(60, 60));
    EXPECT_EQ(popups, 2);
    EXPECT_EQ(dialogs, 1);
    ASSERT_EQ(view().State(), STATE_SENDING);

    QTest::mouseClick(form().Terminal(), Qt::RightButton, {}, QPoint(60, 60));
    EXPECT_EQ(popups, 2) << "no popup while sending";

    QTest::mouseClick(form().ActionButton(), Qt::LeftButton);  // abort
    ASSERT_EQ(view().State(), STATE_SEND_ENDED);
    popupChoice = false;
    QTest::mouseClick(form().Terminal(), Qt::RightButton, {}, QPoint(60, 60));
    EXPECT_EQ(popups, 3);
}

TEST_F(SessionTest, SecondPromptWhileTheDialogIsOpenDoesNotOpenASecondDialog) {
    const std::string bytes = test::UpdateBytes(4000);
    const std::string path = dir.Write("update.txt", bytes);
    StartSim({"--prompt", "ready"});
    onDialog = [&](FileDialogRequest& request) {
        // The tester prompts again while the operator is still choosing; the program keeps
        // draining (the pane shows the second prompt) but stacks no second dialog.
        sim->Command("prompt ready");
        EXPECT_TRUE(WaitUntil([&] { return Count(screen(), kPrompt) == 2; }));
        sim->Command("say still here");
        EXPECT_TRUE(WaitUntil([&] { return screen().find("still here") != std::string::npos; }));
        request.fileName = path;
        return true;
    };
    StartApp(sim->Port());
    ASSERT_TRUE(waitState(STATE_SENDING));
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(maxDialogDepth, 1);
    const auto received = test::WaitEvent(*sim, "RECEIVED");
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, receivedEvent(bytes));
    ASSERT_TRUE(waitState(STATE_SEND_ENDED));
    EXPECT_EQ(dialogs, 1);
}

TEST_F(SessionTest, CtrlNAndCtrlOWaitForTheTransferThenReopenWithoutDoublingTheList) {
    const std::string path = dir.Write("update.txt", test::UpdateBytes(200000));
    StartSim({"--prompt", "ready", "--rate", "2000"});
    bool openChooses = false;
    onDialog = [&](FileDialogRequest& request) {
        if (request.title == "Open") {
            request.fileName = path;  // any file; nothing is read from it
            return openChooses;
        }
        request.fileName = path;
        return dialogs == 1;
    };
    StartApp(sim->Port(), {"ttyS0", "ttyS1"});
    ASSERT_TRUE(waitState(STATE_SENDING));
    const int ports = form().PortCombo()->count();
    ASSERT_EQ(ports, 3);

    // Refused while the file is being sent, as Exit is: the transfer goes on.
    frame().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&frame()));
    QTest::keyClick(&frame(), Qt::Key_N, Qt::ControlModifier);
    QTest::keyClick(&frame(), Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(view().State(), STATE_SENDING);
    EXPECT_TRUE(view().WriterAlive());
    EXPECT_EQ(dialogs, 1) << "no open dialog during a transfer";
    EXPECT_EQ(Count(screen(), kInstructions), 1);

    QTest::mouseClick(form().ActionButton(), Qt::LeftButton);  // abort
    ASSERT_EQ(view().State(), STATE_SEND_ENDED);

    // Open offers a dialog for any file; cancelling it changes nothing.
    QTest::keyClick(&frame(), Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(dialogs, 2);
    EXPECT_EQ(lastRequest.title, "Open");
    EXPECT_EQ(view().State(), STATE_SEND_ENDED);
    EXPECT_TRUE(form().ProgressText()->isVisible());

    // Choosing a file runs the initial update again: the port reopens, the outcome goes.
    openChooses = true;
    QTest::keyClick(&frame(), Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(dialogs, 3);
    EXPECT_EQ(view().State(), STATE_READY);
    EXPECT_EQ(form().PortCombo()->count(), ports);
    EXPECT_EQ(form().ComboGetText(), sim->Port());
    EXPECT_TRUE(frame().ExitAction()->isEnabled());
    EXPECT_TRUE(form().Progress()->isHidden());
    EXPECT_TRUE(form().ProgressText()->isHidden());
    EXPECT_NE(screen().find(kInstructions), std::string::npos);
    EXPECT_EQ(frame().windowTitle(), QStringLiteral("KORVALIN"));

    QTest::keyClick(&frame(), Qt::Key_N, Qt::ControlModifier);
    EXPECT_EQ(view().State(), STATE_READY);
    EXPECT_EQ(form().PortCombo()->count(), ports);
    EXPECT_TRUE(frame().ExitAction()->isEnabled());
    EXPECT_EQ(dialogs, 3);
}

TEST_F(SessionTest, PortChoiceReopensAndIsRemembered) {
    StartSim({"--prompt", "none"});
    const std::string name = sim->Port().substr(std::string("/dev/").size());
    StartApp("", {name, "ttyKORVNONE9"});
    ASSERT_TRUE(test::WaitEvent(*sim, "OPENED"));
    ASSERT_EQ(form().ComboGetText(), name);

    // Picking the unavailable port: the open fails and the choice is remembered.
    form().PortCombo()->setCurrentIndex(1);
    emit form().PortCombo()->activated(1);
    EXPECT_EQ(view().State(), STATE_PORT_CLOSED);
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(test::ReadSetting(QStringLiteral("SETTINGS/COMMPORT")),
              QStringLiteral("ttyKORVNONE9"));

    form().PortCombo()->setCurrentIndex(0);
    emit form().PortCombo()->activated(0);
    EXPECT_EQ(view().State(), STATE_READY);
    EXPECT_NE(screen().find("Successfully opened " + name + "."), std::string::npos) << screen();
    EXPECT_EQ(test::ReadSetting(QStringLiteral("SETTINGS/COMMPORT")), QString::fromStdString(name));
}

}  // namespace
}  // namespace korv
