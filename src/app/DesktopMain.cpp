// The desktop front end's entry: its own options, the demo's tester, the application object and
// Qt's event loop.

#include <QApplication>
#include <QDir>
#include <QStringList>
#include <cstdio>
#include <memory>
#include <string>

#include "app/DesktopMain.h"
#include "app/ProgApp.h"
#include "app/QtProfile.h"
#include "app/QuitOnSignal.h"
#include "app/StationWindow.h"
#include "korv_version.h"
#include "platform/DeviceMap.h"
#include "platform/PermissionHint.h"
#include "platform/net/NetPortName.h"
#include "ports/PortList.h"

namespace korv {

namespace {

int Usage(const char* message) {
    std::fprintf(stderr,
                 "korvalin: %s\nusage: korvalin [--port NAME] [--file PATH] [--demo]\n"
                 "       korvalin --station [FILE]\n",
                 message);
    return 2;
}

// Parses the desktop program's own options from what QApplication left over.
bool ParseOptions(const QStringList& args, AppOptions& options, bool& demo, bool& station,
                  std::string& stationFile, std::string& error) {
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("--demo")) {
            demo = true;
        } else if (arg == QLatin1String("--station")) {
            station = true;
            // The station file is optional: a following word that is not an option is it.
            if (i + 1 < args.size() && !args[i + 1].startsWith(QLatin1String("--")) &&
                !args[i + 1].isEmpty()) {
                stationFile = args[++i].toStdString();
            }
        } else if (arg == QLatin1String("--port") || arg == QLatin1String("--file")) {
            if (i + 1 >= args.size() || args[i + 1].isEmpty()) {
                error = arg.toStdString() + " needs a value";
                return false;
            }
            std::string& target =
                arg == QLatin1String("--port") ? options.portOverride : options.initialFile;
            target = args[++i].toStdString();
        } else {
            error = "unknown option '" + arg.toStdString() + "' (see --help)";
            return false;
        }
    }
    return true;
}

// The station window: many testers at once, each port with its own row and terminal.
int RunStation(const std::string& stationFile) {
    StationWindowOptions options;
    options.setup.version = KORV_VERSION;
    options.setup.defaultLogDir =
        (QDir::homePath() + QStringLiteral("/korvalin-logs")).toStdString();
    options.setup.describePort = [](const std::string& name) -> std::string {
        if (const auto net = ParseNetPortName(name)) {
            return net->kind == NetPortKind::Raw ? "network, raw TCP" : "network, RFC 2217";
        }
        return DescribePort(name).product;
    };
    options.setup.permissionHint = &PermissionHint;
    options.portSource = [] {
        QtProfile profile;
        return WithProfileNetPorts(CurrentPortNames(*MakeSystemDeviceMap()), profile);
    };
    options.stationFile = stationFile;
    const CQuitOnSignal quitOnSignal;
    CStationWindow window(std::move(options));
    window.show();
    return QApplication::exec();
}

}  // namespace

int RunDesktop(int argc, char** argv, DemoStart startDemo) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KORVALIN"));
    QApplication::setOrganizationName(QStringLiteral("QUENDAL"));

    AppOptions options;
    bool demo = false;
    bool station = false;
    std::string stationFile;
    std::string error;
    if (!ParseOptions(QApplication::arguments(), options, demo, station, stationFile, error)) {
        return Usage(error.c_str());
    }
    if (station) {
        if (demo || !options.portOverride.empty() || !options.initialFile.empty()) {
            return Usage(
                "--station takes its ports and file from the station; it takes no "
                "--port, --file or --demo");
        }
        return RunStation(stationFile);
    }
    options.programPath = QApplication::applicationFilePath().toStdString();

    std::unique_ptr<DemoTester> tester;
    if (demo && (!options.portOverride.empty() || !options.initialFile.empty())) {
        return Usage("--demo brings its own tester and update file; it takes no --port or --file");
    }
    if (demo) {
        if (startDemo == nullptr) {
            return Usage("--demo is not available in this build");
        }
        tester = startDemo(&error);
        if (!tester) {
            std::fprintf(stderr, "korvalin: cannot start the demo tester: %s\n", error.c_str());
            return 1;
        }
        options.portOverride = tester->PortPath();
        options.initialFile = tester->SampleFile();
    }

    const CQuitOnSignal quitOnSignal;
    CProgApp prog(std::move(options));
    prog.InitInstance();
    return QApplication::exec();
}

}  // namespace korv
