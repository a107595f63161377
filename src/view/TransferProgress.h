#pragma once
// The words every front end uses for a transfer: how far it has come while it runs, how it ended
// once it has, and an estimate of the time it has left; and when a form shows which of them.

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

namespace korv {

class CProgView;

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

// What a form shows below its controls: a bar in thousandths and the text beside it.
struct TransferDisplay {
    bool shown = false;  // neither is shown before the first transfer and once the port closed
    int permille = 0;
    std::string text;
};

// Follows the view's transfers for a form. After every call into the view the form asks Follow
// what to do; while a transfer runs it asks Progress again at a steady pace, on a timer of its own
// that Follow starts and stops. A transfer's outcome stays shown, the bar where it stopped, until
// the next one starts or the port closes.
class CTransferFollower {
  public:
    // A file was chosen: the transfer that follows starts afresh even when the view stays in the
    // sending state (a prompt during a transfer replaces it with the next one).
    void FileChosen() { m_bNewTransfer = true; }

    enum Timer { KEEP_TIMER, START_TIMER, STOP_TIMER };
    struct Step {
        Timer timer = KEEP_TIMER;
        bool redraw = false;  // show display; otherwise what is shown stays
        TransferDisplay display;
    };
    // view may be null (no view yet): nothing is shown then.
    Step Follow(const CProgView* view);
    // How far the transfer under way has come, with an estimate of the time it has left.
    TransferDisplay Progress(const CProgView& view);

  private:
    CTransferEstimate m_estimate;
    std::chrono::steady_clock::time_point m_start{};
    bool m_bFollowing = false;
    bool m_bNewTransfer = false;
};

}  // namespace korv
