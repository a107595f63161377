#pragma once
// The console front end's command line.

#include <string>
#include <vector>

namespace korv {

struct ConsoleOptions {
    std::string port;  // empty: the remembered port
    std::string file;  // empty: ask on the terminal, when there is one
    bool sendNow = false;
    bool repeat = false;
    bool listPorts = false;
    bool help = false;
    bool demo = false;
    // Several testers at once: every --port given (in order), --all-ports, --log-dir.
    std::vector<std::string> ports;
    bool allPorts = false;
    std::string logDir;  // empty: the default folder of a batch run

    // True when the run updates a batch of testers, each with its own log file, instead of one
    // tester whose output goes to stdout.
    bool Batch() const { return ports.size() > 1 || allPorts || !logDir.empty(); }
};

struct ParseResult {
    bool ok = false;
    std::string error;  // why the arguments were refused, when !ok
    ConsoleOptions options;
};

// Parses the arguments after the program name. "--console" is accepted and ignored (it only
// chooses this front end); "--opt=value" and "--opt value" are both accepted.
ParseResult ParseConsoleOptions(const std::vector<std::string>& args);

// The usage text, for --help (stdout) and for usage errors (stderr).
std::string ConsoleUsage(const std::string& programName);

}  // namespace korv
