#pragma once
// Error codes and their texts. A code is the system's own (errno on Linux, GetLastError on
// Windows), carried as a value from the call that failed to the report that shows its text, or
// one of the program's own above ERR_OWN_BASE for conditions the system has no code for. The
// few conditions the program tells apart have portable names below; every other code is only
// passed through to SystemErrorText.

#include <cerrno>
#include <string>

namespace korv {

inline constexpr int ERR_OWN_BASE = 0x20000000;
// The chosen update file is a directory, FIFO, device or socket.
inline constexpr int ERR_NOT_REGULAR_FILE = ERR_OWN_BASE + 1;
// The update file ended before the size it had when the transfer started.
inline constexpr int ERR_FILE_SHRANK = ERR_OWN_BASE + 2;
// The settings store cannot be written by this program.
inline constexpr int ERR_PROFILE_READ_ONLY = ERR_OWN_BASE + 3;
// Network ports: a name that is not rfc2217://HOST:PORT or socket://HOST:PORT; a host name that
// does not resolve; a lookup that failed for another reason; a server that did not answer the
// serial port negotiation in time; a server that refuses serial port control; a server that has
// stopped taking data.
inline constexpr int ERR_BAD_NET_PORT_NAME = ERR_OWN_BASE + 4;
inline constexpr int ERR_HOST_NOT_FOUND = ERR_OWN_BASE + 5;
inline constexpr int ERR_HOST_LOOKUP_FAILED = ERR_OWN_BASE + 6;
inline constexpr int ERR_NEGOTIATION_TIMEOUT = ERR_OWN_BASE + 7;
inline constexpr int ERR_NO_PORT_CONTROL = ERR_OWN_BASE + 8;
inline constexpr int ERR_SERVER_STALLED = ERR_OWN_BASE + 9;
// Network ports, why the connection went (a port's LostReason; its reads and writes say
// ERR_PORT_LOST): the server closed it; closed it after the program had sent nothing for a while
// (the server's idle time-out); reset it; nothing sent was acknowledged for the no-answer limit
// (a dead link or server).
inline constexpr int ERR_SERVER_CLOSED = ERR_OWN_BASE + 10;
inline constexpr int ERR_SERVER_IDLE_CLOSED = ERR_OWN_BASE + 11;
inline constexpr int ERR_SERVER_RESET = ERR_OWN_BASE + 12;
inline constexpr int ERR_SERVER_NO_ANSWER = ERR_OWN_BASE + 13;
// Network ports at open: the server's serial port keeps XON/XOFF, keeps hardware flow control,
// or answered another flow control, stop size or line setting than the one asked for.
inline constexpr int ERR_SERVER_KEEPS_XONXOFF = ERR_OWN_BASE + 14;
inline constexpr int ERR_SERVER_KEEPS_HARDWARE_FLOW = ERR_OWN_BASE + 15;
inline constexpr int ERR_SERVER_OTHER_FLOW = ERR_OWN_BASE + 16;
inline constexpr int ERR_SERVER_OTHER_STOP_SIZE = ERR_OWN_BASE + 17;
inline constexpr int ERR_SERVER_OTHER_SETTINGS = ERR_OWN_BASE + 18;
// A network port whose system cannot count unacknowledged bytes and whose protocol has no round
// trip (a raw port on Windows before 10 version 1703, or under Wine): a finished write cannot be
// told apart from data the server never took.
inline constexpr int ERR_DELIVERY_UNKNOWN = ERR_OWN_BASE + 19;
// The how-long of ERR_SERVER_NO_ANSWER, in seconds.
inline constexpr int kServerNoAnswerSeconds = 10;
// Codes from ERR_TEXT_BASE on carry a text the program was given at run time (a server's refusal
// of a connection), kept for the life of the process (ServerTextError).
inline constexpr int ERR_TEXT_BASE = ERR_OWN_BASE + 0x1000;
inline constexpr int kMaxServerTexts = 64;

// The code that stands for the text; the same code for the same text. After kMaxServerTexts
// different texts, the last code is reused for every new one. Any thread.
int ServerTextError(const std::string& text);

// Portable names for system codes, with the system's values so that their texts are the
// system's own.
#ifdef _WIN32
inline constexpr int ERR_NOT_FOUND = 2;      // ERROR_FILE_NOT_FOUND
inline constexpr int ERR_ACCESS_DENIED = 5;  // ERROR_ACCESS_DENIED (also: port in use)
inline constexpr int ERR_NO_RESOURCES = 8;   // ERROR_NOT_ENOUGH_MEMORY
inline constexpr int ERR_BUSY = 32;          // ERROR_SHARING_VIOLATION
inline constexpr int ERR_INVALID = 87;       // ERROR_INVALID_PARAMETER
inline constexpr int ERR_CANCELLED = 995;    // ERROR_OPERATION_ABORTED
inline constexpr int ERR_PORT_LOST = 1167;   // ERROR_DEVICE_NOT_CONNECTED
#else
inline constexpr int ERR_NOT_FOUND = ENOENT;
inline constexpr int ERR_ACCESS_DENIED = EACCES;
inline constexpr int ERR_NO_RESOURCES = EAGAIN;
inline constexpr int ERR_BUSY = EBUSY;
inline constexpr int ERR_INVALID = EINVAL;
inline constexpr int ERR_CANCELLED = ECANCELED;
inline constexpr int ERR_PORT_LOST = EIO;  // the line has hung up
#endif

// The code of the system call that failed last on this thread (errno, GetLastError).
int LastSystemError();

// The text for an error code, without a trailing line end; empty for 0.
std::string SystemErrorText(int err);

}  // namespace korv
