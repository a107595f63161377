#pragma once
// A station file: the ports of a station with their labels and the settings they share, saved
// from the station window and run by it or headless by the console. JSON, one object:
//   {"ports": [{"name": "/dev/ttyUSB0", "label": "Bay 1"}, ...], "file": "update.txt",
//    "expect": "...", "reject": "...", "unit_id": "...", "verdict_timeout": 60,
//    "prompt_timeout": 0, "log_dir": "logs", "repeat": true}
// Every key but "ports" may be left out. Paths in the file are relative to the file's folder.

#include <optional>
#include <string>
#include <vector>

namespace korv {

struct StationPort {
    std::string name;   // a serial port or a network port, as the port list names it
    std::string label;  // empty: none
};

struct StationConfig {
    std::vector<StationPort> ports;
    std::string file;  // the update file; empty: chosen in the window before Start
    std::string expect;
    std::string reject;
    std::string unitId;       // a pattern with one capture group; empty: none
    int verdictTimeout = 60;  // seconds
    int promptTimeout = 0;    // seconds; 0: wait for the prompt as long as it takes
    std::string logDir;       // empty: the default folder of a batch run
    bool repeat = true;       // each port serves tester after tester until stopped
};

// Reads a station file. A file that cannot be read, is not JSON, has an unknown key, a value of
// the wrong type or range, or a pattern that does not compile is refused: nullopt with a message
// that names the file, the key and the reason. Relative paths ("file", "log_dir") are made
// relative to the file's folder.
std::optional<StationConfig> LoadStationFile(const std::string& path, std::string* error);

// Writes a station file (paths within the file's folder are written relative to it); false with
// a message when it cannot be written. The file is replaced whole or not at all.
bool SaveStationFile(const std::string& path, const StationConfig& config, std::string* error);

}  // namespace korv
