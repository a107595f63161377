#pragma once
// A station: the port sessions of one run with their shared settings, served by one wait on one
// thread, with Ctrl+C and the run's exit status (the worst port's). Opens run on threads of their
// own, so a port that takes long to open holds up neither the others nor Ctrl+C; all the
// sessions' notices come through one queue, so the wait takes the same few handles however many
// ports there are.

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
    CStation(const CStation&) = delete;
    CStation& operator=(const CStation&) = delete;

    // False when the station's queue or the interrupt could not be set up.
    bool Valid() const { return m_queue.Valid() && m_interrupt.Valid(); }
    CStationQueue& Queue() { return m_queue; }
    CPortSession& Add(std::unique_ptr<CPortSession> session);
    const std::vector<std::unique_ptr<CPortSession>>& Sessions() const { return m_sessions; }
    bool Interrupted() { return m_interrupt.Raised(); }
    WaitHandle InterruptWaitable() const { return m_interrupt.Waitable(); }

    // Starts every session in order and serves them until each is done, the operator interrupts
    // (the sessions still run: StopAll ends them) or the wait fails (its error in *waitError).
    End Run(const CPortList& ports, IStationView& view, int* waitError);
    void StopAll(PortOutcome outcome, const std::string& why);
    std::vector<PortReport> Reports();
    // 0 only when every port's update was sent (or accepted), otherwise the worst port's status.
    int Status();

  private:
    CInterrupt& m_interrupt;
    StationWait m_wait;
    CStationQueue m_queue;
    std::vector<std::unique_ptr<CPortSession>> m_sessions;
};

}  // namespace korv
