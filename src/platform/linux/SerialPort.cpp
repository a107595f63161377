// The serial port over termios: the classic device-control and time-out records mapped onto a
// Linux tty, with reads and writes done by poll() so that Shutdown and an abort event can end them.

#include "platform/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <utility>

#include "platform/linux/SysCall.h"
#include "platform/net/NetPorts.h"

namespace korv {

namespace {

using Clock = std::chrono::steady_clock;

// After a hang-up every read fails at once; a reader that simply retries would spin a core until
// the port is closed. Later reads therefore pause this long (or until Shutdown) before failing.
constexpr int kHungUpRetryPauseMs = 100;
// DrainOutput polls the output queue: there is no abortable wait for "queue empty" (tcdrain
// cannot be interrupted by our events).
constexpr int kDrainPollMs = 5;
constexpr uint32_t kDcbSize = sizeof(Dcb);
constexpr uint32_t RTS_CONTROL_HANDSHAKE = 2;

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : m_fd(std::exchange(o.m_fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) {
            reset();
            m_fd = std::exchange(o.m_fd, -1);
        }
        return *this;
    }
    ~UniqueFd() { reset(); }
    void reset() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

  private:
    int m_fd = -1;
};

struct SpeedEntry {
    speed_t code;
    uint32_t rate;
};

constexpr SpeedEntry kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

bool SpeedForRate(uint32_t rate, speed_t* code) {
    for (const auto& s : kSpeeds) {
        if (s.rate == rate) {
            *code = s.code;
            return true;
        }
    }
    return false;
}

uint32_t RateForSpeed(speed_t code) {
    for (const auto& s : kSpeeds) {
        if (s.code == code)
            return s.rate;
    }
    return 0;
}

int TcSetAttr(int fd, const termios& t) {
    return sys::RetryEintr([&] { return ::tcsetattr(fd, TCSANOW, &t); });
}

// The bits SetCommState decides; everything else in the termios is kept as it was.
constexpr tcflag_t kIflagMask =
    IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK;
constexpr tcflag_t kOflagMask = OPOST;
constexpr tcflag_t kLflagMask = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
constexpr tcflag_t kCflagMask = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CLOCAL | CREAD;

bool SameSettings(const termios& a, const termios& b) {
    return cfgetospeed(&a) == cfgetospeed(&b) && cfgetispeed(&a) == cfgetispeed(&b) &&
           (a.c_iflag & kIflagMask) == (b.c_iflag & kIflagMask) &&
           (a.c_oflag & kOflagMask) == (b.c_oflag & kOflagMask) &&
           (a.c_lflag & kLflagMask) == (b.c_lflag & kLflagMask) &&
           (a.c_cflag & kCflagMask) == (b.c_cflag & kCflagMask) &&
           a.c_cc[VSTART] == b.c_cc[VSTART] && a.c_cc[VSTOP] == b.c_cc[VSTOP] &&
           a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

class TermiosPort final : public ISerialPort {
  public:
    TermiosPort() = default;
    ~TermiosPort() override;

    int Open(const std::string& devicePath) override;
    // Linux ttys have fixed kernel buffers (n_tty keeps a 4 KiB receive buffer, serial_core a
    // page for output) that user space cannot resize, so the requested sizes change nothing.
    void SetupComm(uint32_t, uint32_t) override {}
    void Purge() override;
    void SetCommTimeouts(const CommTimeouts& timeouts) override { m_timeouts = timeouts; }
    void GetCommState(Dcb& dcb) override;
    int SetCommState(const Dcb& dcb) override;
    // No line events are ever waited for (the controller asks for none), so there is no mask
    // to keep.
    void SetCommMask(uint32_t) override {}
    void Shutdown() override;
    int Read(uint8_t* buf, uint32_t count, uint32_t* got) override;
    int Write(const uint8_t* buf, uint32_t n, const Event& abort, uint32_t* written) override;
    int DrainOutput(const Event& abort) override;
    void FlushOutput() override;
    bool HungUp() const override { return m_hungUp.load(std::memory_order_relaxed); }

  private:
    int HungUpRead();
    bool Cancelled() const { return m_shutdown.load(std::memory_order_acquire); }

    UniqueFd m_fd;
    UniqueFd m_shutdownFd;
    termios m_original{};
    std::atomic<bool> m_shutdown{false};
    std::atomic<bool> m_hungUp{false};
    CommTimeouts m_timeouts{};
    // Fields of the last accepted settings that termios cannot hold (XonLim, XoffLim,
    // fTXContinueOnXoff, ...), so that GetCommState gives back what SetCommState was told.
    Dcb m_dcb{};
};

TermiosPort::~TermiosPort() {
    if (m_fd) {
        // Best effort: a hung-up tty refuses every call, and there is no one left to tell.
        // No TCOFLUSH here: an aborted or failed transfer's output was discarded by the sender,
        // and what is still queued belongs to a completed one. On a pty that is the tail of the
        // file the far end has not read yet (the driver's queue reads empty at once there), and
        // a flush would cut it off after "Sent"; a UART's close waits until it has gone out.
        TcSetAttr(m_fd.get(), m_original);
        ::ioctl(m_fd.get(), TIOCNXCL);
        ::flock(m_fd.get(), LOCK_UN);
    }
}

int TermiosPort::Open(const std::string& devicePath) {
    if (m_fd)
        return EBUSY;  // one port object holds one device; the owner makes a new object to reopen

    // O_NONBLOCK: opening a serial device otherwise waits for carrier detect, and a FIFO waits
    // for a peer. O_NOCTTY: the port must never become our controlling terminal.
    UniqueFd fd(sys::RetryEintr(
        [&] { return ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }));
    if (!fd)
        return errno;
    if (!::isatty(fd.get()))
        return ENOTTY;

    // flock before TIOCEXCL: an opener that loses the lock must not leave the exclusive flag set
    // on a tty that someone else holds without it. TIOCEXCL does not stop root; flock stops all.
    if (sys::RetryEintr([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0)
        return errno == EWOULDBLOCK ? EBUSY : errno;
    if (::ioctl(fd.get(), TIOCEXCL) != 0)
        return errno;
    struct ExclusiveGuard {
        int fd;
        bool keep = false;
        ~ExclusiveGuard() {
            if (!keep)
                ::ioctl(fd, TIOCNXCL);
        }
    } exclusive{fd.get()};

    termios original{};
    if (::tcgetattr(fd.get(), &original) != 0)
        return errno;

    UniqueFd shutdownFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!shutdownFd)
        return errno;

    exclusive.keep = true;
    m_fd = std::move(fd);
    m_shutdownFd = std::move(shutdownFd);
    m_original = original;
    // A Shutdown that came before the open must still end every later wait.
    if (Cancelled())
        Shutdown();
    return 0;
}

void TermiosPort::Purge() {
    if (m_fd)
        ::tcflush(m_fd.get(), TCIOFLUSH);
}

void TermiosPort::GetCommState(Dcb& dcb) {
    Dcb d = m_dcb;
    d.DCBlength = kDcbSize;
    d.fBinary = 1;
    termios t{};
    if (m_fd && ::tcgetattr(m_fd.get(), &t) == 0) {
        d.BaudRate = RateForSpeed(cfgetospeed(&t));
        switch (t.c_cflag & CSIZE) {
            case CS5:
                d.ByteSize = 5;
                break;
            case CS6:
                d.ByteSize = 6;
                break;
            case CS7:
                d.ByteSize = 7;
                break;
            default:
                d.ByteSize = 8;
                break;
        }
        d.Parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 1 : 2) : 0;
        d.StopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
        d.fParity = (t.c_iflag & INPCK) ? 1 : 0;
        d.fOutX = (t.c_iflag & IXON) ? 1 : 0;
        d.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
        d.XonChar = static_cast<char>(t.c_cc[VSTART]);
        d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
        d.fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
        int lines = 0;
        // A pty has no modem lines; then the last requested DTR/RTS modes are reported.
        if (::ioctl(m_fd.get(), TIOCMGET, &lines) == 0) {
            d.fDtrControl = (lines & TIOCM_DTR) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
            if ((t.c_cflag & CRTSCTS) && m_dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
                d.fRtsControl = RTS_CONTROL_HANDSHAKE;
            else
                d.fRtsControl = (lines & TIOCM_RTS) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        }
    }
    dcb = d;
}

int TermiosPort::SetCommState(const Dcb& dcb) {
    if (!m_fd)
        return EBADF;
    speed_t speed;
    if (!SpeedForRate(dcb.BaudRate, &speed))
        return EINVAL;
    tcflag_t size;
    switch (dcb.ByteSize) {
        case 5:
            size = CS5;
            break;
        case 6:
            size = CS6;
            break;
        case 7:
            size = CS7;
            break;
        case 8:
            size = CS8;
            break;
        default:
            return EINVAL;
    }
    tcflag_t parity;
    switch (dcb.Parity) {
        case 0:
            parity = 0;
            break;
        case 1:
            parity = PARENB | PARODD;
            break;
        case 2:
            parity = PARENB;
            break;
        default:
            return EINVAL;  // mark and space parity have no portable termios form
    }
    tcflag_t stop;
    switch (dcb.StopBits) {
        case 0:
            stop = 0;
            break;
        case 2:
            stop = CSTOPB;
            break;
        default:
            return EINVAL;  // 1.5 stop bits cannot be expressed in termios
    }

    termios before{};
    if (::tcgetattr(m_fd.get(), &before) != 0)
        return errno;
    termios t = before;
    cfmakeraw(&t);
    // cfmakeraw leaves IXANY alone; with it any received byte would restart output held by the
    // tester's XOFF, while only XON may.
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    if (dcb.fOutX)
        t.c_iflag |= IXON;
    if (dcb.fInX)
        t.c_iflag |= IXOFF;
    if (dcb.fParity && parity)
        t.c_iflag |= INPCK;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= size | parity | stop | CLOCAL | CREAD;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        t.c_cflag |= CRTSCTS;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    // Reads are timed by poll(), so the line discipline must hand over whatever it has at once.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetospeed(&t, speed) != 0 || cfsetispeed(&t, speed) != 0)
        return EINVAL;

    if (TcSetAttr(m_fd.get(), t) != 0)
        return errno;
    // tcsetattr succeeds when any one of the changes was made; only the read-back tells whether
    // the driver took all of them.
    termios now{};
    if (::tcgetattr(m_fd.get(), &now) != 0)
        return errno;
    if (!SameSettings(t, now)) {
        TcSetAttr(m_fd.get(), before);
        return EINVAL;
    }

    // Failures are ignored: a pty has no modem lines and refuses these requests.
    int dtr = TIOCM_DTR;
    ::ioctl(m_fd.get(), dcb.fDtrControl == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &dtr);
    int rts = TIOCM_RTS;
    ::ioctl(m_fd.get(), dcb.fRtsControl == RTS_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &rts);

    m_dcb = dcb;
    return 0;
}

void TermiosPort::Shutdown() {
    m_shutdown.store(true, std::memory_order_release);
    if (m_shutdownFd) {
        const uint64_t one = 1;
        sys::RetryEintr([&] { return ::write(m_shutdownFd.get(), &one, sizeof one); });
    }
}

int TermiosPort::HungUpRead() {
    pollfd p{m_shutdownFd.get(), POLLIN, 0};
    if (sys::Poll(&p, 1, kHungUpRetryPauseMs) > 0 || Cancelled())
        return ECANCELED;
    return EIO;
}

int TermiosPort::Read(uint8_t* buf, uint32_t count, uint32_t* got) {
    *got = 0;
    if (!m_fd)
        return EBADF;
    if (Cancelled())
        return ECANCELED;
    if (count == 0)
        return 0;
    if (m_hungUp.load(std::memory_order_relaxed))
        return HungUpRead();

    // A zero interval means "not used", as in the classic time-out record: wait for count bytes.
    const uint32_t interval = m_timeouts.ReadIntervalTimeout;
    const int intervalMs = interval == 0 ? -1 : interval > INT_MAX ? INT_MAX : int(interval);
    int waitMs = -1;  // no limit before the first byte
    uint32_t have = 0;
    for (;;) {
        pollfd fds[2] = {{m_fd.get(), POLLIN, 0}, {m_shutdownFd.get(), POLLIN, 0}};
        int r = sys::Poll(fds, 2, waitMs);
        if (r < 0) {
            if (have > 0)
                break;
            return errno;
        }
        if (fds[1].revents)
            return ECANCELED;
        if (r == 0)
            break;  // the interval passed without a further byte
        ssize_t n = sys::RetryEintr([&] { return ::read(m_fd.get(), buf + have, count - have); });
        if (n > 0) {
            have += static_cast<uint32_t>(n);
            if (have == count)
                break;
            waitMs = intervalMs;
            continue;
        }
        // A hung-up tty reads 0 (or EIO) and polls POLLHUP|POLLERR for ever: report it once
        // here and let later calls pause, instead of looping on a descriptor that is always ready.
        const bool hungUp =
            n == 0 || errno == EIO || (errno == EAGAIN && (fds[0].revents & (POLLHUP | POLLERR)));
        if (hungUp) {
            m_hungUp.store(true, std::memory_order_relaxed);
            if (have > 0)
                break;
            return EIO;
        }
        if (errno == EAGAIN)
            continue;  // readiness without data (another reader, a flush): wait again
        if (have > 0)
            break;
        return errno;
    }
    *got = have;
    return 0;
}

int TermiosPort::Write(const uint8_t* buf, uint32_t n, const Event& abort, uint32_t* written) {
    *written = 0;
    if (!m_fd)
        return EBADF;
    if (Cancelled() || abort.IsSet())
        return ECANCELED;
    if (n == 0)
        return 0;

    // Both write time-outs 0 means no time limit, as in the classic time-out record.
    const uint64_t limitMs =
        uint64_t(n) * m_timeouts.WriteTotalTimeoutMultiplier + m_timeouts.WriteTotalTimeoutConstant;
    const bool limited = limitMs != 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    uint32_t done = 0;
    int result = 0;
    while (done < n) {
        ssize_t w = sys::RetryEintr([&] { return ::write(m_fd.get(), buf + done, n - done); });
        if (w > 0) {
            done += static_cast<uint32_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN) {
            result = errno;
            if (result == EIO)
                m_hungUp.store(true, std::memory_order_relaxed);
            break;
        }
        // No room in the kernel's output buffer: usually the tester's XOFF holding the line
        // (IXON stops the tty, and the buffer fills or, on a pty, takes nothing at all).
        const int waitMs = limited ? sys::MsUntil(deadline) : -1;
        if (waitMs == 0)
            break;
        pollfd fds[3] = {{m_fd.get(), POLLOUT, 0},
                         {abort.Waitable(), POLLIN, 0},
                         {m_shutdownFd.get(), POLLIN, 0}};
        int r = sys::Poll(fds, 3, waitMs);
        if (r < 0) {
            result = errno;
            break;
        }
        if (fds[1].revents || fds[2].revents) {
            result = ECANCELED;
            break;
        }
        if (r == 0)
            break;  // deadline: a short count, the caller asks again for the rest
        if (fds[0].revents & (POLLHUP | POLLERR)) {
            m_hungUp.store(true, std::memory_order_relaxed);
            result = EIO;
            break;
        }
    }
    *written = done;
    return result;
}

int TermiosPort::DrainOutput(const Event& abort) {
    if (!m_fd)
        return EBADF;
    for (;;) {
        if (Cancelled() || abort.IsSet())
            return ECANCELED;
        int queued = 0;
        if (::ioctl(m_fd.get(), TIOCOUTQ, &queued) != 0)
            return errno;
        if (queued == 0) {
            // TIOCOUTQ leaves out the UART's own transmit FIFO; where the driver can tell
            // (8250 family) wait for the shift register too. Others (USB, pty) cannot say.
            unsigned int lsr = 0;
            if (::ioctl(m_fd.get(), TIOCSERGETLSR, &lsr) != 0 || (lsr & TIOCSER_TEMT))
                return 0;
        }
        // events 0: the descriptor reports only POLLHUP/POLLERR, i.e. a line that hung up.
        pollfd fds[3] = {
            {abort.Waitable(), POLLIN, 0}, {m_shutdownFd.get(), POLLIN, 0}, {m_fd.get(), 0, 0}};
        int r = sys::Poll(fds, 3, kDrainPollMs);
        if (r < 0)
            return errno;
        if (fds[0].revents || fds[1].revents)
            return ECANCELED;
        if (fds[2].revents & (POLLHUP | POLLERR)) {
            m_hungUp.store(true, std::memory_order_relaxed);
            return EIO;
        }
    }
}

void TermiosPort::FlushOutput() {
    if (m_fd)
        ::tcflush(m_fd.get(), TCOFLUSH);
}

}  // namespace

std::unique_ptr<ISerialPort> MakeTermiosPort() {
    return std::make_unique<TermiosPort>();
}

std::unique_ptr<ISerialPort> MakeLocalPort() {
    return MakeTermiosPort();
}

std::string LocalDevicePath(const std::string& name) {
    if (!name.empty() && name[0] == '/')
        return name;
    if (name.size() > 3 && name.compare(0, 3, "COM") == 0) {
        const char* first = name.data() + 3;
        const char* last = name.data() + name.size();
        uint32_t n = 0;
        auto [end, ec] = std::from_chars(first, last, n);
        if (ec == std::errc() && end == last && n >= 1)
            return "/dev/ttyS" + std::to_string(n - 1);
    }
    return "/dev/" + name;
}

bool LocalDevicePresent(const std::string& devicePath) {
    // stat follows every link of the name as it stands now: a by-id link that is back names the
    // device node it points at today. A failure other than "no such name" (a folder on the way
    // that cannot be searched) is left for the open to tell.
    struct stat st {};
    return ::stat(devicePath.c_str(), &st) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

}  // namespace korv
