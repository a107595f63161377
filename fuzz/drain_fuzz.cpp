// The receive drain with both prompt matchers and the screen model, driven by a sequence of
// operations: ring contents drained (directly or through the notification), resizes to any
// client area, cell size changes, clears, writes, paints of any rectangle and focus changes.
// After every operation the screen is compared with a plain model of the grid (its cells after
// every operation that writes them), the cursor, the caret and the echoed bytes; the window
// checks every call the model makes on it.
//
// Input, one operation after another (little-endian fields):
//   0 ring:   flags:u8 (bit 0: through OnCommNotify) tail:u16 len:u16 bytes[len]
//   1 size:   width:Size height:Size
//   2 cell:   cx:i16 cy:i16
//   3 clear
//   4 write:  flags:u8 (bit 0: paint now) len:u8 bytes[len]   (the model stops at a NUL)
//   5 paint:  left:Coord top:Coord right:Coord bottom:Coord
//   6 focus   7 kill focus
// Size is sel:u8 then i8 / u16 % 4096 / i32 / an edge value, by sel % 4; Coord is sel:u8 then i16
// (even sel) or i32 % 2^30 (odd sel).

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Fakes.h"
#include "FuzzInput.h"
#include "ports/PortList.h"
#include "terminal/ReportWidget.h"
#include "view/Host.h"
#include "view/ProgView.h"

namespace korv::fuzz {
namespace {

// The largest grid the fuzzer builds, in cells (an 80 x 25 screen fits): the whole grid is compared
// after every operation, so a bigger grid would mostly slow the search down.
constexpr int64_t kMaxCells = 1 << 11;
// Paint rectangles are parts of a window: their edges stay well inside the int range.
constexpr int32_t kCoordRange = 1 << 30;

bool Printable(unsigned char b) {
    return b >= 0x20 && b <= 0x7E;
}

// What the screen should hold: a grid of cols x rows cells written at a cursor, wrapping at the
// right edge and scrolling at the bottom; and what it should echo: every printable byte,
// backspace, carriage return and line feed, grid or no grid.
struct ScreenModel {
    int64_t cols = 0;
    int64_t rows = 0;
    int64_t cx = 1;
    int64_t cy = 1;
    int64_t col = 0;
    int64_t row = 0;
    std::vector<char> cells;
    std::string echo;  // bytes the screen should have echoed since the last check

    bool HasCells() const { return cols > 0 && rows > 0; }
    // Cells along one side: the area less its one-pixel margins, never below 0 and never above
    // the screen's cap of 8192.
    static int64_t Count(int64_t extent, int64_t cell) {
        const int64_t n = (extent - 2) / cell;
        return std::clamp<int64_t>(n, 0, 8192);
    }
    void SetCellSize(int64_t w, int64_t h) {
        cx = std::clamp<int64_t>(w, 1, 65535);
        cy = std::clamp<int64_t>(h, 1, 65535);
    }
    void Clear() {
        cells.assign(static_cast<size_t>(cols * rows), ' ');
        col = 0;
        row = 0;
    }
    void Size(int64_t width, int64_t height) {
        cols = Count(width, cx);
        rows = Count(height, cy);
        Clear();
    }
    void NewLine() {
        if (rows <= 0) {
            return;
        }
        if (++row < rows) {
            return;
        }
        cells.erase(cells.begin(), cells.begin() + cols);
        cells.insert(cells.end(), static_cast<size_t>(cols), ' ');
        row = rows - 1;
    }
    void Put(char ch) {
        const auto b = static_cast<unsigned char>(ch);
        if (b == 8) {
            if (col > 0) {
                --col;
            }
        } else if (b == 13 || b == 10) {
            col = 0;
            if (b == 10) {
                NewLine();
            }
        } else if (Printable(b)) {
            // Without a cell to hold it the byte still goes to the echo: nothing is lost.
            if (HasCells()) {
                cells[static_cast<size_t>(row * cols + col)] = ch;
                if (++col >= cols) {
                    col = 0;
                    NewLine();
                }
            }
        } else {
            return;
        }
        echo += ch;
    }
};

struct CheckingEcho : ITermEcho {
    std::string text;
    void Echo(char ch) override { text += ch; }
};

// A window that holds the model to the window protocol: repaint requests are non-empty, text is
// drawn only while painting, only inside the grid, only with the grid's own bytes and never under
// a visible caret, and the caret is created, shown, hidden and destroyed in order.
struct CheckingWindow : ITermWindow {
    const CReportWidget* term = nullptr;
    bool painting = false;
    bool caretCreated = false;
    bool caretShown = false;
    // Per row drawn during the current paint: first column and column count (-1: not drawn).
    std::vector<std::pair<int64_t, int64_t>> drawn;

    void InvalidateAll() override {}
    void InvalidateRect(const PixelRect& r) override {
        KORV_FUZZ_CHECK(r.left < r.right);
        KORV_FUZZ_CHECK(r.top < r.bottom);
    }
    void UpdateWindow() override {}
    void TextOut(int x, int y, const char* text, int n) override {
        KORV_FUZZ_CHECK(painting);
        KORV_FUZZ_CHECK(!caretShown);
        const int64_t cx = term->CellWidth();
        const int64_t cy = term->CellHeight();
        const int64_t cols = term->Cols();
        const int64_t rows = term->Rows();
        KORV_FUZZ_CHECK(n >= 1);
        KORV_FUZZ_CHECK(x >= 1 && (x - 1) % cx == 0);
        KORV_FUZZ_CHECK(y >= 1 && (y - 1) % cy == 0);
        const int64_t col = (x - 1) / cx;
        const int64_t row = (y - 1) / cy;
        KORV_FUZZ_CHECK(col < cols && row < rows);
        KORV_FUZZ_CHECK(n <= cols - col);
        // One call per row.
        KORV_FUZZ_CHECK(drawn[static_cast<size_t>(row)].second < 0);
        drawn[static_cast<size_t>(row)] = {col, n};
        for (int i = 0; i < n; ++i) {
            KORV_FUZZ_CHECK(Printable(static_cast<unsigned char>(text[i])));
            KORV_FUZZ_CHECK(text[i] ==
                            term->CellAt(static_cast<int>(col + i), static_cast<int>(row)));
        }
    }
    void CreateCaret(int width, int height) override {
        KORV_FUZZ_CHECK(!caretCreated);
        KORV_FUZZ_CHECK(width >= 1 && height >= 1);
        caretCreated = true;
        caretShown = false;
    }
    void SetCaretPos(int, int) override { KORV_FUZZ_CHECK(caretCreated); }
    void ShowCaret() override {
        KORV_FUZZ_CHECK(caretCreated && !caretShown);
        caretShown = true;
    }
    void HideCaret() override {
        KORV_FUZZ_CHECK(caretCreated && caretShown);
        caretShown = false;
    }
    void DestroyCaret() override {
        KORV_FUZZ_CHECK(caretCreated);
        caretCreated = false;
        caretShown = false;
    }
};

int32_t ReadSize(FuzzInput& in) {
    static constexpr int32_t kEdges[] = {INT_MIN, INT_MIN + 1, INT_MIN + 2, INT_MIN + 3, -3,
                                         -2,      -1,          0,           1,           2,
                                         3,       4,           INT_MAX,     INT_MAX - 1};
    switch (in.U8() % 4) {
        case 0:
            return in.I8();
        case 1:
            return in.U16() % 4096;
        case 2:
            return in.I32();
        default:
            return kEdges[in.U8() % (sizeof(kEdges) / sizeof(kEdges[0]))];
    }
}

int32_t ReadCoord(FuzzInput& in) {
    if (in.U8() % 2 == 0) {
        return in.I16();
    }
    return in.I32() % kCoordRange;
}

// The grid that a client area of width x height gives with cells of cx x cy, if the fuzzer keeps
// it: small enough to compare after every step, and with every cell's pixel position an int, as
// it always is for a real window.
bool GridAcceptable(int64_t cols, int64_t rows, int64_t cx, int64_t cy) {
    return cols * rows <= kMaxCells && cols * cx < INT_MAX && rows * cy < INT_MAX;
}

// Compares the screen with the model; the cells only when asked (after the operations that write
// them, and at the end), as that is by far the costliest part.
void CheckScreen(const CReportWidget& term, const CheckingWindow& window, ScreenModel& model,
                 CheckingEcho& echo, bool cells) {
    KORV_FUZZ_CHECK(term.Cols() >= 0 && term.Rows() >= 0);
    KORV_FUZZ_CHECK(term.Cols() == model.cols && term.Rows() == model.rows);
    KORV_FUZZ_CHECK(term.CellWidth() == model.cx && term.CellHeight() == model.cy);
    if (model.HasCells()) {
        KORV_FUZZ_CHECK(term.CurCol() < static_cast<uint32_t>(term.Cols()));
        KORV_FUZZ_CHECK(term.CurRow() < static_cast<uint32_t>(term.Rows()));
        KORV_FUZZ_CHECK(term.CurCol() == model.col && term.CurRow() == model.row);
        for (int64_t r = 0; cells && r < model.rows; ++r) {
            for (int64_t c = 0; c < model.cols; ++c) {
                const char ch = term.CellAt(static_cast<int>(c), static_cast<int>(r));
                KORV_FUZZ_CHECK(Printable(static_cast<unsigned char>(ch)));
                KORV_FUZZ_CHECK(ch == model.cells[static_cast<size_t>(r * model.cols + c)]);
            }
        }
    }
    // Outside the grid every cell reads as a space.
    KORV_FUZZ_CHECK(term.CellAt(-1, 0) == ' ' && term.CellAt(0, -1) == ' ');
    KORV_FUZZ_CHECK(term.CellAt(term.Cols(), 0) == ' ' && term.CellAt(0, term.Rows()) == ' ');
    // The caret the model reports is the caret the window has.
    switch (term.Caret()) {
        case CARET_NONE:
            KORV_FUZZ_CHECK(!window.caretCreated);
            break;
        case CARET_HIDDEN:
            KORV_FUZZ_CHECK(window.caretCreated && !window.caretShown);
            break;
        case CARET_SHOWN:
            KORV_FUZZ_CHECK(window.caretCreated && window.caretShown);
            break;
        default:
            KORV_FUZZ_CHECK(false);
    }
    KORV_FUZZ_CHECK(echo.text == model.echo);
    echo.text.clear();
    model.echo.clear();
}

// After a paint every cell that meets the rectangle was drawn.
void CheckPaintCoverage(const CheckingWindow& window, const ScreenModel& model,
                        const PixelRect& rc) {
    if (!model.HasCells()) {
        return;
    }
    // Cell (c, r) covers pixels [c*cx+1, (c+1)*cx+1) x [r*cy+1, (r+1)*cy+1).
    auto first = [](int64_t lo, int64_t cell) {
        // First cell index whose far edge is past lo.
        const int64_t k = (lo - 1) >= 0 ? (lo - 1) / cell : 0;
        return k;
    };
    auto end = [](int64_t hi, int64_t cell, int64_t count) {
        // One past the last cell whose near edge is before hi.
        if (hi <= 1) {
            return int64_t{0};
        }
        const int64_t k = (hi - 1 + cell - 1) / cell;
        return k < count ? k : count;
    };
    const int64_t c0 = first(rc.left, model.cx);
    const int64_t c1 = end(rc.right, model.cx, model.cols);
    const int64_t r0 = first(rc.top, model.cy);
    const int64_t r1 = end(rc.bottom, model.cy, model.rows);
    if (c0 >= c1 || r0 >= r1) {
        return;
    }
    for (int64_t r = r0; r < r1; ++r) {
        const auto& d = window.drawn[static_cast<size_t>(r)];
        KORV_FUZZ_CHECK(d.second > 0);
        KORV_FUZZ_CHECK(d.first <= c0 && d.first + d.second >= c1);
    }
}

void Run(FuzzInput& in) {
    static test::FakePortControl control;
    control.openError = ENOENT;
    control.opened.clear();
    test::FakePort::control = &control;

    CheckingWindow window;
    CheckingEcho echo;
    test::FakeHost host;
    CReportWidget& term = host.term;
    window.term = &term;
    term.AttachWindow(&window);
    term.SetEcho(&echo);
    test::FakeSink sink;
    test::FakeProfile profile;
    CProgDoc doc;
    // No port opens, so the terminal is attached without any worker thread.
    CProgView view(host, sink, profile, doc, &test::FakePort::Make, "");
    CPortList ports;
    ports.AddPort("COM1");
    view.OnInitialUpdate(ports);

    // The model starts from whatever the initial update left on the screen.
    ScreenModel model;
    model.cols = term.Cols();
    model.rows = term.Rows();
    model.cx = term.CellWidth();
    model.cy = term.CellHeight();
    model.col = term.CurCol();
    model.row = term.CurRow();
    model.cells.resize(static_cast<size_t>(model.cols * model.rows));
    for (int64_t r = 0; r < model.rows; ++r) {
        for (int64_t c = 0; c < model.cols; ++c) {
            model.cells[static_cast<size_t>(r * model.cols + c)] =
                term.CellAt(static_cast<int>(c), static_cast<int>(r));
        }
    }
    echo.text.clear();
    CheckScreen(term, window, model, echo, true);

    std::vector<uint8_t> ring(RX_RING_SIZE);
    while (!in.Empty()) {
        const int op = in.U8() % 8;
        switch (op) {
            case 0: {
                const bool notify = (in.U8() & 1) != 0;
                const int tail = in.U16() % RX_RING_SIZE;
                const size_t want = in.U16() % RX_RING_SIZE;  // at most 999 bytes wait
                const std::string_view bytes = in.Bytes(want);
                // Bytes outside the waiting run must never be taken: they would show as 'Z'.
                std::fill(ring.begin(), ring.end(), static_cast<uint8_t>('Z'));
                for (size_t i = 0; i < bytes.size(); ++i) {
                    ring[(static_cast<size_t>(tail) + i) % RX_RING_SIZE] =
                        static_cast<uint8_t>(bytes[i]);
                    model.Put(bytes[i]);
                }
                const int head = static_cast<int>((tail + bytes.size()) % RX_RING_SIZE);
                view.SetRingForTest(head, tail, ring.data());
                if (notify) {
                    view.OnCommNotify(COMM_NOTIFY_TAG, NOTIFY_RX_DATA);
                } else {
                    view.ProcessReceived();
                }
                KORV_FUZZ_CHECK(view.RxTail() == head && view.RxHead() == head);
                break;
            }
            case 1: {
                const int32_t width = ReadSize(in);
                const int32_t height = ReadSize(in);
                const int64_t cols = ScreenModel::Count(width, model.cx);
                const int64_t rows = ScreenModel::Count(height, model.cy);
                if (!GridAcceptable(cols, rows, model.cx, model.cy)) {
                    break;
                }
                term.OnSize(width, height);
                model.Size(width, height);
                break;
            }
            case 2: {
                const int16_t cx = in.I16();
                const int16_t cy = in.I16();
                ScreenModel next = model;
                next.SetCellSize(cx, cy);
                if (!GridAcceptable(model.cols, model.rows, next.cx, next.cy)) {
                    break;
                }
                term.SetCellSize(cx, cy);
                model.SetCellSize(cx, cy);
                break;
            }
            case 3:
                term.Clear();
                model.Clear();
                break;
            case 4: {
                const bool update = (in.U8() & 1) != 0;
                std::string text(in.Bytes(in.U8()));
                text = text.substr(0, text.find('\0'));
                term.Write(text.c_str(), update);
                for (char ch : text) {
                    model.Put(ch);
                }
                break;
            }
            case 5: {
                PixelRect rc;
                rc.left = ReadCoord(in);
                rc.top = ReadCoord(in);
                rc.right = ReadCoord(in);
                rc.bottom = ReadCoord(in);
                window.drawn.assign(static_cast<size_t>(model.HasCells() ? model.rows : 0),
                                    {0, -1});
                window.painting = true;
                term.OnPaint(rc);
                window.painting = false;
                CheckPaintCoverage(window, model, rc);
                // The caret is back once the glyphs are drawn.
                KORV_FUZZ_CHECK(window.caretShown == window.caretCreated);
                break;
            }
            case 6:
                term.OnSetFocus();
                KORV_FUZZ_CHECK(window.caretCreated && window.caretShown);
                break;
            default:
                term.OnKillFocus();
                KORV_FUZZ_CHECK(!window.caretCreated);
                break;
        }
        const bool wroteCells = op == 0 || op == 1 || op == 3 || op == 4;
        CheckScreen(term, window, model, echo, wroteCells);
    }
    CheckScreen(term, window, model, echo, true);
}

}  // namespace
}  // namespace korv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    korv::fuzz::FuzzInput in(data, size);
    korv::fuzz::Run(in);
    return 0;
}
