#include "station/Station.h"

#include <algorithm>

#include "ports/PortList.h"

namespace korv {

CStation::CStation(CInterrupt& interrupt, StationWait wait)
    : m_interrupt(&interrupt), m_wait(std::move(wait)) {}

CStation::CStation() = default;

CPortSession& CStation::Add(std::unique_ptr<CPortSession> session) {
    m_sessions.push_back(std::move(session));
    m_started.push_back(false);
    return *m_sessions.back();
}

void CStation::Remove(size_t index, PortOutcome outcome, const std::string& why) {
    if (index >= m_sessions.size()) {
        return;
    }
    m_sessions[index]->Stop(outcome, why);
    m_sessions.erase(m_sessions.begin() + static_cast<std::ptrdiff_t>(index));
    m_started.erase(m_started.begin() + static_cast<std::ptrdiff_t>(index));
}

void CStation::Clear(PortOutcome outcome, const std::string& why) {
    StopAll(outcome, why);
    m_sessions.clear();
    m_started.clear();
}

CPortSession* CStation::SessionOf(size_t queueId) {
    // Sessions keep their places in the queue in the order they were added, and removing one
    // keeps the others' order: the search is short, and usually ends at the index itself.
    if (queueId < m_sessions.size() && m_sessions[queueId]->QueueId() == queueId) {
        return m_sessions[queueId].get();
    }
    for (auto& session : m_sessions) {
        if (session->QueueId() == queueId) {
            return session.get();
        }
    }
    return nullptr;
}

void CStation::Begin(const CPortList& ports) {
    for (size_t i = 0; i < m_sessions.size(); ++i) {
        if (!m_started[i]) {
            m_started[i] = true;
            m_sessions[i]->Start(ports);
        }
    }
}

void CStation::Serve() {
    // Each session with notices in the order they came: a busy port cannot keep the others
    // waiting.
    size_t ready = 0;
    while (m_queue.TakeReady(ready)) {
        if (CPortSession* session = SessionOf(ready)) {
            session->OnNotify();
        } else {
            // A removed session's open or reader that ended after it: nobody takes these.
            CStationQueue::Notice notice{};
            while (m_queue.Pop(ready, notice)) {
            }
        }
    }
    for (auto& session : m_sessions) {
        session->Tick();
    }
}

int CStation::TimeoutMs() const {
    int timeout = -1;
    for (const auto& session : m_sessions) {
        if (session->Done()) {
            continue;
        }
        const int t = session->TimeoutMs();
        if (t >= 0 && (timeout < 0 || t < timeout)) {
            timeout = t;
        }
    }
    return timeout;
}

bool CStation::Active() const {
    return std::any_of(m_sessions.begin(), m_sessions.end(),
                       [](const auto& session) { return !session->Done(); });
}

CStation::End CStation::Run(const CPortList& ports, IStationView& view, int* waitError) {
    for (size_t i = 0; i < m_sessions.size(); ++i) {
        if (Interrupted()) {
            return End::Interrupted;
        }
        if (!m_started[i]) {
            m_started[i] = true;
            m_sessions[i]->Start(ports);
        }
    }
    for (;;) {
        if (Interrupted()) {
            return End::Interrupted;
        }
        if (!Active()) {
            return End::Done;
        }
        int timeout = TimeoutMs();
        if (const int due = view.DueMs(); due >= 0) {
            timeout = timeout < 0 ? due : std::min(timeout, due);
        }
        int err = 0;
        int which = 0;
        if (m_interrupt != nullptr) {
            const WaitHandle handles[] = {m_queue.Waitable(), m_interrupt->Waitable()};
            which =
                m_wait ? m_wait(handles, 2, timeout, &err) : WaitForAny(handles, 2, timeout, &err);
        } else {
            const WaitHandle handles[] = {m_queue.Waitable()};
            which =
                m_wait ? m_wait(handles, 1, timeout, &err) : WaitForAny(handles, 1, timeout, &err);
        }
        if (which == WAIT_RESULT_FAILED) {
            if (waitError != nullptr) {
                *waitError = err;
            }
            return End::WaitFailed;
        }
        if (Interrupted()) {
            return End::Interrupted;
        }
        Serve();
        view.OnWake();
    }
}

void CStation::StopAll(PortOutcome outcome, const std::string& why) {
    for (auto& session : m_sessions) {
        session->Stop(outcome, why);
    }
}

std::vector<PortReport> CStation::Reports() {
    std::vector<PortReport> all;
    all.reserve(m_sessions.size());
    for (auto& session : m_sessions) {
        all.push_back(session->Report());
    }
    return all;
}

int CStation::Status() {
    return BatchStatus(Reports());
}

}  // namespace korv
