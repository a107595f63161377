#pragma once
// How the serial port on Windows reads the end of a read or write, and when its close stops
// waiting for output: decisions kept apart from the calls so that every driver's answer, even
// those no test machine can produce, can be checked.

#include "platform/win32/Win32.h"

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
// left for kCloseStallMs (XOFF held, the line gone) or after kCloseLimitMs in all.
inline constexpr DWORD kCloseStallMs = 2000;
inline constexpr DWORD kCloseLimitMs = 10000;
bool CloseWaitsForOutput(DWORD queued, ULONGLONG msSinceProgress, ULONGLONG msWaited);

}  // namespace korv::win32
