#pragma once
// The console's two output streams: stdout carries exactly the bytes the terminal pane acts on,
// stderr carries messages and, on a terminal, one progress line that is redrawn in place. The
// progress line is taken down before anything else is written to either stream, so the two never
// mix on a shared terminal. On a Windows console both go through one writer (ConsoleIo.h), so
// that they reach the screen in the order they were written.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "console/ErrQueue.h"
#include "station/SessionHost.h"

namespace korv {

class CConsoleOutput : public ISessionOutput {
  public:
    // out and err are the streams written (stdout and stderr in the program); progress is drawn
    // only when progressAllowed (stderr is a terminal). errQueued: err is written through a
    // CErrQueue, so that a stopped terminal holds up nothing (whoever waits calls PumpErr).
    CConsoleOutput(std::FILE* out, std::FILE* err, bool progressAllowed, bool errQueued = false);
    ~CConsoleOutput() override;
    CConsoleOutput(const CConsoleOutput&) = delete;
    CConsoleOutput& operator=(const CConsoleOutput&) = delete;

    // One byte for stdout, buffered until FlushOut.
    void Echo(char ch) override;
    void FlushOut() override;
    // "<local time> KORVALIN: <text>" on one line of stderr; line ends inside the text become
    // spaces.
    void Message(const std::string& text) override;
    // Raw text on stderr (prompts, hints that span lines).
    void Error(const std::string& text) override;
    void ShowProgress(const std::string& line);
    void ClearProgress() override;
    bool ProgressAllowed() const { return m_progressAllowed; }
    // With a queued err: gives what waits another chance, and how long a wait may last before
    // that is due again (-1: nothing waits).
    void PumpErr();
    int ErrPumpDueMs() const;
    // The system's code of the first write to either stream that failed (a full disk), 0 if
    // none did (queued err writes are not counted).
    int WriteError() const { return m_writeError; }
    // Also hands every message's text (without the "KORVALIN: " prefix) to observer, after it
    // has been written; a batch run shows each tester's messages beside its log.
    void SetMessageObserver(std::function<void(const std::string&)> observer) {
        m_messageObserver = std::move(observer);
    }

    // What stands before "KORVALIN:" on a message line (tests fix it; default the local time).
    void SetStamp(std::function<std::string()> stamp) { m_stamp = std::move(stamp); }

  private:
    void Put(std::FILE* stream, const std::string& text);
    void Flush(std::FILE* stream);

    std::FILE* m_out;
    std::FILE* m_err;
    std::unique_ptr<CErrQueue> m_errQueue;
    // stdout's way to a Windows console: err's queue when they share the console, else one of
    // its own; null when stdout takes the bytes as they are. Its text waits in m_outText until
    // FlushOut.
    std::unique_ptr<CErrQueue> m_ownOutQueue;
    CErrQueue* m_outQueue = nullptr;
    std::string m_outText;
    int m_writeError = 0;
    bool m_progressAllowed;
    size_t m_progressWidth = 0;  // characters of the progress line on screen, 0 when none
    std::string m_progressShown;
    bool m_outPending = false;
    std::function<void(const std::string&)> m_messageObserver;
    std::function<std::string()> m_stamp;
};

// " 37%  15.0/40.0 KiB 5.6 KiB/s 0:04 left" for done of total bytes after elapsedSeconds.
std::string FormatProgress(uint64_t done, uint64_t total, double elapsedSeconds);

}  // namespace korv
