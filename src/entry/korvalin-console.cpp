// The console program: korvalin-console.exe on Windows (a console-subsystem program that cmd and
// PowerShell wait for), and korvalin itself in a Linux build without the desktop front end.

#include "console/ConsoleMain.h"
#include "demo/DemoTester.h"

int main(int argc, char** argv) {
    return korv::RunConsole(argc, argv, &korv::DemoTester::Start);
}
