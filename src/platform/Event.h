#pragma once
// A manual-reset event over eventfd: stays signalled until Reset, and can be waited on with poll()
// together with a descriptor. Set/Reset/IsSet may be called from any thread.

#include <atomic>
#include <memory>
#include <mutex>

namespace korv {

class Event {
  public:
    // Creates an unsignalled event. Returns nullptr and stores errno in *err on failure.
    static std::unique_ptr<Event> Create(int* err);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    // Waits up to timeoutMs (-1: no limit) for the event. True when it is signalled.
    bool Wait(int timeoutMs) const;
    // Readable (POLLIN) while signalled.
    int fd() const { return m_fd; }

  private:
    explicit Event(int fd) : m_fd(fd) {}
    int m_fd;
    std::mutex m_mutex;
    std::atomic<bool> m_set{false};
};

}  // namespace korv
