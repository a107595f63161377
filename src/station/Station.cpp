#include "station/Station.h"

#include <algorithm>

#include "ports/PortList.h"

namespace korv {

CStation::CStation(CInterrupt& interrupt, StationWait wait)
    : m_interrupt(interrupt), m_wait(std::move(wait)) {}

CPortSession& CStation::Add(std::unique_ptr<CPortSession> session) {
    m_sessions.push_back(std::move(session));
    return *m_sessions.back();
}

CStation::End CStation::Run(const CPortList& ports, IStationView& view, int* waitError) {
    for (auto& session : m_sessions) {
        if (m_interrupt.Raised()) {
            return End::Interrupted;
        }
        session->Start(ports);
    }
    for (;;) {
        if (m_interrupt.Raised()) {
            return End::Interrupted;
        }
        int timeout = -1;
        bool running = false;
        for (const auto& session : m_sessions) {
            if (session->Done()) {
                continue;
            }
            running = true;
            const int t = session->TimeoutMs();
            if (t >= 0 && (timeout < 0 || t < timeout)) {
                timeout = t;
            }
        }
        if (!running) {
            return End::Done;
        }
        if (const int due = view.DueMs(); due >= 0) {
            timeout = timeout < 0 ? due : std::min(timeout, due);
        }
        const WaitHandle handles[] = {m_queue.Waitable(), m_interrupt.Waitable()};
        int err = 0;
        const int which =
            m_wait ? m_wait(handles, 2, timeout, &err) : WaitForAny(handles, 2, timeout, &err);
        if (which == WAIT_RESULT_FAILED) {
            if (waitError != nullptr) {
                *waitError = err;
            }
            return End::WaitFailed;
        }
        if (m_interrupt.Raised()) {
            return End::Interrupted;
        }
        // Each session with notices in the order they came: a busy port cannot keep the others
        // waiting.
        size_t ready = 0;
        while (m_queue.TakeReady(ready)) {
            m_sessions[ready]->OnNotify();
        }
        for (auto& session : m_sessions) {
            session->Tick();
        }
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
