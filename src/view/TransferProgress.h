#pragma once
// The words every front end uses for a transfer: how far it has come while it runs, how it ended
// once it has, and an estimate of the time it has left.

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

namespace korv {

// How the last transfer ended; NONE while one runs, before the first and once the port closed.
struct TransferOutcome {
    enum Kind { NONE, SENT, ABORTED, FAILED };
    Kind kind = NONE;
    uint64_t done = 0;    // bytes that reached the line
    uint64_t total = 0;   // the file's size
    int64_t seconds = 0;  // from the start to the end of the transfer, rounded
};

// "12.0 of 40.0 KiB, 0:07 left"; secondsLeft < 0 leaves the estimate out.
std::string FormatTransferProgress(uint64_t done, uint64_t total, int64_t secondsLeft);
// "Sent 39.1 KiB in 0:07", "Aborted at 21.5 of 39.1 KiB", "Failed at 21.5 of 39.1 KiB"; empty
// for NONE. Short enough for the place the progress text has in the form.
std::string FormatTransferOutcome(const TransferOutcome& outcome);

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

}  // namespace korv
