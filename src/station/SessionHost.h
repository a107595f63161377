#pragma once
// What stands around the update controller of a port session: the port choice and the action
// button are only remembered, message boxes and the terminal pane go to the session's output,
// and the file dialog is answered by the front end (a file given beforehand, or one asked for).
// The workers' notifications of every session of a station go through one queue with one wake-up,
// so that a station waits on one handle however many ports it serves.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Event.h"
#include "platform/Wait.h"
#include "terminal/ReportWidget.h"
#include "view/Host.h"

namespace korv {

// Where a session's text goes: the terminal pane's bytes, the message boxes' texts and lines of
// its own (a log's), in the order they are given.
class ISessionOutput {
  public:
    virtual ~ISessionOutput() = default;
    // One byte of the terminal pane; shown at the latest by FlushOut.
    virtual void Echo(char ch) = 0;
    virtual void FlushOut() = 0;
    // A message box's text, one line.
    virtual void Message(const std::string& text) = 0;
    // Raw text beside the messages.
    virtual void Error(const std::string& text) = 0;
    // Takes down a progress display before other output.
    virtual void ClearProgress() = 0;
};

// The notifications of every session of a station, each session's in the order posted. The
// station waits for Waitable beside its other waitables; when it is signalled it calls
// TakeReady until it gives no session, and dispatches each session given (Pop until empty).
// A session may also take its own notices at any time (a dialog's message loop).
class CStationQueue {
  public:
    struct Notice {
        uint32_t wParam;
        uint32_t lParam;
    };

    CStationQueue();
    ~CStationQueue();
    CStationQueue(const CStationQueue&) = delete;
    CStationQueue& operator=(const CStationQueue&) = delete;

    // False when the wake-up event could not be made (the queue is unusable).
    bool Valid() const { return m_wake != nullptr; }
    WaitHandle Waitable() const { return m_wake->Waitable(); }

    // A new session's place in the queue.
    size_t AddSession();
    // Any thread.
    void Post(size_t session, uint32_t wParam, uint32_t lParam);
    // A session with notices waiting, in the order their first notices came; false when none
    // waits. Once none waits the wake-up is cleared.
    bool TakeReady(size_t& session);
    // The session's oldest notice; false when none waits.
    bool Pop(size_t session, Notice& notice);

  private:
    std::mutex m_mutex;
    std::vector<std::deque<Notice>> m_notices;
    std::vector<bool> m_listed;
    std::deque<size_t> m_ready;
    size_t m_waiting = 0;
    std::unique_ptr<Event> m_wake;
};

// One session's notification sink in a station's queue.
class CSessionQueue : public INotifySink {
  public:
    explicit CSessionQueue(CStationQueue& queue) : m_queue(queue), m_id(queue.AddSession()) {}
    void PostCommNotify(uint32_t wParam, uint32_t lParam) override {
        m_queue.Post(m_id, wParam, lParam);
    }
    bool Pop(CStationQueue::Notice& notice) { return m_queue.Pop(m_id, notice); }
    size_t Id() const { return m_id; }
    CStationQueue& Station() { return m_queue; }

  private:
    CStationQueue& m_queue;
    size_t m_id;
};

// How the file dialog is answered.
class IFileAnswer {
  public:
    virtual ~IFileAnswer() = default;
    // True with the chosen path; false when the operator gave none.
    virtual bool Choose(const FileDialogRequest& request, std::string& path) = 0;
};

class CSessionHost : public IFormHost {
  public:
    CSessionHost(ISessionOutput& out, IFileAnswer& answer);
    ~CSessionHost() override;

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
    // The terminal pane's byte stream, handed to the output.
    class PaneEcho : public ITermEcho {
      public:
        explicit PaneEcho(ISessionOutput& out) : m_out(out) {}
        void Echo(char ch) override { m_out.Echo(ch); }

      private:
        ISessionOutput& m_out;
    };
    // A window with nothing to paint: repainting the pane means flushing the output.
    class PaneWindow : public NullTermWindow {
      public:
        explicit PaneWindow(ISessionOutput& out) : m_out(out) {}
        void UpdateWindow() override { m_out.FlushOut(); }

      private:
        ISessionOutput& m_out;
    };

    ISessionOutput& m_out;
    IFileAnswer& m_answer;
    PaneEcho m_echo;
    PaneWindow m_window;
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

}  // namespace korv
