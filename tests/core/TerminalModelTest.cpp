// The terminal screen model: cursor, wrap, scroll, ignored bytes, repaint requests, paint and
// caret.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "Fakes.h"
#include "terminal/ReportWidget.h"

namespace korv {
namespace {

using test::EchoLog;
using test::RecordingWindow;

struct Screen {
    CReportWidget term;
    RecordingWindow window;
    EchoLog echo;
    Screen(int cols, int rows) {
        term.AttachWindow(&window);
        term.SetEcho(&echo);
        term.SetCellSize(8, 15);
        term.OnSize(cols * 8 + 2, rows * 15 + 2);
        window.calls.clear();
        window.rects.clear();
    }
    ~Screen() { term.AttachWindow(nullptr); }
    void Feed(const std::string& bytes) {
        for (char c : bytes) {
            term.PutChar(c);
        }
    }
    std::string Row(int r) const {
        std::string s;
        for (int c = 0; c < term.Cols(); ++c) {
            s += term.CellAt(c, r);
        }
        return s;
    }
};

struct CursorCase {
    const char* name;
    std::string bytes;
    std::string row0;
    std::string row1;
    uint32_t col;
    uint32_t row;
};

class CursorTest : public ::testing::TestWithParam<CursorCase> {};

TEST_P(CursorTest, BytesLeaveGridAndCursor) {
    const CursorCase& c = GetParam();
    Screen s(6, 4);
    s.Feed(c.bytes);
    EXPECT_EQ(s.Row(0), c.row0);
    EXPECT_EQ(s.Row(1), c.row1);
    EXPECT_EQ(s.term.CurCol(), c.col);
    EXPECT_EQ(s.term.CurRow(), c.row);
}

INSTANTIATE_TEST_SUITE_P(
    Model, CursorTest,
    ::testing::Values(CursorCase{"BackspaceAtColumnZero", "\b", "      ", "      ", 0, 0},
                      CursorCase{"BackspaceDoesNotErase", "AB\bC", "AC    ", "      ", 2, 0},
                      CursorCase{"CarriageReturnStaysInRow", "X\rY", "Y     ", "      ", 1, 0},
                      CursorCase{"LineFeedReturnsToColumnZero", "AB\nC", "AB    ", "C     ", 1, 1},
                      CursorCase{"CrLfAdvancesOneRow", "A\r\nB", "A     ", "B     ", 1, 1},
                      CursorCase{"LfCrAdvancesOneRow", "A\n\rB", "A     ", "B     ", 1, 1},
                      CursorCase{"TwoLineFeedsAdvanceTwoRows", "\n\n", "      ", "      ", 0, 2},
                      CursorCase{"WrapAfterLastColumn", "ABCDEF", "ABCDEF", "      ", 0, 1},
                      CursorCase{"WrapThenContinue", "ABCDEFG", "ABCDEF", "G     ", 1, 1},
                      CursorCase{"IgnoredControlAndHighBytes",
                                 std::string("A\t\x07\x1b\x7f\x80\xff\x00\x0b\x0c"
                                             "B",
                                             11),
                                 "AB    ", "      ", 2, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TerminalModel, IgnoredBytesRequestNothingAndAreNotEchoed) {
    Screen s(6, 4);
    s.Feed(std::string("\t\x07\x1b\x7f\x80\xff", 6));
    EXPECT_TRUE(s.window.calls.empty());
    EXPECT_EQ(s.echo.text, "");
    s.Feed("A\b\r\n");
    EXPECT_EQ(s.echo.text, "A\b\r\n");
}

TEST(TerminalModel, ScrollAtBottomLosesTopRowAndBlanksLast) {
    Screen s(4, 3);
    s.Feed("one\ntwo\nsix\n");
    EXPECT_EQ(s.Row(0), "two ");
    EXPECT_EQ(s.Row(1), "six ");
    EXPECT_EQ(s.Row(2), "    ");
    EXPECT_EQ(s.term.CurRow(), 2u);
    EXPECT_EQ(s.term.CurCol(), 0u);
    // The scroll invalidates the whole grid but not the margins.
    ASSERT_FALSE(s.window.rects.empty());
    const PixelRect& r = s.window.rects.back();
    EXPECT_EQ(r.left, 1);
    EXPECT_EQ(r.top, 1);
    EXPECT_EQ(r.right, 4 * 8 + 1);
    EXPECT_EQ(r.bottom, 3 * 15 + 1);
}

TEST(TerminalModel, LastCellOfLastRowScrolls) {
    Screen s(3, 2);
    s.Feed("abcdef");
    EXPECT_EQ(s.Row(0), "def");
    EXPECT_EQ(s.Row(1), "   ");
    EXPECT_EQ(s.term.CurRow(), 1u);
    EXPECT_EQ(s.term.CurCol(), 0u);
}

TEST(TerminalModel, OneRowGridBlanksOnEveryLineAdvance) {
    Screen s(5, 1);
    s.Feed("abc\n");
    EXPECT_EQ(s.Row(0), "     ");
    s.Feed("xy");
    EXPECT_EQ(s.Row(0), "xy   ");
}

TEST(TerminalModel, PrintableInvalidatesExactlyItsCell) {
    Screen s(10, 5);
    s.Feed("\n\nab");
    ASSERT_EQ(s.window.rects.size(), 2u);
    const PixelRect& r = s.window.rects[1];
    EXPECT_EQ(r.left, 1 * 8 + 1);
    EXPECT_EQ(r.top, 2 * 15 + 1);
    EXPECT_EQ(r.right, 2 * 8 + 1);
    EXPECT_EQ(r.bottom, 3 * 15 + 1);
}

TEST(TerminalModel, ResizeComputesCountsBlanksAndHomes) {
    CReportWidget term;
    RecordingWindow window;
    term.AttachWindow(&window);
    term.SetCellSize(8, 15);
    term.OnSize(500, 302);
    EXPECT_EQ(term.Cols(), 62);
    EXPECT_EQ(term.Rows(), 20);
    term.Write("hello\nworld", false);
    window.calls.clear();
    term.OnSize(500, 302);
    EXPECT_EQ(term.CellAt(0, 0), ' ');
    EXPECT_EQ(term.CurCol(), 0u);
    EXPECT_EQ(term.CurRow(), 0u);
    EXPECT_EQ(window.calls, std::vector<std::string>{"all"});
    term.AttachWindow(nullptr);
}

// A change of DPI draws the same screen with other cells: nothing of it is lost, whatever
// sizes the window passes through on the way, and the caret is made at the new cell width.
TEST(TerminalModel, RescaleKeepsTheScreenAndRemakesTheCaret) {
    Screen s(10, 4);
    s.Feed("one\ntwo\nthree\nfour");
    s.term.OnSetFocus();
    s.window.calls.clear();
    // Larger pixels with the old cells first (the font follows later), then the new cells.
    s.term.Rescale(8, 15, 15 * 8 + 2, 6 * 15 + 2);
    s.term.Rescale(12, 22, 10 * 12 + 2, 4 * 22 + 2);
    EXPECT_EQ(s.term.Cols(), 10);
    EXPECT_EQ(s.term.Rows(), 4);
    EXPECT_EQ(s.Row(0), "one       ");
    EXPECT_EQ(s.Row(3), "four      ");
    EXPECT_EQ(s.term.CurCol(), 4u);
    EXPECT_EQ(s.term.CurRow(), 3u);
    EXPECT_EQ(s.window.calls.back(), "show");
    EXPECT_NE(std::find(s.window.calls.begin(), s.window.calls.end(), "create 12x2"),
              s.window.calls.end());
    EXPECT_EQ(s.term.Caret(), CARET_SHOWN);

    // A grid that comes out smaller keeps the cursor's row in view, as a scroll would.
    s.term.Rescale(12, 22, 6 * 12 + 2, 2 * 22 + 2);
    EXPECT_EQ(s.Row(0), "three ");
    EXPECT_EQ(s.Row(1), "four  ");
    EXPECT_EQ(s.term.CurRow(), 1u);
    s.Feed("!");
    EXPECT_EQ(s.Row(1), "four! ");
    // Without focus there is no caret to make.
    s.term.OnKillFocus();
    s.window.calls.clear();
    s.term.Rescale(8, 15, 6 * 8 + 2, 2 * 15 + 2);
    EXPECT_EQ(s.window.calls, std::vector<std::string>{"all"});
    EXPECT_EQ(s.Row(1), "four! ");
}

TEST(TerminalModel, DegenerateSizesNeverGoNegativeAndStoreNothing) {
    for (auto [w, h] : {std::pair{0, 0}, {1, 1}, {9, 500}, {500, 16}, {-10, -10}}) {
        CReportWidget term;
        RecordingWindow window;
        term.AttachWindow(&window);
        term.SetCellSize(8, 15);
        term.OnSize(w, h);
        EXPECT_GE(term.Cols(), 0);
        EXPECT_GE(term.Rows(), 0);
        term.Write("abc\ndef\b\r", true);
        term.OnPaint(PixelRect{0, 0, 1000, 1000});
        EXPECT_TRUE(window.texts.empty());
        term.AttachWindow(nullptr);
    }
    CReportWidget noGrid;  // before the first resize
    noGrid.Write("xyz\n", true);
    EXPECT_EQ(noGrid.CurCol(), 0u);
    EXPECT_EQ(noGrid.CurRow(), 0u);
}

TEST(TerminalModel, WriteStopsAtNulAndPaintsOnlyWhenAsked) {
    Screen s(10, 3);
    s.term.Write("ab\0cd", false);
    EXPECT_EQ(s.Row(0), "ab        ");
    EXPECT_EQ(s.window.updates, 0);
    s.term.Write("", true);
    EXPECT_EQ(s.window.updates, 1);
}

TEST(TerminalModel, InvalidateCellsAtOrBelowZeroRequestsNothing) {
    Screen s(10, 3);
    s.term.InvalidateCells(-1, 0, 1, 1);  // right edge at 1: requested
    s.term.InvalidateCells(-1, 0, 0, 1);  // right edge 0 - 8 + 1 < 0
    s.term.InvalidateCells(0, -2, 1, 1);  // bottom edge below 0
    EXPECT_EQ(s.window.rects.size(), 1u);
}

TEST(TerminalPaint, DrawsOnlyCellsMeetingTheRectOneCallPerRow) {
    Screen s(10, 4);
    s.Feed("0123456789abcdefghij");
    s.term.OnPaint(PixelRect{8 * 2 + 1, 15 + 1, 8 * 5 + 1, 15 * 2 + 1});
    ASSERT_EQ(s.window.texts.size(), 1u);
    EXPECT_EQ(s.window.texts[0].first, std::make_pair(17, 16));
    EXPECT_EQ(s.window.texts[0].second, "cde");

    s.window.texts.clear();
    s.term.OnPaint(PixelRect{0, 0, 2, 2});  // the margin belongs to cell 0, 0's paint
    ASSERT_EQ(s.window.texts.size(), 1u);
    EXPECT_EQ(s.window.texts[0].second, "0");

    s.window.texts.clear();
    s.term.OnPaint(PixelRect{8 * 10 + 1, 0, 8 * 10 + 40, 100});  // right margin only
    EXPECT_TRUE(s.window.texts.empty());
}

TEST(TerminalCaret, FollowsFocusAndPaints) {
    Screen s(10, 4);
    s.term.OnPaint(PixelRect{0, 0, 10, 10});  // no caret: paint leaves it alone
    EXPECT_EQ(s.window.calls, std::vector<std::string>{});
    s.Feed("ab\nc");
    s.window.calls.clear();
    s.term.OnSetFocus();
    EXPECT_EQ(s.window.calls, (std::vector<std::string>{"create 8x2", "pos 9,29", "show"}));
    EXPECT_EQ(s.term.Caret(), CARET_SHOWN);
    s.window.calls.clear();
    s.term.OnSetFocus();  // again: placed, not created
    EXPECT_EQ(s.window.calls, (std::vector<std::string>{"pos 9,29"}));
    s.window.calls.clear();
    s.term.OnPaint(PixelRect{200, 200, 300, 300});
    EXPECT_EQ(s.window.calls, (std::vector<std::string>{"hide", "pos 9,29", "show"}));
    s.window.calls.clear();
    s.term.OnKillFocus();
    EXPECT_EQ(s.window.calls, (std::vector<std::string>{"hide", "destroy"}));
    s.window.calls.clear();
    s.term.OnKillFocus();
    EXPECT_TRUE(s.window.calls.empty());
}

}  // namespace
}  // namespace korv
