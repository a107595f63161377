#pragma once
// Internal to the platform layer: one connected TCP socket for a network serial port, in
// non-blocking mode, over POSIX sockets on Linux and Winsock on Windows. Errors are the system's
// codes (errno, WSAGetLastError) or the program's own (SysError.h), as values.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/SysError.h"
#include "platform/Wait.h"

namespace korv::net {

class Socket {
  public:
    Socket();
    ~Socket();  // closes the connection
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Resolves host and connects to the first of its addresses that answers, each address
    // within timeoutMs of its own (an address that never answers does not starve the next).
    // 0, ERR_HOST_NOT_FOUND / ERR_HOST_LOOKUP_FAILED, or the system's code (connection refused,
    // timed out, network unreachable, ...) from the last address tried. The connection is then
    // watched by the system: keepalive probes while it is idle, and a limit on how long sent
    // data may stay unacknowledged, both of about kServerNoAnswerSeconds.
    int Connect(const std::string& host, uint16_t port, int timeoutMs);
    // The same over the addresses of several hosts, in the order given.
    int ConnectAny(const std::vector<std::string>& hosts, uint16_t port, int timeoutMs);

    // Sends what the system takes now: 0 with *sent (0 when its buffer is full), or an error
    // code (a gone connection: see ConnectionGone).
    int Send(const uint8_t* data, size_t n, size_t* sent);
    // Takes what has arrived: 0 with *got (0 when nothing is there), a gone connection's code
    // (see ConnectionGone), or another error code.
    int Receive(uint8_t* buf, size_t cap, size_t* got);
    // Whether a code of Send or Receive says that the connection has gone, and how: the peer
    // closed it (ERR_SERVER_CLOSED), reset it (ERR_SERVER_RESET), or stopped answering
    // (ERR_SERVER_NO_ANSWER: keepalive or the unacknowledged-data limit ran out).
    static bool ConnectionGone(int code) {
        return code == ERR_SERVER_CLOSED || code == ERR_SERVER_RESET ||
               code == ERR_SERVER_NO_ANSWER;
    }
    // Before a wait on Readable(): call it, then Receive, then wait only if Receive gave nothing
    // (Windows re-arms its network event this way; nothing on Linux).
    void ArmReadable();
    // Signalled while data (or the end of the connection) is waiting.
    WaitHandle Readable() const;
    // Bytes handed to the system that the peer has not yet acknowledged; -1 when the system
    // cannot tell.
    long Unacknowledged() const;
    // The round trip the system has measured on this connection, in microseconds; -1 when it
    // cannot tell.
    long RoundTripUs() const;
    // True when the system is retransmitting unacknowledged data (the peer is silent), false
    // when it is not or cannot tell (a peer that acknowledges but takes nothing more).
    bool Retransmitting() const;
    // Ends the sending direction (the peer reads the end of the stream) and reads away what has
    // arrived, so that the close that follows is orderly and does not reset the connection.
    void CloseGracefully();

  private:
    struct Impl;
    Impl* m_impl;
};

}  // namespace korv::net
