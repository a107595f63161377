// The terminal pane's screen model: a fixed grid of character cells written at a cursor, with
// wrap at the right edge and scroll at the bottom, plus the paint and caret logic that a window
// runs on top of it.

#include "terminal/ReportWidget.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>

namespace korv {

namespace {
// More cells than any screen shows, even at one pixel a cell; keeps a bogus size from asking
// for gigabytes.
constexpr int kMaxCellsPerSide = 8192;
// Larger than any font; with the cap above every cell's pixels stay far inside the int range.
constexpr int kMaxCellPixels = 65535;
}  // namespace

CReportWidget::~CReportWidget() {
    OnKillFocus();
}

void CReportWidget::SetCellSize(int cx, int cy) {
    m_cxChar = std::clamp(cx, 1, kMaxCellPixels);
    m_cyChar = std::clamp(cy, 1, kMaxCellPixels);
}

char CReportWidget::CellAt(int col, int row) const {
    if (!m_pCells || col < 0 || row < 0 || col >= m_nCols || row >= m_nRows) {
        return ' ';
    }
    return m_pCells[static_cast<size_t>(row) * static_cast<size_t>(m_nCols) +
                    static_cast<size_t>(col)];
}

void CReportWidget::Clear() {
    if (m_pCells) {
        std::memset(m_pCells.get(), ' ',
                    static_cast<size_t>(m_nRows) * static_cast<size_t>(m_nCols));
    }
    m_nCurCol = 0;
    m_nCurRow = 0;
    if (m_pWindow) {
        m_pWindow->InvalidateAll();
    }
}

void CReportWidget::PutChar(char ch) {
    const auto byte = static_cast<unsigned char>(ch);
    // Printable bytes first: they are nearly all of what a tester sends.
    if (byte >= 0x20 && byte <= 0x7E) {
        // Without a grid there is no cell to hold the byte; the cursor stays put. (The grid
        // exists whenever both counts are above 0.)
        if (m_nCols > 0 && m_nRows > 0) {
            m_pCells[static_cast<size_t>(m_nCurRow) * static_cast<size_t>(m_nCols) + m_nCurCol] =
                ch;
            if (m_pWindow) {
                // The cell lies inside the grid, and capped counts and cell sizes keep its
                // rectangle well inside the int range.
                const int left = static_cast<int>(m_nCurCol) * m_cxChar + 1;
                const int top = static_cast<int>(m_nCurRow) * m_cyChar + 1;
                m_pWindow->InvalidateRect(PixelRect{left, top, left + m_cxChar, top + m_cyChar});
            }
            if (++m_nCurCol >= static_cast<uint32_t>(m_nCols)) {
                m_nCurCol = 0;
                NewLine();
            }
        }
    } else if (byte == 8) {
        if (m_nCurCol > 0) {
            --m_nCurCol;
        }
    } else if (byte == 13 || byte == 10) {
        m_nCurCol = 0;
        if (byte == 10) {
            NewLine();
        }
    } else {
        return;
    }
    if (m_pEcho) {
        m_pEcho->Echo(ch);
    }
}

void CReportWidget::Write(const char* text, bool bUpdate) {
    for (const char* p = text; *p != '\0'; ++p) {
        PutChar(*p);
    }
    if (bUpdate && m_pWindow) {
        m_pWindow->UpdateWindow();
    }
}

void CReportWidget::NewLine() {
    if (!m_pCells || m_nRows <= 0) {
        return;
    }
    if (++m_nCurRow < static_cast<uint32_t>(m_nRows)) {
        return;
    }
    const size_t cols = static_cast<size_t>(m_nCols);
    const size_t rows = static_cast<size_t>(m_nRows);
    std::memmove(m_pCells.get(), m_pCells.get() + cols, cols * (rows - 1));
    m_nCurRow = static_cast<uint32_t>(m_nRows - 1);
    std::memset(m_pCells.get() + cols * (rows - 1), ' ', cols);
    InvalidateCells(0, 0, m_nCols, m_nRows);
}

void CReportWidget::InvalidateCells(int col, int row, int ncols, int nrows) {
    // 64-bit so that no cell rectangle, however far off the grid, overflows.
    const int64_t left = int64_t{col} * m_cxChar + 1;
    const int64_t top = int64_t{row} * m_cyChar + 1;
    const int64_t right = (int64_t{col} + ncols) * m_cxChar + 1;
    const int64_t bottom = (int64_t{row} + nrows) * m_cyChar + 1;
    // An empty rectangle (a grid of rows without columns scrolling) has nothing to repaint.
    if (right <= 0 || bottom <= 0 || right <= left || bottom <= top || !m_pWindow) {
        return;
    }
    const auto clamp = [](int64_t v) {
        return static_cast<int>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
    };
    m_pWindow->InvalidateRect(PixelRect{clamp(left), clamp(top), clamp(right), clamp(bottom)});
}

int32_t CReportWidget::ColsFor(int width) const {
    // The counts never go negative, whatever the client area.
    // The one-pixel margin on each side; an area too small for it has no cells (and width - 2
    // must not wrap for areas near the bottom of the int range).
    return std::min(width > 2 ? (width - 2) / m_cxChar : 0, kMaxCellsPerSide);
}

int32_t CReportWidget::RowsFor(int height) const {
    return std::min(height > 2 ? (height - 2) / m_cyChar : 0, kMaxCellsPerSide);
}

void CReportWidget::Rescale(int cx, int cy, int width, int height) {
    // The caret has the old cell's width; it is made again (only a focused window has one).
    const bool caret = m_nCaretState != CARET_NONE;
    if (caret) {
        OnKillFocus();
    }
    SetCellSize(cx, cy);
    const int32_t cols = ColsFor(width);
    const int32_t rows = RowsFor(height);
    if (m_pCells && (cols != m_nCols || rows != m_nRows)) {
        std::unique_ptr<char[]> cells(
            new (std::nothrow) char[std::max<size_t>(static_cast<size_t>(rows) * cols, 1)]);
        if (cells) {
            std::memset(cells.get(), ' ', static_cast<size_t>(rows) * static_cast<size_t>(cols));
            // Rows scroll off the top as they would have, should the cursor's row not fit.
            const int32_t shift = std::max<int32_t>(static_cast<int32_t>(m_nCurRow) - rows + 1, 0);
            const int32_t keepRows = std::min(m_nRows - shift, rows);
            const int32_t keepCols = std::min(m_nCols, cols);
            for (int32_t r = 0; r < keepRows; ++r) {
                std::memcpy(
                    &cells[static_cast<size_t>(r) * static_cast<size_t>(cols)],
                    &m_pCells[static_cast<size_t>(r + shift) * static_cast<size_t>(m_nCols)],
                    static_cast<size_t>(keepCols));
            }
            m_pCells = std::move(cells);
            m_nCols = cols;
            m_nRows = rows;
            m_nCurRow = rows > 0 ? m_nCurRow - static_cast<uint32_t>(shift) : 0;
            m_nCurCol = cols > 0 ? std::min(m_nCurCol, static_cast<uint32_t>(cols - 1)) : 0;
        } else {
            OnSize(width, height);
        }
    } else if (!m_pCells) {
        OnSize(width, height);
    }
    if (m_pWindow) {
        m_pWindow->InvalidateAll();
    }
    if (caret) {
        OnSetFocus();
    }
}

void CReportWidget::OnSize(int width, int height) {
    m_pCells.reset();
    m_nCols = ColsFor(width);
    m_nRows = RowsFor(height);
    const size_t cells = static_cast<size_t>(m_nRows) * static_cast<size_t>(m_nCols);
    m_pCells.reset(new (std::nothrow) char[cells > 0 ? cells : 1]);
    if (!m_pCells) {
        // A grid too large to allocate (no real window gets there) leaves the pane without
        // cells rather than ending the program.
        m_nCols = 0;
        m_nRows = 0;
    }
    Clear();
}

void CReportWidget::OnPaint(const PixelRect& rc) {
    if (!m_pCells || !m_pWindow) {
        return;
    }
    if (m_nCaretState == CARET_SHOWN) {
        m_pWindow->HideCaret();
        m_nCaretState = CARET_HIDDEN;
    }
    const int cx = m_cxChar;
    const int cy = m_cyChar;
    const int firstRow = std::max((rc.top - 1) / cy, 0);
    const int rowCount = std::min((rc.bottom + cy - 2) / cy - firstRow, m_nRows - firstRow);
    const int firstCol = std::max((rc.left - 1) / cx, 0);
    const int colCount = std::min((rc.right + cx - 2) / cx - firstCol, m_nCols - firstCol);
    if (rowCount > 0 && colCount > 0) {
        for (int r = firstRow; r < firstRow + rowCount; ++r) {
            m_pWindow->TextOut(firstCol * cx + 1, r * cy + 1,
                               &m_pCells[static_cast<size_t>(r) * static_cast<size_t>(m_nCols) +
                                         static_cast<size_t>(firstCol)],
                               colCount);
        }
    }
    UpdateCaret();
}

void CReportWidget::UpdateCaret() {
    if (m_nCaretState == CARET_NONE || !m_pWindow) {
        return;
    }
    m_pWindow->SetCaretPos(m_cxChar * static_cast<int>(m_nCurCol) + 1,
                           (static_cast<int>(m_nCurRow) + 1) * m_cyChar - 1);
    if (m_nCaretState == CARET_HIDDEN) {
        m_pWindow->ShowCaret();
        m_nCaretState = CARET_SHOWN;
    }
}

void CReportWidget::OnSetFocus() {
    if (!m_pWindow) {
        return;
    }
    if (m_nCaretState == CARET_NONE) {
        m_pWindow->CreateCaret(m_cxChar, 2);
        m_nCaretState = CARET_HIDDEN;
    }
    UpdateCaret();
}

void CReportWidget::OnKillFocus() {
    if (m_nCaretState == CARET_NONE || !m_pWindow) {
        return;
    }
    if (m_nCaretState == CARET_SHOWN) {
        m_pWindow->HideCaret();
    }
    m_pWindow->DestroyCaret();
    m_nCaretState = CARET_NONE;
}

}  // namespace korv
