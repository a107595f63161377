#pragma once
// How the serial port on Windows reads the end of a read or write, and when its close stops
// waiting for output: decisions kept apart from the calls so that every driver's answer, even
// those no test machine can produce, can be checked.

#include "platform/win32/Win32.h"

#include <cstdint>

// A USB serial driver whose device has gone may say so with this code, which the toolchain's
// headers do not name.
#ifndef ERROR_NO_SUCH_DEVICE
#define ERROR_NO_SUCH_DEVICE 433L
#endif

namespace korv::win32 {

// What a transfer that the system ended with an error means to the port's caller.
struct CommEnd {
    int code = 0;           // 0, ERR_CANCELLED, ERR_PORT_LOST or the system's code
    DWORD moved = 0;        // bytes moved before the end: always the caller's
    bool lineGone = false;  // the port has gone: later transfers fail at once
};

enum class CommOp { READ, WRITE };

// err ended a read or write that had moved `moved` bytes; stopRequested says whether this
// program asked for the stop (the abort event or Shutdown). A write's time-out is a short
// write, not a failure (a read's stays an error, after which the reader pauses);
// ERROR_OPERATION_ABORTED is this program's cancel only when it asked for one, and otherwise a
// driver ending the I/O of a device that has gone (a USB adapter pulled out).
CommEnd EndWithError(CommOp op, DWORD err, DWORD moved, bool stopRequested);

// Closing waits for queued output to leave while it keeps leaving: it stops once nothing has
// left for kCloseStallMs (XOFF held, the line gone) or after kCloseLimitMs in all, or after
// kEndingCloseLimitMs when the system is ending the process (it allows only a few seconds for
// everything, and would discard the rest anyway).
inline constexpr DWORD kCloseStallMs = 2000;
inline constexpr DWORD kCloseLimitMs = 10000;
inline constexpr DWORD kEndingCloseLimitMs = 1000;
bool CloseWaitsForOutput(DWORD queued, ULONGLONG msSinceProgress, ULONGLONG msWaited,
                         bool processEnding = false);

// A driver that has not completed a write this long after its time-out, or a cancel this long
// after it was asked, has stopped completing I/O (USB serial drivers after an unplug): the port
// is lost, and the transfer is left to the driver.
inline constexpr DWORD kStuckIoMs = 2000;
// How long a write of n bytes may wait: its time-out (n * multiplier + constant) and
// kStuckIoMs; INFINITE when no write time-out is set (the system then waits without limit).
DWORD WriteBoundMs(uint32_t n, DWORD multiplier, DWORD constant);
// The time the line takes to carry bytes at baud, rounded up; 0 when the rate is not known.
ULONGLONG LineTimeMs(uint64_t bytes, uint32_t bitsPerCharacter, uint32_t baud);

}  // namespace korv::win32
