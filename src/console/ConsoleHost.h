#pragma once
// The console's stand-ins for the form around the update controller: the port choice and the
// action button are only remembered, message boxes become stderr lines, and the file dialog is
// answered from the command line (or, on a terminal, by asking for a path).

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "console/ConsoleOutput.h"
#include "platform/Event.h"
#include "platform/Wait.h"
#include "terminal/ReportWidget.h"
#include "view/Host.h"

namespace korv {

// Notifications from the worker threads, handed to the main thread in the order they were
// posted. The main thread waits for Waitable beside its other waitables (WaitForAny); when it
// is signalled it calls ClearWake and then Pop until the queue is empty. Notices are taken one at a
// time, so a dispatch that handles further notices itself (a dialog's message loop) keeps their
// order.
class CNotifyQueue : public INotifySink {
  public:
    struct Notice {
        uint32_t wParam;
        uint32_t lParam;
    };

    CNotifyQueue();
    ~CNotifyQueue() override;
    CNotifyQueue(const CNotifyQueue&) = delete;
    CNotifyQueue& operator=(const CNotifyQueue&) = delete;

    // False when the wake-up event could not be made (the queue is unusable).
    bool Valid() const { return m_wake != nullptr; }
    WaitHandle Waitable() const { return m_wake->Waitable(); }

    void PostCommNotify(uint32_t wParam, uint32_t lParam) override;
    void ClearWake();
    // The oldest notice; false when none waits.
    bool Pop(Notice& notice);

  private:
    std::mutex m_mutex;
    std::deque<Notice> m_notices;
    std::unique_ptr<Event> m_wake;
};

// How the file dialog is answered.
class IFileAnswer {
  public:
    virtual ~IFileAnswer() = default;
    // True with the chosen path; false when the operator gave none.
    virtual bool Choose(const FileDialogRequest& request, std::string& path) = 0;
};

class CConsoleHost : public IFormHost {
  public:
    CConsoleHost(CConsoleOutput& out, IFileAnswer& answer);
    ~CConsoleHost() override;

    // Marks the start of one command or notification handled by the view. The file dialog is
    // answered once per dispatch; when the view asks again in the same dispatch the file was
    // rejected, and the second answer is "cancel" so that a bad file ends the run instead of
    // looping.
    void BeginDispatch();
    bool DialogAnswered() const { return m_dialogCalls > 0; }
    bool DialogCancelled() const { return m_dialogCancelled; }
    bool FileRejected() const { return m_dialogCalls > 1; }

    // Called while a dialog is up, so the pane keeps showing the tester (as a modal dialog's own
    // message loop would).
    void SetDialogPump(std::function<void()> pump) { m_pump = std::move(pump); }
    // Runs the pump as the dialog's own loop; for an answer that waits for the operator.
    void PumpWhileDialog();
    // Once the run is ending, no further file is sent: every dialog is cancelled.
    void RefuseDialogs() { m_refuseDialogs = true; }
    // Message boxes shown so far.
    int MessageCount() const { return m_messageCount; }

    const std::string& LastMessage() const { return m_lastMessage; }
    const std::vector<std::string>& PortChoice() const { return m_combo; }
    int PortChoiceSelection() const { return m_sel; }
    bool PortChoiceEnabled() const { return m_portChoiceEnabled; }
    const std::string& ButtonText() const { return m_buttonText; }
    bool ButtonShown() const { return m_buttonShown; }
    CReportWidget& Terminal() { return m_term; }

    // IFormHost
    void ComboResetContent() override;
    int ComboAddString(const std::string& name) override;
    void ComboSetCurSel(int index) override;
    std::string ComboGetText() override;
    void EnablePortChoice(bool enable) override { m_portChoiceEnabled = enable; }
    void SetButtonText(const std::string& text) override { m_buttonText = text; }
    void ShowButton(bool show) override { m_buttonShown = show; }
    CReportWidget* GetTerminal() override { return &m_term; }
    void FocusTerminal() override {}
    void MessageBox(const std::string& text) override;
    bool RunFileDialog(FileDialogRequest& request) override;
    void BeginWaitCursor() override {}
    void EndWaitCursor() override {}
    bool TrackPopupMenu() override { return false; }
    void FitFrameToForm() override {}

  private:
    CConsoleOutput& m_out;
    IFileAnswer& m_answer;
    CStdoutEcho m_echo;
    CStdoutWindow m_window;
    CReportWidget m_term;
    std::vector<std::string> m_combo;
    int m_sel = -1;
    bool m_portChoiceEnabled = true;
    std::string m_buttonText;
    bool m_buttonShown = false;
    std::string m_lastMessage;
    int m_dialogCalls = 0;
    bool m_dialogCancelled = false;
    std::function<void()> m_pump;
    bool m_inPump = false;
    bool m_refuseDialogs = false;
    int m_messageCount = 0;
};

class CProgView;

// Hands every notice that waits in the queue to the view, in the order posted. With a host, each
// is a dispatch of its own for it (the host counts the dialogs one opens); then handled runs with
// the notice's code and the view's state before it.
void DispatchNotices(CNotifyQueue& queue, CProgView& view, CConsoleHost* host,
                     const std::function<void(uint32_t code, int stateBefore)>& handled);

}  // namespace korv
