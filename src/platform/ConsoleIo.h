#pragma once
// What a console run needs of the terminal it writes to, and of the files it logs to.

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

namespace korv {

// The terminal's width in characters, or 0 when it is not known.
int TerminalColumns(std::FILE* stream);
// The terminal's height in lines, or 0 when it is not known.
int TerminalRows(std::FILE* stream);

// Makes the terminal act on the ANSI control sequences (cursor up, erase line and screen) written
// to stream; false when it cannot (an old Windows console). Unix terminals always do.
bool EnableTerminalControl(std::FILE* stream);

// Whether stream reaches a Windows console, which takes text as UTF-16 through its own API and
// holds every write while the operator has a selection in it: text for it then goes through a
// CErrWriter. A process has one console, so two streams for which this holds share it (and keep
// one order only through one writer). Always false on Linux, where a terminal takes the bytes as
// they come and the descriptor can be written without blocking.
bool IsWindowsConsole(std::FILE* stream);

// Writes text (UTF-8) to stream and flushes it: to a Windows console as UTF-16, whatever the
// console's code page; to anything else as the bytes they are. 0 or the system's error code.
int WriteText(std::FILE* stream, const std::string& text);

// Opens the file at path (UTF-8) for adding bytes at its end, unchanged; made when missing.
// nullptr with the system's error code in *err when it cannot, and ERR_NOT_REGULAR_FILE when
// path names anything but a regular file (a FIFO, a device).
std::FILE* OpenForAppend(const std::string& path, int* err);

// A stream (standard error) written without ever waiting for its reader: a terminal the operator
// stopped with Ctrl+S, or a stalled remote session, must not hold up the program. Linux writes to
// a terminal or pipe through a non-blocking descriptor of its own (the stream's shared one keeps
// its mode, which the shell relies on); a file never blocks. Windows has no non-blocking writes
// to a console (one with a selection in it holds every write) or a pipe: a thread of the
// writer's own writes there, and the program hands it text up to a bound. To a console it
// writes UTF-16 (WriteConsoleW); a character whose UTF-8 bytes arrive in two pieces is kept
// whole.
class CErrWriter {
  public:
    explicit CErrWriter(std::FILE* stream);
    ~CErrWriter();
    CErrWriter(const CErrWriter&) = delete;
    CErrWriter& operator=(const CErrWriter&) = delete;

    // Writes what the stream takes now: the number of bytes taken, 0 when it takes none (or
    // has failed for good, as a closed pipe).
    size_t TryWrite(const char* data, size_t n);
    // Waits at most ms milliseconds until the stream may take more; false when it did not.
    bool WaitWritable(int ms);

  private:
    std::FILE* m_stream;
    int m_fd = -1;  // our own non-blocking descriptor (Linux), -1 when the stream is used as is
    struct Worker;  // the writing thread's state (Windows), null when the stream is used as is
    std::shared_ptr<Worker> m_worker;
};

}  // namespace korv
