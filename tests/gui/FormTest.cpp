// The form on its own: layout in dialog units, the filter texts, the port choice's
// refresh, and the real modal dialogs it runs for the controller.

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QFileDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "GuiTestSupport.h"
#include "TempDir.h"
#include "app/DialogUnits.h"
#include "app/ProgForm.h"
#include "app/TermWidget.h"
#include "view/TransferProgress.h"

namespace korv {
namespace {

using test::WaitUntil;

// Runs check on the first modal widget of type T that shows up, from inside its event loop.
template <typename T>
void WhenModal(std::function<void(T*)> check) {
    auto* timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, check] {
        QWidget* w = QApplication::activeModalWidget();
        if (w == nullptr) {
            w = QApplication::activePopupWidget();
        }
        if (auto* t = qobject_cast<T*>(w); t != nullptr && t->isVisible()) {
            timer->stop();
            timer->deleteLater();
            check(t);
        }
    });
    timer->start();
}

TEST(FormLayoutTest, ControlsSitWhereTheFormPlacesThemInDialogUnits) {
    CProgForm form;
    const DialogUnits du(form.font());
    EXPECT_EQ(form.size(), du.Size(372, 214));
    EXPECT_EQ(form.Terminal()->geometry(), du.Rect(0, 21, 371, 193));
    EXPECT_EQ(form.ActionButton()->geometry(), du.Rect(120, 3, 136, 14));
    EXPECT_EQ(form.PortCombo()->x(), du.X(47));
    EXPECT_EQ(form.PortCombo()->width(), du.X(64));
    EXPECT_EQ(form.PortLabel()->text(), QStringLiteral("COMM Port:"));
    EXPECT_TRUE(form.PortLabel()->alignment() & Qt::AlignRight);
    EXPECT_LE(form.PortLabel()->geometry().right(), form.PortCombo()->x());
    // The progress display lies right of the button and stays hidden until a transfer runs.
    EXPECT_GT(form.Progress()->x(), form.ActionButton()->geometry().right());
    EXPECT_LE(form.ProgressText()->geometry().right(), form.width());
    EXPECT_TRUE(form.Progress()->isHidden());
    EXPECT_TRUE(form.ProgressText()->isHidden());
    // The longest texts of an update smaller than 1000 KiB fit their place.
    const QFontMetrics metrics(form.ProgressText()->font());
    for (const std::string& text :
         {FormatTransferProgress(1023900, 1023900, 3599),
          FormatTransferOutcome({TransferOutcome::SENT, 1023900, 1023900, 3599}),
          FormatTransferOutcome({TransferOutcome::ABORTED, 1023900, 1023900, 0}),
          FormatTransferOutcome({TransferOutcome::FAILED, 1023900, 1023900, 0})}) {
        EXPECT_LE(metrics.horizontalAdvance(QString::fromStdString(text)),
                  form.ProgressText()->width())
            << text;
    }
}

TEST(FormLayoutTest, DropDownRebuildsTheChoiceKeepingTheChosenAndCommandLinePorts) {
    CProgForm form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    std::vector<std::string> system = {"ttyS0", "ttyUSB1"};
    form.SetPortSource([&] { return system; });
    form.SetPortOverride("/dev/pts/77");
    form.ComboAddString("ttyS0");
    form.ComboAddString("ttyUSB0");  // unplugged since
    form.ComboAddString("/dev/pts/77");
    form.ComboSetCurSel(1);
    QSignalSpy chosen(form.PortCombo(), &QComboBox::activated);

    form.PortCombo()->showPopup();
    QStringList items;
    for (int i = 0; i < form.PortCombo()->count(); ++i) {
        items << form.PortCombo()->itemText(i);
    }
    EXPECT_EQ(items, (QStringList{"ttyS0", "ttyUSB1", "/dev/pts/77", "ttyUSB0"}));
    EXPECT_EQ(form.ComboGetText(), "ttyUSB0");
    form.PortCombo()->hidePopup();

    system = {"ttyACM0"};
    form.ComboSetCurSel(2);
    form.PortCombo()->showPopup();
    EXPECT_EQ(form.PortCombo()->count(), 2);
    EXPECT_EQ(form.ComboGetText(), "/dev/pts/77");
    form.PortCombo()->hidePopup();
    EXPECT_EQ(chosen.count(), 0) << "a refresh is not the operator choosing a port";
}

// A network port's name is longer than the box: the open list shows it whole, and so does the
// box's tool tip.
TEST(FormLayoutTest, LongNetworkPortNamesAreShownWhole) {
    CProgForm form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const std::string name = "rfc2217://tester-lab-17.example.net:20017";
    std::vector<std::string> system = {"ttyS0", name};
    form.SetPortSource([&] { return system; });
    form.ComboAddString(name);
    form.ComboSetCurSel(0);
    EXPECT_EQ(form.PortCombo()->toolTip().toStdString(), name);
    form.PortCombo()->showPopup();
    const QFontMetrics metrics(form.PortCombo()->view()->font());
    EXPECT_GE(form.PortCombo()->view()->width(),
              metrics.horizontalAdvance(QString::fromStdString(name)));
    form.PortCombo()->hidePopup();
}

struct FilterCase {
    const char* filter;
    QStringList expected;
    friend void PrintTo(const FilterCase& c, std::ostream* os) { *os << '"' << c.filter << '"'; }
};

class NameFilterTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(NameFilterTest, ConvertsPairsToDialogFilters) {
    EXPECT_EQ(CProgForm::NameFiltersFromFilter(GetParam().filter), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Filters, NameFilterTest,
    ::testing::Values(FilterCase{"Software update files (*.txt)|*.txt|All Files (*.*)|*.*||",
                                 {"Software update files (*.txt)", "All Files (*)"}},
                      FilterCase{"Pictures|*.png;*.jpg||", {"Pictures (*.png *.jpg)"}},
                      FilterCase{"Text (*.txt)|*.txt", {"Text (*.txt)"}}, FilterCase{"", {}},
                      FilterCase{"||", {}}));

TEST(FormDialogTest, FileDialogOffersTheRequestAndReturnsTheAbsolutePath) {
    test::TempDir dir;
    dir.Write("update.txt", "* update\n");
    CProgForm form;
    FileDialogRequest request;
    request.title = "Select software update file...";
    request.filter = "Software update files (*.txt)|*.txt|All Files (*.*)|*.*||";
    request.defaultExt = "txt";
    request.initialDir = dir.path();
    request.fileName = "update.txt";

    QString title;
    QStringList filters;
    QString suffix;
    QString folder;
    QStringList selected;
    WhenModal<QFileDialog>([&](QFileDialog* d) {
        title = d->windowTitle();
        filters = d->nameFilters();
        suffix = d->defaultSuffix();
        folder = d->directory().absolutePath();
        selected = d->selectedFiles();
        static_cast<QDialog*>(d)->accept();  // QFileDialog hides it
    });
    ASSERT_TRUE(form.RunFileDialog(request));
    EXPECT_EQ(title, QStringLiteral("Select software update file..."));
    EXPECT_EQ(filters, (QStringList{"Software update files (*.txt)", "All Files (*)"}));
    EXPECT_EQ(suffix, QStringLiteral("txt"));
    EXPECT_EQ(folder.toStdString(), dir.path());
    ASSERT_EQ(selected.size(), 1);
    EXPECT_TRUE(selected[0].endsWith(QStringLiteral("/update.txt")));
    EXPECT_EQ(request.fileName, dir.path() + "/update.txt");

    WhenModal<QFileDialog>([](QFileDialog* d) { d->reject(); });
    request.fileName = "kept";
    EXPECT_FALSE(form.RunFileDialog(request));
    EXPECT_EQ(request.fileName, "kept");
}

TEST(FormDialogTest, MessageBoxIsAnExclamationBoxCaptionedWithTheProgramName) {
    CProgForm form;
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    WhenModal<QMessageBox>([&](QMessageBox* box) {
        caption = box->windowTitle();
        text = box->text();
        icon = box->icon();
        box->accept();
    });
    form.MessageBox("Failed to open COM7 : No such file or directory\r\n");
    EXPECT_EQ(caption, QStringLiteral("KORVALIN"));
    EXPECT_EQ(text, QStringLiteral("Failed to open COM7 : No such file or directory"));
    EXPECT_EQ(icon, QMessageBox::Warning);
}

TEST(FormDialogTest, PopupOffersTheOneCommandAtTheMousePosition) {
    CProgForm form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QStringList texts;
    QPoint at;
    WhenModal<QMenu>([&](QMenu* menu) {
        for (QAction* a : menu->actions()) {
            texts << a->text();
        }
        at = menu->pos();
        menu->setActiveAction(menu->actions().first());
        QTest::keyClick(menu, Qt::Key_Return);
    });
    // The terminal records where the right button went up; the menu opens there.
    const QPoint click(40, 60);
    QTest::mouseClick(form.Terminal(), Qt::RightButton, {}, click);  // no controller: no menu
    EXPECT_TRUE(form.TrackPopupMenu());
    EXPECT_EQ(texts, QStringList{QStringLiteral("Send update file now")});
    EXPECT_EQ(at, form.Terminal()->mapToGlobal(click));

    WhenModal<QMenu>([](QMenu* menu) { menu->close(); });
    EXPECT_FALSE(form.TrackPopupMenu());
}

}  // namespace
}  // namespace korv
