#include "platform/ConsoleIo.h"

#include <fcntl.h>
#include <poll.h>
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

int TerminalRows(std::FILE* stream) {
    winsize size{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_row;
}

bool EnableTerminalControl(std::FILE*) {
    return true;
}

bool IsWindowsConsole(std::FILE*) {
    return false;
}

int WriteText(std::FILE* stream, const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stream) != text.size() ||
        std::fflush(stream) != 0) {
        return errno != 0 ? errno : EIO;
    }
    return 0;
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

CErrWriter::CErrWriter(std::FILE* stream) : m_stream(stream) {
    std::fflush(stream);
    const int fd = ::fileno(stream);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !(S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode))) {
        return;  // a file (or nothing): writes do not wait for a reader
    }
    // A descriptor of our own for the same terminal or pipe: O_NONBLOCK on the inherited one
    // would change it for the shell and every other process that shares it.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    m_fd = sys::RetryEintr(
        [&] { return ::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
}

CErrWriter::~CErrWriter() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

size_t CErrWriter::TryWrite(const char* data, size_t n) {
    if (m_fd < 0) {
        // A file, or a terminal that could not be opened again: the stream's own way.
        const size_t put = std::fwrite(data, 1, n, m_stream);
        std::fflush(m_stream);
        return put;
    }
    size_t done = 0;
    while (done < n) {
        const ssize_t w = sys::RetryEintr([&] { return ::write(m_fd, data + done, n - done); });
        if (w <= 0) {
            break;  // EAGAIN: the reader has stopped; anything else: it is gone
        }
        done += static_cast<size_t>(w);
    }
    return done;
}

bool CErrWriter::WaitWritable(int ms) {
    if (m_fd < 0) {
        return true;
    }
    pollfd p{m_fd, POLLOUT, 0};
    return sys::Poll(&p, 1, ms) > 0 && (p.revents & POLLOUT) != 0;
}

}  // namespace korv
