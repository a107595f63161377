// korvalin: the desktop program, or the console front end when asked for it or when there is no
// display to show a window on.

#include <QApplication>
#include <QStringList>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/ProgApp.h"
#include "app/QuitOnSignal.h"
#ifdef KORV_HAVE_CONSOLE
#include "console/ConsoleMain.h"
#endif

namespace {

bool HasArg(int argc, char** argv, const char* arg) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], arg) == 0) {
            return true;
        }
    }
    return false;
}

bool EnvSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// Qt would abort without a display; an explicit platform choice is the operator's business.
bool HaveDisplay(int argc, char** argv) {
    return EnvSet("DISPLAY") || EnvSet("WAYLAND_DISPLAY") || EnvSet("QT_QPA_PLATFORM") ||
           HasArg(argc, argv, "-platform");
}

int Usage(const char* message) {
    std::fprintf(stderr, "korvalin: %s\nusage: korvalin [--port NAME] [--file PATH] [--demo]\n",
                 message);
    return 2;
}

// Parses the desktop program's own options from what QApplication left over.
bool ParseOptions(const QStringList& args, korv::AppOptions& options, bool& demo,
                  std::string& error) {
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("--demo")) {
            demo = true;
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

}  // namespace

int main(int argc, char** argv) {
#ifdef KORV_HAVE_CONSOLE
    if (korv::WantsConsole(argc, argv)) {
        return korv::RunConsole(argc, argv);
    }
#endif
    if (!HaveDisplay(argc, argv)) {
#ifdef KORV_HAVE_CONSOLE
        if (HasArg(argc, argv, "--demo")) {
            return korv::RunConsole(argc, argv);
        }
#endif
        std::fprintf(stderr,
                     "korvalin: no display available; use `korvalin --console` (see --help)\n");
        return 2;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KORVALIN"));
    QApplication::setOrganizationName(QStringLiteral("QUENDAL"));

    korv::AppOptions options;
    bool demo = false;
    std::string error;
    if (!ParseOptions(QApplication::arguments(), options, demo, error)) {
        return Usage(error.c_str());
    }
    options.programPath = QApplication::applicationFilePath().toStdString();

#ifdef KORV_HAVE_CONSOLE
    std::unique_ptr<korv::DemoTester> tester;
    if (demo && (!options.portOverride.empty() || !options.initialFile.empty())) {
        return Usage("--demo brings its own tester and update file; it takes no --port or --file");
    }
    if (demo) {
        tester = korv::DemoTester::Start(&error);
        if (!tester) {
            std::fprintf(stderr, "korvalin: cannot start the demo tester: %s\n", error.c_str());
            return 1;
        }
        options.portOverride = tester->PortPath();
        options.initialFile = tester->SampleFile();
    }
#else
    if (demo) {
        return Usage("--demo needs the console front end, which this build lacks");
    }
#endif

    const korv::CQuitOnSignal quitOnSignal;
    korv::CProgApp prog(std::move(options));
    prog.InitInstance();
    return QApplication::exec();
}
