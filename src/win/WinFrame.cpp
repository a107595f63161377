// The core's headers come before <windows.h>, whose macros share some of their constant names.
#include "view/ProgView.h"
#include "view/Strings.h"

#include "win/WinFrame.h"

#include "win/Dialogs.h"
#include "win/Dpi.h"
#include "win/WinText.h"
#include "win/resource.h"

namespace korv::win {

namespace {

// The standard overlapped window without sizing border and maximise box.
constexpr DWORD kFrameStyle = WS_OVERLAPPEDWINDOW & ~(WS_THICKFRAME | WS_MAXIMIZEBOX);
// Posted to itself: fit the frame to the form after a change of DPI has rescaled the form.
constexpr UINT kRefitMessage = WM_APP + 1;

}  // namespace

CWinFrame::~CWinFrame() {
    if (m_hWnd != nullptr) {
        SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, 0);
        DestroyWindow(m_hWnd);
    }
}

bool CWinFrame::Create(HINSTANCE instance) {
    m_hInstance = instance;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &CWinFrame::FrameProc;
    wc.hInstance = instance;
    wc.hIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXICON),
                                             GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
    wc.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME),
                                               IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszMenuName = MAKEINTRESOURCEW(IDR_MAINFRAME);
    wc.lpszClassName = KORV_FRAME_CLASS;
    if (RegisterClassExW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return false;
    }
    m_hAccel = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
    const std::wstring title = Widen(LoadString(AFX_IDS_APP_TITLE));
    m_hWnd = CreateWindowExW(0, KORV_FRAME_CLASS, title.c_str(), kFrameStyle, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                             instance, this);
    return m_hWnd != nullptr;
}

void CWinFrame::SetForm(HWND form, HWND focusDefault) {
    m_hForm = form;
    m_hFocus = focusDefault;
}

void CWinFrame::FitToForm() {
    if (m_hForm == nullptr) {
        return;
    }
    RECT form{};
    GetWindowRect(m_hForm, &form);
    const int cx = form.right - form.left;
    const int cy = form.bottom - form.top;
    SetWindowPos(m_hForm, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT rc{0, 0, cx, cy};
    AdjustWindowRectEx(&rc, kFrameStyle, TRUE, 0);
    SetWindowPos(m_hWnd, nullptr, 0, 0, rc.right - rc.left, rc.bottom - rc.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // The menu bar may take more or less room than the estimate: correct by what is left over.
    RECT client{};
    GetClientRect(m_hWnd, &client);
    const int dx = cx - (client.right - client.left);
    const int dy = cy - (client.bottom - client.top);
    if (dx != 0 || dy != 0) {
        SetWindowPos(m_hWnd, nullptr, 0, 0, rc.right - rc.left + dx, rc.bottom - rc.top + dy,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void CWinFrame::UpdateCommandUI() {
    const HMENU menu = GetMenu(m_hWnd);
    if (menu == nullptr) {
        return;
    }
    const UINT wanted = m_doc.OnUpdateAppExit() ? MF_ENABLED : MF_GRAYED;
    const UINT was = EnableMenuItem(menu, ID_APP_EXIT, MF_BYCOMMAND | wanted);
    if ((was & MF_GRAYED) != (wanted & MF_GRAYED)) {
        DrawMenuBar(m_hWnd);
    }
    // The session manager shows why logging off waits while a file is being sent.
    const bool block = !m_doc.CanCloseFrame();
    if (block != m_bCloseBlocked) {
        m_bCloseBlocked = block;
        if (block) {
            ShutdownBlockReasonCreate(m_hWnd, L"An update file is being sent to the tester.");
        } else {
            ShutdownBlockReasonDestroy(m_hWnd);
        }
    }
}

LRESULT CALLBACK CWinFrame::FrameProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* frame = static_cast<CWinFrame*>(cs->lpCreateParams);
        frame->m_hWnd = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(frame));
    }
    auto* frame = reinterpret_cast<CWinFrame*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (frame == nullptr) {
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    return frame->OnMessage(msg, wParam, lParam);
}

LRESULT CWinFrame::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_COMMAND:
            OnCommand(LOWORD(wParam));
            return 0;
        case WM_CLOSE:
            RequestClose();
            return 0;
        case WM_SYSCOLORCHANGE:
            // The form's controls, the terminal pane among them, repaint in the new colours.
            PassColourChangeToChildren(m_hWnd);
            return 0;
        case WM_QUERYENDSESSION:
            return m_doc.CanCloseFrame() ? TRUE : FALSE;
        case WM_ENDSESSION:
            // The process is ended after this returns, maybe from inside a dialog: the port is
            // closed in good order, and nothing else is torn down under the dialog.
            if (wParam != 0 && m_onEndSession) {
                m_onEndSession();
            }
            return 0;
        case WM_ACTIVATE:
            if (LOWORD(wParam) == WA_INACTIVE) {
                const HWND focus = GetFocus();
                if (focus != nullptr && m_hForm != nullptr && IsChild(m_hForm, focus)) {
                    m_hFocus = focus;
                }
            } else if (m_hFocus != nullptr && IsWindow(m_hFocus)) {
                SetFocus(m_hFocus);
            }
            return 0;
        case kWmDpiChanged: {
            // Moved to a monitor with another DPI: take the size the system suggests, then fit
            // the form again once its controls have been scaled.
            const auto* suggested = reinterpret_cast<const RECT*>(lParam);
            SetWindowPos(m_hWnd, nullptr, suggested->left, suggested->top,
                         suggested->right - suggested->left, suggested->bottom - suggested->top,
                         SWP_NOZORDER | SWP_NOACTIVATE);
            PostMessageW(m_hWnd, kRefitMessage, 0, 0);
            return 0;
        }
        case kRefitMessage:
            FitToForm();
            return 0;
        case WM_DESTROY:
            m_hWnd = nullptr;
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(m_hWnd, msg, wParam, lParam);
    }
}

void CWinFrame::OnCommand(int id) {
    switch (id) {
        case ID_APP_EXIT:
            // A disabled Exit reached through its mnemonic does nothing.
            if (m_doc.OnUpdateAppExit()) {
                RequestClose();
            }
            break;
        case ID_APP_ABOUT:
            DialogBoxParamW(m_hInstance, MAKEINTRESOURCEW(IDD_ABOUTBOX), m_hWnd, &AboutProc, 0);
            break;
        case ID_FILE_NEW:
        case ID_FILE_OPEN:
            if (m_onFileCommand) {
                m_onFileCommand(id);
            }
            break;
        default:
            break;  // Save, the edit and the pane commands have nothing to act on
    }
}

void CWinFrame::RequestClose() {
    // Refused silently while a file is being sent; the transfer goes on. Also while one of the
    // program's dialogs is up (it disables the frame): the controller is waiting on it, and a
    // close from outside (the taskbar) must not tear the program down underneath.
    if (!m_doc.CanCloseFrame() || !IsWindowEnabled(m_hWnd) || (m_canCloseNow && !m_canCloseNow())) {
        return;
    }
    if (m_onClose) {
        m_onClose();
    } else {
        DestroyWindow(m_hWnd);
    }
}

INT_PTR CALLBACK CWinFrame::AboutProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM) {
    switch (msg) {
        case WM_INITDIALOG:
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(hwnd, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace korv::win
