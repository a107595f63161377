#pragma once
// The form around the update controller: the port choice with its label, the action button, the
// transfer progress (and, once a transfer has ended, its outcome) and the terminal pane. It is the
// controller's form host and notification sink, and every call it makes into the controller goes
// through Dispatch, so that the frame can follow the panel (the Exit command, the progress display)
// after each one.

#include <QComboBox>
#include <QEvent>
#include <QPoint>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "view/Host.h"
#include "view/TransferProgress.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace korv {

class CProgView;
class CTermWidget;

// A notification from a worker thread, delivered to the form on the GUI thread in posting order.
class CommNotifyEvent : public QEvent {
  public:
    static constexpr QEvent::Type kType = static_cast<QEvent::Type>(QEvent::User + 0xFF);
    CommNotifyEvent(uint32_t wParam, uint32_t lParam)
        : QEvent(kType), m_wParam(wParam), m_lParam(lParam) {}
    uint32_t WParam() const { return m_wParam; }
    uint32_t LParam() const { return m_lParam; }

  private:
    uint32_t m_wParam;
    uint32_t m_lParam;
};

// The port choice; it asks for a fresh list each time its list drops down.
class CPortCombo : public QComboBox {
  public:
    explicit CPortCombo(QWidget* parent) : QComboBox(parent) {}
    void SetDropDownHandler(std::function<void()> handler) { m_onDropDown = std::move(handler); }
    void showPopup() override;

  private:
    std::function<void()> m_onDropDown;
};

class CProgForm : public QWidget, public IFormHost, public INotifySink {
  public:
    explicit CProgForm(QWidget* parent = nullptr);
    ~CProgForm() override;

    // The controller this form hosts; null detaches it (notifications still queued are dropped).
    void SetView(CProgView* view) { m_view = view; }
    CProgView* View() const { return m_view; }
    // Runs one call into the controller, then lets the frame follow the panel.
    void Dispatch(const std::function<void(CProgView&)>& call);

    // Names for the port choice when its list drops down, in the order to show them.
    void SetPortSource(std::function<std::vector<std::string>()> source) {
        m_portSource = std::move(source);
    }
    // A port chosen on the command line: kept in the choice across refreshes.
    void SetPortOverride(const std::string& name) { m_strPortOverride = name; }
    void SetAfterDispatch(std::function<void()> hook) { m_afterDispatch = std::move(hook); }
    void SetFitFrame(std::function<void()> hook) { m_fitFrame = std::move(hook); }

    // Test seams replacing the modal interactions; unset, the real dialogs run.
    void SetFileDialogHook(std::function<bool(FileDialogRequest&)> hook) {
        m_fileDialogHook = std::move(hook);
    }
    void SetMessageBoxHook(std::function<void(const std::string&)> hook) {
        m_messageBoxHook = std::move(hook);
    }
    void SetPopupHook(std::function<bool(const QPoint&)> hook) { m_popupHook = std::move(hook); }

    QLabel* PortLabel() const { return m_label; }
    CPortCombo* PortCombo() const { return m_combo; }
    QPushButton* ActionButton() const { return m_button; }
    CTermWidget* Terminal() const { return m_term; }
    QProgressBar* Progress() const { return m_progress; }
    QLabel* ProgressText() const { return m_progressText; }

    // Rebuilds the port choice from a fresh list, keeping the chosen name and the command-line
    // port; does not count as the operator choosing a port.
    void RefreshPortChoice();

    // "Description (*.a)|*.a|...||" as dialog name filters; "*.*" means every file.
    static QStringList NameFiltersFromFilter(const std::string& filter);

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

  protected:
    bool event(QEvent* event) override;

  private:
    void FollowTransfer();
    void UpdateProgress();
    void ShowTransfer(const TransferDisplay& display);

    CProgView* m_view = nullptr;
    QLabel* m_label;
    CPortCombo* m_combo;
    QPushButton* m_button;
    QProgressBar* m_progress;
    QLabel* m_progressText;
    CTermWidget* m_term;

    QTimer m_progressTimer;
    CTransferFollower m_follower;
    QPoint m_popupPos;
    int m_nWaitCursors = 0;

    std::string m_strPortOverride;
    std::function<std::vector<std::string>()> m_portSource;
    std::function<void()> m_afterDispatch;
    std::function<void()> m_fitFrame;
    std::function<bool(FileDialogRequest&)> m_fileDialogHook;
    std::function<void(const std::string&)> m_messageBoxHook;
    std::function<bool(const QPoint&)> m_popupHook;
};

}  // namespace korv
