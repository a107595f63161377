#pragma once
// The small interfaces through which the update controller reaches the outside: the form that
// hosts it, the notification queue to the GUI thread and the persisted profile.

#include <cstdint>
#include <string>

#include "ports/IProfile.h"

namespace korv {

class CReportWidget;

// Notification message and its codes.
inline constexpr uint32_t WM_COMM_NOTIFY = 0x04FF;
inline constexpr uint32_t COMM_NOTIFY_TAG = 0x1234;
inline constexpr uint32_t NOTIFY_RX_DATA = 0x1111;
inline constexpr uint32_t NOTIFY_TX_DONE = 0x2222;
inline constexpr uint32_t NOTIFY_CONTEXT_MENU = 0x3333;
// The reader found the line hung up (adapter unplugged, cable pulled).
inline constexpr uint32_t NOTIFY_PORT_LOST = 0x4444;

// Delivers WM_COMM_NOTIFY to the view's OnCommNotify on the GUI thread, each in the order it was
// posted. PostCommNotify is called from worker threads; it never blocks and never calls into
// the view itself.
class INotifySink {
  public:
    virtual ~INotifySink() = default;
    virtual void PostCommNotify(uint32_t wParam, uint32_t lParam) = 0;
};

// The update file dialog's settings and result.
struct FileDialogRequest {
    std::string title;
    std::string filter;      // "Description|pattern|...||"
    std::string defaultExt;  // without the dot
    std::string initialDir;  // empty: the dialog chooses
    std::string fileName;    // in: shown in the name box; out: the chosen full path
};

// The form around the view: port choice (a combo box and its label), the action button, the
// terminal pane, and the modal interactions. GUI thread only.
class IFormHost {
  public:
    virtual ~IFormHost() = default;
    virtual void ComboResetContent() = 0;
    virtual int ComboAddString(const std::string& name) = 0;  // returns the new item's index
    virtual void ComboSetCurSel(int index) = 0;
    virtual std::string ComboGetText() = 0;
    // Enables the port choice and its label together.
    virtual void EnablePortChoice(bool enable) = 0;
    virtual void SetButtonText(const std::string& text) = 0;
    virtual void ShowButton(bool show) = 0;
    virtual CReportWidget* GetTerminal() = 0;
    virtual void FocusTerminal() = 0;
    // Modal box with the exclamation icon and the caption "KORVALIN".
    virtual void MessageBox(const std::string& text) = 0;
    // Modal file-open dialog; true when the operator chose a file (its path in fileName).
    virtual bool RunFileDialog(FileDialogRequest& request) = 0;
    virtual void BeginWaitCursor() = 0;
    virtual void EndWaitCursor() = 0;
    // The terminal's popup menu at the mouse position; true when its one command was chosen.
    virtual bool TrackPopupMenu() = 0;
    // Shrinks the main window to fit the form.
    virtual void FitFrameToForm() = 0;
};

}  // namespace korv
