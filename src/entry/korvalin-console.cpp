// The console program: korvalin-console.exe on Windows (a console-subsystem program that cmd and
// PowerShell wait for), and korvalin itself in a Linux build without the desktop front end.

#include "console/ConsoleMain.h"
#include "demo/DemoTester.h"
#include "entry/VersionText.h"

int main(int argc, char** argv) {
    if (korv::WantsVersion(argc, argv)) {
        return korv::PrintVersion(korv::VersionText(KORV_PROGRAM_NAME));
    }
    return korv::RunConsole(argc, argv, &korv::DemoTester::Start);
}
