// The core's headers come before <windows.h>, whose macros share some of their constant names.
#include "station/StationModel.h"

#include "win/StationList.h"

#include <algorithm>

#include "win/Dpi.h"
#include "win/WinText.h"

namespace korv::win {

namespace {

struct Column {
    const wchar_t* heading;
    int width;  // dialog units
    int format;
};

// Wide enough for "sent, waiting for the next tester" in State and for "999.9/999.9 KiB, 0:00
// left" in Progress at the dialog's font; the last outcome takes what is left and shows its
// whole text to a screen reader.
constexpr Column kColumns[kColumnCount] = {
    {L"Label", 44, LVCFMT_LEFT},         {L"Port", 56, LVCFMT_LEFT},
    {L"State", 84, LVCFMT_LEFT},         {L"Unit", 36, LVCFMT_LEFT},
    {L"Progress", 100, LVCFMT_LEFT},     {L"Sent", 30, LVCFMT_RIGHT},
    {L"Accepted", 44, LVCFMT_RIGHT},     {L"Failed", 36, LVCFMT_RIGHT},
    {L"Last outcome", 106, LVCFMT_LEFT},
};

// Tints of passed and failed rows, with text dark enough to read on them.
constexpr COLORREF kPassBack = RGB(0xDC, 0xF2, 0xDC);
constexpr COLORREF kPassText = RGB(0x00, 0x55, 0x00);
constexpr COLORREF kFailBack = RGB(0xF8, 0xDC, 0xDC);
constexpr COLORREF kFailText = RGB(0x99, 0x00, 0x00);
// Room between the cell's edge and the bar, in pixels at 96 dots per inch.
constexpr int kBarMargin = 2;

struct Colours {
    COLORREF text;
    COLORREF back;
};

bool IsSelected(HWND list, int item) {
    return (ListView_GetItemState(list, item, LVIS_SELECTED) & LVIS_SELECTED) != 0;
}

}  // namespace

std::string StationCellText(const StationRow& row, int column) {
    switch (column) {
        case kColLabel:
            return row.label;
        case kColPort:
            return row.product.empty() ? row.name : row.name + " (" + row.product + ")";
        case kColState:
            return row.state;
        case kColUnit:
            return row.unit;
        case kColProgress:
            return row.leftText.empty() ? row.bytesText : row.bytesText + ", " + row.leftText;
        case kColSent:
            return std::to_string(row.sent);
        case kColAccepted:
            return std::to_string(row.accepted);
        case kColFailed:
            return std::to_string(row.failed);
        case kColLast:
            return row.last;
        default:
            return {};
    }
}

void CStationList::Attach(HWND list) {
    m_hWnd = list;
    ListView_SetExtendedListViewStyle(list,
                                      LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER | LVS_EX_LABELTIP);
    for (int i = 0; i < kColumnCount; ++i) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_FMT | LVCF_SUBITEM;
        column.fmt = kColumns[i].format;
        column.pszText = const_cast<wchar_t*>(kColumns[i].heading);
        column.iSubItem = i;
        SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(&column));
    }
    ReadContrast();
}

void CStationList::SizeColumns(HWND dialog) {
    for (int i = 0; i < kColumnCount; ++i) {
        RECT rc{0, 0, kColumns[i].width, 0};
        MapDialogRect(dialog, &rc);
        ListView_SetColumnWidth(m_hWnd, i, rc.right);
    }
}

void CStationList::ShowRows(int selected) {
    ListView_SetItemCountEx(m_hWnd, static_cast<int>(m_model.RowCount()), LVSICF_NOSCROLL);
    if (selected != Selected()) {
        ListView_SetItemState(m_hWnd, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
        if (selected >= 0) {
            ListView_SetItemState(m_hWnd, selected, LVIS_SELECTED | LVIS_FOCUSED,
                                  LVIS_SELECTED | LVIS_FOCUSED);
            ListView_EnsureVisible(m_hWnd, selected, FALSE);
        }
    }
    Redraw();
}

void CStationList::Redraw() {
    InvalidateRect(m_hWnd, nullptr, FALSE);
}

int CStationList::Selected() const {
    return ListView_GetNextItem(m_hWnd, -1, LVNI_SELECTED);
}

void CStationList::ReadContrast() {
    HIGHCONTRASTW hc{};
    hc.cbSize = sizeof hc;
    m_highContrast = SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof hc, &hc, 0) &&
                     (hc.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

LRESULT CStationList::OnGetDispInfo(NMLVDISPINFOW* info) const {
    LVITEMW& item = info->item;
    if ((item.mask & LVIF_TEXT) == 0 || item.pszText == nullptr || item.cchTextMax <= 0 ||
        item.iItem < 0 || static_cast<size_t>(item.iItem) >= m_model.RowCount()) {
        return 0;
    }
    const std::wstring text =
        Widen(StationCellText(m_model.Row(static_cast<size_t>(item.iItem)), item.iSubItem));
    const size_t n = std::min(text.size(), static_cast<size_t>(item.cchTextMax) - 1);
    std::copy_n(text.data(), n, item.pszText);
    item.pszText[n] = L'\0';
    return 0;
}

LRESULT CStationList::OnCustomDraw(NMLVCUSTOMDRAW* draw) const {
    switch (draw->nmcd.dwDrawStage) {
        case CDDS_PREPAINT:
            return CDRF_NOTIFYITEMDRAW;
        case CDDS_ITEMPREPAINT:
            return CDRF_NOTIFYSUBITEMDRAW;
        case CDDS_ITEMPREPAINT | CDDS_SUBITEM:
            break;
        default:
            return CDRF_DODEFAULT;
    }
    const int item = static_cast<int>(draw->nmcd.dwItemSpec);
    if (item < 0 || static_cast<size_t>(item) >= m_model.RowCount()) {
        return CDRF_DODEFAULT;
    }
    const StationRow& row = m_model.Row(static_cast<size_t>(item));
    if (draw->iSubItem == kColProgress) {
        DrawProgress(draw->nmcd.hdc, item, row);
        return CDRF_SKIPDEFAULT;
    }
    // A selected row keeps the list's own selection colours; so does every row under a
    // high-contrast theme, where the state text alone tells passed from failed.
    if (m_highContrast || row.tone == RowTone::Neutral || IsSelected(m_hWnd, item)) {
        draw->clrText = CLR_DEFAULT;
        draw->clrTextBk = CLR_DEFAULT;
    } else {
        const bool pass = row.tone == RowTone::Pass;
        draw->clrText = pass ? kPassText : kFailText;
        draw->clrTextBk = pass ? kPassBack : kFailBack;
    }
    return CDRF_NEWFONT;
}

void CStationList::DrawProgress(HDC dc, int item, const StationRow& row) const {
    RECT cell{};
    ListView_GetSubItemRect(m_hWnd, item, kColProgress, LVIR_BOUNDS, &cell);
    // The cell as the rest of its row, and the bar's filled part in the selection's colours (the
    // other way round on a selected row, whose cells are in them already).
    const bool selected = IsSelected(m_hWnd, item);
    const bool focused = GetFocus() == m_hWnd;
    Colours plain{GetSysColor(COLOR_WINDOWTEXT), GetSysColor(COLOR_WINDOW)};
    Colours bar{GetSysColor(COLOR_HIGHLIGHTTEXT), GetSysColor(COLOR_HIGHLIGHT)};
    if (selected && focused) {
        std::swap(plain, bar);
    } else if (selected) {
        plain = {GetSysColor(COLOR_BTNTEXT), GetSysColor(COLOR_BTNFACE)};
    } else if (!m_highContrast && row.tone != RowTone::Neutral) {
        const bool pass = row.tone == RowTone::Pass;
        plain = {pass ? kPassText : kFailText, pass ? kPassBack : kFailBack};
    }

    const HBRUSH back = CreateSolidBrush(plain.back);
    FillRect(dc, &cell, back);
    DeleteObject(back);
    if (row.total == 0) {
        return;
    }
    const int margin = ScaleForWindow(m_hWnd, kBarMargin);
    RECT frame{cell.left + margin, cell.top + margin / 2, cell.right - margin,
               cell.bottom - margin / 2};
    if (frame.right - frame.left < 4 || frame.bottom - frame.top < 4) {
        return;
    }
    const HBRUSH edge = CreateSolidBrush(plain.text);
    FrameRect(dc, &frame, edge);
    DeleteObject(edge);
    RECT inner{frame.left + 1, frame.top + 1, frame.right - 1, frame.bottom - 1};
    RECT filled = inner;
    filled.right =
        inner.left + MulDiv(inner.right - inner.left, std::clamp(row.percent, 0, 100), 100);
    const HBRUSH fill = CreateSolidBrush(bar.back);
    FillRect(dc, &filled, fill);
    DeleteObject(fill);

    // The same text over both parts, each part clipped to its own colour.
    const std::wstring text = Widen(StationCellText(row, kColProgress));
    const UINT format = DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS;
    SetBkMode(dc, TRANSPARENT);
    RECT rest = inner;
    rest.left = filled.right;
    for (const auto& [part, colour] : {std::pair{filled, bar.text}, std::pair{rest, plain.text}}) {
        if (part.right <= part.left) {
            continue;
        }
        const int saved = SaveDC(dc);
        IntersectClipRect(dc, part.left, part.top, part.right, part.bottom);
        SetTextColor(dc, colour);
        RECT where = inner;
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &where, format);
        RestoreDC(dc, saved);
    }
}

}  // namespace korv::win
