#include "platform/SignalPipe.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace korv {

namespace {

// The write end for the handler. A signal handler can reach nothing else; a process has one
// signal pipe at a time.
std::atomic<int> g_signalWriteFd{-1};
struct sigaction g_oldInt;
struct sigaction g_oldTerm;
struct sigaction g_oldPipe;

extern "C" void OnSignal(int) {
    const int saved = errno;
    const int fd = g_signalWriteFd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

CSignalPipe::CSignalPipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    m_readFd = fds[0];
    g_signalWriteFd.store(fds[1], std::memory_order_relaxed);

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND | SA_RESTART;
    ::sigaction(SIGINT, &sa, &g_oldInt);
    ::sigaction(SIGTERM, &sa, &g_oldTerm);

    // A reader that went away (stdout piped into head) must not kill the program mid-transfer;
    // writes then fail with EPIPE instead.
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    ::sigaction(SIGPIPE, &ign, &g_oldPipe);
}

CSignalPipe::~CSignalPipe() {
    if (m_readFd < 0) {
        return;
    }
    ::sigaction(SIGINT, &g_oldInt, nullptr);
    ::sigaction(SIGTERM, &g_oldTerm, nullptr);
    ::sigaction(SIGPIPE, &g_oldPipe, nullptr);
    const int writeFd = g_signalWriteFd.exchange(-1, std::memory_order_relaxed);
    ::close(writeFd);
    ::close(m_readFd);
}

bool CSignalPipe::Raised() {
    char buf[16];
    while (m_readFd >= 0) {
        const ssize_t n = ::read(m_readFd, buf, sizeof buf);
        if (n > 0) {
            m_raised = true;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        break;
    }
    return m_raised;
}

}  // namespace korv
