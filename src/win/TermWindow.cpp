#include "win/TermWindow.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <new>
#include <vector>

#include "view/Host.h"
#include "win/Dpi.h"
#include "win/resource.h"

namespace korv::win {

namespace {

// Pixel height of the terminal font at 96 dots per inch.
constexpr int kFontHeight = 15;

int CALLBACK NoteFace(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return 0;
}

// The first of the faces that the system has, or null.
const wchar_t* FirstInstalledFace(std::initializer_list<const wchar_t*> faces) {
    const HDC dc = GetDC(nullptr);
    const wchar_t* chosen = nullptr;
    for (const wchar_t* face : faces) {
        LOGFONTW lf{};
        lf.lfCharSet = DEFAULT_CHARSET;
        wcsncpy(lf.lfFaceName, face, LF_FACESIZE - 1);
        bool found = false;
        EnumFontFamiliesExW(dc, &lf, &NoteFace, reinterpret_cast<LPARAM>(&found), 0);
        if (found) {
            chosen = face;
            break;
        }
    }
    ReleaseDC(nullptr, dc);
    return chosen;
}

}  // namespace

void CTermWindow::RegisterWidgetClass(HINSTANCE instance) {
    WNDCLASSW existing{};
    if (GetClassInfoW(instance, KORV_TERM_CLASS, &existing)) {
        return;
    }
    WNDCLASSW wc{};
    // Repaint all on any size change; the windows of the class share one device context.
    wc.style = CS_VREDRAW | CS_HREDRAW | CS_CLASSDC;
    wc.lpfnWndProc = &CTermWindow::TermWidgetProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    wc.lpszClassName = KORV_TERM_CLASS;
    RegisterClassW(&wc);  // a failure shows as the form failing to create
}

CTermWindow* CTermWindow::FromHandle(HWND hwnd) {
    return reinterpret_cast<CTermWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

LRESULT CALLBACK CTermWindow::TermWidgetProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        // Not passed on: the window needs no default creation text.
        auto* term = new (std::nothrow) CTermWindow(hwnd);
        if (term != nullptr) {
            term->m_model.AttachWindow(term);
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(term));
        }
        return TRUE;
    }
    CTermWindow* term = FromHandle(hwnd);
    if (term == nullptr) {
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    if (msg == WM_NCDESTROY) {
        // The object outlives nothing but its window: whoever holds its model has let go of it
        // before the form is destroyed.
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        delete term;
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    return term->OnMessage(msg, wParam, lParam);
}

CTermWindow::~CTermWindow() {
    if (m_shown->Caret() != CARET_NONE) {
        m_shown->OnKillFocus();
    }
    m_shown->AttachWindow(nullptr);
    m_model.AttachWindow(nullptr);
    if (m_font != nullptr) {
        DeleteObject(m_font);
    }
}

LRESULT CTermWindow::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_CREATE:
            return OnCreate(wParam, lParam);
        case kWmDpiChangedBeforeParent:
            m_bRescaling = true;
            return 0;
        case kWmDpiChangedAfterParent:
            OnDpiChanged();
            return 0;
        case WM_SIZE:
            // A change of DPI resizes the window with the same cells drawn larger or smaller,
            // maybe before the font has followed: the screen stays (mid-transfer, it is the
            // tester's output). Any other size change builds a blank grid.
            // A model shown for its owner keeps its screen too: the owner feeds it whether it is
            // shown or not.
            if (m_bRescaling || m_shown != &m_model) {
                m_shown->Rescale(m_shown->CellWidth(), m_shown->CellHeight(), LOWORD(lParam),
                                 HIWORD(lParam));
            } else {
                m_model.OnSize(LOWORD(lParam), HIWORD(lParam));
            }
            return 0;
        case WM_PAINT:
            OnPaint();
            return 0;
        case WM_SYSCOLORCHANGE:
            // A contrast theme was turned on or off: the whole screen in the new colours.
            InvalidateAll();
            return 0;
        case WM_SETFOCUS:
            DefWindowProcW(m_hWnd, msg, wParam, lParam);
            m_shown->OnSetFocus();
            return 0;
        case WM_KILLFOCUS:
            DefWindowProcW(m_hWnd, msg, wParam, lParam);
            m_shown->OnKillFocus();
            return 0;
        case WM_GETTEXTLENGTH:
            return static_cast<LRESULT>(ScreenText().size());
        case WM_GETTEXT:
            return OnGetText(wParam, lParam);
        case WM_RBUTTONUP:
            // The parent opens its popup menu and reads the mouse position from this message.
            // Not passed on, so no WM_CONTEXTMENU follows.
            SendMessageW(GetParent(m_hWnd), WM_COMM_NOTIFY, COMM_NOTIFY_TAG, NOTIFY_CONTEXT_MENU);
            return 0;
        default:
            return DefWindowProcW(m_hWnd, msg, wParam, lParam);
    }
}

LRESULT CTermWindow::OnCreate(WPARAM wParam, LPARAM lParam) {
    const LRESULT result = DefWindowProcW(m_hWnd, WM_CREATE, wParam, lParam);
    SIZE cell{};
    if (CreateTermFont(&cell)) {
        m_cell = cell;
        m_model.SetCellSize(cell.cx, cell.cy);
    }
    return result;
}

bool CTermWindow::CreateTermFont(SIZE* cell) {
    LOGFONTW lf{};
    lf.lfHeight = ScaleForWindow(m_hWnd, kFontHeight);
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = ANSI_CHARSET;
    lf.lfOutPrecision = OUT_STRING_PRECIS;
    lf.lfClipPrecision = CLIP_STROKE_PRECIS;
    lf.lfQuality = PROOF_QUALITY;
    lf.lfPitchAndFamily = VARIABLE_PITCH | FF_DONTCARE;
    // The grid needs a fixed-pitch face. Where Courier New is missing (Wine, a trimmed system)
    // the font mapper would substitute a proportional one, whose glyphs run out of their cells.
    const wchar_t* face = FirstInstalledFace({L"Courier New", L"Liberation Mono"});
    if (face != nullptr) {
        wcscpy(lf.lfFaceName, face);
    } else {
        lf.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
    }
    const HFONT font = CreateFontIndirectW(&lf);
    if (font == nullptr) {
        return false;  // measuring and painting go on with the font the device context holds
    }
    if (m_font != nullptr) {
        DeleteObject(m_font);
    }
    m_font = font;

    const HDC dc = GetDC(m_hWnd);
    const HGDIOBJ old = SelectObject(dc, m_font);
    const bool measured = GetTextExtentPoint32W(dc, L"0", 1, cell) && cell->cx > 0 && cell->cy > 0;
    SelectObject(dc, old);
    ReleaseDC(m_hWnd, dc);
    return measured;
}

void CTermWindow::OnDpiChanged() {
    // The window now shows on a monitor with another DPI: the font follows it, and the same
    // screen is drawn with the new cells.
    SIZE cell{};
    if (CreateTermFont(&cell)) {
        m_cell = cell;
    } else {
        cell = SIZE{m_shown->CellWidth(), m_shown->CellHeight()};
    }
    RECT client{};
    GetClientRect(m_hWnd, &client);
    m_shown->Rescale(cell.cx, cell.cy, client.right - client.left, client.bottom - client.top);
    if (m_shown != &m_model) {
        // Shown again later, the window's own model has the new cells too.
        m_model.Rescale(cell.cx, cell.cy, client.right - client.left, client.bottom - client.top);
    }
    m_bRescaling = false;
}

void CTermWindow::OnPaint() {
    PAINTSTRUCT ps;
    const HDC dc = BeginPaint(m_hWnd, &ps);
    SetBkMode(dc, TRANSPARENT);
    // The system's window colours, as the class's background brush: a contrast theme may make
    // the window black, and text in the default black would vanish on it.
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    const HGDIOBJ old = m_font != nullptr ? SelectObject(dc, m_font) : nullptr;
    m_paintDC = dc;
    m_shown->OnPaint(
        PixelRect{ps.rcPaint.left, ps.rcPaint.top, ps.rcPaint.right, ps.rcPaint.bottom});
    m_paintDC = nullptr;
    if (old != nullptr) {
        SelectObject(dc, old);
    }
    EndPaint(m_hWnd, &ps);
}

std::wstring CTermWindow::ScreenText() const {
    std::wstring text;
    size_t kept = 0;  // length up to the end of the last row that is not blank
    const CReportWidget& model = *m_shown;
    for (int row = 0; row < model.Rows(); ++row) {
        if (row > 0) {
            text += L"\r\n";
        }
        int end = model.Cols();
        while (end > 0 && model.CellAt(end - 1, row) == ' ') {
            --end;
        }
        for (int col = 0; col < end; ++col) {
            text += static_cast<wchar_t>(static_cast<unsigned char>(model.CellAt(col, row)));
        }
        if (end > 0) {
            kept = text.size();
        }
    }
    text.resize(kept);
    return text;
}

LRESULT CTermWindow::OnGetText(WPARAM capacity, LPARAM buffer) const {
    auto* out = reinterpret_cast<wchar_t*>(buffer);
    if (out == nullptr || capacity == 0) {
        return 0;
    }
    const std::wstring text = ScreenText();
    const size_t n = std::min(text.size(), static_cast<size_t>(capacity) - 1);
    std::copy_n(text.data(), n, out);
    out[n] = L'\0';
    return static_cast<LRESULT>(n);
}

void CTermWindow::ShowModel(CReportWidget* model) {
    CReportWidget* next = model != nullptr ? model : &m_model;
    if (next == m_shown) {
        return;
    }
    const bool focused = GetFocus() == m_hWnd;
    if (focused) {
        m_shown->OnKillFocus();
    }
    m_shown->AttachWindow(nullptr);
    m_shown = next;
    m_shown->AttachWindow(this);
    RECT client{};
    GetClientRect(m_hWnd, &client);
    if (m_shown != &m_model) {
        m_shown->Rescale(m_shown->CellWidth(), m_shown->CellHeight(), client.right - client.left,
                         client.bottom - client.top);
    }
    if (focused) {
        m_shown->OnSetFocus();
    }
    InvalidateAll();
}

void CTermWindow::InvalidateAll() {
    ::InvalidateRect(m_hWnd, nullptr, TRUE);
}

void CTermWindow::InvalidateRect(const PixelRect& rect) {
    const RECT rc{rect.left, rect.top, rect.right, rect.bottom};
    ::InvalidateRect(m_hWnd, &rc, TRUE);
}

void CTermWindow::UpdateWindow() {
    ::UpdateWindow(m_hWnd);
}

void CTermWindow::TextOut(int x, int y, const char* text, int n) {
    if (m_paintDC == nullptr || n <= 0) {
        return;
    }
    // The model holds only printable ASCII and spaces: each byte is its own UTF-16 unit.
    wchar_t local[512];
    std::vector<wchar_t> heap;
    wchar_t* wide = local;
    if (n > static_cast<int>(std::size(local))) {
        heap.resize(static_cast<size_t>(n));
        wide = heap.data();
    }
    for (int i = 0; i < n; ++i) {
        wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
    }
    TextOutW(m_paintDC, x, y, wide, n);
}

void CTermWindow::CreateCaret(int width, int height) {
    ::CreateCaret(m_hWnd, nullptr, width, height);
}

void CTermWindow::SetCaretPos(int x, int y) {
    ::SetCaretPos(x, y);
}

void CTermWindow::ShowCaret() {
    ::ShowCaret(m_hWnd);
}

void CTermWindow::HideCaret() {
    ::HideCaret(m_hWnd);
}

void CTermWindow::DestroyCaret() {
    ::DestroyCaret();
}

}  // namespace korv::win
