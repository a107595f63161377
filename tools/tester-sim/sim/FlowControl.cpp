// Hysteresis between the high and low marks of the tester's receive buffer.

#include "sim/FlowControl.h"

#include <algorithm>

namespace korv::sim {

FlowControl::FlowControl(std::size_t capacity, std::size_t high, std::size_t low)
    : capacity_(capacity), high_(high), low_(low) {}

FlowAction FlowControl::settle(bool was_stopped) {
    if (fill_ > high_) {
        over_ = true;
    } else if (fill_ < low_) {
        over_ = false;
    }
    const bool now_stopped = stopped();
    if (now_stopped == was_stopped) {
        return FlowAction::None;
    }
    return now_stopped ? FlowAction::SendXoff : FlowAction::SendXon;
}

FlowAction FlowControl::on_moved(std::size_t in, std::size_t out) {
    const bool was = stopped();
    fill_ = std::min(capacity_, fill_ + in);
    fill_ -= std::min(fill_, out);
    return settle(was);
}

FlowAction FlowControl::hold() {
    held_ = true;
    return FlowAction::SendXoff;
}

FlowAction FlowControl::release() {
    held_ = false;
    return over_ ? FlowAction::None : FlowAction::SendXon;
}

FlowAction FlowControl::reset() {
    const bool was = stopped();
    fill_ = 0;
    return settle(was);
}

}  // namespace korv::sim
