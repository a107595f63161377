#include "platform/ConsoleIo.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/SysError.h"
#include "platform/linux/SysCall.h"

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
    auto fail = [err](int code) -> std::FILE* {
        if (err != nullptr) {
            *err = code;
        }
        return nullptr;
    };
    // Only a regular file is accepted (asked first, so that a FIFO without a reader is named as
    // what it is); non-blocking, so that one cannot hang the run.
    struct stat before {};
    if (::stat(path.c_str(), &before) == 0 && !S_ISREG(before.st_mode)) {
        return fail(ERR_NOT_REGULAR_FILE);
    }
    const int fd = sys::RetryEintr([&] {
        return ::open(path.c_str(),
                      O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    });
    if (fd == -1) {
        return fail(errno);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int code = S_ISREG(st.st_mode) || st.st_mode == 0 ? errno : ERR_NOT_REGULAR_FILE;
        ::close(fd);
        return fail(code);
    }
    ::fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
    std::FILE* file = ::fdopen(fd, "ab");
    if (file == nullptr) {
        const int code = errno;
        ::close(fd);
        return fail(code);
    }
    return file;
}

}  // namespace korv
