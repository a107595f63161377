// The running program on Linux: its path from /proc, its arguments as given (already UTF-8).

#include "platform/Program.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace korv {

std::string ProgramPath() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string ProgramFolder() {
    const std::string path = ProgramPath();
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    return args;
}

void PrepareStandardStreams() {
    // A descriptor 0..2 closed by whoever started us would be taken by the next open (the
    // interrupt's pipe, a port): the tester's output would go into the pipe, or a read of
    // standard input would take a signal's byte. /dev/null holds each place instead.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free descriptor is fd itself: every lower one is open by now. Kept open
            // for the whole run.
            [[maybe_unused]] const int held = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        }
    }
    // A stream whose reader has gone (a pipe to a program that exited) is a failed write of
    // that stream, which the program notes and goes on; the signal's default would end the run
    // with another status than the transfer's, at whatever point the next message came.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace korv
