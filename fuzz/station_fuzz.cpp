// Station files: operator-written JSON, read before any port is opened.
//
// Properties: a refused file says why, naming the file; a station that is taken has at least one
// port, every port named once, without control characters, time-outs in their ranges, and
// patterns that compile (the unit's with one capture group).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

#include "station/StationFile.h"
#include "station/Verdict.h"

namespace korv::fuzz {
namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "station_fuzz: %s\n", what);
        __builtin_trap();
    }
}

bool Plain(const std::string& text) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            return false;
        }
    }
    return true;
}

}  // namespace
}  // namespace korv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace korv;
    using korv::fuzz::Check;
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto config = ParseStationFile(text, "fuzz/station.json", &error);
    if (!config) {
        Check(error.starts_with("Station file 'fuzz/station.json'"), "a refusal names the file");
        Check(korv::fuzz::Plain(error), "a refusal holds no control characters");
        return 0;
    }
    Check(!config->ports.empty(), "a station has a port");
    std::set<std::string> names;
    for (const auto& port : config->ports) {
        Check(!port.name.empty(), "every port has a name");
        Check(names.insert(port.name).second, "every port is named once");
        Check(korv::fuzz::Plain(port.name) && korv::fuzz::Plain(port.label),
              "names and labels hold no control characters");
    }
    Check(config->verdictTimeout >= 1 && config->verdictTimeout <= 86400, "verdict time-out");
    Check(config->promptTimeout >= 0 && config->promptTimeout <= 86400, "prompt time-out");
    for (const std::string* pattern : {&config->expect, &config->reject}) {
        Check(pattern->empty() || CompilePattern(*pattern, nullptr).has_value(),
              "a pattern compiles");
    }
    Check(config->unitId.empty() || CompileUnitPattern(config->unitId, nullptr).has_value(),
          "the unit pattern compiles with one group");
    return 0;
}
