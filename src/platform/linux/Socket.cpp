// The network port's socket over POSIX sockets: a non-blocking connect bounded by poll(), sends
// that never raise SIGPIPE, the unacknowledged byte count from SIOCOUTQ, the round trip from
// TCP_INFO, keepalive and TCP_USER_TIMEOUT so that a dead peer is found while idle and while
// sending.

#include "platform/net/Socket.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <string>

#include "platform/SysError.h"
#include "platform/linux/SysCall.h"

namespace korv::net {

namespace {

int LookupError(int gai) {
    switch (gai) {
        case EAI_NONAME:
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
        case EAI_FAIL:
            return ERR_HOST_NOT_FOUND;
        case EAI_MEMORY:
            return ENOMEM;
        case EAI_SYSTEM:
            return errno != 0 ? errno : ERR_HOST_LOOKUP_FAILED;
        default:
            return ERR_HOST_LOOKUP_FAILED;
    }
}

// The gone-connection code for a system code, or the code itself.
int GoneCode(int err) {
    switch (err) {
        case ECONNRESET:
        case EPIPE:
        case ENOTCONN:
        case ECONNABORTED:
            return ERR_SERVER_RESET;
        case ETIMEDOUT:
        case EHOSTUNREACH:
        case ENETUNREACH:
            return ERR_SERVER_NO_ANSWER;
        default:
            return err;
    }
}

// Keepalive: the first probe after 5 s of silence, then every 2 s, the connection given up after
// 3 unanswered ones (11 s); data unacknowledged for kServerNoAnswerSeconds ends it too.
void WatchConnection(int fd) {
    const int one = 1, idle = 5, interval = 2, count = 3;
    const unsigned userTimeoutMs = kServerNoAnswerSeconds * 1000u;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
}

// Connects fd to one address within the deadline.
int ConnectOne(int fd, const addrinfo& ai, std::chrono::steady_clock::time_point deadline) {
    if (::connect(fd, ai.ai_addr, ai.ai_addrlen) == 0)
        return 0;
    if (errno != EINPROGRESS && errno != EINTR)
        return errno;
    pollfd p{fd, POLLOUT, 0};
    const int r = sys::Poll(&p, 1, sys::MsUntil(deadline));
    if (r < 0)
        return errno;
    if (r == 0)
        return ETIMEDOUT;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return errno;
    return err;
}

}  // namespace

struct Socket::Impl {
    int fd = -1;
};

Socket::Socket() : m_impl(new Impl) {}

Socket::~Socket() {
    if (m_impl->fd >= 0)
        ::close(m_impl->fd);
    delete m_impl;
}

int Socket::Connect(const std::string& host, uint16_t port, int timeoutMs) {
    return ConnectAny({host}, port, timeoutMs);
}

int Socket::ConnectAny(const std::vector<std::string>& hosts, uint16_t port, int timeoutMs) {
    if (m_impl->fd >= 0)
        return EISCONN;
    int err = ERR_HOST_NOT_FOUND;
    for (const std::string& host : hosts) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        // No AI_ADDRCONFIG: a machine whose only address is loopback must still reach
        // "localhost".
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* list = nullptr;
        errno = 0;
        const int gai = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
        if (gai != 0) {
            err = LookupError(gai);
            continue;
        }
        for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
            const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                    ai->ai_protocol);
            if (fd < 0) {
                err = errno;
                continue;
            }
            // Each address has its own time: a black hole first must not starve a working
            // second.
            err = ConnectOne(
                fd, *ai, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs));
            if (err == 0) {
                // Small paced writes must leave at once, not wait for more to join them.
                const int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                WatchConnection(fd);
                m_impl->fd = fd;
                break;
            }
            ::close(fd);
        }
        ::freeaddrinfo(list);
        if (m_impl->fd >= 0)
            return 0;
    }
    return err;
}

int Socket::Send(const uint8_t* data, size_t n, size_t* sent) {
    *sent = 0;
    const ssize_t w =
        sys::RetryEintr([&] { return ::send(m_impl->fd, data, n, MSG_NOSIGNAL | MSG_DONTWAIT); });
    if (w >= 0) {
        *sent = static_cast<size_t>(w);
        return 0;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return 0;
    return GoneCode(errno);
}

int Socket::Receive(uint8_t* buf, size_t cap, size_t* got) {
    *got = 0;
    const ssize_t r = sys::RetryEintr([&] { return ::recv(m_impl->fd, buf, cap, MSG_DONTWAIT); });
    if (r > 0) {
        *got = static_cast<size_t>(r);
        return 0;
    }
    if (r == 0)
        return ERR_SERVER_CLOSED;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return 0;
    return GoneCode(errno);
}

void Socket::ArmReadable() {}

WaitHandle Socket::Readable() const {
    return m_impl->fd;
}

long Socket::Unacknowledged() const {
    int queued = 0;
    if (::ioctl(m_impl->fd, SIOCOUTQ, &queued) != 0)
        return -1;
    return queued;
}

long Socket::RoundTripUs() const {
    tcp_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(m_impl->fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0 ||
        len < offsetof(tcp_info, tcpi_rtt) + sizeof info.tcpi_rtt)
        return -1;
    return static_cast<long>(info.tcpi_rtt);
}

bool Socket::Retransmitting() const {
    tcp_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(m_impl->fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0)
        return false;
    return info.tcpi_retransmits > 0;
}

void Socket::CloseGracefully() {
    if (m_impl->fd < 0)
        return;
    ::shutdown(m_impl->fd, SHUT_WR);
    uint8_t scrap[4096];
    while (::recv(m_impl->fd, scrap, sizeof scrap, MSG_DONTWAIT) > 0) {
    }
}

}  // namespace korv::net
