// Token bucket over elapsed time. Products are split by whole seconds so that neither long runs
// nor high rates overflow 64 bits (rates are limited to 1e9 bytes/s by the option parser).

#include "sim/RateLimiter.h"

#include <algorithm>
#include <limits>

namespace korv::sim {
namespace {
constexpr uint64_t kNsPerSec = 1'000'000'000;
}

RateLimiter::RateLimiter(uint64_t bytes_per_sec, uint64_t burst)
    : rate_(bytes_per_sec), burst_(std::max<uint64_t>(1, burst)) {}

void RateLimiter::start(Clock::time_point t0) {
    base_ = t0;
    granted_ = 0;
}

uint64_t RateLimiter::earned(Clock::time_point now) const {
    if (now <= base_) {
        return 0;
    }
    const auto d = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - base_).count());
    return (d / kNsPerSec) * rate_ + (d % kNsPerSec) * rate_ / kNsPerSec;
}

uint64_t RateLimiter::available(Clock::time_point now) const {
    if (rate_ == 0) {
        return std::numeric_limits<uint64_t>::max();
    }
    const uint64_t e = earned(now);
    return e > granted_ ? e - granted_ : 0;
}

void RateLimiter::resume(Clock::time_point now) {
    if (rate_ == 0 || available(now) <= burst_) {
        return;
    }
    // Rebase so that exactly `burst_` is available now: ceil(burst * 1e9 / rate) ns ago.
    const uint64_t back_ns =
        (burst_ / rate_) * kNsPerSec + ((burst_ % rate_) * kNsPerSec + rate_ - 1) / rate_;
    base_ = now - std::chrono::nanoseconds(static_cast<int64_t>(back_ns));
    granted_ = 0;
}

RateLimiter::Clock::time_point RateLimiter::when_available(uint64_t n) const {
    if (rate_ == 0) {
        return base_;
    }
    const uint64_t k = granted_ + n;
    const uint64_t ns = (k / rate_) * kNsPerSec + ((k % rate_) * kNsPerSec + rate_ - 1) / rate_;
    return base_ + std::chrono::nanoseconds(static_cast<int64_t>(ns));
}

}  // namespace korv::sim
