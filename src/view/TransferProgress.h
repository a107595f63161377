#pragma once
// How far a transfer has come and how long it has to go, as the desktop programs show it beside
// the action button.

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

namespace korv {

// Estimates the time a transfer has left from the bytes sent over the last few seconds. The first
// second is left out: the driver's and the tester's buffers swallow a burst then, faster than the
// line can carry it, and an estimate from it would be far too hopeful.
class CTransferEstimate {
  public:
    void Start() { m_samples.clear(); }
    // Bytes sent so far, elapsedMs after the transfer began.
    void Sample(int64_t elapsedMs, uint64_t done);
    // Whole seconds left for total bytes, or -1 while there is no steady rate to go by.
    int64_t SecondsLeft(uint64_t total) const;

    static constexpr int64_t kWarmUpMs = 1000;
    static constexpr int64_t kWindowMs = 5000;
    static constexpr int64_t kMinSpanMs = 1000;

  private:
    std::deque<std::pair<int64_t, uint64_t>> m_samples;
};

// "12.0 of 40.0 KiB, 0:07 left"; secondsLeft < 0 leaves the estimate out.
std::string FormatTransferProgress(uint64_t done, uint64_t total, int64_t secondsLeft);

// What became of the last transfer, for the place the progress was shown: "Sent 40.0 KiB."
// when its last byte went out; otherwise how far it came before it was stopped (abort, a new
// prompt) or failed (failed is true; the reason has been reported already).
std::string FormatTransferOutcome(bool completed, bool failed, uint64_t done, uint64_t total);

}  // namespace korv
