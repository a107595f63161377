#include "platform/ConsoleIo.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace korv {

int TerminalColumns(std::FILE* stream) {
    winsize size{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_col;
}

bool EnableTerminalControl(std::FILE*) {
    return true;
}

std::FILE* OpenForAppend(const std::string& path, int* err) {
    std::FILE* file = std::fopen(path.c_str(), "abe");
    if (file == nullptr && err != nullptr) {
        *err = errno;
    }
    return file;
}

}  // namespace korv
