// Manual-reset events for the worker threads, over eventfd so that a wait on the serial line and
// a wait on the event can be one poll() call.

#include "platform/Event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>

#include "platform/SysCall.h"

namespace korv {

std::unique_ptr<Event> Event::Create(int* err) {
    // Non-blocking so that Reset on an unsignalled event returns instead of waiting for a Set.
    int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        if (err)
            *err = errno;
        return nullptr;
    }
    if (err)
        *err = 0;
    return std::unique_ptr<Event>(new Event(fd));
}

Event::~Event() {
    ::close(m_fd);
}

void Event::Set() {
    // The counter only ever needs to be non-zero; skipping the write when it already is keeps it
    // far from overflow however often Set is called. Set and Reset are serialised so the flag
    // and the descriptor never disagree.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_set.load(std::memory_order_relaxed))
        return;
    m_set.store(true, std::memory_order_release);
    const uint64_t one = 1;
    sys::RetryEintr([&] { return ::write(m_fd, &one, sizeof one); });
}

void Event::Reset() {
    // A non-semaphore eventfd read returns the whole counter and zeroes it; EAGAIN when already 0.
    std::lock_guard<std::mutex> lock(m_mutex);
    uint64_t value = 0;
    sys::RetryEintr([&] { return ::read(m_fd, &value, sizeof value); });
    m_set.store(false, std::memory_order_release);
}

bool Event::IsSet() const {
    // The flag mirrors the descriptor so the sender can look before every write without a
    // system call; waits still poll the descriptor.
    return m_set.load(std::memory_order_acquire);
}

bool Event::Wait(int timeoutMs) const {
    pollfd p{m_fd, POLLIN, 0};
    return sys::Poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN);
}

}  // namespace korv
