#pragma once
// Entry point of the console front end, for the programs' entries (korvalin on Linux, with or
// without the desktop front end; korvalin-console.exe on Windows).

#include "demo/DemoTester.h"

namespace korv {

// True when the arguments ask for the console front end: --console, --list-ports, --help.
bool WantsConsole(int argc, char** argv);

// Runs the console front end; returns the process exit status. startDemo runs --demo's tester
// (nullptr: --demo is refused).
int RunConsole(int argc, char** argv, DemoStart startDemo);

}  // namespace korv
