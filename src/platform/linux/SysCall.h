#pragma once
// Internal to the platform layer: the one place that retries system calls interrupted by a
// signal (EINTR), so that no caller can forget to and no wait silently grows past its limit.

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>

namespace korv::sys {

// Repeats call() while it fails with EINTR. call returns a signed result, -1 with errno set.
template <class Call>
auto RetryEintr(Call call) -> decltype(call()) {
    decltype(call()) r;
    do {
        r = call();
    } while (r == -1 && errno == EINTR);
    return r;
}

// poll() that keeps its overall limit across EINTR: a signal must neither end the wait early nor
// restart the full time-out. timeoutMs < 0 waits without limit. Returns poll's result (-1 errno).
inline int Poll(pollfd* fds, nfds_t count, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int wait = timeoutMs;
    for (;;) {
        int r = ::poll(fds, count, wait);
        if (r != -1 || errno != EINTR)
            return r;
        if (timeoutMs >= 0) {
            auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
    }
}

// Milliseconds left until deadline, rounded up so a poll never wakes just before it, clamped
// to poll()'s int range.
inline int MsUntil(std::chrono::steady_clock::time_point deadline) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    if (left <= 0)
        return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

}  // namespace korv::sys
