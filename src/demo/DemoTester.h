#pragma once
// The demo's simulated tester: the simulator program on a pseudo-terminal, so that the tool can
// be tried without an instrument. The program's entry starts it and hands its port and the
// sample update file to whichever front end runs.

#include <memory>
#include <string>

namespace korv {

class DemoTester {
  public:
    // Starts the simulator; nullptr with a message in *error when it cannot be started (on
    // Windows it never can: the simulator is a Linux program).
    static std::unique_ptr<DemoTester> Start(std::string* error);
    virtual ~DemoTester() = default;
    // The port the tool should open.
    virtual const std::string& PortPath() const = 0;
    // The sample update file shipped with the program.
    virtual std::string SampleFile() const = 0;
};

// How a front end starts the demo's tester; nullptr where the program has no demo.
using DemoStart = std::unique_ptr<DemoTester> (*)(std::string* error);

}  // namespace korv
