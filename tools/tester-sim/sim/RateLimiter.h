#pragma once
// Paces consumption at a line rate. The allowance is computed from the time elapsed since a base
// instant, in exact integer arithmetic, so irregular wake-ups never make the rate drift.

#include <chrono>
#include <cstdint>

namespace korv::sim {

class RateLimiter {
  public:
    using Clock = std::chrono::steady_clock;

    // bytes_per_sec == 0 means unthrottled. burst is the most that may be spent at once after
    // an idle spell; at least 1.
    RateLimiter(uint64_t bytes_per_sec, uint64_t burst);

    void start(Clock::time_point t0);
    // Call when consumption becomes possible again after a spell when it was not (buffer was
    // empty, or a hold was in force): allowance earned while idle is capped at the burst.
    // While a backlog exists it is not called, so a late wake-up catches up in full.
    void resume(Clock::time_point now);

    uint64_t available(Clock::time_point now) const;
    void consume(uint64_t n) { granted_ += n; }
    // Earliest instant at which n more bytes are allowed.
    Clock::time_point when_available(uint64_t n) const;

  private:
    uint64_t earned(Clock::time_point now) const;

    uint64_t rate_;
    uint64_t burst_;
    Clock::time_point base_{};
    uint64_t granted_ = 0;
};

}  // namespace korv::sim
