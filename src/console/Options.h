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
    // Production records and the tester's verdict.
    std::string report;       // --report FILE: records go here (a batch's default: its log folder)
    std::string expect;       // --expect REGEX: a tester line that means accepted
    std::string reject;       // --reject REGEX: a tester line that means rejected
    int verdictTimeout = 60;  // --verdict-timeout SECONDS
    int promptTimeout = 0;  // --prompt-timeout SECONDS; 0: wait for the prompt as long as it takes
    std::string retryFailed;  // --retry-failed REPORT

    // True when the run updates a batch of testers, each with its own log file, instead of one
    // tester whose output goes to stdout.
    bool Batch() const {
        return ports.size() > 1 || allPorts || !logDir.empty() || !retryFailed.empty();
    }
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
