// Keeping the machine awake on Linux: nothing is asked of the system. A desktop session's idle
// suspend would be held off through logind's inhibitor lock over D-Bus, which this build does not
// link, and the machines that run testers are set not to suspend; the holders are still counted
// so that the core's use of the facility is the same on both systems.

#include "platform/KeepAwake.h"

#include <atomic>

namespace korv {

namespace {

std::atomic<int> g_held{0};

}  // namespace

CKeepAwake::CKeepAwake() {
    g_held.fetch_add(1, std::memory_order_relaxed);
}

CKeepAwake::~CKeepAwake() {
    g_held.fetch_sub(1, std::memory_order_relaxed);
}

int CKeepAwake::Held() {
    return g_held.load(std::memory_order_relaxed);
}

}  // namespace korv
