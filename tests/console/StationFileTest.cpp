// Station files: what is refused and how the refusal reads, and a station saved and read back.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TempDir.h"
#include "station/StationFile.h"

namespace korv {
namespace {

using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;

struct RefusalCase {
    const char* name;
    std::string text;  // the file's text; "<missing>": no file, "<folder>": a folder
    std::string says;  // in the message, after "Station file '<path>'"
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class StationFileRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(StationFileRefusal, NamesTheFileTheKeyAndTheReason) {
    const RefusalCase& c = GetParam();
    TempDir dir;
    const std::string path = dir / "bench.json";
    if (c.text == "<folder>") {
        ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    } else if (c.text != "<missing>") {
        WriteWholeFile(path, c.text);
    }
    std::string error;
    EXPECT_FALSE(LoadStationFile(path, &error).has_value());
    EXPECT_TRUE(error.starts_with("Station file '" + path + "'")) << error;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    EXPECT_TRUE(error.ends_with(".")) << error;
    // The message is shown on a terminal: nothing of the file's own reaches it as a control.
    EXPECT_EQ(error.find('\x1b'), std::string::npos) << error;
}

const std::string kPort = R"({"name": "ttyUSB0"})";

INSTANTIATE_TEST_SUITE_P(
    Station, StationFileRefusal,
    ::testing::Values(
        RefusalCase{"Missing", "<missing>", ": it cannot be read: No such file"},
        RefusalCase{"AFolder", "<folder>", ": it is a folder"},
        RefusalCase{"NotJson", "{\"ports\": [" + kPort + "],\n \"file\": }",
                    ": it is not JSON: parse error at line 2"},
        RefusalCase{"BinaryIsNotJsonAndStaysOffTheTerminal", "\x1b[2J\x1b]0;x\x07",
                    ": it is not JSON"},
        RefusalCase{"TopLevelArray", "[" + kPort + "]", "top level must be an object"},
        RefusalCase{"NoPorts", R"({"file": "u.txt"})", "\"ports\": the station has no list"},
        RefusalCase{"EmptyPorts", R"({"ports": []})", "\"ports\": the list of ports is empty"},
        RefusalCase{"PortsNotAList", R"({"ports": "ttyUSB0"})", "\"ports\": must be a list"},
        RefusalCase{"PortNotAnObject", R"({"ports": ["ttyUSB0"]})", "ports[0]: a port is an"},
        RefusalCase{"PortWithoutName", "{\"ports\": [" + kPort + R"(, {"label": "Bay 2"}]})",
                    "ports[1]: the port has no \"name\""},
        RefusalCase{"PortWithEmptyName", R"({"ports": [{"name": ""}]})",
                    "ports[0].name: the port's name is empty"},
        RefusalCase{"UnknownKeyInAPort", R"({"ports": [{"name": "a", "lable": "x"}]})",
                    "ports[0].lable: not a setting of a port"},
        RefusalCase{"LabelNotText", R"({"ports": [{"name": "a", "label": 3}]})",
                    "ports[0].label: must be text"},
        RefusalCase{"ControlCharacterInALabel",
                    R"({"ports": [{"name": "a", "label": "\u001b[2J"}]})",
                    "ports[0].label: must not hold control characters"},
        RefusalCase{"C1ControlInALabel", R"({"ports": [{"name": "a", "label": "\u009b2J"}]})",
                    "ports[0].label: must not hold control characters"},
        RefusalCase{"SamePortTwice",
                    "{\"ports\": [" + kPort + R"(, {"name": "b"}, )" + kPort + "]}",
                    "ports[2].name: the port 'ttyUSB0' is given twice (also ports[0])"},
        RefusalCase{"UnknownKey", "{\"ports\": [" + kPort + R"(], "verdict_timout": 5})",
                    "\"verdict_timout\": not a setting of a station file"},
        RefusalCase{"KeyTwice", "{\"ports\": [" + kPort + R"(], "file": "a", "file": "b"})",
                    ": the key 'file' is given twice"},
        RefusalCase{"FileNotText", "{\"ports\": [" + kPort + R"(], "file": ["a"]})",
                    "\"file\": must be text, not array"},
        RefusalCase{"RepeatNotABoolean", "{\"ports\": [" + kPort + R"(], "repeat": "yes"})",
                    "\"repeat\": must be true or false, not \"yes\""},
        RefusalCase{"NegativePromptTimeout",
                    "{\"ports\": [" + kPort + R"(], "prompt_timeout": -1})",
                    "\"prompt_timeout\": must be a whole number of seconds from 0 (no limit) to "
                    "86400, not -1"},
        RefusalCase{"NoVerdictTime", "{\"ports\": [" + kPort + R"(], "verdict_timeout": 0})",
                    "\"verdict_timeout\": must be a whole number of seconds from 1 to 86400"},
        RefusalCase{"TimeOutBeyondADay",
                    "{\"ports\": [" + kPort + R"(], "verdict_timeout": 18446744073709551615})",
                    "\"verdict_timeout\": must be a whole number of seconds"},
        RefusalCase{"FractionalTimeOut", "{\"ports\": [" + kPort + R"(], "prompt_timeout": 1.5})",
                    "\"prompt_timeout\": must be a whole number of seconds"},
        RefusalCase{"BadExpect", "{\"ports\": [" + kPort + R"(], "expect": "(ok"})",
                    "\"expect\": '(ok' is not a regular expression"},
        RefusalCase{"BadReject", "{\"ports\": [" + kPort + R"(], "reject": "(a)\\1"})",
                    "\"reject\": '(a)\\1' is not a regular expression"},
        RefusalCase{"UnitWithoutAGroup", "{\"ports\": [" + kPort + R"(], "unit_id": "S/N \\d+"})",
                    "\"unit_id\": 'S/N \\d+' needs exactly one capture group"},
        RefusalCase{"UnitThatDoesNotCompile",
                    "{\"ports\": [" + kPort + R"(], "unit_id": "S/N (\\d+"})",
                    "\"unit_id\": 'S/N (\\d+' is not a regular expression"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StationFile, LeftOutSettingsTakeTheirDefaultsAndPathsTheFilesFolder) {
    TempDir dir;
    const std::string path = dir / "bench.json";
    WriteWholeFile(path, R"({"ports": [{"name": "COM5", "label": "Bay 1"}, {"name": "COM6"}],
                             "file": "updates/../u.txt", "log_dir": "/var/log/k", "expect": ""})");
    std::string error;
    const auto config = LoadStationFile(path, &error);
    ASSERT_TRUE(config) << error;
    ASSERT_EQ(config->ports.size(), 2u);
    EXPECT_EQ(config->ports[0].label, "Bay 1");
    EXPECT_EQ(config->ports[1].label, "");
    EXPECT_EQ(config->file, dir / "u.txt");
    EXPECT_EQ(config->logDir, "/var/log/k");
    EXPECT_EQ(config->expect, "");
    EXPECT_EQ(config->verdictTimeout, 60);
    EXPECT_EQ(config->promptTimeout, 0);
    EXPECT_TRUE(config->repeat);
}

// Saved and read back, a station is the same; paths in its folder are written relative to it (the
// folder can be moved whole), others as they are; saving again replaces the file and leaves
// nothing else behind.
TEST(StationFile, SavedAndReadBackIsTheSameStation) {
    TempDir dir;
    ASSERT_EQ(::mkdir((dir / "station").c_str(), 0755), 0);
    const std::string path = dir / "station/bench.json";
    StationConfig config;
    config.ports = {{"/dev/serial/by-id/usb-FTDI_A1-if00-port0", "Bay \"1\""},
                    {"rfc2217://rack:4001", ""}};
    config.file = dir / "station/updates/u.txt";
    config.expect = "^Update received: .* header ok$";
    config.reject = "rejected|error";
    config.unitId = "Serial number: (\\S+)";
    config.verdictTimeout = 30;
    config.promptTimeout = 120;
    config.logDir = dir / "logs";
    config.repeat = false;
    config.stationName = "Line 3";
    std::string error;
    ASSERT_TRUE(SaveStationFile(path, config, &error)) << error;
    const std::string text = ReadWholeFile(path);
    EXPECT_NE(text.find("\"file\": \"updates/u.txt\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"log_dir\": \"" + (dir / "logs") + "\""), std::string::npos) << text;

    auto loaded = LoadStationFile(path, &error);
    ASSERT_TRUE(loaded) << error << "\n" << text;
    auto same = [](const StationConfig& a, const StationConfig& b) {
        if (a.ports.size() != b.ports.size()) {
            return false;
        }
        for (size_t i = 0; i < a.ports.size(); ++i) {
            if (a.ports[i].name != b.ports[i].name || a.ports[i].label != b.ports[i].label) {
                return false;
            }
        }
        return a.file == b.file && a.expect == b.expect && a.reject == b.reject &&
               a.unitId == b.unitId && a.verdictTimeout == b.verdictTimeout &&
               a.promptTimeout == b.promptTimeout && a.logDir == b.logDir && a.repeat == b.repeat &&
               a.stationName == b.stationName;
    };
    EXPECT_TRUE(same(*loaded, config)) << text;

    // Saved again over the file, with the settings left at their defaults.
    StationConfig plain;
    plain.ports = {{"ttyUSB0", ""}};
    ASSERT_TRUE(SaveStationFile(path, plain, &error)) << error;
    loaded = LoadStationFile(path, &error);
    ASSERT_TRUE(loaded) << error;
    EXPECT_TRUE(same(*loaded, plain)) << ReadWholeFile(path);
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator(dir / "station")) {
        ++files;
    }
    EXPECT_EQ(files, 1u) << "a temporary file was left behind";
}

TEST(StationFile, AFileThatCannotBeWrittenLeavesTheOldOneWhole) {
    TempDir dir;
    StationConfig config;
    config.ports = {{"ttyUSB0", ""}};
    std::string error;
    EXPECT_FALSE(SaveStationFile(dir / "no-such-folder/bench.json", config, &error));
    EXPECT_NE(error.find("Cannot write the station file '" + (dir / "no-such-folder/bench.json") +
                         "' : "),
              std::string::npos)
        << error;
    // A folder where the file should be: the rename fails, the folder is untouched and no
    // temporary file is left.
    ASSERT_EQ(::mkdir((dir / "taken").c_str(), 0755), 0);
    WriteWholeFile(dir / "taken/keep", "x");
    error.clear();
    EXPECT_FALSE(SaveStationFile(dir / "taken", config, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(ReadWholeFile(dir / "taken/keep"), "x");
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        ++files;
    }
    EXPECT_EQ(files, 1u);
}

}  // namespace
}  // namespace korv
