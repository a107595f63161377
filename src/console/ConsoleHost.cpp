#include "console/ConsoleHost.h"

#include <cstdint>
#include "view/ProgView.h"

namespace korv {

CNotifyQueue::CNotifyQueue() : m_wake(Event::Create(nullptr)) {}

CNotifyQueue::~CNotifyQueue() = default;

void CNotifyQueue::PostCommNotify(uint32_t wParam, uint32_t lParam) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_notices.push_back({wParam, lParam});
    }
    m_wake->Set();
}

void CNotifyQueue::ClearWake() {
    // A notice posted after this reset wakes the next wait; one posted before it is still popped
    // by the caller's loop that follows.
    m_wake->Reset();
}

bool CNotifyQueue::Pop(Notice& notice) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_notices.empty()) {
        return false;
    }
    notice = m_notices.front();
    m_notices.pop_front();
    return true;
}

CConsoleHost::CConsoleHost(CConsoleOutput& out, IFileAnswer& answer)
    : m_out(out), m_answer(answer), m_echo(out), m_window(out) {
    m_term.SetEcho(&m_echo);
    m_term.AttachWindow(&m_window);
    // An 80 x 24 grid: the model keeps the screen, the echo carries the bytes to stdout.
    m_term.SetCellSize(1, 1);
    m_term.OnSize(82, 26);
}

CConsoleHost::~CConsoleHost() {
    m_term.AttachWindow(nullptr);
    m_term.SetEcho(nullptr);
}

void CConsoleHost::BeginDispatch() {
    m_dialogCalls = 0;
    m_dialogCancelled = false;
}

void CConsoleHost::ComboResetContent() {
    m_combo.clear();
    m_sel = -1;
}

int CConsoleHost::ComboAddString(const std::string& name) {
    m_combo.push_back(name);
    return static_cast<int>(m_combo.size()) - 1;
}

void CConsoleHost::ComboSetCurSel(int index) {
    m_sel = index >= 0 && index < static_cast<int>(m_combo.size()) ? index : -1;
}

std::string CConsoleHost::ComboGetText() {
    return m_sel >= 0 ? m_combo[static_cast<size_t>(m_sel)] : std::string();
}

void CConsoleHost::MessageBox(const std::string& text) {
    m_lastMessage = text;
    ++m_messageCount;
    m_out.Message(text);
}

void CConsoleHost::PumpWhileDialog() {
    if (!m_pump || m_inPump) {
        return;
    }
    // What the pump dispatches belongs to this dialog's dispatch, not to a new one.
    const int calls = m_dialogCalls;
    const bool cancelled = m_dialogCancelled;
    m_inPump = true;
    m_pump();
    m_inPump = false;
    m_dialogCalls = calls;
    m_dialogCancelled = cancelled;
}

bool CConsoleHost::RunFileDialog(FileDialogRequest& request) {
    if (m_inPump) {
        // A dialog asked for while another one is up: there is only one answer to give.
        return false;
    }
    ++m_dialogCalls;
    PumpWhileDialog();
    if (m_dialogCalls > 1 || m_refuseDialogs) {
        m_dialogCancelled = true;
        return false;
    }
    std::string path;
    if (!m_answer.Choose(request, path) || path.empty()) {
        m_dialogCancelled = true;
        return false;
    }
    request.fileName = path;
    return true;
}

void DispatchNotices(CNotifyQueue& queue, CProgView& view, CConsoleHost* host,
                     const std::function<void(uint32_t code, int stateBefore)>& handled) {
    CNotifyQueue::Notice notice{};
    queue.ClearWake();
    while (queue.Pop(notice)) {
        const int before = view.State();
        if (host != nullptr) {
            host->BeginDispatch();
        }
        view.OnCommNotify(notice.wParam, notice.lParam);
        handled(notice.lParam, before);
    }
}

}  // namespace korv
