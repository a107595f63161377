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
// carriage return and line feed (the tester's own "\r\n" would gain a second return). Text for
// a Windows console goes through WriteText or CErrWriter (ConsoleIo.h), which hand it over as
// UTF-16, so the console's code page, which outlives the program, is never changed; stderr is
// buffered there, and whoever writes to it flushes after each message. Ctrl+C is enabled for the
// process: one started in a new process group has it disabled, and would ignore it. On Linux a
// standard descriptor that was closed (as some service managers start programs) is opened on
// /dev/null, so that nothing the program opens later takes its place, and a stream whose reader
// has gone fails its writes instead of ending the program (SIGPIPE is ignored for the whole
// run). Call it before anything is opened.
void PrepareStandardStreams();

}  // namespace korv
