#include "app/QuitOnSignal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>

namespace korv {

namespace {

int g_writeFd = -1;
struct sigaction g_oldInt;
struct sigaction g_oldTerm;

void OnSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_writeFd, &byte, 1);
    errno = saved;
}

}  // namespace

CQuitOnSignal::CQuitOnSignal() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;  // the signals keep their default effect
    }
    m_readFd = fds[0];
    g_writeFd = fds[1];
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sa.sa_flags = SA_RESETHAND | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, &g_oldInt);
    ::sigaction(SIGTERM, &sa, &g_oldTerm);
    m_notifier = std::make_unique<QSocketNotifier>(m_readFd, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] {
        char buf[16];
        while (::read(m_readFd, buf, sizeof buf) > 0) {
        }
        // Leaves every event loop, a modal dialog's included.
        QCoreApplication::exit(130);
    });
}

CQuitOnSignal::~CQuitOnSignal() {
    if (m_readFd < 0) {
        return;
    }
    ::sigaction(SIGINT, &g_oldInt, nullptr);
    ::sigaction(SIGTERM, &g_oldTerm, nullptr);
    m_notifier.reset();
    ::close(m_readFd);
    ::close(g_writeFd);
    g_writeFd = -1;
}

}  // namespace korv
