#pragma once
// The serial line as the update controller sees it. The line settings keep the field names of the
// device-control and time-out records; Windows hands them to its comm API, Linux maps them onto
// termios.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Event.h"
#include "platform/SysError.h"

namespace korv {

// Line settings. Field names and meanings follow the classic device-control block.
struct Dcb {
    uint32_t DCBlength = 0;
    uint32_t BaudRate = 0;
    uint32_t fBinary : 1 = 0;
    uint32_t fParity : 1 = 0;
    uint32_t fOutxCtsFlow : 1 = 0;
    uint32_t fOutxDsrFlow : 1 = 0;
    uint32_t fDtrControl : 2 = 0;
    uint32_t fDsrSensitivity : 1 = 0;
    uint32_t fTXContinueOnXoff : 1 = 0;
    uint32_t fOutX : 1 = 0;
    uint32_t fInX : 1 = 0;
    uint32_t fErrorChar : 1 = 0;
    uint32_t fNull : 1 = 0;
    uint32_t fRtsControl : 2 = 0;
    uint32_t fAbortOnError : 1 = 0;
    uint32_t fDummy2 : 17 = 0;
    uint16_t wReserved = 0;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t ByteSize = 0;
    uint8_t Parity = 0;
    uint8_t StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    uint16_t wReserved1 = 0;
};
static_assert(sizeof(Dcb) == 28, "the line-settings record keeps its classic size");

inline constexpr uint32_t DTR_CONTROL_DISABLE = 0;
inline constexpr uint32_t DTR_CONTROL_ENABLE = 1;
inline constexpr uint32_t RTS_CONTROL_DISABLE = 0;
inline constexpr uint32_t RTS_CONTROL_ENABLE = 1;
inline constexpr uint8_t NOPARITY = 0;
inline constexpr uint8_t ONESTOPBIT = 0;

// Time-outs in milliseconds.
struct CommTimeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};

// One open serial port. Every call returns 0 or an error code (SysError.h); nothing throws.
// Threads: Read is called by the reader thread only, Write/DrainOutput/FlushOutput by the sender
// thread only, everything else by the owning (GUI) thread. Shutdown may be called while Read or
// Write is blocked on another thread; the port itself is released only by the destructor,
// which the owner runs after both workers are gone, so a handle is never closed or reused
// under a worker.
//
// Closing never discards output. Bytes of a completed transfer that the line or its far end has
// not taken yet still reach the tester after the destructor has run: a UART's close waits for
// them, a pseudo-terminal keeps them queued for its far end; on Windows the close waits while
// the driver's queue keeps draining. Only a line that has stopped taking bytes altogether (XOFF
// held, adapter gone) has the rest discarded, so that a close never hangs. Only the sender
// discards output otherwise, with FlushOutput, when a transfer was aborted or failed; it does so
// before it ends, so output is never left for the close to decide about.
class ISerialPort {
  public:
    virtual ~ISerialPort() = default;

    // Opens the device read/write, exclusively, for overlapped use, without blocking (Linux:
    // TIOCEXCL and flock, never as the controlling terminal; a path that is not a terminal is
    // refused). A port held by another opener fails (ERR_BUSY on Linux, ERR_ACCESS_DENIED on
    // Windows).
    virtual int Open(const std::string& devicePath) = 0;
    // Requests driver queue sizes. Linux ttys have fixed kernel buffers, so there it does nothing.
    virtual void SetupComm(uint32_t inQueue, uint32_t outQueue) = 0;
    // Ends pending transfers and discards both queues.
    virtual void Purge() = 0;
    virtual void SetCommTimeouts(const CommTimeouts& timeouts) = 0;
    virtual void GetCommState(Dcb& dcb) = 0;
    // Applies the settings; a driver that refuses them gives an error code (Linux reads them
    // back and compares: a mismatch is ERR_INVALID).
    virtual int SetCommState(const Dcb& dcb) = 0;
    // Line-event mask; only 0 (no events) is used, and on Linux it does nothing.
    virtual void SetCommMask(uint32_t mask) = 0;

    // Ends a pending Read or Write at once and makes every later one fail with ERR_CANCELLED.
    virtual void Shutdown() = 0;

    // Blocks until the first byte arrives (no limit) or the port is shut down; then returns once
    // ReadIntervalTimeout ms pass without a further byte, or count bytes have arrived.
    // 0 with *got on success (a read may complete with 0 bytes); ERR_CANCELLED after Shutdown,
    // and never otherwise; ERR_PORT_LOST when the line has gone (unplugged adapter, far end
    // closed), after which every further read pauses briefly before it fails again, so a
    // caller never spins. A read that ends in an error still gives in *got the bytes that
    // arrived before it: they are the tester's and the caller keeps them.
    virtual int Read(uint8_t* buf, uint32_t count, uint32_t* got) = 0;
    // Writes up to n bytes, waiting at most n * WriteTotalTimeoutMultiplier +
    // WriteTotalTimeoutConstant ms (the tester may hold the line with XOFF). Returns 0 with
    // *written, which is short (0 included) on a time-out; ERR_CANCELLED at once when abort is
    // (or becomes) signalled or the port is shut down, and never otherwise; another code
    // (ERR_PORT_LOST: the line has gone) on failure. *written always holds what was written.
    // When it returns, the write is over: nothing of it is still pending in the driver.
    virtual int Write(const uint8_t* buf, uint32_t n, const Event& abort, uint32_t* written) = 0;
    // Waits until the driver's output queue is empty: the bytes have left the machine.
    // 0, ERR_CANCELLED (abort or shutdown) or an error code.
    virtual int DrainOutput(const Event& abort) = 0;
    // Discards output not yet sent: after an abort or a failed transfer nothing more of the file
    // goes out. The only call that discards output (see the class comment).
    virtual void FlushOutput() = 0;
    // True once the line has gone (the adapter was unplugged or the peer closed). Any thread.
    virtual bool HungUp() const = 0;
    // Why the line went, once HungUp: a code whose text tells the operator the cause (a network
    // port knows whether its server closed, reset or stopped answering). Reads and writes still
    // say ERR_PORT_LOST. Any thread.
    virtual int LostReason() const { return ERR_PORT_LOST; }
};

using SerialPortFactory = std::unique_ptr<ISerialPort> (*)();

// The port for any port name: a network port for rfc2217://HOST:PORT and socket://HOST:PORT
// (RFC 2217 or raw TCP), otherwise the system's serial port (termios on Linux, the comm API on
// Windows). The kind is chosen by the name given to Open.
std::unique_ptr<ISerialPort> MakeSerialPort();
#ifndef _WIN32
// The termios port by its own name (the same as MakeSerialPort on Linux).
std::unique_ptr<ISerialPort> MakeTermiosPort();
#endif

// Device path for a port name. A network port name is its own path. Linux: a name starting with '/'
// is used as given; "COMn" (n >= 1) is /dev/ttyS<n-1>; any other name is /dev/<name>. Windows:
// "\\.\" and the name; a name that already starts with "\\" is used as given.
std::string DevicePathForPort(const std::string& name);

// False only when the device at devicePath is plainly not there to open, so that a port waiting
// for its device to come back can look often without starting an open each time. Linux: the
// path names nothing (a symbolic link is followed anew each time: one left dangling is not
// there). A network port, and a Windows device name, may always be there: only an open tells.
bool DevicePresent(const std::string& devicePath);

}  // namespace korv
