// The network port's socket over Winsock: a non-blocking connect bounded by select(), a network
// event (FD_READ, FD_CLOSE) that the port waits on together with its own events, keepalive and
// a retransmission limit, and the unacknowledged count and round trip from SIO_TCP_INFO
// (Windows 10 version 1703 and later; elsewhere, Wine included, the port is told that the
// system cannot tell).

#include <winsock2.h>
#include <ws2tcpip.h>
// After the two above, whose types it uses.
#include <mstcpip.h>

#include "platform/SysError.h"
#include "platform/net/Socket.h"

#include <atomic>
#include <chrono>
#include <string>

namespace korv::net {

namespace {

// Winsock is started once per process, on first use, and left running until the process ends.
int StartWinsock() {
    static const int result = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return result;
}

int LookupError(int err) {
    switch (err) {
        case WSAHOST_NOT_FOUND:
        case WSANO_DATA:
        case WSANO_RECOVERY:
            return ERR_HOST_NOT_FOUND;
        case WSATRY_AGAIN:
            return ERR_HOST_LOOKUP_FAILED;
        default:
            return err != 0 ? err : ERR_HOST_LOOKUP_FAILED;
    }
}

// The gone-connection code for a Winsock code, or the code itself.
int GoneCode(int err) {
    switch (err) {
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAENOTCONN:
        case WSAESHUTDOWN:
            return ERR_SERVER_RESET;
        case WSAENETRESET:
        case WSAETIMEDOUT:
        case WSAEHOSTUNREACH:
        case WSAENETUNREACH:
            return ERR_SERVER_NO_ANSWER;
        default:
            return err;
    }
}

// SIO_TCP_INFO and its version 0 record, declared here with the layout of the system's
// definition (mstcpip.h declares them only for Windows 10 version 1703 and later targets).
constexpr DWORD kSioTcpInfo = _WSAIORW(IOC_VENDOR, 39);
struct TcpInfoV0 {
    int State;  // TCPSTATE, an enumeration
    ULONG Mss;
    ULONG64 ConnectionTimeMs;
    BOOLEAN TimestampsEnabled;
    ULONG RttUs;
    ULONG MinRttUs;
    ULONG BytesInFlight;
    ULONG Cwnd;
    ULONG SndWnd;
    ULONG RcvWnd;
    ULONG RcvBuf;
    ULONG64 BytesOut;
    ULONG64 BytesIn;
    ULONG BytesReordered;
    ULONG BytesRetrans;
    ULONG FastRetrans;
    ULONG DupAcksIn;
    ULONG TimeoutEpisodes;
    UCHAR SynRetrans;
};
static_assert(sizeof(TcpInfoV0) == 88, "TCP_INFO_v0 is 88 bytes");

bool QueryTcpInfo(SOCKET s, TcpInfoV0* info) {
    DWORD version = 0;
    DWORD got = 0;
    return ::WSAIoctl(s, kSioTcpInfo, &version, sizeof version, info, sizeof *info, &got, nullptr,
                      nullptr) == 0 &&
           got >= sizeof *info;
}

// Keepalive after 5 s of silence, every 2 s; unacknowledged data given up after
// kServerNoAnswerSeconds (TCP_MAXRT, seconds).
void WatchConnection(SOCKET s) {
    tcp_keepalive keepalive{};
    keepalive.onoff = 1;
    keepalive.keepalivetime = 5000;
    keepalive.keepaliveinterval = 2000;
    DWORD got = 0;
    ::WSAIoctl(s, SIO_KEEPALIVE_VALS, &keepalive, sizeof keepalive, nullptr, 0, &got, nullptr,
               nullptr);
    const DWORD maxRt = kServerNoAnswerSeconds;
    constexpr int kTcpMaxRt = 5;  // TCP_MAXRT
    ::setsockopt(s, IPPROTO_TCP, kTcpMaxRt, reinterpret_cast<const char*>(&maxRt), sizeof maxRt);
}

int ConnectOne(SOCKET s, const addrinfo& ai, std::chrono::steady_clock::time_point deadline) {
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0)
        return ::WSAGetLastError();
    if (::connect(s, ai.ai_addr, static_cast<int>(ai.ai_addrlen)) == 0)
        return 0;
    const int err = ::WSAGetLastError();
    if (err != WSAEWOULDBLOCK)
        return err;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    timeval tv{};
    tv.tv_sec = left > 0 ? static_cast<long>(left / 1000000) : 0;
    tv.tv_usec = left > 0 ? static_cast<long>(left % 1000000) : 0;
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    const int r = ::select(0, nullptr, &writable, &failed, &tv);
    if (r == SOCKET_ERROR)
        return ::WSAGetLastError();
    if (r == 0)
        return WSAETIMEDOUT;
    int soError = 0;
    int len = sizeof soError;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len) != 0)
        return ::WSAGetLastError();
    if (FD_ISSET(s, &failed) && soError == 0)
        return WSAECONNREFUSED;
    return soError;
}

}  // namespace

struct Socket::Impl {
    SOCKET s = INVALID_SOCKET;
    WSAEVENT event = WSA_INVALID_EVENT;
    // Bytes the socket has taken (the send side's own count: TCP_INFO counts what has gone out).
    std::atomic<uint64_t> handed{0};
};

Socket::Socket() : m_impl(new Impl) {}

Socket::~Socket() {
    if (m_impl->s != INVALID_SOCKET)
        ::closesocket(m_impl->s);
    if (m_impl->event != WSA_INVALID_EVENT)
        ::WSACloseEvent(m_impl->event);
    delete m_impl;
}

int Socket::Connect(const std::string& host, uint16_t port, int timeoutMs) {
    return ConnectAny({host}, port, timeoutMs);
}

int Socket::ConnectAny(const std::vector<std::string>& hosts, uint16_t port, int timeoutMs) {
    if (m_impl->s != INVALID_SOCKET)
        return WSAEISCONN;
    if (const int rc = StartWinsock(); rc != 0)
        return rc;
    WSAEVENT event = ::WSACreateEvent();
    if (event == WSA_INVALID_EVENT)
        return ::WSAGetLastError();
    int err = ERR_HOST_NOT_FOUND;
    for (const std::string& host : hosts) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* list = nullptr;
        if (const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
            rc != 0) {
            err = LookupError(rc);
            continue;
        }
        for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
            const SOCKET s = ::socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
            if (s == INVALID_SOCKET) {
                err = ::WSAGetLastError();
                continue;
            }
            // Each address has its own time: a black hole first must not starve a working
            // second.
            err = ConnectOne(
                s, *ai, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs));
            if (err == 0 && ::WSAEventSelect(s, event, FD_READ | FD_CLOSE) != 0)
                err = ::WSAGetLastError();
            if (err == 0) {
                // Small paced writes must leave at once, not wait for more to join them.
                const BOOL one = TRUE;
                ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                             sizeof one);
                WatchConnection(s);
                m_impl->s = s;
                m_impl->event = event;
                break;
            }
            ::closesocket(s);
        }
        ::freeaddrinfo(list);
        if (m_impl->s != INVALID_SOCKET)
            return 0;
    }
    ::WSACloseEvent(event);
    return err;
}

int Socket::Send(const uint8_t* data, size_t n, size_t* sent) {
    *sent = 0;
    const int chunk = n > 1u << 30 ? 1 << 30 : static_cast<int>(n);
    const int w = ::send(m_impl->s, reinterpret_cast<const char*>(data), chunk, 0);
    if (w != SOCKET_ERROR) {
        *sent = static_cast<size_t>(w);
        m_impl->handed.fetch_add(*sent, std::memory_order_relaxed);
        return 0;
    }
    const int err = ::WSAGetLastError();
    if (err == WSAEWOULDBLOCK)
        return 0;
    return GoneCode(err);
}

int Socket::Receive(uint8_t* buf, size_t cap, size_t* got) {
    *got = 0;
    const int chunk = cap > 1u << 30 ? 1 << 30 : static_cast<int>(cap);
    const int r = ::recv(m_impl->s, reinterpret_cast<char*>(buf), chunk, 0);
    if (r > 0) {
        *got = static_cast<size_t>(r);
        return 0;
    }
    if (r == 0)
        return ERR_SERVER_CLOSED;
    const int err = ::WSAGetLastError();
    if (err == WSAEWOULDBLOCK)
        return 0;
    return GoneCode(err);
}

void Socket::ArmReadable() {
    // Reset before the receive that may find nothing: data arriving after it sets the event
    // again (each recv re-enables FD_READ), so no arrival is missed.
    ::WSAResetEvent(m_impl->event);
}

WaitHandle Socket::Readable() const {
    return m_impl->event;
}

long Socket::Unacknowledged() const {
    TcpInfoV0 info{};
    if (!QueryTcpInfo(m_impl->s, &info))
        return -1;
    // Not yet gone out (what the socket took less what went out once) plus out but not
    // acknowledged.
    const uint64_t handed = m_impl->handed.load(std::memory_order_relaxed);
    const uint64_t out = info.BytesOut > info.BytesRetrans ? info.BytesOut - info.BytesRetrans : 0;
    const uint64_t waiting = handed > out ? handed - out : 0;
    return static_cast<long>(waiting + info.BytesInFlight);
}

long Socket::RoundTripUs() const {
    TcpInfoV0 info{};
    return QueryTcpInfo(m_impl->s, &info) ? static_cast<long>(info.RttUs) : -1;
}

bool Socket::Retransmitting() const {
    return false;  // not told apart here: the port says that the server has taken nothing
}

void Socket::CloseGracefully() {
    if (m_impl->s == INVALID_SOCKET)
        return;
    ::shutdown(m_impl->s, SD_SEND);
    char scrap[4096];
    while (::recv(m_impl->s, scrap, sizeof scrap, 0) > 0) {
    }
}

}  // namespace korv::net
