#pragma once
// The terminal pane as a window class of its own, "CKorvTermWidget", which the form's template
// names as a custom control. Each window of the class gets a CTermWindow at WM_NCCREATE: the
// screen model's window, which paints the model's cells with TextOutW, keeps the underline caret
// and tells its parent when the right button is released over it. It is a display only.

#include "win/Win32.h"

#include <string>

#include "terminal/ReportWidget.h"

namespace korv::win {

class CTermWindow : public ITermWindow {
  public:
    // Registers the class once per module; a second call finds it and registers nothing.
    static void RegisterWidgetClass(HINSTANCE instance);
    // The object behind a window of the class, or null.
    static CTermWindow* FromHandle(HWND hwnd);

    // The window's own screen model.
    CReportWidget& Model() { return m_model; }
    HWND Handle() const { return m_hWnd; }
    // Shows model, which the caller owns, instead of the window's own; null shows the own model
    // again. The window attaches itself to model, sizes it to its client area (keeping the
    // screen) and repaints; the model shown before is detached, so it must still exist when this
    // is called. The caller shows another model before the one shown goes away, and its own
    // before the window is destroyed.
    void ShowModel(CReportWidget* model);
    // The size of a character cell in the window's font, in pixels.
    SIZE CellSize() const { return m_cell; }
    // The screen as text: each row without its trailing spaces, rows joined by CR LF, empty
    // rows at the end left out. The window answers WM_GETTEXT with it, so that screen readers
    // and test drivers can read the pane.
    std::wstring ScreenText() const;

    // ITermWindow
    void InvalidateAll() override;
    void InvalidateRect(const PixelRect& rect) override;
    void UpdateWindow() override;
    void TextOut(int x, int y, const char* text, int n) override;
    void CreateCaret(int width, int height) override;
    void SetCaretPos(int x, int y) override;
    void ShowCaret() override;
    void HideCaret() override;
    void DestroyCaret() override;

  private:
    explicit CTermWindow(HWND hwnd) : m_hWnd(hwnd) {}
    ~CTermWindow() override;
    CTermWindow(const CTermWindow&) = delete;
    CTermWindow& operator=(const CTermWindow&) = delete;

    static LRESULT CALLBACK TermWidgetProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT OnCreate(WPARAM wParam, LPARAM lParam);
    // Makes the font for the window's DPI; false (the old font kept) when it cannot. *cell is
    // the size of one character cell in it.
    bool CreateTermFont(SIZE* cell);
    void OnDpiChanged();
    void OnPaint();
    LRESULT OnGetText(WPARAM capacity, LPARAM buffer) const;

    HWND m_hWnd;
    HFONT m_font = nullptr;
    // Between the two notices of a change of DPI: the window is scaled, not resized, and the
    // screen is kept.
    bool m_bRescaling = false;
    HDC m_paintDC = nullptr;  // set while the model paints
    SIZE m_cell{1, 1};
    CReportWidget m_model;
    CReportWidget* m_shown = &m_model;
};

}  // namespace korv::win
