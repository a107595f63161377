#pragma once
// Entry points of the console front end and the demo, shared by the `korvalin` program
// (which is built with or without the Qt desktop front end).

#include <memory>
#include <string>

namespace korv {

// True when the arguments ask for the console front end: --console, --list-ports, --help.
bool WantsConsole(int argc, char** argv);

// Runs the console front end; returns the process exit status.
int RunConsole(int argc, char** argv);

// The simulated tester started on a pseudo-terminal for the demo. Stops it when destroyed.
class DemoTester {
  public:
    // Starts the simulator; nullptr with a message in *error when it cannot be started.
    static std::unique_ptr<DemoTester> Start(std::string* error);
    virtual ~DemoTester() = default;
    // The pty path the tool should open.
    virtual const std::string& PortPath() const = 0;
    // The sample update file shipped with the program.
    virtual std::string SampleFile() const = 0;
};

}  // namespace korv
