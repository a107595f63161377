#pragma once
// A station: the port sessions of one run with their shared settings, served by one wait on one
// thread, with Ctrl+C and the run's exit status (the worst port's). Opens run on threads of their
// own, so a port that takes long to open holds up neither the others nor Ctrl+C; all the
// sessions' notices come through one queue, so the wait takes the same few handles however many
// ports there are.
//
// Two ways to drive it: Run blocks in its own wait until every port is done (the console); a
// window's event loop drives it instead through Begin, Waitable, Serve and TimeoutMs, and may add
// and remove sessions between two calls.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Wait.h"
#include "station/PortSession.h"
#include "station/SessionHost.h"

namespace korv {

class CPortList;

// How a station waits (WaitForAny; a test may make it fail).
using StationWait =
    std::function<int(const WaitHandle* handles, size_t count, int timeoutMs, int* err)>;

// What a front end does between the station's waits: it draws, and offers its own output again.
class IStationView {
  public:
    virtual ~IStationView() = default;
    // Milliseconds until the front end has something to do (-1: nothing).
    virtual int DueMs() = 0;
    // After the sessions have been served, at every wake-up.
    virtual void OnWake() = 0;
};

class CStation {
  public:
    enum class End { Done, Interrupted, WaitFailed };

    explicit CStation(CInterrupt& interrupt, StationWait wait = {});
    // A station without Ctrl+C: a window's, stopped by the operator's commands.
    CStation();
    CStation(const CStation&) = delete;
    CStation& operator=(const CStation&) = delete;

    // False when the station's queue or the interrupt could not be set up.
    bool Valid() const {
        return m_queue.Valid() && (m_interrupt == nullptr || m_interrupt->Valid());
    }
    CStationQueue& Queue() { return m_queue; }
    // A session made on this station's queue; it is started by the next Begin (or Run).
    CPortSession& Add(std::unique_ptr<CPortSession> session);
    // Ends the session's run (Stop with outcome and why unless it is done) and drops it; notices
    // it still has coming are dropped as they come.
    void Remove(size_t index, PortOutcome outcome, const std::string& why);
    // Removes every session (ended as Remove does).
    void Clear(PortOutcome outcome, const std::string& why);
    const std::vector<std::unique_ptr<CPortSession>>& Sessions() const { return m_sessions; }
    bool Interrupted() { return m_interrupt != nullptr && m_interrupt->Raised(); }

    // Starts every session in order and serves them until each is done, the operator interrupts
    // (the sessions still run: StopAll ends them) or the wait fails (its error in *waitError).
    End Run(const CPortList& ports, IStationView& view, int* waitError);

    // The event loop's drive. Begin starts every session not started yet, in order. Waitable is
    // signalled while notices wait; Serve dispatches them, ticks every session and returns.
    // TimeoutMs is how long the loop may wait before Serve is due again without a notice (-1: not
    // before the next notice).
    void Begin(const CPortList& ports);
    WaitHandle Waitable() const { return m_queue.Waitable(); }
    void Serve();
    int TimeoutMs() const;
    // Some session has not ended its run.
    bool Active() const;

    void StopAll(PortOutcome outcome, const std::string& why);
    std::vector<PortReport> Reports();
    // 0 only when every port's update was sent (or accepted), otherwise the worst port's status.
    int Status();

  private:
    // The session that takes the queue's notices of id; null when it was removed.
    CPortSession* SessionOf(size_t queueId);

    CInterrupt* m_interrupt = nullptr;
    StationWait m_wait;
    CStationQueue m_queue;
    std::vector<std::unique_ptr<CPortSession>> m_sessions;
    std::vector<bool> m_started;  // by session
};

}  // namespace korv
