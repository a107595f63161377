// Manual-reset events for the worker threads, over eventfd so that a wait on the serial line and
// a wait on the event can be one poll() call.

#include "platform/Event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

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
    // far from overflow however often Set is called. Two racing Sets may both write: harmless,
    // because Reset's single read takes the whole count.
    if (IsSet())
        return;
    const uint64_t one = 1;
    sys::RetryEintr([&] { return ::write(m_fd, &one, sizeof one); });
}

void Event::Reset() {
    // A non-semaphore eventfd read returns the whole counter and zeroes it; EAGAIN when already 0.
    uint64_t value = 0;
    sys::RetryEintr([&] { return ::read(m_fd, &value, sizeof value); });
}

bool Event::IsSet() const {
    return Wait(0);
}

bool Event::Wait(int timeoutMs) const {
    pollfd p{m_fd, POLLIN, 0};
    return sys::Poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN);
}

}  // namespace korv
