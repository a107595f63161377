#include "console/Options.h"

#include <string_view>

#include "station/Verdict.h"

namespace korv {

namespace {

// Splits "--name=value" into its parts; a plain "--name" gives an empty value and !hasValue.
struct Arg {
    std::string_view name;
    std::string_view value;
    bool hasValue = false;
};

Arg SplitArg(std::string_view text) {
    Arg arg;
    const auto eq = text.find('=');
    if (text.starts_with("--") && eq != std::string_view::npos) {
        arg.name = text.substr(0, eq);
        arg.value = text.substr(eq + 1);
        arg.hasValue = true;
    } else {
        arg.name = text;
    }
    return arg;
}

// A whole number of seconds from 1 to a day.
bool ParseSeconds(const std::string& text, int& into) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    into = std::stoi(text);
    return into >= 1 && into <= 86400;
}

}  // namespace

ParseResult ParseConsoleOptions(const std::vector<std::string>& args) {
    ParseResult result;
    ConsoleOptions& opt = result.options;
    bool portGiven = false;
    bool fileGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const Arg arg = SplitArg(args[i]);
        if (arg.name.starts_with("--") && !opt.Given(arg.name)) {
            opt.given.emplace_back(arg.name);
        }
        auto takeValue = [&](std::string& into) -> bool {
            if (arg.hasValue) {
                into = std::string(arg.value);
            } else if (i + 1 < args.size()) {
                into = args[++i];
            } else {
                result.error = "option " + std::string(arg.name) + " needs a value";
                return false;
            }
            if (into.empty()) {
                result.error = "option " + std::string(arg.name) + " needs a non-empty value";
                return false;
            }
            return true;
        };
        auto noValue = [&]() -> bool {
            if (arg.hasValue) {
                result.error = "option " + std::string(arg.name) + " takes no value";
                return false;
            }
            return true;
        };

        if (arg.name == "--port") {
            if (!takeValue(opt.port)) {
                return result;
            }
            for (const auto& given : opt.ports) {
                if (given == opt.port) {
                    result.error = "port " + opt.port + " is given twice";
                    return result;
                }
            }
            opt.ports.push_back(opt.port);
            portGiven = true;
        } else if (arg.name == "--file") {
            if (!takeValue(opt.file)) {
                return result;
            }
            fileGiven = true;
        } else if (arg.name == "--log-dir") {
            if (!takeValue(opt.logDir)) {
                return result;
            }
        } else if (arg.name == "--report" || arg.name == "--retry-failed") {
            if (!takeValue(arg.name == "--report" ? opt.report : opt.retryFailed)) {
                return result;
            }
        } else if (arg.name == "--expect" || arg.name == "--reject") {
            std::string& into = arg.name == "--expect" ? opt.expect : opt.reject;
            if (!takeValue(into)) {
                return result;
            }
            if (!CompilePattern(into, &result.error)) {
                result.error = "option " + std::string(arg.name) + ": " + result.error;
                return result;
            }
        } else if (arg.name == "--unit-id") {
            if (!takeValue(opt.unitId)) {
                return result;
            }
            if (!CompileUnitPattern(opt.unitId, &result.error)) {
                result.error = "option --unit-id: " + result.error;
                return result;
            }
        } else if (arg.name == "--station" || arg.name == "--station-name") {
            if (!takeValue(arg.name == "--station" ? opt.station : opt.stationName)) {
                return result;
            }
        } else if (arg.name == "--verdict-timeout" || arg.name == "--prompt-timeout") {
            std::string text;
            if (!takeValue(text)) {
                return result;
            }
            int& into = arg.name == "--verdict-timeout" ? opt.verdictTimeout : opt.promptTimeout;
            if (!ParseSeconds(text, into)) {
                result.error = "option " + std::string(arg.name) +
                               " needs a whole number of seconds from 1 to 86400, not '" + text +
                               "'";
                return result;
            }
        } else if (arg.name == "--all-ports") {
            if (!noValue()) {
                return result;
            }
            opt.allPorts = true;
        } else if (arg.name == "--console") {
            if (!noValue()) {
                return result;
            }
        } else if (arg.name == "--send-now") {
            if (!noValue()) {
                return result;
            }
            opt.sendNow = true;
        } else if (arg.name == "--repeat") {
            if (!noValue()) {
                return result;
            }
            opt.repeat = true;
        } else if (arg.name == "--list-ports") {
            if (!noValue()) {
                return result;
            }
            opt.listPorts = true;
        } else if (arg.name == "--help" || arg.name == "-h") {
            if (!noValue()) {
                return result;
            }
            opt.help = true;
        } else if (arg.name == "--demo") {
            if (!noValue()) {
                return result;
            }
            opt.demo = true;
        } else if (arg.name.starts_with("-")) {
            result.error = "unknown option " + std::string(arg.name);
            return result;
        } else {
            result.error = "unexpected argument '" + args[i] + "'";
            return result;
        }
    }
    if (!opt.station.empty() && (opt.demo || !opt.retryFailed.empty())) {
        result.error = std::string(opt.demo ? "--demo" : "--retry-failed") +
                       " and --station each choose the testers; give one of them";
        return result;
    }
    if (!opt.station.empty() && (portGiven || opt.allPorts)) {
        result.error =
            "--station takes its ports from the station file; it takes no --port or --all-ports";
        return result;
    }
    if (opt.demo && (portGiven || fileGiven)) {
        result.error = "--demo brings its own tester and update file; it takes no --port or --file";
        return result;
    }
    if (opt.demo && opt.Batch()) {
        result.error = "--demo runs one tester; it takes no --all-ports or --log-dir";
        return result;
    }
    if (!opt.retryFailed.empty() && (portGiven || opt.allPorts)) {
        result.error =
            "--retry-failed takes its ports from the report; it takes no --port or "
            "--all-ports";
        return result;
    }
    if (opt.demo && !opt.retryFailed.empty()) {
        result.error = "--demo runs one tester; it takes no --retry-failed";
        return result;
    }
    // A station file may name the file; whether it does is known once it is read.
    if (opt.Batch() && !fileGiven && opt.retryFailed.empty() && opt.station.empty()) {
        result.error = "several testers at once need the update file: give --file PATH";
        return result;
    }
    result.ok = true;
    return result;
}

void ApplyStationConfig(ConsoleOptions& options, const StationConfig& config) {
    options.ports.clear();
    options.labels.clear();
    for (const auto& port : config.ports) {
        options.ports.push_back(port.name);
        options.labels.push_back(port.label);
    }
    auto take = [&](const char* option, auto& into, const auto& value) {
        if (!options.Given(option)) {
            into = value;
        }
    };
    take("--file", options.file, config.file);
    take("--expect", options.expect, config.expect);
    take("--reject", options.reject, config.reject);
    take("--unit-id", options.unitId, config.unitId);
    take("--verdict-timeout", options.verdictTimeout, config.verdictTimeout);
    take("--prompt-timeout", options.promptTimeout, config.promptTimeout);
    take("--log-dir", options.logDir, config.logDir);
    take("--station-name", options.stationName, config.stationName);
    options.repeat = options.repeat || config.repeat;
}

std::string ConsoleUsage(const std::string& programName) {
    return "Usage: " + programName +
           " --console [--port NAME] [--file PATH] [--send-now] [--repeat]\n"
           "       " +
           programName +
           " --console --port NAME --port NAME... | --all-ports --file PATH [--log-dir DIR]\n"
           "       " +
           programName +
           " --console --retry-failed REPORT [--file PATH] [--log-dir DIR]\n"
           "       " +
           programName +
           " --console --station FILE [--file PATH] [--log-dir DIR] [other options]\n"
           "       " +
           programName +
           " --list-ports | --demo [--console] | --help | --version\n"
           "\n"
           "Loads a software update file into a tester over a serial line (57600 8N1, XON/XOFF).\n"
           "Everything the tester sends is written to standard output; messages go to standard\n"
           "error as \"KORVALIN: <text>\". When the tester asks for the update, the file is sent.\n"
           "\n"
           "  --console        run without a window (implied by the other options here)\n"
           "  --port NAME      port to open: a listed name (COM3, ttyUSB0), a device path\n"
           "                   (/dev/serial/by-id/...) or a network port: rfc2217://HOST:PORT\n"
           "                   (RFC 2217 server) or socket://HOST:PORT (raw TCP); default:\n"
           "                   the remembered port\n"
           "  --file PATH      the update file (its first two bytes are \"* \"); without it the\n"
           "                   file is asked for on the terminal\n"
           "  --send-now       send the file as soon as the port is open, without a prompt\n"
           "  --repeat         after each transfer wait for the tester's next prompt\n"
           "  --list-ports     list the serial ports with device, driver and product, and the\n"
           "                   network ports listed in the settings (NETPORTS); exit\n"
           "  --demo           start a simulated tester and send it the sample update file\n"
           "  --help           show this text\n"
           "  --version        show the program's version and build date; exit\n"
           "\n"
           "Several testers at once: each port is opened and updated on its own; the tester\n"
           "output of each goes to DIR/<port>.log (added to), a table of the ports is kept up\n"
           "to date on standard error when it is a terminal, and a summary is printed at the end\n"
           "on standard output.\n"
           "  --port NAME      given more than once: update a tester on every port named\n"
           "  --all-ports      update a tester on every serial port that --list-ports shows\n"
           "  --log-dir DIR    folder of the per-port logs (made when missing); default\n"
           "                   ./korvalin-logs. With one --port, it also makes a batch run\n"
           "\n"
           "Records and the tester's verdict: a batch writes one JSON line per transfer to\n"
           "DIR/report.jsonl as each transfer ends.\n"
           "  --report FILE    write the records to FILE instead (a one-port run too)\n"
           "  --expect REGEX   a line of the tester's after the transfer that means accepted\n"
           "  --reject REGEX   a line of the tester's after the transfer that means rejected\n"
           "  --verdict-timeout SECONDS  how long to wait for either line (default 60)\n"
           "  --prompt-timeout SECONDS   a tester that has not asked for the update by then\n"
           "                   ends as no_prompt (default: wait as long as it takes)\n"
           "  --retry-failed REPORT  update again the ports whose last record in REPORT is\n"
           "                   neither sent nor accepted, with its file unless --file is given\n"
           "  --unit-id REGEX  a line of the tester's before its prompt that names the unit;\n"
           "                   what the pattern's one capture group ( ) matches is the\n"
           "                   record's unit, shown in the table and the summary\n"
           "  --station-name NAME  the records' station (default: the host name)\n"
           "\n"
           "A station file (JSON) names a station's ports with their labels, and its update\n"
           "file, patterns, time-outs, log folder, unit pattern and repeat:\n"
           "  --station FILE   update a tester on every port of the station FILE; options given\n"
           "                   beside it override its settings (--repeat turns repeating on),\n"
           "                   but it takes no --port, --all-ports or --retry-failed\n"
           "\n"
           "Exit status: 0 file sent completely (and accepted, with --expect), 1 port not opened\n"
           "or configured, 2 usage, 3 update file rejected or unreadable, 4 transfer failed or\n"
           "no prompt, 5 the tester rejected the update or gave no verdict in time, 130\n"
           "interrupted. With several testers, 0 only when every tester got the whole file,\n"
           "otherwise the highest status.\n";
}

}  // namespace korv
