#pragma once
// The form around the update controller: dialog 101 as a child of the main window, with the port
// choice and its label, the action button, the transfer progress and the terminal pane. It is
// the controller's form host and its notification sink: workers post WM_COMM_NOTIFY to the
// form's window, and the GUI thread hands each to OnCommNotify in posting order. Every call into
// the controller goes through Dispatch, so that the frame and the progress display follow the
// panel after each one.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "view/Host.h"
#include "view/TransferProgress.h"
#include "win/Win32.h"

namespace korv {
class CProgView;
}

namespace korv::win {

class CTermWindow;

class CWinForm : public IFormHost, public INotifySink {
  public:
    CWinForm() = default;
    ~CWinForm() override;
    CWinForm(const CWinForm&) = delete;
    CWinForm& operator=(const CWinForm&) = delete;

    // Creates the form from its template inside the frame. False when the template, or the
    // terminal control it names, cannot be created.
    bool Create(HINSTANCE instance, HWND frame);
    HWND Handle() const { return m_hWnd; }
    // The form's size in pixels.
    SIZE Size() const;

    // The controller this form hosts; null detaches it (notifications still queued are dropped).
    void SetView(CProgView* view) { m_view = view; }
    void Dispatch(const std::function<void(CProgView&)>& call);
    // True while a call into the controller is under way (it may run a popup menu or a dialog).
    bool InDispatch() const { return m_nDispatchDepth > 0; }

    void SetPortSource(std::function<std::vector<std::string>()> source) {
        m_portSource = std::move(source);
    }
    void SetPortOverride(const std::string& name) { m_strPortOverride = name; }
    void SetAfterDispatch(std::function<void()> hook) { m_afterDispatch = std::move(hook); }
    void SetFitFrame(std::function<void()> hook) { m_fitFrame = std::move(hook); }
    // Rebuilds the port choice from a fresh list, keeping the chosen name and the command-line
    // port; does not count as the operator choosing a port.
    void RefreshPortChoice();

    // IFormHost
    void ComboResetContent() override;
    int ComboAddString(const std::string& name) override;
    void ComboSetCurSel(int index) override;
    std::string ComboGetText() override;
    void EnablePortChoice(bool enable) override;
    void SetButtonText(const std::string& text) override;
    void ShowButton(bool show) override;
    CReportWidget* GetTerminal() override;
    void FocusTerminal() override;
    void MessageBox(const std::string& text) override;
    bool RunFileDialog(FileDialogRequest& request) override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;
    bool TrackPopupMenu() override;
    void FitFrameToForm() override;

    // INotifySink; any thread.
    void PostCommNotify(uint32_t wParam, uint32_t lParam) override;

  private:
    static INT_PTR CALLBACK FormProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    void OnCommand(int id, int code);
    void FitLabelText();
    void CreateProgressControls();
    void FollowTransfer();
    void UpdateProgress();
    void ShowTransfer(const TransferDisplay& display);

    HINSTANCE m_hInstance = nullptr;
    HWND m_hFrame = nullptr;
    HWND m_hWnd = nullptr;
    HWND m_hCombo = nullptr;
    HWND m_hLabel = nullptr;
    HWND m_hButton = nullptr;
    HWND m_hProgress = nullptr;
    HWND m_hProgressText = nullptr;
    CTermWindow* m_term = nullptr;
    CProgView* m_view = nullptr;

    CTransferFollower m_follower;
    int m_nWaitCursors = 0;
    int m_nDispatchDepth = 0;

    std::string m_strPortOverride;
    std::function<std::vector<std::string>()> m_portSource;
    std::function<void()> m_afterDispatch;
    std::function<void()> m_fitFrame;
};

}  // namespace korv::win
