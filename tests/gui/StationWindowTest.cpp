// The station window against four simulated testers on ptys, one of which rejects the update:
// rows, counts, yield and the records; the selected port's terminal; the colours that follow the
// palette; keyboard alone; refusals; and closing while transfers run.

#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Child.h"
#include "GuiTestSupport.h"
#include "TempDir.h"
#include "Texts.h"
#include "app/StationTable.h"
#include "app/StationWindow.h"
#include "app/TermWidget.h"

namespace korv {
namespace {

using test::ScreenText;
using test::WaitUntil;

constexpr int kDeadlineMs = 60000;

// Answers the first message box that shows up with button, keeping its text.
void AnswerBox(QMessageBox::StandardButton button, QString* text = nullptr) {
    auto* timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, button, text] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) {
            return;
        }
        timer->stop();
        timer->deleteLater();
        if (text != nullptr) {
            *text = box->text();
        }
        box->button(button)->click();
    });
    timer->start();
}

class StationWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::ClearSettings();
        StationWindowOptions options;
        options.setup.version = "9.9.9";
        options.setup.station = "line-4";
        options.setup.defaultLogDir = m_dir / "logs";
        options.setup.describePort = [](const std::string& name) {
            return name.find("/dev/pts/") == 0 ? std::string("pseudo-terminal") : std::string();
        };
        options.portSource = [this] {
            std::vector<std::string> names;
            for (const auto& sim : m_sims) {
                names.push_back(sim->Port());
            }
            return names;
        };
        m_window = std::make_unique<CStationWindow>(std::move(options));
        m_window->show();
        m_file = m_dir.Write("update.txt", test::UpdateText(4000));
    }

    void TearDown() override {
        if (m_window) {
            m_window->Model().Stop();
        }
        m_window.reset();
        m_sims.clear();
    }

    test::Sim& StartTester(std::vector<std::string> options) {
        m_sims.push_back(std::make_unique<test::Sim>(std::move(options)));
        EXPECT_TRUE(m_sims.back()->ok());
        return *m_sims.back();
    }

    // Adds a port through the port row, as the operator does.
    void AddThroughRow(const std::string& name, const QString& label) {
        m_window->PortChoice()->setEditText(QString::fromStdString(name));
        m_window->LabelEdit()->setText(label);
        QTest::mouseClick(m_window->AddButton(), Qt::LeftButton);
    }

    void FillSettings() {
        m_window->FileEdit()->setText(QString::fromStdString(m_file));
        m_window->ExpectEdit()->setText(QStringLiteral("Update received"));
        m_window->RejectEdit()->setText(QStringLiteral("Update rejected"));
        m_window->VerdictTimeout()->setValue(30);
        m_window->RepeatBox()->setChecked(false);
    }

    QString Cell(int row, int column) const {
        const QAbstractItemModel* model = m_window->Table()->model();
        return model->data(model->index(row, column)).toString();
    }

    std::vector<nlohmann::json> Records() const {
        std::vector<nlohmann::json> records;
        std::istringstream in(test::ReadWholeFile(m_dir / "logs/report.jsonl"));
        for (std::string line; std::getline(in, line);) {
            records.push_back(nlohmann::json::parse(line));
        }
        return records;
    }

    test::TempDir m_dir;
    std::string m_file;
    std::vector<std::unique_ptr<test::Sim>> m_sims;
    std::unique_ptr<CStationWindow> m_window;
};

// Four testers, the third rejecting the update, and a fifth bay whose tester is unplugged
// mid-transfer and comes back behind the same name (a by-id link). Each port serves tester after
// tester; the simulators stay on the line after their update.
TEST_F(StationWindowTest, FourTestersOneRejectingAndOneThatComesBack) {
    const std::vector<std::string> stay = {"--repeat", "2", "--between-ms", "600000"};
    const char* labels[] = {"Bay 1", "Bay 2", "Bay 3", "Bay 4"};
    for (int i = 0; i < 4; ++i) {
        std::vector<std::string> options = stay;
        options.insert(options.end(), {"--serial", "KT-000" + std::to_string(i + 1)});
        if (i == 2) {
            options.insert(options.end(), {"--verdict", "reject"});
        }
        StartTester(options);
        AddThroughRow(m_sims.back()->Port(), QString::fromLatin1(labels[i]));
    }
    const std::string link = m_dir / "bay5";
    test::Sim& unplugged = StartTester({"--link", link, "--rate", "2048"});
    AddThroughRow(link, QStringLiteral("Bay 5"));
    ASSERT_EQ(m_window->Table()->model()->rowCount(), 5);
    QStringList titles;
    for (int c = 0; c < CStationTableModel::ColumnCount; ++c) {
        titles << m_window->Table()->model()->headerData(c, Qt::Horizontal).toString();
    }
    EXPECT_EQ(titles.join(QLatin1Char('|')),
              QStringLiteral("Label|Port|Device|Unit|State|Progress|Sent|Accepted|Failed|"
                             "Last result"));
    EXPECT_EQ(Cell(0, CStationTableModel::Label), QStringLiteral("Bay 1"));
    EXPECT_EQ(Cell(3, CStationTableModel::Device), QStringLiteral("pseudo-terminal"));
    EXPECT_EQ(Cell(3, CStationTableModel::State), QStringLiteral("idle"));
    FillSettings();
    m_window->RepeatBox()->setChecked(true);
    m_window->UnitEdit()->setText(QStringLiteral("^Serial number: (\\S+)$"));

    QTest::mouseClick(m_window->StartButton(), Qt::LeftButton);
    ASSERT_TRUE(m_window->Model().Running());
    EXPECT_FALSE(m_window->StartButton()->isEnabled());
    EXPECT_FALSE(m_window->FileEdit()->isEnabled()) << "settings stay put while running";

    ASSERT_TRUE(test::WaitEvent(unplugged, "RECEIVING", kDeadlineMs));
    unplugged.Command("hangup");
    ASSERT_TRUE(WaitUntil(
        [&] { return Cell(4, CStationTableModel::State) == QStringLiteral("lost; reconnecting"); },
        kDeadlineMs))
        << Cell(4, CStationTableModel::State).toStdString();
    // Its exit removes the link if it names its pty, which the next simulator may get anew.
    ASSERT_TRUE(unplugged.WaitExit());
    test::Sim& next = StartTester({"--link", link, "--save", m_dir / "bay5-next"});

    auto settled = [&] {
        const auto& rows = m_window->Model().Rows();
        return rows[0].accepted == 1 && rows[1].accepted == 1 && rows[2].failed == 1 &&
               rows[3].accepted == 1 && rows[4].accepted == 1 && !rows[4].sending;
    };
    ASSERT_TRUE(WaitUntil(settled, kDeadlineMs))
        << Cell(0, CStationTableModel::State).toStdString() << " / "
        << Cell(1, CStationTableModel::State).toStdString() << " / "
        << Cell(2, CStationTableModel::State).toStdString() << " / "
        << Cell(3, CStationTableModel::State).toStdString() << " / "
        << Cell(4, CStationTableModel::State).toStdString();
    // The table is redrawn at most four times a second: its cells catch up.
    ASSERT_TRUE(WaitUntil([&] { return Cell(4, CStationTableModel::Accepted) == "1"; }, 5000));
    EXPECT_EQ(test::ReadWholeFile(m_dir / "bay5-next"), test::ReadWholeFile(m_file));
    (void)next;

    for (int row = 0; row < 5; ++row) {
        const bool rejects = row == 2;
        EXPECT_EQ(Cell(row, CStationTableModel::State),
                  rejects ? QStringLiteral("rejected, waiting for the next tester")
                          : QStringLiteral("accepted, waiting for the next tester"))
            << row << ": " << Cell(row, CStationTableModel::Last).toStdString();
        EXPECT_EQ(Cell(row, CStationTableModel::Unit),
                  row < 4 ? QStringLiteral("KT-000%1").arg(row + 1) : QString());
        EXPECT_EQ(Cell(row, CStationTableModel::Sent), QStringLiteral("1"));
        EXPECT_EQ(Cell(row, CStationTableModel::Accepted),
                  rejects ? QStringLiteral("0") : QStringLiteral("1"));
        EXPECT_EQ(Cell(row, CStationTableModel::Failed),
                  rejects || row == 4 ? QStringLiteral("1") : QStringLiteral("0"));
        EXPECT_TRUE(Cell(row, CStationTableModel::Progress).startsWith(QStringLiteral("100 %")))
            << Cell(row, CStationTableModel::Progress).toStdString();
        // The tint and the words agree; the palette here is a light one.
        const QAbstractItemModel* model = m_window->Table()->model();
        const QVariant tint =
            model->data(model->index(row, CStationTableModel::State), Qt::BackgroundRole);
        ASSERT_TRUE(tint.isValid()) << row;
        const QColor c = tint.value<QColor>();
        EXPECT_EQ(rejects, c.red() > c.green()) << row << ": " << c.name().toStdString();
    }
    EXPECT_TRUE(Cell(2, CStationTableModel::Last).contains(QStringLiteral("Update rejected")));
    EXPECT_TRUE(m_window->TotalsLabel()->text().startsWith(
        QStringLiteral("Sent 5, accepted 4, failed 2, yield 67 %")))
        << m_window->TotalsLabel()->text().toStdString();
    // Ports that only wait for their next tester close without a question.
    EXPECT_TRUE(m_window->Model().CanCloseWithoutAsking());

    const auto records = Records();
    ASSERT_EQ(records.size(), 6u);
    std::map<std::string, std::vector<std::string>> outcomesBySlot;
    for (const auto& r : records) {
        outcomesBySlot[r["slot"].get<std::string>()].push_back(r["outcome"].get<std::string>());
        EXPECT_EQ(r["station"], "line-4") << r;
        EXPECT_EQ(r["version"], "9.9.9") << r;
    }
    EXPECT_EQ(outcomesBySlot["Bay 1"], std::vector<std::string>{"accepted"});
    EXPECT_EQ(outcomesBySlot["Bay 3"], std::vector<std::string>{"rejected"});
    EXPECT_EQ(outcomesBySlot["Bay 4"], std::vector<std::string>{"accepted"});
    EXPECT_EQ(outcomesBySlot["Bay 5"], (std::vector<std::string>{"port_lost", "accepted"}));
    for (const auto& r : records) {
        const std::string slot = r["slot"].get<std::string>();
        if (slot != "Bay 5") {
            EXPECT_EQ(r["unit"], "KT-000" + slot.substr(4)) << r;
        }
    }
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(test::WaitEvent(*m_sims[i], "RECEIVED 4000 bytes")) << m_sims[i]->Transcript();
    }

    // Selecting a row shows that tester's screen in the pane; another row, another screen.
    m_window->Table()->selectRow(2);
    EXPECT_EQ(&m_window->Terminal()->Shown(), &m_window->Model().Terminal(2));
    const std::string rejected = ScreenText(m_window->Terminal()->Shown());
    EXPECT_NE(rejected.find("Update rejected"), std::string::npos) << rejected;
    m_window->Table()->selectRow(0);
    const std::string accepted = ScreenText(m_window->Terminal()->Shown());
    EXPECT_NE(accepted.find("Update received"), std::string::npos) << accepted;
    EXPECT_EQ(accepted.find("Update rejected"), std::string::npos) << accepted;
    // The pane draws the shown screen (offscreen, a paint still runs the model's paint logic).
    const int textCalls = m_window->Terminal()->TextCallCount();
    m_window->Terminal()->repaint();
    EXPECT_GT(m_window->Terminal()->TextCallCount(), textCalls);
}

TEST(StationTableTint, FollowsThePaletteAndGivesWayToHighContrast) {
    QPalette light;
    light.setColor(QPalette::Base, Qt::white);
    light.setColor(QPalette::Text, Qt::black);
    const QColor pass = CStationTableModel::Tint(RowTone::Pass, light).value<QColor>();
    const QColor fail = CStationTableModel::Tint(RowTone::Fail, light).value<QColor>();
    EXPECT_GT(pass.green(), pass.red());
    EXPECT_GT(fail.red(), fail.green());
    EXPECT_FALSE(CStationTableModel::Tint(RowTone::Neutral, light).isValid());

    // A dark high-contrast theme: the tint is mixed from its black base, and stays dark.
    QPalette dark;
    dark.setColor(QPalette::Base, Qt::black);
    dark.setColor(QPalette::Text, Qt::white);
    const QVariant darkPass = CStationTableModel::Tint(RowTone::Pass, dark);
    ASSERT_TRUE(darkPass.isValid());
    EXPECT_LT(darkPass.value<QColor>().lightness(), 80);

    // A theme whose text would be hard to read on any tint keeps its own colours.
    QPalette grey;
    grey.setColor(QPalette::Base, QColor(0x80, 0x80, 0x80));
    grey.setColor(QPalette::Text, QColor(0x10, 0x10, 0x10));
    EXPECT_FALSE(CStationTableModel::Tint(RowTone::Fail, grey).isValid());
}

TEST_F(StationWindowTest, RefusalsAreToldAndChangeNothing) {
    StartTester({});
    AddThroughRow(m_sims[0]->Port(), QStringLiteral("Bay 1"));
    QString text;
    AnswerBox(QMessageBox::Ok, &text);
    QTest::mouseClick(m_window->StartButton(), Qt::LeftButton);
    EXPECT_EQ(text, QStringLiteral("Choose the update file first."));
    EXPECT_FALSE(m_window->Model().Running());

    // The same port twice.
    AnswerBox(QMessageBox::Ok, &text);
    AddThroughRow(m_sims[0]->Port(), QStringLiteral("again"));
    EXPECT_EQ(text.toStdString(), "The station has the port " + m_sims[0]->Port() + " already.");
    EXPECT_EQ(m_window->Table()->model()->rowCount(), 1);

    FillSettings();
    m_window->ExpectEdit()->setText(QStringLiteral("Update (received"));
    AnswerBox(QMessageBox::Ok, &text);
    QTest::mouseClick(m_window->StartButton(), Qt::LeftButton);
    EXPECT_TRUE(text.startsWith(QStringLiteral("The accepting line: 'Update (received'")))
        << text.toStdString();
    EXPECT_FALSE(m_window->Model().Running());
    EXPECT_EQ(Cell(0, CStationTableModel::State), QStringLiteral("idle"));
}

// The operator without a mouse: every field and button is reached with Tab or its mnemonic,
// buttons take Enter and Space, Delete removes the selected row.
TEST_F(StationWindowTest, KeyboardAlone) {
    StartTester({});
    StartTester({});
    m_window->activateWindow();
    QApplication::setActiveWindow(m_window.get());

    // Alt+T reaches the port choice, typing names the port, Tab to the label, Enter adds it.
    QTest::keyClick(m_window.get(), Qt::Key_T, Qt::AltModifier);
    ASSERT_TRUE(m_window->PortChoice()->hasFocus() ||
                m_window->PortChoice()->lineEdit()->hasFocus());
    QTest::keyClicks(QApplication::focusWidget(), QString::fromStdString(m_sims[0]->Port()));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), m_window->LabelEdit());
    QTest::keyClicks(m_window->LabelEdit(), QStringLiteral("Left"));
    QTest::keyClick(m_window->LabelEdit(), Qt::Key_Return);
    ASSERT_EQ(m_window->Table()->model()->rowCount(), 1);
    EXPECT_EQ(Cell(0, CStationTableModel::Label), QStringLiteral("Left"));

    // The second port through the Add button, pressed with Space.
    QTest::keyClick(m_window.get(), Qt::Key_T, Qt::AltModifier);
    QTest::keyClicks(QApplication::focusWidget(), QString::fromStdString(m_sims[1]->Port()));
    QTest::keyClick(m_window.get(), Qt::Key_E, Qt::AltModifier);
    QTest::keyClicks(m_window->LabelEdit(), QStringLiteral("Right"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), m_window->AddButton());
    QTest::keyClick(m_window->AddButton(), Qt::Key_Space);
    ASSERT_EQ(m_window->Table()->model()->rowCount(), 2);

    // The update file by its mnemonic; Tab walks the settings in order.
    QTest::keyClick(m_window.get(), Qt::Key_U, Qt::AltModifier);
    ASSERT_EQ(QApplication::focusWidget(), m_window->FileEdit());
    QTest::keyClicks(m_window->FileEdit(), QString::fromStdString(m_file));
    const std::vector<QWidget*> order = {m_window->ExpectEdit(),    m_window->RejectEdit(),
                                         m_window->UnitEdit(),      m_window->VerdictTimeout(),
                                         m_window->PromptTimeout(), m_window->LogDirEdit()};
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);  // the Browse... button
    for (QWidget* next : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), next) << next->metaObject()->className();
    }
    QTest::keyClick(m_window.get(), Qt::Key_P, Qt::AltModifier);  // Repeat off
    // A mnemonic clicks as if pressed and released a moment later.
    EXPECT_TRUE(WaitUntil([&] { return !m_window->RepeatBox()->isChecked(); }, 5000));

    // Start with Enter on the focused button.
    m_window->StartButton()->setFocus();
    QTest::keyClick(m_window->StartButton(), Qt::Key_Return);
    ASSERT_TRUE(m_window->Model().Running());
    ASSERT_TRUE(WaitUntil([&] { return !m_window->Model().Running(); }, kDeadlineMs));
    EXPECT_EQ(Cell(0, CStationTableModel::State), QStringLiteral("sent"));

    // Delete on the table removes the selected row.
    m_window->Table()->setFocus();
    m_window->Table()->selectRow(0);
    QTest::keyClick(m_window->Table(), Qt::Key_Delete);
    ASSERT_EQ(m_window->Table()->model()->rowCount(), 1);
    EXPECT_EQ(Cell(0, CStationTableModel::Label), QStringLiteral("Right"));
    EXPECT_EQ(&m_window->Terminal()->Shown(), &m_window->Model().Terminal(0));
}

// Closing while transfers run asks first; no keeps everything running, yes aborts the transfers
// and writes their records.
TEST_F(StationWindowTest, CloseWhileRunningAsksFirst) {
    m_file = m_dir.Write("big.txt", test::UpdateText(40000));
    StartTester({"--rate", "2048"});
    AddThroughRow(m_sims[0]->Port(), QStringLiteral("Bay 1"));
    FillSettings();
    QTest::mouseClick(m_window->StartButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return m_window->Model().Rows()[0].sending; }, kDeadlineMs));
    m_window->Table()->selectRow(0);
    EXPECT_TRUE(m_window->AbortButton()->isEnabled());

    QString text;
    AnswerBox(QMessageBox::No, &text);
    EXPECT_FALSE(m_window->close());
    EXPECT_TRUE(text.startsWith(QStringLiteral("Transfers are running."))) << text.toStdString();
    EXPECT_TRUE(m_window->isVisible());
    EXPECT_TRUE(m_window->Model().Rows()[0].sending);
    EXPECT_TRUE(Records().empty());

    AnswerBox(QMessageBox::Yes);
    EXPECT_TRUE(m_window->close());
    EXPECT_FALSE(m_window->Model().Running());
    const auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["outcome"], "aborted");
    EXPECT_EQ(records[0]["slot"], "Bay 1");
    EXPECT_LT(records[0]["bytes_sent"].get<uint64_t>(), 40000u);
    EXPECT_EQ(Cell(0, CStationTableModel::State), QStringLiteral("aborted"));
}

}  // namespace
}  // namespace korv
