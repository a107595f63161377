#include "station/SessionHost.h"

#include <algorithm>
#include <cstdint>

namespace korv {

CStationQueue::CStationQueue() : m_wake(Event::Create(nullptr)) {}

CStationQueue::~CStationQueue() = default;

size_t CStationQueue::AddSession() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_notices.emplace_back();
    m_listed.push_back(false);
    return m_notices.size() - 1;
}

void CStationQueue::Post(size_t session, uint32_t wParam, uint32_t lParam) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_notices[session].push_back({wParam, lParam});
    ++m_waiting;
    if (!m_listed[session]) {
        m_listed[session] = true;
        m_ready.push_back(session);
    }
    // Set under the lock: a TakeReady that finds nothing and clears the wake-up cannot come
    // between this notice and its wake-up.
    m_wake->Set();
}

bool CStationQueue::TakeReady(size_t& session) {
    std::lock_guard<std::mutex> lock(m_mutex);
    while (!m_ready.empty()) {
        const size_t s = m_ready.front();
        m_ready.pop_front();
        m_listed[s] = false;
        if (!m_notices[s].empty()) {
            session = s;
            return true;
        }
    }
    if (m_waiting == 0) {
        m_wake->Reset();
    }
    return false;
}

bool CStationQueue::Pop(size_t session, Notice& notice) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto& notices = m_notices[session];
    if (notices.empty()) {
        return false;
    }
    notice = notices.front();
    notices.pop_front();
    --m_waiting;
    if (notices.empty() && m_listed[session]) {
        // Taken by the session itself (a dialog's own loop): nothing is left to wake for.
        m_listed[session] = false;
        m_ready.erase(std::find(m_ready.begin(), m_ready.end(), session));
    }
    if (m_waiting == 0) {
        m_wake->Reset();
    }
    return true;
}

CSessionHost::CSessionHost(ISessionOutput& out, IFileAnswer& answer)
    : m_out(out), m_answer(answer), m_echo(out), m_window(out) {
    m_term.SetEcho(&m_echo);
    m_term.AttachWindow(&m_window);
    // An 80 x 24 grid: the model keeps the screen, the echo carries the bytes to the output.
    m_term.SetCellSize(1, 1);
    m_term.OnSize(82, 26);
}

CSessionHost::~CSessionHost() {
    m_term.AttachWindow(nullptr);
    m_term.SetEcho(nullptr);
}

void CSessionHost::BeginDispatch() {
    m_dialogCalls = 0;
    m_dialogCancelled = false;
}

void CSessionHost::ComboResetContent() {
    m_combo.clear();
    m_sel = -1;
}

int CSessionHost::ComboAddString(const std::string& name) {
    m_combo.push_back(name);
    return static_cast<int>(m_combo.size()) - 1;
}

void CSessionHost::ComboSetCurSel(int index) {
    m_sel = index >= 0 && index < static_cast<int>(m_combo.size()) ? index : -1;
}

std::string CSessionHost::ComboGetText() {
    return m_sel >= 0 ? m_combo[static_cast<size_t>(m_sel)] : std::string();
}

void CSessionHost::MessageBox(const std::string& text) {
    m_lastMessage = text;
    ++m_messageCount;
    m_out.Message(text);
}

void CSessionHost::PumpWhileDialog() {
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

bool CSessionHost::RunFileDialog(FileDialogRequest& request) {
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

}  // namespace korv
