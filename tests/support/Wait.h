#pragma once
// Waiting for a condition with a generous deadline instead of sleeping for a fixed time.
// (The desktop program's tests wait through Qt's event loop instead; see tests/gui.)

#ifndef _WIN32
#include <poll.h>
#endif

#include <chrono>
#include <thread>

namespace korv::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// CI machines are slow and shared, sanitizer builds slower still: every wait gets this long
// before it counts as a failure. A passing test never waits this long.
inline constexpr std::chrono::milliseconds kDeadline = 60s;

// Polls cond until it holds or the deadline passes; the result of the last evaluation.
template <class Cond>
bool WaitUntil(Cond cond, std::chrono::milliseconds limit = kDeadline) {
    const auto end = Clock::now() + limit;
    while (!cond()) {
        if (Clock::now() > end) {
            return cond();
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

#ifndef _WIN32
// True when fd would not block a read right now.
inline bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}
#endif

inline double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Milliseconds left until deadline, never negative.
inline int MsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace korv::test
