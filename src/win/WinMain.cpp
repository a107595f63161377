// korvalin.exe: the Windows desktop program.
// Usage: korvalin [--port NAME] [--file PATH]     the one-port window
//        korvalin --station [STATION-FILE]         the station window

// The core's headers (through WinApp.h) come before <windows.h>, whose macros share some of
// their constant names.
#include "platform/Program.h"
#include "win/WinApp.h"

#include "win/Station.h"

#include <shellapi.h>

#include <string>
#include <vector>

#include "win/WinText.h"

namespace {

std::vector<std::string> Arguments() {
    std::vector<std::string> args;
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr) {
        return args;
    }
    for (int i = 1; i < argc; ++i) {
        args.push_back(korv::win::Narrow(argv[i]));
    }
    LocalFree(argv);
    return args;
}

int Usage(const std::string& message) {
    const std::wstring text =
        korv::win::Widen(message +
                         "\n\nusage: korvalin [--port NAME] [--file PATH]\n"
                         "       korvalin --station [STATION-FILE]\n"
                         "For the console program, run korvalin-console.exe.");
    MessageBoxW(nullptr, text.c_str(), L"KORVALIN", MB_OK | MB_ICONEXCLAMATION);
    return 2;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    korv::win::WinOptions options;
    const std::vector<std::string> args = Arguments();
    bool station = false;
    std::string stationFile;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--station") {
            station = true;
            // The station file is optional: the window opens empty without one.
            if (i + 1 < args.size() && !args[i + 1].starts_with("--")) {
                stationFile = args[++i];
            }
        } else if (arg == "--port" || arg == "--file") {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                return Usage(arg + " needs a value");
            }
            (arg == "--port" ? options.portOverride : options.initialFile) = args[++i];
        } else {
            return Usage("unknown option '" + arg + "'");
        }
    }
    if (station) {
        // The station's ports and update file are its own: the one-port window's options would
        // be ignored there without a word.
        if (!options.portOverride.empty() || !options.initialFile.empty()) {
            return Usage("--port and --file are for the one-port window, not for --station");
        }
        return korv::win::RunStationWindow(instance, stationFile);
    }
    options.programPath = korv::ProgramPath();

    korv::win::CWinProgApp app(std::move(options));
    if (!app.InitInstance(instance)) {
        return 1;
    }
    return app.Run();
}
