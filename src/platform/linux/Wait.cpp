// The wait over poll(): every waitable is a descriptor that polls readable while it is
// signalled. The operator's interrupt is a self-pipe written by the signal handler.

#include "platform/Wait.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/linux/SysCall.h"

namespace korv {

int WaitForAny(const WaitHandle* handles, size_t count, int timeoutMs, int* err) {
    if (count == 0 || count > kMaxWaitHandles) {
        if (err)
            *err = EINVAL;
        return WAIT_RESULT_FAILED;
    }
    pollfd fds[kMaxWaitHandles];
    for (size_t i = 0; i < count; ++i)
        fds[i] = {handles[i], POLLIN, 0};
    const int r = sys::Poll(fds, count, timeoutMs);
    if (r < 0) {
        if (err)
            *err = errno;
        return WAIT_RESULT_FAILED;
    }
    for (size_t i = 0; i < count; ++i) {
        // A descriptor that has hung up or is invalid counts as signalled: its owner finds out
        // why when it reads, instead of the wait returning nothing for ever.
        if (fds[i].revents != 0)
            return static_cast<int>(i);
    }
    return WAIT_RESULT_TIMEOUT;
}

namespace {

// The write end for the handler. A signal handler can reach nothing else; a process has one
// interrupt at a time.
std::atomic<int> g_signalWriteFd{-1};

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

struct CInterrupt::Impl {
    int readFd = -1;
    int writeFd = -1;
    bool raised = false;
    struct sigaction oldInt {};
    struct sigaction oldTerm {};
    struct sigaction oldHup {};
    struct sigaction oldPipe {};
    struct sigaction oldFsize {};
};

CInterrupt::CInterrupt() : m_impl(std::make_unique<Impl>()) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_impl->readFd = fds[0];
    m_impl->writeFd = fds[1];
    g_signalWriteFd.store(fds[1], std::memory_order_relaxed);

    // SA_RESETHAND: a second signal, while the first is still being acted on, ends the program
    // the ordinary way.
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND | SA_RESTART;
    ::sigaction(SIGINT, &sa, &m_impl->oldInt);
    ::sigaction(SIGTERM, &sa, &m_impl->oldTerm);
    // The session that started the run went away (an SSH connection dropped): an operator's
    // request to stop like any other, so the transfers are aborted and reported.
    ::sigaction(SIGHUP, &sa, &m_impl->oldHup);

    // A reader that went away (stdout piped into head) must not kill the program mid-transfer;
    // writes then fail with EPIPE instead.
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    ::sigaction(SIGPIPE, &ign, &m_impl->oldPipe);
    // Likewise a file past the size limit: the write fails with EFBIG and is reported.
    ::sigaction(SIGXFSZ, &ign, &m_impl->oldFsize);
}

CInterrupt::~CInterrupt() {
    if (m_impl->readFd < 0)
        return;
    ::sigaction(SIGINT, &m_impl->oldInt, nullptr);
    ::sigaction(SIGTERM, &m_impl->oldTerm, nullptr);
    ::sigaction(SIGHUP, &m_impl->oldHup, nullptr);
    ::sigaction(SIGPIPE, &m_impl->oldPipe, nullptr);
    ::sigaction(SIGXFSZ, &m_impl->oldFsize, nullptr);
    g_signalWriteFd.store(-1, std::memory_order_relaxed);
    ::close(m_impl->writeFd);
    ::close(m_impl->readFd);
}

bool CInterrupt::Valid() const {
    return m_impl->readFd >= 0;
}

WaitHandle CInterrupt::Waitable() const {
    return m_impl->readFd;
}

bool CInterrupt::Raised() {
    char buf[16];
    while (m_impl->readFd >= 0) {
        const ssize_t n = ::read(m_impl->readFd, buf, sizeof buf);
        if (n > 0) {
            m_impl->raised = true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    return m_impl->raised;
}

void CInterrupt::Raise() {
    if (m_impl->writeFd < 0) {
        m_impl->raised = true;
        return;
    }
    const char byte = 1;
    sys::RetryEintr([&] { return ::write(m_impl->writeFd, &byte, 1); });
}

struct CStdinReader::Impl {
    bool ended = false;
};

CStdinReader::CStdinReader() : m_impl(std::make_unique<Impl>()) {}

CStdinReader::~CStdinReader() = default;

bool CStdinReader::Valid() const {
    return true;
}

WaitHandle CStdinReader::Waitable() const {
    return STDIN_FILENO;
}

bool CStdinReader::Take(std::string& text) {
    if (m_impl->ended)
        return false;
    // One read: the descriptor polled readable, so it does not block; a second read might.
    char buf[256];
    const ssize_t n = sys::RetryEintr([&] { return ::read(STDIN_FILENO, buf, sizeof buf); });
    if (n > 0) {
        text.append(buf, static_cast<size_t>(n));
        return true;
    }
    if (n < 0 && errno == EAGAIN)
        return true;
    m_impl->ended = true;
    return false;
}

bool StdinIsConsole() {
    return ::isatty(STDIN_FILENO) == 1;
}

namespace {

// Nothing on Linux ends a process on a short deadline after telling it (a hang-up or SIGTERM is
// followed by nothing, or by a service manager's SIGKILL long after); the state is kept so that
// the callers are the same on both systems.
std::atomic<bool> g_processEnding{false};

}  // namespace

bool ProcessEnding() {
    return g_processEnding.load(std::memory_order_acquire);
}

void MarkProcessEnding() {
    g_processEnding.store(true, std::memory_order_release);
}

bool StderrIsConsole() {
    return ::isatty(STDERR_FILENO) == 1;
}

}  // namespace korv
