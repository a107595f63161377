#pragma once
// Waiting for several things at once: the notification queues of one or more sessions, Ctrl+C
// and typed input, in one call (poll on Linux, WaitForMultipleObjects on Windows), so that the
// waiting thread never spins and never misses one of them.

#include <cstddef>
#include <memory>
#include <string>

namespace korv {

// What a wait watches: a descriptor that polls readable while it is signalled (Linux), or a
// waitable kernel object (Windows).
#ifdef _WIN32
using WaitHandle = void*;
#else
using WaitHandle = int;
#endif

// The most handles one wait takes (the Windows limit).
inline constexpr size_t kMaxWaitHandles = 64;
inline constexpr int WAIT_RESULT_TIMEOUT = -1;
inline constexpr int WAIT_RESULT_FAILED = -2;

// Waits until one of handles[0..count) is signalled or timeoutMs ms have passed (negative: no
// limit). Returns the lowest index that is signalled, WAIT_RESULT_TIMEOUT, or
// WAIT_RESULT_FAILED with the error code in *err (also when count is 0 or above
// kMaxWaitHandles). A signal that interrupts the wait neither ends it early nor restarts its
// time limit. Nothing is consumed: the owner of the handle does that.
int WaitForAny(const WaitHandle* handles, size_t count, int timeoutMs, int* err = nullptr);

// The operator's request to stop: Ctrl+C and Ctrl+Break at a console, SIGINT and SIGTERM on
// Linux, and SIGHUP there (the terminal or SSH session went away); on Windows closing the console
// window, logging off and shutting down too. The system ends the process a few seconds after
// those (about 5 s), so the process is then held until this is destroyed, at most
// kEndHoldMs: the run aborts its transfers and writes its logs and records meanwhile. Windows
// tells a process that has loaded user32 of a logoff or shutdown only through its windows, never
// through the console's handler: a hidden window of this object's own, on a thread of its own,
// hears of it. While one exists the process is not ended by these; the waitable is signalled
// instead. Once the request has been seen, a second Ctrl+C ends the program the ordinary way.
// One per process at a time.
class CInterrupt {
  public:
    CInterrupt();
    ~CInterrupt();  // restores the previous handling
    CInterrupt(const CInterrupt&) = delete;
    CInterrupt& operator=(const CInterrupt&) = delete;

    bool Valid() const;
    WaitHandle Waitable() const;
    // True once a request has arrived.
    bool Raised();
    // Acts as if the operator had asked (tests, and the desktop program's own quit path).
    void Raise();

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// The longest the process is held for its run once the system has begun to end it; everything
// the run does then (abort, close, logs, records, standard error) fits in it.
inline constexpr int kEndHoldMs = 3500;

// Whether the system is about to end this process: the console window was closed, or the
// session is ending (logoff, shutdown). Waits at the end of a run that may take seconds
// (standard error a reader does not take, output still draining from a port) are then cut
// short, so that the run is over within kEndHoldMs. Any thread.
bool ProcessEnding();
// Says that the system is ending the process (CInterrupt does it itself; the desktop program
// calls it when its window hears that the session ends).
void MarkProcessEnding();

// Standard input, read without blocking the thread that waits: the waitable is signalled while
// Take has something to give (typed text, or the end of input).
class CStdinReader {
  public:
    CStdinReader();
    ~CStdinReader();
    CStdinReader(const CStdinReader&) = delete;
    CStdinReader& operator=(const CStdinReader&) = delete;

    bool Valid() const;
    WaitHandle Waitable() const;
    // Appends what has arrived (UTF-8) to text. True while input may still come; false at the
    // end of input or when reading failed, after anything that came before it was appended.
    bool Take(std::string& text);

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Whether standard input / standard error is an interactive console (a terminal on Linux).
bool StdinIsConsole();
bool StderrIsConsole();

}  // namespace korv
