// The running program on Linux: its path from /proc, its arguments as given (already UTF-8).

#include "platform/Program.h"

#include <limits.h>
#include <unistd.h>

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

void PrepareStandardStreams() {}

ConsoleCodePageKeeper::ConsoleCodePageKeeper() = default;
ConsoleCodePageKeeper::~ConsoleCodePageKeeper() = default;

}  // namespace korv
