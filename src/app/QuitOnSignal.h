#pragma once
// SIGINT and SIGTERM end the event loop instead of the process, so that the program still closes
// its port, stops its workers and (in the demo) its simulated tester on the way out. A second
// signal, while the first is being acted on, ends the program the ordinary way.

#include <memory>

#include "platform/Wait.h"

class QSocketNotifier;

namespace korv {

class CQuitOnSignal {
  public:
    CQuitOnSignal();
    ~CQuitOnSignal();
    CQuitOnSignal(const CQuitOnSignal&) = delete;
    CQuitOnSignal& operator=(const CQuitOnSignal&) = delete;

  private:
    CInterrupt m_signals;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

}  // namespace korv
