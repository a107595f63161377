// The main frame, the About box and the program's start without a display.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "Child.h"
#include "GuiTestSupport.h"
#include "TempDir.h"
#include "app/AboutDlg.h"
#include "app/MainFrame.h"
#include "app/ProgForm.h"
#include "view/ProgDoc.h"

namespace korv {
namespace {

using test::WaitUntil;

TEST(MainFrameTest, FixedSizeCaptionAndTwoCommandMenuBar) {
    CProgDoc doc;
    CMainFrame frame(doc);
    frame.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
    EXPECT_EQ(frame.windowTitle(), QStringLiteral("KORVALIN"));
    EXPECT_EQ(frame.minimumSize(), frame.maximumSize());
    EXPECT_GE(frame.height(), frame.Form().height() + frame.menuBar()->height());
    const Qt::WindowFlags flags = frame.windowFlags();
    EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(frame.windowIcon().isNull());

    QStringList bar;
    for (QAction* a : frame.menuBar()->actions()) {
        bar << a->text();
        EXPECT_EQ(a->menu(), nullptr) << "no drop-down menus";
    }
    EXPECT_EQ(bar, (QStringList{"E&xit", "&About..."}));
}

TEST(MainFrameTest, EveryCloseAsksTheDocumentAndExitFollowsIt) {
    CProgDoc doc;
    CMainFrame frame(doc);
    frame.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));

    doc.m_bCanClose = false;
    frame.UpdateCommandUI();
    EXPECT_FALSE(frame.ExitAction()->isEnabled());
    frame.ExitAction()->trigger();
    EXPECT_FALSE(frame.close());
    EXPECT_TRUE(frame.isVisible());

    doc.m_bCanClose = true;
    frame.UpdateCommandUI();
    EXPECT_TRUE(frame.ExitAction()->isEnabled());
    frame.ExitAction()->trigger();
    EXPECT_FALSE(frame.isVisible());
}

TEST(AboutBoxTest, ShowsIconVersionNoticeAndAddressAndClosesWithOk) {
    CProgDoc doc;
    CMainFrame frame(doc);
    frame.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));

    QString caption;
    QStringList texts;
    bool icon = false;
    bool closedByOk = false;
    QTimer::singleShot(0, [&] {
        ASSERT_TRUE(WaitUntil([] { return QApplication::activeModalWidget() != nullptr; }, 10000));
        auto* about = dynamic_cast<CAboutDlg*>(QApplication::activeModalWidget());
        ASSERT_NE(about, nullptr);
        caption = about->windowTitle();
        for (QLabel* label : about->findChildren<QLabel*>()) {
            if (label == about->IconLabel()) {
                icon = !label->pixmap().isNull();
            } else {
                texts << label->text();
            }
        }
        EXPECT_EQ(about->OkButton()->text(), QStringLiteral("OK"));
        if (const QByteArray shot = qgetenv("KORV_ABOUT_SCREENSHOT"); !shot.isEmpty()) {
            about->grab().save(QString::fromLocal8Bit(shot));
        }
        QTest::mouseClick(about->OkButton(), Qt::LeftButton);
        closedByOk = !about->isVisible();
    });
    frame.AboutAction()->trigger();  // modal: returns when the box has closed

    EXPECT_EQ(caption, QStringLiteral("About KORVALIN"));
    EXPECT_TRUE(icon);
    EXPECT_TRUE(closedByOk);
    ASSERT_EQ(texts.size(), 3);
    EXPECT_TRUE(texts.contains(QStringLiteral("KORVALIN Version 1.0")));
    EXPECT_EQ(texts.filter(QStringLiteral("2003")).size(), 1);
    const QStringList address = texts.filter(QStringLiteral("\n"));
    ASSERT_EQ(address.size(), 1);
    EXPECT_EQ(address[0].split(QLatin1Char('\n')).size(), 7);
}

TEST(StartupTest, WithoutADisplayTheProgramSaysSoAndExitsWithTwo) {
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        env.remove(QString::fromLatin1(name));
    }
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(KORVALIN_EXE), {});
    ASSERT_TRUE(program.waitForFinished(30000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 2);
    EXPECT_EQ(program.readAllStandardError().toStdString(),
              "korvalin: no display available; use `korvalin --console` (see --help)\n");
}

TEST(StartupTest, TerminationSignalClosesTheProgramInAnOrderlyWay) {
    test::Sim sim({"--prompt", "none"});
    ASSERT_TRUE(sim.ok());
    test::TempDir config;
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), QString::fromStdString(config.path()));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(KORVALIN_EXE), {"--port", QString::fromStdString(sim.Port())});
    ASSERT_TRUE(test::WaitEvent(sim, "OPENED"));

    program.terminate();  // SIGTERM
    ASSERT_TRUE(program.waitForFinished(30000));
    // Ended by its own event loop, not by the signal: the port and the workers were shut down.
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 130);
}

}  // namespace
}  // namespace korv
