// Keeping the machine awake on Windows: the sending thread's execution state. The system keeps
// the state per thread and drops it when the thread ends, so a sender that dies cannot leave the
// PC awake for ever.

#include "platform/win32/Win32.h"

#include <atomic>

#include "platform/KeepAwake.h"

namespace korv {

namespace {

std::atomic<int> g_held{0};

}  // namespace

CKeepAwake::CKeepAwake() {
    // Only the system's sleep is held off; the display may still turn off as the user set it.
    ::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    g_held.fetch_add(1, std::memory_order_relaxed);
}

CKeepAwake::~CKeepAwake() {
    g_held.fetch_sub(1, std::memory_order_relaxed);
    ::SetThreadExecutionState(ES_CONTINUOUS);
}

int CKeepAwake::Held() {
    return g_held.load(std::memory_order_relaxed);
}

}  // namespace korv
