// korvalin: the desktop program, or the console front end when asked for it or when there is no
// display to show a window on. The two front ends know nothing of each other; this entry picks
// one and hands it the demo's tester.

#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/DesktopMain.h"
#include "console/ConsoleMain.h"
#include "demo/DemoTester.h"
#include "entry/VersionText.h"

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

}  // namespace

int main(int argc, char** argv) {
    // Answered before either front end starts: it needs no display and opens nothing.
    if (korv::WantsVersion(argc, argv)) {
        return korv::PrintVersion(korv::VersionText("korvalin", QT_VERSION_STR, qVersion()));
    }
    if (korv::WantsConsole(argc, argv)) {
        return korv::RunConsole(argc, argv, &korv::DemoTester::Start);
    }
    if (!HaveDisplay(argc, argv)) {
        if (HasArg(argc, argv, "--demo")) {
            return korv::RunConsole(argc, argv, &korv::DemoTester::Start);
        }
        std::fprintf(stderr,
                     "korvalin: no display available; use `korvalin --console` (see --help)\n");
        return 2;
    }
    return korv::RunDesktop(argc, argv, &korv::DemoTester::Start);
}
