#pragma once
// The running program: where it lives, and its command line as UTF-8.

#include <string>
#include <vector>

namespace korv {

// The full path of the program's executable, UTF-8; empty when the system cannot tell.
std::string ProgramPath();

// The folder that holds the executable, with its trailing separator; empty when unknown.
std::string ProgramFolder();

// The arguments after the program's name, UTF-8. Windows hands main() the command line in the
// ANSI code page, which cannot hold every file name; the wide command line is read instead.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Makes stdout and stderr carry bytes unchanged: Windows would turn every line feed into a
// carriage return and line feed (the tester's own "\r\n" would gain a second return), and its
// console shows UTF-8 text only when told to and only when a character arrives in one write, so
// stderr is buffered there: whoever writes to it flushes after each message. On Linux a standard
// descriptor that was closed (as some service managers start programs) is opened on /dev/null,
// so that nothing the program opens later takes its place, and a stream whose reader has gone
// fails its writes instead of ending the program (SIGPIPE is ignored for the whole run). Call it
// before anything is opened.
void PrepareStandardStreams();

// Puts back, when it goes, what PrepareStandardStreams changes beyond this process: the output
// code page of the Windows console, which outlives the program and serves whatever runs in it
// next. Made before PrepareStandardStreams runs. Nothing to keep on Linux.
class ConsoleCodePageKeeper {
  public:
    ConsoleCodePageKeeper();
    ~ConsoleCodePageKeeper();
    ConsoleCodePageKeeper(const ConsoleCodePageKeeper&) = delete;
    ConsoleCodePageKeeper& operator=(const ConsoleCodePageKeeper&) = delete;

  private:
    // 0: none known (no console). Linux has no code page to keep, so its build never reads it.
    [[maybe_unused]] unsigned m_outputCodePage = 0;
};

}  // namespace korv
