#pragma once
// CReportWidget: the terminal pane's character-cell screen model, its paint logic and its caret.
// The model is pure; everything it needs of a real window goes through ITermWindow, so a front
// end (Qt, console) or a test supplies the window.

#include <cstdint>
#include <memory>

namespace korv {

struct PixelRect {
    int left = 0;
    int top = 0;
    int right = 0;   // exclusive
    int bottom = 0;  // exclusive
};

// What the model asks of its window. Called on the GUI thread only.
class ITermWindow {
  public:
    virtual ~ITermWindow() = default;
    // Whole client area, background erased.
    virtual void InvalidateAll() = 0;
    virtual void InvalidateRect(const PixelRect& rect) = 0;
    // Paint whatever is marked, now.
    virtual void UpdateWindow() = 0;
    // Called during OnPaint: draw n bytes at pixel (x, y), transparently.
    virtual void TextOut(int x, int y, const char* text, int n) = 0;
    virtual void CreateCaret(int width, int height) = 0;
    virtual void SetCaretPos(int x, int y) = 0;
    virtual void ShowCaret() = 0;
    virtual void HideCaret() = 0;
    virtual void DestroyCaret() = 0;
};

// A window that shows nothing: for a model whose output goes elsewhere (the console's stdout)
// or nowhere (benchmarks).
class NullTermWindow : public ITermWindow {
  public:
    void InvalidateAll() override {}
    void InvalidateRect(const PixelRect&) override {}
    void UpdateWindow() override {}
    void TextOut(int, int, const char*, int) override {}
    void CreateCaret(int, int) override {}
    void SetCaretPos(int, int) override {}
    void ShowCaret() override {}
    void HideCaret() override {}
    void DestroyCaret() override {}
};

// Receives, in order, every byte the model acts on (printable bytes, backspace, carriage return,
// line feed): the console front end's stdout is this stream.
class ITermEcho {
  public:
    virtual ~ITermEcho() = default;
    virtual void Echo(char ch) = 0;
};

enum CaretState : uint8_t { CARET_NONE = 0, CARET_HIDDEN = 1, CARET_SHOWN = 2 };

class CReportWidget {
  public:
    CReportWidget() = default;
    ~CReportWidget();
    CReportWidget(const CReportWidget&) = delete;
    CReportWidget& operator=(const CReportWidget&) = delete;

    // The window the model paints on; null while there is none (no repaint requests then).
    // A window destroyed before the model detaches itself first.
    void AttachWindow(ITermWindow* window) { m_pWindow = window; }
    void SetEcho(ITermEcho* echo) { m_pEcho = echo; }
    // The window measured its font: one cell is cx by cy pixels.
    void SetCellSize(int cx, int cy);

    void Clear();
    void PutChar(char ch);
    // Bytes up to the first NUL; then paints at once when bUpdate.
    void Write(const char* text, bool bUpdate);
    // Rebuilds a blank grid for a client area of width by height pixels.
    void OnSize(int width, int height);
    // The same screen drawn with cells of cx by cy pixels in a client area of width by height
    // (the window moved to a monitor with another DPI, which scales the font and the window
    // alike): the content and the cursor stay. Should the grid come out of another size, what
    // fits is kept, the cursor's row in view. A caret is made again at the new cell width.
    void Rescale(int cx, int cy, int width, int height);
    // Draws the rows and columns that meet the paint rectangle, one TextOut per row, and keeps
    // the caret off the glyphs while drawing.
    void OnPaint(const PixelRect& paintRect);
    void OnSetFocus();
    void OnKillFocus();

    void InvalidateCells(int col, int row, int ncols, int nrows);
    void NewLine();

    int Rows() const { return m_nRows; }
    int Cols() const { return m_nCols; }
    uint32_t CurCol() const { return m_nCurCol; }
    uint32_t CurRow() const { return m_nCurRow; }
    int CellWidth() const { return m_cxChar; }
    int CellHeight() const { return m_cyChar; }
    CaretState Caret() const { return m_nCaretState; }
    // The cell's byte; a space outside the grid.
    char CellAt(int col, int row) const;

  private:
    void UpdateCaret();
    // The grid's size in cells for a client area of width by height pixels.
    int32_t ColsFor(int width) const;
    int32_t RowsFor(int height) const;

    ITermWindow* m_pWindow = nullptr;
    ITermEcho* m_pEcho = nullptr;
    int32_t m_nRows = 0;
    int32_t m_nCols = 0;
    uint32_t m_nCurCol = 0;
    uint32_t m_nCurRow = 0;
    std::unique_ptr<char[]> m_pCells;
    int32_t m_cxChar = 1;
    int32_t m_cyChar = 1;
    CaretState m_nCaretState = CARET_NONE;
};

}  // namespace korv
