// The terminal pane as a widget: its font and cell, the grid inside the border, what a paint
// draws, the caret bar, coalesced repaints and the right-button notice.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QTest>

#include "GuiTestSupport.h"
#include "app/TermWidget.h"
#include "terminal/ReportWidget.h"

namespace korv {
namespace {

using test::WaitUntil;

class TermWidgetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        term.resize(400, 200);
        term.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&term));
        model().Write("", true);
        QApplication::processEvents();
    }

    CReportWidget& model() { return term.Model(); }
    QPoint origin() const { return term.contentsRect().topLeft(); }
    // The widget as it is on the screen now.
    QImage shot() { return term.grab().toImage(); }
    // Pixel rectangle of cell (c, r) in widget coordinates.
    QRect cell(int c, int r) {
        const int cx = model().CellWidth();
        const int cy = model().CellHeight();
        return QRect(origin().x() + c * cx + 1, origin().y() + r * cy + 1, cx, cy);
    }
    static int inkIn(const QImage& img, const QRect& r, QRgb background) {
        int n = 0;
        for (int y = r.top(); y <= r.bottom(); ++y) {
            for (int x = r.left(); x <= r.right(); ++x) {
                n += img.pixel(x, y) != background ? 1 : 0;
            }
        }
        return n;
    }
    QRgb base() const { return term.palette().color(QPalette::Base).rgb(); }
    QRgb ink() const { return term.palette().color(QPalette::Text).rgb(); }

    CTermWidget term;
};

TEST_F(TermWidgetTest, FontIsMonospacedFifteenPixelsAndSetsTheCell) {
    const QFontInfo info(term.TermFont());
    // fonts-liberation stands in for Courier New on Linux; either is acceptable.
    EXPECT_TRUE(info.family() == QLatin1String("Courier New") ||
                info.family() == QLatin1String("Liberation Mono"))
        << info.family().toStdString();
    EXPECT_TRUE(info.fixedPitch());
    EXPECT_EQ(info.pixelSize(), 15);
    const QFontMetrics fm(term.TermFont());
    EXPECT_EQ(model().CellWidth(), fm.horizontalAdvance(QLatin1Char('0')));
    EXPECT_EQ(model().CellHeight(), fm.height());
    EXPECT_EQ(fm.horizontalAdvance(QLatin1Char('0')), fm.horizontalAdvance(QLatin1Char('W')));
}

TEST_F(TermWidgetTest, GridFillsTheInsideOfTheBorderAndResizeBlanksIt) {
    const QRect inside = term.contentsRect();
    EXPECT_GT(term.frameWidth(), 0);
    EXPECT_EQ(model().Cols(), (inside.width() - 2) / model().CellWidth());
    EXPECT_EQ(model().Rows(), (inside.height() - 2) / model().CellHeight());

    model().Write("hello\nworld", true);
    term.resize(300, 150);
    QApplication::processEvents();
    EXPECT_EQ(model().Cols(), (term.contentsRect().width() - 2) / model().CellWidth());
    EXPECT_EQ(model().CellAt(0, 0), ' ');
    EXPECT_EQ(model().CurRow(), 0u);
    EXPECT_EQ(model().CurCol(), 0u);
}

TEST_F(TermWidgetTest, PaintDrawsTheCellsTextAndLeavesBlankCellsClear) {
    model().Write("MW\n  X", true);
    const QImage img = shot();
    EXPECT_GT(inkIn(img, cell(0, 0), base()), 0);
    EXPECT_GT(inkIn(img, cell(1, 0), base()), 0);
    EXPECT_EQ(inkIn(img, cell(2, 0), base()), 0);
    EXPECT_EQ(inkIn(img, cell(0, 1), base()), 0);
    EXPECT_GT(inkIn(img, cell(2, 1), base()), 0);
    // Everything inside the border that no character covers stays the window colour.
    EXPECT_EQ(inkIn(img, cell(5, 3), base()), 0);
}

TEST_F(TermWidgetTest, OneTextCallPerRowThatMeetsThePaintArea) {
    model().Write("abc\ndef\nghi", true);
    const int before = term.TextCallCount();
    term.repaint();
    EXPECT_EQ(term.TextCallCount() - before, model().Rows());

    const int beforeCell = term.TextCallCount();
    term.repaint(cell(1, 1));
    EXPECT_EQ(term.TextCallCount() - beforeCell, 1);
}

TEST_F(TermWidgetTest, ImmediateModePaintsOncePerDrainNotPerByte) {
    term.SetPaintMode(CTermWidget::PaintMode::Immediate);
    const int before = term.PaintCount();
    for (int i = 0; i < 2000; ++i) {  // wraps and scrolls several times
        model().PutChar(static_cast<char>('a' + i % 26));
    }
    EXPECT_EQ(term.PaintCount(), before) << "a byte must not paint by itself";
    term.UpdateWindow();
    EXPECT_EQ(term.PaintCount(), before + 1);
    term.UpdateWindow();  // nothing pending any more
    EXPECT_EQ(term.PaintCount(), before + 1);
    EXPECT_GT(inkIn(shot(), cell(0, 0), base()), 0);
}

TEST_F(TermWidgetTest, DeferredModeLeavesThePaintToTheEventLoop) {
    term.SetPaintMode(CTermWidget::PaintMode::Deferred);
    const int before = term.PaintCount();
    for (int drain = 0; drain < 5; ++drain) {
        model().Write("0123456789", true);
    }
    EXPECT_EQ(term.PaintCount(), before);
    EXPECT_TRUE(WaitUntil([&] { return term.PaintCount() > before; }, 5000));
    QApplication::processEvents();
    EXPECT_LE(term.PaintCount(), before + 2) << "five drains merge into one paint";
}

TEST_F(TermWidgetTest, CaretIsAnUnderlineBarThatFollowsTheCursorWhileFocused) {
    term.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&term));
    term.setFocus();
    ASSERT_TRUE(WaitUntil([&] { return model().Caret() == CARET_SHOWN; }, 5000));
    const int cx = model().CellWidth();
    const int cy = model().CellHeight();
    EXPECT_EQ(term.CaretRect(), QRect(origin() + QPoint(1, cy - 1), QSize(cx, 2)));

    // The caret moves at the next paint, which only covers the changed cells; both the old and
    // the new place must end up right on the screen.
    model().Write("ab", true);
    const QRect at2(origin() + QPoint(2 * cx + 1, cy - 1), QSize(cx, 2));
    EXPECT_EQ(term.CaretRect(), at2);
    QImage img;
    ASSERT_TRUE(WaitUntil(
        [&] {
            img = shot();
            return inkIn(img, at2, base()) == at2.width() * at2.height();
        },
        5000));
    // No bar left under the first cell (the glyph itself stays above the two bottom rows).
    const QRect oldBar(origin() + QPoint(1, cy - 1), QSize(cx, 2));
    EXPECT_EQ(inkIn(img, oldBar, base()), 0);

    term.clearFocus();
    ASSERT_TRUE(WaitUntil([&] { return model().Caret() == CARET_NONE; }, 5000));
    EXPECT_TRUE(term.CaretRect().isNull());
    ASSERT_TRUE(WaitUntil([&] { return inkIn(shot(), at2, base()) == 0; }, 5000));
}

TEST_F(TermWidgetTest, RightButtonReleaseNotifiesWithTheGlobalPosition) {
    std::vector<QPoint> notices;
    term.SetRightButtonHandler([&](const QPoint& at) { notices.push_back(at); });
    QTest::mouseClick(&term, Qt::LeftButton, {}, QPoint(30, 30));
    EXPECT_TRUE(notices.empty());
    QTest::mouseClick(&term, Qt::RightButton, {}, QPoint(30, 40));
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0], term.mapToGlobal(QPoint(30, 40)));
}

}  // namespace
}  // namespace korv
