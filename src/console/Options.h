#pragma once
// The console front end's command line.

#include <string>
#include <string_view>
#include <vector>

#include "station/StationFile.h"

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
    // Parallel to ports: each port's label (the records' "slot"), empty for none. Only a
    // station file gives labels.
    std::vector<std::string> labels;
    bool allPorts = false;
    std::string logDir;  // empty: the default folder of a batch run
    // Production records and the tester's verdict.
    std::string report;       // --report FILE: records go here (a batch's default: its log folder)
    std::string expect;       // --expect REGEX: a tester line that means accepted
    std::string reject;       // --reject REGEX: a tester line that means rejected
    int verdictTimeout = 60;  // --verdict-timeout SECONDS
    int promptTimeout = 0;  // --prompt-timeout SECONDS; 0: wait for the prompt as long as it takes
    std::string retryFailed;  // --retry-failed REPORT
    std::string unitId;       // --unit-id REGEX: a tester line naming the unit, one capture group
    std::string stationName;  // --station-name NAME: the records' "station"; empty: the host name
    std::string station;      // --station FILE: the ports and settings of a station file
    // The options named on the command line ("--file"), each once: a station file's settings
    // fill only what they left open.
    std::vector<std::string> given;

    // True when the run updates a batch of testers, each with its own log file, instead of one
    // tester whose output goes to stdout.
    bool Batch() const {
        return ports.size() > 1 || allPorts || !logDir.empty() || !retryFailed.empty() ||
               !station.empty();
    }
    bool Given(std::string_view option) const {
        for (const auto& name : given) {
            if (name == option) {
                return true;
            }
        }
        return false;
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

// Takes a station file's settings into options: its ports and their labels, and every setting
// the command line did not give (the command line wins; --repeat on either side repeats).
void ApplyStationConfig(ConsoleOptions& options, const StationConfig& config);

// The usage text, for --help (stdout) and for usage errors (stderr).
std::string ConsoleUsage(const std::string& programName);

}  // namespace korv
