#pragma once
// A station file: the ports of a station with their labels and the settings they share, saved
// from the station window and run by it or headless by the console. JSON, one object:
//   {"ports": [{"name": "/dev/ttyUSB0", "label": "Bay 1"}, ...], "file": "update.txt",
//    "expect": "...", "reject": "...", "unit_id": "...", "verdict_timeout": 60,
//    "prompt_timeout": 0, "log_dir": "logs", "repeat": true, "station_name": "Line 3"}
// Every key but "ports" may be left out; an empty text is the same as none. Paths in the file are
// relative to the file's folder. A port has a "name" and may have a "label".

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
    std::string stationName;  // the records' "station"; empty: the host name
};

// Reads a station file. A file that cannot be read, is not JSON, has an unknown key, a value of
// the wrong type or range, or a pattern that does not compile is refused: nullopt with a message
// that names the file, the key and the reason ("Station file 'bench.json', ports[2].name: the
// port '/dev/ttyUSB1' is given twice (also ports[0])."). So are: a file without ports or with an
// empty list of them, a port without a name, the same port name twice, a key given twice in one
// object, control characters in a name or label, a "unit_id" without exactly one capture group,
// a "verdict_timeout" outside 1..86400 and a "prompt_timeout" outside 0..86400 (whole seconds).
// Relative paths ("file", "log_dir") are made relative to the file's folder.
std::optional<StationConfig> LoadStationFile(const std::string& path, std::string* error);

// Writes a station file (paths within the file's folder are written relative to it, others
// absolute); false with a message when it cannot be written. The file is replaced whole or not
// at all: the text goes to a new file in the same folder, which is then renamed over it.
bool SaveStationFile(const std::string& path, const StationConfig& config, std::string* error);

}  // namespace korv
