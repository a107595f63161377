#pragma once
// Internal to the platform layer: one connected TCP socket for a network serial port, in
// non-blocking mode, over POSIX sockets on Linux and Winsock on Windows. Errors are the system's
// codes (errno, WSAGetLastError) or the program's own (SysError.h), as values.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Wait.h"

namespace korv::net {

class Socket {
  public:
    Socket();
    ~Socket();  // closes the connection
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Resolves host and connects to the first address that answers within timeoutMs overall.
    // 0, ERR_HOST_NOT_FOUND / ERR_HOST_LOOKUP_FAILED, or the system's code (connection refused,
    // timed out, network unreachable, ...).
    int Connect(const std::string& host, uint16_t port, int timeoutMs);

    // Sends what the system takes now: 0 with *sent (0 when its buffer is full), or an error
    // code (ERR_PORT_LOST when the peer has reset or closed the connection).
    int Send(const uint8_t* data, size_t n, size_t* sent);
    // Takes what has arrived: 0 with *got (0 when nothing is there), ERR_PORT_LOST when the
    // peer has closed or reset the connection, or another error code.
    int Receive(uint8_t* buf, size_t cap, size_t* got);
    // Before a wait on Readable(): call it, then Receive, then wait only if Receive gave nothing
    // (Windows re-arms its network event this way; nothing on Linux).
    void ArmReadable();
    // Signalled while data (or the end of the connection) is waiting.
    WaitHandle Readable() const;
    // Bytes handed to the system that the peer has not yet acknowledged; -1 when the system
    // cannot tell.
    long Unacknowledged() const;
    // Ends the sending direction (the peer reads the end of the stream) and reads away what has
    // arrived, so that the close that follows is orderly and does not reset the connection.
    void CloseGracefully();

  private:
    struct Impl;
    Impl* m_impl;
};

}  // namespace korv::net
