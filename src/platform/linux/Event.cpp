// Manual-reset events for the worker threads, over eventfd so that a wait on the serial line and
// a wait on the event can be one poll() call.

#include "platform/Event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

#include "platform/linux/SysCall.h"

namespace korv {

struct Event::Impl {
    explicit Impl(int fd) : fd(fd) {}
    ~Impl() { ::close(fd); }
    int fd;
    // Set and Reset are serialised so the flag and the descriptor never disagree.
    std::mutex mutex;
    std::atomic<bool> set{false};
};

Event::Event(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

Event::~Event() = default;

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
    return std::unique_ptr<Event>(new Event(std::make_unique<Impl>(fd)));
}

void Event::Set() {
    // The counter only ever needs to be non-zero; skipping the write when it already is keeps it
    // far from overflow however often Set is called.
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (m_impl->set.load(std::memory_order_relaxed))
        return;
    m_impl->set.store(true, std::memory_order_release);
    const uint64_t one = 1;
    sys::RetryEintr([&] { return ::write(m_impl->fd, &one, sizeof one); });
}

void Event::Reset() {
    // A non-semaphore eventfd read returns the whole counter and zeroes it; EAGAIN when already 0.
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    uint64_t value = 0;
    sys::RetryEintr([&] { return ::read(m_impl->fd, &value, sizeof value); });
    m_impl->set.store(false, std::memory_order_release);
}

bool Event::IsSet() const {
    // The flag mirrors the descriptor so the sender can look before every write without a
    // system call; waits still poll the descriptor.
    return m_impl->set.load(std::memory_order_acquire);
}

bool Event::Wait(int timeoutMs) const {
    pollfd p{m_impl->fd, POLLIN, 0};
    return sys::Poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN);
}

WaitHandle Event::Waitable() const {
    return m_impl->fd;
}

}  // namespace korv
