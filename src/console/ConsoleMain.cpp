// The console front end's entry points: option handling, the port listing and the demo around
// one console session.

#include "console/ConsoleMain.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "console/BatchRun.h"
#include "console/ConsoleOutput.h"
#include "console/ConsoleSession.h"
#include "console/Options.h"
#include "console/PortInfo.h"
#include "platform/ConsoleIo.h"
#include "platform/Program.h"
#include "platform/Wait.h"
#include "station/RetryList.h"
#include "station/StationFile.h"

namespace korv {

namespace {

std::string ProgramName(int argc, char** argv) {
    if (argc < 1 || argv[0] == nullptr) {
        return "korvalin";
    }
    const char* name = argv[0];
    for (const char* p = argv[0]; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            name = p + 1;
        }
    }
    return name;
}

// --retry-failed: the ports of the report whose last record failed, and their file unless
// --file was given. False with the exit status in *status when there is nothing to run.
bool TakeRetryList(ConsoleOptions& options, int* status) {
    auto say = [](const std::string& text) { WriteText(stderr, StampedMessage(text) + "\n"); };
    const RetryList list = ReadRetryListFile(options.retryFailed);
    for (const auto& warning : list.warnings) {
        say(warning);
    }
    if (!list.ok) {
        say(list.error);
        *status = EXIT_USAGE;
        return false;
    }
    if (list.ports.empty()) {
        say("Every port in '" + options.retryFailed +
            "' got its update; there is nothing to retry.");
        *status = EXIT_SENT;
        return false;
    }
    if (options.file.empty()) {
        if (list.files.size() != 1) {
            std::string files;
            for (const auto& f : list.files) {
                files += (files.empty() ? "'" : ", '") + f + "'";
            }
            say(list.files.empty() ? "The failed records name no update file: give --file PATH."
                                   : "The failed records name several update files (" + files +
                                         "): give --file PATH.");
            *status = EXIT_USAGE;
            return false;
        }
        options.file = list.files.front();
    }
    options.ports = list.ports;
    return true;
}

// --station: the station file's ports and settings, under the command line's. False with the
// exit status in *status when the file is refused: before any port is touched.
bool TakeStationFile(ConsoleOptions& options, int* status) {
    auto say = [](const std::string& text) { WriteText(stderr, StampedMessage(text) + "\n"); };
    std::string error;
    const std::optional<StationConfig> config = LoadStationFile(options.station, &error);
    if (!config) {
        say(error);
        *status = EXIT_USAGE;
        return false;
    }
    ApplyStationConfig(options, *config);
    if (options.file.empty()) {
        say("The station file '" + options.station +
            "' names no update file (\"file\"): give --file PATH.");
        *status = EXIT_USAGE;
        return false;
    }
    return true;
}

}  // namespace

bool WantsConsole(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--console") == 0 || std::strcmp(arg, "--list-ports") == 0 ||
            std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            return true;
        }
    }
    return false;
}

int RunConsole(int argc, char** argv, DemoStart startDemo) {
    PrepareStandardStreams();
    const std::string program = ProgramName(argc, argv);
    ParseResult parsed = ParseConsoleOptions(ProgramArguments(argc, argv));
    if (!parsed.ok) {
        WriteText(stderr, program + ": " + parsed.error + "\n" + ConsoleUsage(program));
        return EXIT_USAGE;
    }
    ConsoleOptions& options = parsed.options;
    if (options.help) {
        WriteText(stdout, ConsoleUsage(program));
        return 0;
    }
    if (options.listPorts) {
        return WriteText(stdout, FormatPortListing()) == 0 ? 0 : EXIT_PORT_FAILED;
    }
    if (!options.retryFailed.empty()) {
        int status = EXIT_SENT;
        if (!TakeRetryList(options, &status)) {
            return status;
        }
    }
    if (!options.station.empty()) {
        int status = EXIT_USAGE;
        if (!TakeStationFile(options, &status)) {
            return status;
        }
    }
    if (options.Batch()) {
        CInterrupt interrupt;
        return RunBatch(options, interrupt, stdout, stderr, StderrIsConsole());
    }

    // stdout is flushed at the end of every drain; in between it collects whole drains.
    static char outBuffer[1 << 16];
    std::setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
    CConsoleOutput out(stdout, stderr, StderrIsConsole(), true);

    std::unique_ptr<DemoTester> tester;
    if (options.demo) {
        std::string error = "this program has no demo";
        tester = startDemo != nullptr ? startDemo(&error) : nullptr;
        if (!tester) {
            out.Message("Cannot start the simulated tester: " + error);
            return EXIT_PORT_FAILED;
        }
        options.port = tester->PortPath();
        options.file = tester->SampleFile();
        out.Message("Demo: a simulated tester on " + options.port + " asks for '" + options.file +
                    "'.");
    }

    CInterrupt interrupt;
    const int status = RunConsoleSession(options, out, interrupt);
    out.FlushOut();
    return status;
}

}  // namespace korv
