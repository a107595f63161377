#pragma once
// The tester's bounded receive buffer and the XOFF/XON decisions it drives. Pure logic, so the
// marks can be checked without a line: the caller moves bytes in and out and sends what it is told.

#include <cstddef>

namespace korv::sim {

enum class FlowAction { None, SendXoff, SendXon };

class FlowControl {
  public:
    // Requires low < high <= capacity. XOFF goes out once fill > high, XON once fill < low.
    FlowControl(std::size_t capacity, std::size_t high, std::size_t low);

    std::size_t capacity() const { return capacity_; }
    std::size_t fill() const { return fill_; }
    std::size_t room() const { return capacity_ - fill_; }
    // True while the far end has been told to stop (by the marks or by a hold).
    bool stopped() const { return held_ || over_; }
    bool held() const { return held_; }

    // Bytes in and out in one step: marks are judged on the net fill, so bytes that are read
    // and consumed at once do not make the line chatter.
    FlowAction on_moved(std::size_t in, std::size_t out);
    FlowAction on_received(std::size_t n) { return on_moved(n, 0); }
    FlowAction on_consumed(std::size_t n) { return on_moved(0, n); }
    // A hold is an explicit XOFF: it is always sent, even when the marks had already stopped the
    // line, because a real keypad XOFF goes out regardless.
    FlowAction hold();
    // Ends a hold. XON is held back while the buffer is still above its low mark, otherwise
    // it would overrun; with no hold in force it is sent anyway to unstick a stalled sender.
    FlowAction release();
    // Drops whatever is buffered (the update ended); frees the line unless a hold is in force.
    FlowAction reset();

  private:
    FlowAction settle(bool was_stopped);

    std::size_t capacity_;
    std::size_t high_;
    std::size_t low_;
    std::size_t fill_ = 0;
    bool over_ = false;
    bool held_ = false;
};

}  // namespace korv::sim
