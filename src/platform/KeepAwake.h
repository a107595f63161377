#pragma once
// Keeps the machine awake while a transfer runs. A PC left alone mid-update would otherwise go to
// sleep on its idle timer (which counts the keyboard and mouse, not a serial line) and cut the
// tester off halfway through its file. Held by the thread that sends, for as long as it sends.

namespace korv {

class CKeepAwake {
  public:
    // Windows: SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) on this thread,
    // cleared by the destructor (which must run on the same thread). Linux: nothing is asked of
    // the system (see the implementation); the count below is kept all the same.
    CKeepAwake();
    ~CKeepAwake();
    CKeepAwake(const CKeepAwake&) = delete;
    CKeepAwake& operator=(const CKeepAwake&) = delete;

    // How many holders exist in this process right now (any thread).
    static int Held();
};

}  // namespace korv
