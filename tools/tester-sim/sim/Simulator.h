#pragma once
// The simulated tester itself: a pty pair and one poll loop that boots, prompts, receives at a
// line rate with XOFF/XON from a bounded buffer, obeys stdin commands and reports on stdout.
// One thread, non-blocking I/O: it must keep reading the update while it floods the line,
// or a slow reader on the other side would deadlock both.

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "sim/FlowControl.h"
#include "sim/Options.h"
#include "sim/RateLimiter.h"
#include "sim/Texts.h"
#include "sim/UniqueFd.h"

namespace korv::sim {

class Simulator {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    explicit Simulator(Options options);

    // Creates the pty pair and keeps a slave descriptor of its own, so that the program's
    // closes and reopens never hang up the line. Returns an error text, empty on success.
    std::string open_line();
    const std::string& slave_path() const { return slave_path_; }

    // Runs to completion. stop_fd becomes readable when the process is asked to stop
    // (a signalfd), -1 for none. Returns the exit status.
    int run(int stop_fd);

  private:
    enum class State { WaitOpen, Settle, Banner, Awaiting, Receiving, Between, Linger, Done };
    struct Piece {
        TimePoint at;
        std::string text;
        std::string marker;
    };

    void step(TimePoint now);
    std::optional<TimePoint> next_deadline() const;
    void start_banner(TimePoint now);
    bool tool_has_configured() const;
    bool output_drained(TimePoint now) const;

    void on_readable(TimePoint now);
    void begin_update(TimePoint now);
    void absorb(const char* data, std::size_t n, TimePoint now);
    void finish_update(TimePoint now);
    void abort_update();
    void apply(FlowAction action, TimePoint now);
    void hangup(TimePoint now);
    void restart(TimePoint now);

    void enqueue(const std::string& text, const std::string& marker = {});
    void on_writable();
    bool wants_to_write() const;
    void flush_markers();
    void start_flood(uint64_t bytes);

    void on_stdin(TimePoint now);
    void command(const std::string& line, TimePoint now);
    void event(const std::string& line);

    Options o_;
    UniqueFd master_;
    UniqueFd slave_;
    std::string slave_path_;

    State state_ = State::WaitOpen;
    TimePoint deadline_{};
    std::deque<Piece> pieces_;

    // Line output. Offsets count text bytes ever queued/written, so markers survive compaction.
    std::string out_;
    std::size_t out_pos_ = 0;
    uint64_t queued_ = 0;
    uint64_t written_ = 0;
    std::deque<std::pair<uint64_t, std::string>> markers_;
    std::string xchars_;  // flow-control bytes, sent ahead of any text as a UART does
    bool tool_stopped_ = false;
    TimePoint last_write_{};
    FloodSource flood_;
    uint64_t flood_run_ = 0;

    // The update being received.
    FlowControl flow_;
    RateLimiter limiter_;
    uint64_t received_ = 0;
    uint32_t crc_ = 0;
    std::string head_;
    TimePoint quiet_since_{};
    UniqueFd save_fd_;
    std::optional<TimePoint> hold_until_;

    uint64_t updates_done_ = 0;
    bool bad_header_ = false;
    bool save_failed_ = false;
    bool line_failed_ = false;

    bool stdin_open_ = true;
    std::string stdin_buf_;
};

}  // namespace korv::sim
