// Screen model inputs that the drain fuzzer found mishandled (their inputs are kept in
// fuzz/corpus/drain_fuzz/fault-*): client areas at the bottom of the int range, and scrolling a
// grid that has rows but no columns.

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "Fakes.h"
#include "terminal/ReportWidget.h"

namespace korv {
namespace {

using test::EchoLog;
using test::RecordingWindow;

struct AreaCase {
    const char* name;
    int width;
    int height;
};

class ExtremeClientArea : public ::testing::TestWithParam<AreaCase> {};

// Width - 2 (the border) must not wrap around: an area this far below zero has no cells, like
// any other negative area. Large cells keep the grid that a wrapped count would give small.
TEST_P(ExtremeClientArea, HasNoCells) {
    CReportWidget term;
    RecordingWindow window;
    EchoLog echo;
    term.AttachWindow(&window);
    term.SetEcho(&echo);
    term.SetCellSize(1 << 20, 1 << 20);
    term.OnSize(GetParam().width, GetParam().height);
    EXPECT_EQ(term.Cols(), 0);
    EXPECT_EQ(term.Rows(), 0);
    term.Write("ok\r\n", true);
    EXPECT_EQ(echo.text, "ok\r\n");
    EXPECT_EQ(term.CellAt(0, 0), ' ');
    // A real size afterwards gives a working grid again.
    term.SetCellSize(8, 15);
    term.OnSize(8 * 4 + 2, 15 * 2 + 2);
    term.Write("abc", true);
    EXPECT_EQ(term.Cols(), 4);
    EXPECT_EQ(term.Rows(), 2);
    EXPECT_EQ(term.CellAt(2, 0), 'c');
    term.AttachWindow(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Fuzz, ExtremeClientArea,
                         ::testing::Values(AreaCase{"MinWidth", INT_MIN, 100},
                                           AreaCase{"MinPlusOneWidth", INT_MIN + 1, 100},
                                           AreaCase{"MinHeight", 100, INT_MIN},
                                           AreaCase{"MinBoth", INT_MIN, INT_MIN + 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// A client area narrower than one cell but taller than two keeps rows without columns; line feeds
// still move the cursor down and scroll, and every repaint they ask for covers some pixels.
TEST(ScreenWithoutColumns, LineFeedsAskForNoEmptyRepaint) {
    CReportWidget term;
    RecordingWindow window;
    EchoLog echo;
    term.AttachWindow(&window);
    term.SetEcho(&echo);
    term.SetCellSize(8, 15);
    term.OnSize(2, 2 * 15 + 2);
    ASSERT_EQ(term.Cols(), 0);
    ASSERT_EQ(term.Rows(), 2);
    window.rects.clear();
    term.Write("\n\n\nxy\n", true);
    EXPECT_EQ(echo.text, "\n\n\nxy\n");
    for (const PixelRect& r : window.rects) {
        EXPECT_LT(r.left, r.right);
        EXPECT_LT(r.top, r.bottom);
    }
    term.AttachWindow(nullptr);
}

}  // namespace
}  // namespace korv

namespace korv {
namespace {

using test::EchoLog;

// The largest client area with one-pixel cells would ask for exabytes; the grid is capped and
// the pane keeps working.
TEST(ScreenOfBogusSize, IsCappedAndStillWorks) {
    CReportWidget term;
    EchoLog echo;
    term.SetEcho(&echo);
    term.SetCellSize(1, 1);
    term.OnSize(INT_MAX, INT_MAX);
    EXPECT_GT(term.Cols(), 0);
    EXPECT_LE(term.Cols(), 8192);
    EXPECT_LE(term.Rows(), 8192);
    term.Write("still here\n", true);
    EXPECT_EQ(echo.text, "still here\n");
    EXPECT_EQ(term.CellAt(0, 0), 's');
}

}  // namespace
}  // namespace korv
