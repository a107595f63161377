// The demo on Windows: the simulated tester is a Linux program on a pseudo-terminal, which
// Windows does not have, so the demo says so instead of starting.

#include "demo/DemoTester.h"

namespace korv {

std::unique_ptr<DemoTester> DemoTester::Start(std::string* error) {
    if (error != nullptr) {
        *error =
            "the simulated tester runs on Linux only; on Windows connect a tester and use "
            "--port COMn --file PATH";
    }
    return nullptr;
}

}  // namespace korv
