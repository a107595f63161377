// Entry point of the simulated tester: options, signals, then the simulator's loop.

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sim/Options.h"
#include "sim/PortLink.h"
#include "sim/Simulator.h"
#include "sim/UniqueFd.h"

int main(int argc, char** argv) {
    using namespace korv::sim;
    const std::string program = "korvalin-tester-sim";
    ParseResult parsed = parse_options(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.help) {
        std::fputs(usage_text(program).c_str(), stdout);
        return 0;
    }
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "%s: %s\n%s", program.c_str(), parsed.error.c_str(),
                     usage_text(program).c_str());
        return 2;
    }

    // A vanished stdout reader must not kill the tester mid-update; writes just fail.
    ::signal(SIGPIPE, SIG_IGN);
    // Stop signals arrive as a readable descriptor in the poll loop, so shutdown is orderly.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    if (::sigprocmask(SIG_BLOCK, &stops, nullptr) != 0) {
        std::perror("korvalin-tester-sim: sigprocmask");
        return 1;
    }
    UniqueFd stop_fd(::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!stop_fd) {
        std::perror("korvalin-tester-sim: signalfd");
        return 1;
    }

    Simulator sim(parsed.options);
    if (std::string err = sim.open_line(); !err.empty()) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), err.c_str());
        return 1;
    }
    PortLink link;
    if (!parsed.options.link.empty()) {
        if (std::string err = link.point(parsed.options.link, sim.slave_path()); !err.empty()) {
            std::fprintf(stderr, "%s: %s\n", program.c_str(), err.c_str());
            return 1;
        }
    }
    std::printf("%s\n", sim.slave_path().c_str());
    std::fflush(stdout);
    return sim.run(stop_fd.get());
}
