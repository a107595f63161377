// The core's headers come before <windows.h>, whose macros share some of their constant names.
#include "ports/PortList.h"
#include "view/ProgView.h"
#include "view/Strings.h"

#include "win/WinForm.h"

#include <commctrl.h>

#include <algorithm>

#include "win/Dialogs.h"
#include "win/TermWindow.h"
#include "win/WinText.h"
#include "win/resource.h"

namespace korv::win {

namespace {

constexpr UINT_PTR kProgressTimer = 1;
constexpr UINT kProgressPeriodMs = 200;

}  // namespace

CWinForm::~CWinForm() {
    while (m_nWaitCursors > 0) {
        EndWaitCursor();
    }
    if (m_hWnd != nullptr) {
        SetWindowLongPtrW(m_hWnd, DWLP_USER, 0);
    }
}

bool CWinForm::Create(HINSTANCE instance, HWND frame) {
    m_hInstance = instance;
    m_hFrame = frame;
    m_hWnd = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_PROG_FORM), frame, &FormProc,
                                reinterpret_cast<LPARAM>(this));
    if (m_hWnd == nullptr) {
        return false;
    }
    m_hCombo = GetDlgItem(m_hWnd, IDC_COMMPORT);
    m_hLabel = GetDlgItem(m_hWnd, IDC_COMMPORT_LABEL);
    m_hButton = GetDlgItem(m_hWnd, IDC_MISC_BUTTON);
    const HWND term = GetDlgItem(m_hWnd, IDC_TERMINAL);
    m_term = term != nullptr ? CTermWindow::FromHandle(term) : nullptr;
    if (m_term == nullptr) {
        DestroyWindow(m_hWnd);
        m_hWnd = nullptr;
        return false;
    }
    FitLabelText();
    CreateProgressControls();
    ShowWindow(m_hWnd, SW_SHOW);
    return true;
}

SIZE CWinForm::Size() const {
    RECT rc{};
    GetWindowRect(m_hWnd, &rc);
    return SIZE{rc.right - rc.left, rc.bottom - rc.top};
}

void CWinForm::FitLabelText() {
    // A dialog font that runs wider than the one the form was drawn for (a substitute for
    // "MS Sans Serif") would wrap the right-aligned label and hide its second word: the label
    // may then reach into the margin on its left, keeping its right edge by the port choice.
    RECT rc{};
    GetWindowRect(m_hLabel, &rc);
    MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&rc), 2);
    const std::wstring text = Widen(WindowText(m_hLabel));
    const HDC dc = GetDC(m_hLabel);
    const HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(m_hWnd, WM_GETFONT, 0, 0)));
    SIZE extent{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    SelectObject(dc, old);
    ReleaseDC(m_hLabel, dc);
    const LONG need = extent.cx + 1;
    if (need > rc.right - rc.left) {
        const LONG left = std::max<LONG>(0, rc.right - need);
        SetWindowPos(m_hLabel, nullptr, left, rc.top, rc.right - left, rc.bottom - rc.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void CWinForm::CreateProgressControls() {
    // Beyond the button, in the form's own units: a thin bar and a line of text under it. The
    // text may start a little left of the bar: an outcome such as "Aborted at 999.9 of 999.9 KiB"
    // needs the room.
    RECT bar{262, 3, 262 + 106, 3 + 6};
    RECT text{259, 10, 259 + 112, 10 + 9};
    MapDialogRect(m_hWnd, &bar);
    MapDialogRect(m_hWnd, &text);
    m_hProgress = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD, bar.left, bar.top,
                                  bar.right - bar.left, bar.bottom - bar.top, m_hWnd,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_PROGRESS)),
                                  m_hInstance, nullptr);
    m_hProgressText = CreateWindowExW(
        0, L"STATIC", L"", WS_CHILD | SS_LEFT | SS_NOPREFIX, text.left, text.top,
        text.right - text.left, text.bottom - text.top, m_hWnd,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_PROGRESS_TEXT)), m_hInstance, nullptr);
    SendMessageW(m_hProgress, PBM_SETRANGE32, 0, 1000);
    SendMessageW(m_hProgressText, WM_SETFONT, SendMessageW(m_hWnd, WM_GETFONT, 0, 0), FALSE);
}

INT_PTR CALLBACK CWinForm::FormProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_INITDIALOG) {
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        return FALSE;  // the initial update gives the terminal the focus
    }
    auto* form = reinterpret_cast<CWinForm*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    return form != nullptr ? form->OnMessage(msg, wParam, lParam) : FALSE;
}

INT_PTR CWinForm::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_COMM_NOTIFY: {
            const auto w = static_cast<uint32_t>(wParam);
            const auto l = static_cast<uint32_t>(lParam);
            Dispatch([w, l](CProgView& v) { v.OnCommNotify(w, l); });
            SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, 1);
            return TRUE;
        }
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam));
            return TRUE;
        case WM_TIMER:
            if (wParam == kProgressTimer) {
                UpdateProgress();
            }
            return TRUE;
        default:
            return FALSE;
    }
}

void CWinForm::OnCommand(int id, int code) {
    if (id == IDC_MISC_BUTTON && code == BN_CLICKED) {
        Dispatch([](CProgView& v) { v.OnMiscButton(); });
    } else if (id == IDC_COMMPORT && code == CBN_DROPDOWN) {
        RefreshPortChoice();
    } else if (id == IDC_COMMPORT && code == CBN_SELCHANGE) {
        Dispatch([](CProgView& v) { v.OnSelchangeCommPort(); });
    } else if (id == ID_SEND_UPDATE_FILE && code == 0) {
        Dispatch([](CProgView& v) { v.OnSendUpdateFile(); });
    }
}

void CWinForm::Dispatch(const std::function<void(CProgView&)>& call) {
    if (m_view == nullptr) {
        return;
    }
    ++m_nDispatchDepth;
    call(*m_view);
    --m_nDispatchDepth;
    FollowTransfer();
    if (m_afterDispatch) {
        m_afterDispatch();
    }
}

void CWinForm::PostCommNotify(uint32_t wParam, uint32_t lParam) {
    if (PostMessageW(m_hWnd, WM_COMM_NOTIFY, wParam, lParam)) {
        return;
    }
    // The queue is full (the GUI thread is held up). A lost data notice is made good by the next
    // one, which drains everything; the sender's end notice is the only one it sends, so it gets
    // a few more tries. Never an endless wait: the GUI thread may be waiting for this worker.
    if (lParam == NOTIFY_RX_DATA) {
        return;
    }
    for (int attempt = 0; attempt < 50 && IsWindow(m_hWnd); ++attempt) {
        Sleep(20);
        if (PostMessageW(m_hWnd, WM_COMM_NOTIFY, wParam, lParam)) {
            return;
        }
    }
}

// --- port choice ---------------------------------------------------------------------------

void CWinForm::ComboResetContent() {
    SendMessageW(m_hCombo, CB_RESETCONTENT, 0, 0);
}

int CWinForm::ComboAddString(const std::string& name) {
    const std::wstring text = Widen(name);
    return static_cast<int>(
        SendMessageW(m_hCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
}

void CWinForm::ComboSetCurSel(int index) {
    SendMessageW(m_hCombo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

std::string CWinForm::ComboGetText() {
    return WindowText(m_hCombo);
}

void CWinForm::EnablePortChoice(bool enable) {
    EnableWindow(m_hCombo, enable ? TRUE : FALSE);
    EnableWindow(m_hLabel, enable ? TRUE : FALSE);
}

void CWinForm::RefreshPortChoice() {
    if (!m_portSource) {
        return;
    }
    const std::string chosen = ComboGetText();
    const std::vector<std::string> names = PortChoices(m_portSource(), m_strPortOverride, chosen);
    ComboResetContent();
    int selected = -1;
    for (const std::string& name : names) {
        const int index = ComboAddString(name);
        if (name == chosen) {
            selected = index;
        }
    }
    ComboSetCurSel(selected);
    // The box is as narrow as the dialog makes it; a network port's name is longer.
    FitDropDownWidth(m_hCombo);
}

// --- button, terminal ------------------------------------------------------------------------

void CWinForm::SetButtonText(const std::string& text) {
    SetWindowTextW(m_hButton, Widen(text).c_str());
}

void CWinForm::ShowButton(bool show) {
    ShowWindow(m_hButton, show ? SW_SHOWNORMAL : SW_HIDE);
}

CReportWidget* CWinForm::GetTerminal() {
    return m_term != nullptr ? &m_term->Model() : nullptr;
}

void CWinForm::FocusTerminal() {
    if (m_term != nullptr) {
        SetFocus(m_term->Handle());
    }
}

// --- modal interactions ----------------------------------------------------------------------

void CWinForm::MessageBox(const std::string& text) {
    ShowMessageBox(m_hFrame, text, MB_OK | MB_ICONEXCLAMATION);
}

bool CWinForm::RunFileDialog(FileDialogRequest& request) {
    // Owned by the main window: see RunFileDialog.
    if (!win::RunFileDialog(m_hFrame, request, FileDialogKind::Open)) {
        return false;
    }
    m_follower.FileChosen();
    return true;
}

void CWinForm::BeginWaitCursor() {
    ++m_nWaitCursors;
    SetCursor(LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_WAIT)));
}

void CWinForm::EndWaitCursor() {
    if (m_nWaitCursors == 0) {
        return;
    }
    if (--m_nWaitCursors == 0) {
        SetCursor(LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW)));
    }
}

bool CWinForm::TrackPopupMenu() {
    const HMENU menu = LoadMenuW(m_hInstance, MAKEINTRESOURCEW(IDR_TERM_POPUP));
    if (menu == nullptr) {
        return false;
    }
    bool chosen = false;
    const HMENU popup = GetSubMenu(menu, 0);
    if (popup != nullptr) {
        // The mouse position of the right-button release that brought us here.
        const DWORD pos = GetMessagePos();
        const int x = static_cast<short>(LOWORD(pos));
        const int y = static_cast<short>(HIWORD(pos));
        const UINT cmd = static_cast<UINT>(::TrackPopupMenu(
            popup, TPM_RIGHTBUTTON | TPM_RETURNCMD | TPM_NONOTIFY, x, y, 0, m_hWnd, nullptr));
        chosen = cmd == ID_SEND_UPDATE_FILE;
    }
    DestroyMenu(menu);
    return chosen;
}

void CWinForm::FitFrameToForm() {
    if (m_fitFrame) {
        m_fitFrame();
    }
}

// --- progress --------------------------------------------------------------------------------

void CWinForm::FollowTransfer() {
    const CTransferFollower::Step step = m_follower.Follow(m_view);
    if (step.timer == CTransferFollower::START_TIMER) {
        SetTimer(m_hWnd, kProgressTimer, kProgressPeriodMs, nullptr);
    } else if (step.timer == CTransferFollower::STOP_TIMER) {
        KillTimer(m_hWnd, kProgressTimer);
    }
    if (step.redraw) {
        ShowTransfer(step.display);
    }
}

void CWinForm::UpdateProgress() {
    if (m_view != nullptr) {
        ShowTransfer(m_follower.Progress(*m_view));
    }
}

void CWinForm::ShowTransfer(const TransferDisplay& display) {
    if (!display.shown) {
        ShowWindow(m_hProgress, SW_HIDE);
        ShowWindow(m_hProgressText, SW_HIDE);
        return;
    }
    SendMessageW(m_hProgress, PBM_SETPOS, static_cast<WPARAM>(display.permille), 0);
    SetWindowTextW(m_hProgressText, Widen(display.text).c_str());
    ShowWindow(m_hProgress, SW_SHOWNA);
    ShowWindow(m_hProgressText, SW_SHOWNA);
}

}  // namespace korv::win
