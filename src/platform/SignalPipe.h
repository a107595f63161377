#pragma once
// SIGINT and SIGTERM as a readable descriptor, for the console's main loop and the desktop
// program's event loop alike. The handler only writes one byte to a pipe; the
// main loop polls the read end beside its other descriptors. The handler is installed with
// SA_RESETHAND, so a second signal, while the first is still being acted on, ends the program
// the ordinary way.

namespace korv {

class CSignalPipe {
  public:
    CSignalPipe();
    ~CSignalPipe();  // restores the previous handlers
    CSignalPipe(const CSignalPipe&) = delete;
    CSignalPipe& operator=(const CSignalPipe&) = delete;

    bool Valid() const { return m_readFd >= 0; }
    int Fd() const { return m_readFd; }
    // True once a signal has arrived (reads what the handler wrote).
    bool Raised();

  private:
    int m_readFd = -1;
    bool m_raised = false;
};

}  // namespace korv
