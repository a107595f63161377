// The update file on Linux: a descriptor on a regular file with a shared lock, so that a program
// that locks the file for writing (an editor saving it) is noticed instead of sending half a file.

#include "platform/UpdateFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/SysError.h"
#include "platform/linux/SysCall.h"

namespace korv {

int CUpdateFile::Open(const std::string& path) {
    Close();
    // Non-blocking so that a FIFO cannot hang the GUI thread in open().
    const int fd = sys::RetryEintr(
        [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK); });
    if (fd == -1)
        return errno;
    int refusal = 0;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        refusal = errno;
    } else if (!S_ISREG(st.st_mode)) {
        refusal = ERR_NOT_REGULAR_FILE;
    } else if (sys::RetryEintr([&] { return ::flock(fd, LOCK_SH | LOCK_NB); }) != 0) {
        // Another program holds the file locked for writing.
        refusal = errno == EWOULDBLOCK ? ERR_BUSY : errno;
    } else if (::fcntl(fd, F_SETFL, 0) != 0) {
        refusal = errno;
    }
    if (refusal != 0) {
        ::close(fd);
        return refusal;
    }
    m_handle = fd;
    m_size = static_cast<uint64_t>(st.st_size);
    return 0;
}

void CUpdateFile::Close() {
    if (m_handle != kNone)
        ::close(static_cast<int>(m_handle));
    m_handle = kNone;
    m_size = 0;
}

int CUpdateFile::Read(void* buf, uint32_t n, uint32_t* got) {
    *got = 0;
    const ssize_t r = sys::RetryEintr([&] { return ::read(static_cast<int>(m_handle), buf, n); });
    if (r < 0)
        return errno;
    *got = static_cast<uint32_t>(r);
    return 0;
}

int CUpdateFile::Rewind() {
    return ::lseek(static_cast<int>(m_handle), 0, SEEK_SET) == 0 ? 0 : errno;
}

}  // namespace korv
