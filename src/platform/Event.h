#pragma once
// A manual-reset event: stays signalled until Reset, and can be waited on together with a serial
// port or other events (WaitForAny). Set/Reset/IsSet may be called from any thread.

#include <memory>

#include "platform/Wait.h"

namespace korv {

class Event {
  public:
    // Creates an unsignalled event. Returns nullptr and stores the error code in *err on failure.
    static std::unique_ptr<Event> Create(int* err);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    // Waits up to timeoutMs (-1: no limit) for the event. True when it is signalled.
    bool Wait(int timeoutMs) const;
    // Signalled (readable, on Linux) while the event is set.
    WaitHandle Waitable() const;

  private:
    struct Impl;
    explicit Event(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace korv
