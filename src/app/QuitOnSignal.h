#pragma once
// SIGINT and SIGTERM end the event loop instead of the process, so that the program still closes
// its port, stops its workers and (in the demo) its simulated tester on the way out. The handler
// only writes a byte to a pipe; the GUI thread reads it. A second signal, while the first is
// being acted on, ends the program the ordinary way.

#include <memory>

class QSocketNotifier;

namespace korv {

class CQuitOnSignal {
  public:
    CQuitOnSignal();
    ~CQuitOnSignal();  // restores the previous handlers
    CQuitOnSignal(const CQuitOnSignal&) = delete;
    CQuitOnSignal& operator=(const CQuitOnSignal&) = delete;

  private:
    int m_readFd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

}  // namespace korv
