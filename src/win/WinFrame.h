#pragma once
// The main window: caption "KORVALIN" at all times, system menu and minimise box, no sizing
// border and no maximise box, sized to fit the form it holds; a menu bar with Exit and About;
// the accelerators. Every way of closing it (Exit, the close box, Alt+F4, the end of the user's
// session) asks the document first.

#include <functional>

#include "win/Win32.h"

namespace korv {
class CProgDoc;
}

namespace korv::win {

class CWinFrame {
  public:
    explicit CWinFrame(CProgDoc& doc) : m_doc(doc) {}
    ~CWinFrame();
    CWinFrame(const CWinFrame&) = delete;
    CWinFrame& operator=(const CWinFrame&) = delete;

    bool Create(HINSTANCE instance);
    HWND Handle() const { return m_hWnd; }
    HACCEL Accelerators() const { return m_hAccel; }

    // The form inside: the frame takes its size and hands the focus back to it on activation.
    void SetForm(HWND form, HWND focusDefault);
    // Makes the client area exactly the form's size.
    void FitToForm();
    // Follows the document: Exit is enabled exactly while the document may close.
    void UpdateCommandUI();

    // Runs when a close was allowed: the owner tears the program down and destroys the window.
    void SetOnClose(std::function<void()> handler) { m_onClose = std::move(handler); }
    // Asked before a close is allowed, besides the document: false while the program is in the
    // middle of something that a teardown must not cut (a popup menu is open, say).
    void SetCanCloseNow(std::function<bool()> query) { m_canCloseNow = std::move(query); }
    // Runs when the user's session ends: the process is ended right after, without closing.
    void SetOnEndSession(std::function<void()> handler) { m_onEndSession = std::move(handler); }
    // Ctrl+N and Ctrl+O.
    void SetOnFileCommand(std::function<void(int)> handler) {
        m_onFileCommand = std::move(handler);
    }

  private:
    static LRESULT CALLBACK FrameProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK AboutProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    void OnCommand(int id);
    void RequestClose();

    CProgDoc& m_doc;
    HINSTANCE m_hInstance = nullptr;
    HWND m_hWnd = nullptr;
    HACCEL m_hAccel = nullptr;
    HWND m_hForm = nullptr;
    HWND m_hFocus = nullptr;  // the form's control that had the focus when the frame lost it
    bool m_bCloseBlocked = false;
    std::function<void()> m_onClose;
    std::function<bool()> m_canCloseNow;
    std::function<void()> m_onEndSession;
    std::function<void(int)> m_onFileCommand;
};

}  // namespace korv::win
