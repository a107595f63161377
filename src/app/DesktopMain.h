#pragma once
// Entry point of the Qt desktop front end, for the program's entry.

#include "demo/DemoTester.h"

namespace korv {

// Runs the desktop program (a display must be available); returns the process exit status.
// startDemo runs --demo's tester (nullptr: --demo is refused).
int RunDesktop(int argc, char** argv, DemoStart startDemo);

}  // namespace korv
