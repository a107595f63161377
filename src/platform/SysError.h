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
