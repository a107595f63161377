// The serial port on Windows: the comm API itself. The port is opened for overlapped I/O so that
// the reader and the sender can use it at the same time, each with its own OVERLAPPED record and
// manual-reset event, and so that every wait can also watch the abort and shutdown events.

#include "platform/win32/Win32.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "platform/SysError.h"
#include "platform/Wait.h"
#include "platform/net/NetPorts.h"
#include "platform/win32/CommEnd.h"

namespace korv {

namespace {

// After the line has gone every read fails at once; a reader that simply retries would spin a
// core until the port is closed. Later reads therefore pause this long (or until Shutdown).
constexpr DWORD kLostRetryPauseMs = 100;
// DrainOutput looks at the driver's output queue this often: there is no abortable wait for
// "queue empty".
constexpr DWORD kDrainPollMs = 5;
// A line whose far end closes empties its output queue: what the tester had not taken is
// discarded, and the queue reads empty just as it does when everything was sent. The reader's
// pending read fails at the same moment, so an empty queue is trusted only once the reader has
// had this long to see the line go.
constexpr DWORD kDrainSettleMs = 250;

// Errors with which a port that has gone fails its transfers: the far end of an emulated port
// closed (broken pipe on reads, not ready on writes), a USB adapter unplugged (access denied, bad
// command, not connected, removed, no such device, device does not exist, I/O device error), a
// driver that has lost its device.
bool MeansLineGone(DWORD err) {
    switch (err) {
        case ERROR_BROKEN_PIPE:
        case ERROR_NOT_READY:
        case ERROR_ACCESS_DENIED:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_INVALID_HANDLE:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
        case ERROR_NO_SUCH_DEVICE:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_IO_DEVICE:
            return true;
        default:
            return false;
    }
}

// One transfer's OVERLAPPED record, its event and its bytes, owned by the port. A driver that
// never completes I/O (reported for some USB serial adapters after an unplug) never lets go of
// them; such a transfer is abandoned: its record, event and buffer are left to the driver for
// the life of the process rather than freed or reused under it, and the port counts as lost.
struct Transfer {
    OVERLAPPED ov{};
    win32::UniqueHandle event;
    std::vector<uint8_t> bytes;
};

// The bits one character takes on the line: start bit, data bits, parity bit, stop bits
// (1, 1.5 rounded up, 2).
uint32_t BitsPerCharacter(const Dcb& dcb) {
    const uint32_t data = dcb.ByteSize >= 5 && dcb.ByteSize <= 8 ? dcb.ByteSize : 8;
    const uint32_t parity = dcb.Parity != NOPARITY ? 1 : 0;
    const uint32_t stop = dcb.StopBits == ONESTOPBIT ? 1 : 2;
    return 1 + data + parity + stop;
}

}  // namespace

namespace win32 {

CommEnd EndWithError(CommOp op, DWORD err, DWORD moved, bool stopRequested) {
    CommEnd end;
    end.moved = moved;
    switch (err) {
        // A write held by XOFF past its time-out ends with a short count; Windows reports that
        // as success, Wine as ERROR_TIMEOUT, and some drivers as ERROR_SEM_TIMEOUT. Either way
        // the caller asks again for the rest. (Wine also ends reads with ERROR_TIMEOUT now and
        // then; those stay errors, so that a reader pauses before it asks again.)
        case ERROR_TIMEOUT:
        case ERROR_SEM_TIMEOUT:
            if (op == CommOp::WRITE) {
                return end;
            }
            break;
        case ERROR_OPERATION_ABORTED:
            if (stopRequested) {
                end.code = ERR_CANCELLED;
                return end;
            }
            // Nobody here cancelled: the driver gave up the device (surprise removal). Taken
            // for a cancel, the sender would call a cut transfer "Aborted" without a word and
            // the reader would retry at once, for ever.
            end.code = ERR_PORT_LOST;
            end.lineGone = true;
            return end;
        default:
            break;
    }
    if (MeansLineGone(err)) {
        end.code = ERR_PORT_LOST;
        end.lineGone = true;
        return end;
    }
    end.code = err != 0 ? static_cast<int>(err) : ERR_INVALID;
    return end;
}

bool CloseWaitsForOutput(DWORD queued, ULONGLONG msSinceProgress, ULONGLONG msWaited,
                         bool processEnding) {
    const DWORD limit = processEnding ? kEndingCloseLimitMs : kCloseLimitMs;
    return queued > 0 && msSinceProgress < kCloseStallMs && msWaited < limit;
}

DWORD WriteBoundMs(uint32_t n, DWORD multiplier, DWORD constant) {
    if (multiplier == 0 && constant == 0)
        return INFINITE;  // no time-out set: the system waits as long as the line is held
    const ULONGLONG bound =
        static_cast<ULONGLONG>(n) * multiplier + constant + static_cast<ULONGLONG>(kStuckIoMs);
    return static_cast<DWORD>(std::min<ULONGLONG>(bound, INFINITE - 1));
}

ULONGLONG LineTimeMs(uint64_t bytes, uint32_t bitsPerCharacter, uint32_t baud) {
    if (baud == 0)
        return 0;
    return (bytes * bitsPerCharacter * 1000 + baud - 1) / baud;
}

}  // namespace win32

namespace {

class Win32Port final : public ISerialPort {
  public:
    Win32Port() = default;
    ~Win32Port() override;

    int Open(const std::string& devicePath) override;
    void SetupComm(uint32_t inQueue, uint32_t outQueue) override;
    void Purge() override;
    void SetCommTimeouts(const CommTimeouts& timeouts) override;
    void GetCommState(Dcb& dcb) override;
    int SetCommState(const Dcb& dcb) override;
    void SetCommMask(uint32_t mask) override;
    void Shutdown() override;
    int Read(uint8_t* buf, uint32_t count, uint32_t* got) override;
    int Write(const uint8_t* buf, uint32_t n, const Event& abort, uint32_t* written) override;
    int DrainOutput(const Event& abort) override;
    void FlushOutput() override;
    bool HungUp() const override { return m_hungUp.load(std::memory_order_relaxed); }

  private:
    bool Cancelled() const { return m_shutdown.load(std::memory_order_acquire); }
    // The code for a transfer that ended with an error, its bytes handed on in *moved; a port
    // that has gone is reported as such from then on.
    int Ended(const win32::CommEnd& end, uint32_t* moved);
    // The code for a call that failed with err without moving anything.
    int Failure(win32::CommOp op, DWORD err, bool stopRequested);
    // Lets the driver send what is still queued before the handle closes, for as long as it
    // keeps sending; discards the rest once it has stopped.
    void FinishOutput();
    // Ends a pending transfer and waits (at most kStuckIoMs) until the driver has let go of
    // it, so that its record and buffer are free again; true with what it moved before it
    // ended. False when the driver keeps it: the transfer is then abandoned (left to the driver
    // for good) and the port is lost.
    bool CancelAndCollect(std::unique_ptr<Transfer>& transfer, DWORD* moved);
    // The end of a Write or DrainOutput that found the line's driver stuck.
    int Stuck();
    void LineGone() { m_hungUp.store(true, std::memory_order_relaxed); }

    std::unique_ptr<Transfer> m_read;   // the reader's
    std::unique_ptr<Transfer> m_write;  // the sender's
    win32::UniqueHandle m_shutdownEvent;
    // Declared after the transfers so that it is closed before their events.
    win32::UniqueHandle m_port;
    std::atomic<bool> m_shutdown{false};
    std::atomic<bool> m_hungUp{false};
    // Set when a transfer had to be abandoned: the handle is then closed off the owner's thread,
    // since a driver that ignores a cancel may hold the close as well.
    std::atomic<bool> m_abandoned{false};
    // Set by the owner before the workers start (SetCommTimeouts, SetCommState); read by the
    // sender.
    DWORD m_writeMultiplier = 0;
    DWORD m_writeConstant = 0;
    uint32_t m_baud = 0;
    uint32_t m_bitsPerCharacter = 10;
    // The sender's own: when the last byte written can have left the line, by the line's
    // rate (GetTickCount64 ms). What "done" falls back on when the driver cannot tell.
    ULONGLONG m_lineFreeAt = 0;
};

Win32Port::~Win32Port() {
    if (!m_port)
        return;
    if (!m_abandoned.load(std::memory_order_acquire)) {
        FinishOutput();
        return;
    }
    // The driver keeps a transfer it was told to cancel and may keep the close too: a thread of
    // its own closes the handle, so that neither the program nor the end of the session waits
    // on it.
    struct Closer {
        static DWORD WINAPI Main(void* handle) {
            ::CloseHandle(static_cast<HANDLE>(handle));
            return 0;
        }
    };
    HANDLE handle = m_port.release();
    HANDLE thread = ::CreateThread(nullptr, 0, &Closer::Main, handle, 0, nullptr);
    if (thread != nullptr)
        ::CloseHandle(thread);
    // Without a thread the handle is left to the end of the process.
}

void Win32Port::FinishOutput() {
    // An aborted or failed transfer has discarded its output already (FlushOutput); what is
    // still queued belongs to a transfer that completed, and the tester is owed every byte of
    // it. The driver may also report an empty queue while bytes still wait in the adapter, which
    // a purge would throw away. So closing never purges while the output keeps moving; a line
    // held by XOFF or gone stops it moving, and then the rest is discarded so that closing the
    // handle does not wait on the driver.
    const ULONGLONG start = ::GetTickCount64();
    ULONGLONG lastProgress = start;
    DWORD lastQueued = MAXDWORD;
    for (;;) {
        DWORD errors = 0;
        COMSTAT stat{};
        if (!::ClearCommError(m_port.get(), &errors, &stat)) {
            // A driver that cannot tell its queue: the line's own time for what was written.
            const ULONGLONG now = ::GetTickCount64();
            const DWORD limit = ProcessEnding() ? win32::kEndingCloseLimitMs : win32::kCloseLimitMs;
            if (now < m_lineFreeAt)
                ::Sleep(static_cast<DWORD>(std::min<ULONGLONG>(m_lineFreeAt - now, limit)));
            break;
        }
        const ULONGLONG now = ::GetTickCount64();
        if (stat.cbOutQue < lastQueued) {
            lastQueued = stat.cbOutQue;
            lastProgress = now;
        }
        if (stat.cbOutQue == 0) {
            return;
        }
        if (!win32::CloseWaitsForOutput(stat.cbOutQue, now - lastProgress, now - start,
                                        ProcessEnding())) {
            break;
        }
        ::Sleep(kDrainPollMs);
    }
    ::PurgeComm(m_port.get(), PURGE_TXABORT | PURGE_TXCLEAR);
}

int Win32Port::Open(const std::string& devicePath) {
    if (m_port)
        return ERR_BUSY;  // one port object holds one device; the owner makes a new one
    auto read = std::make_unique<Transfer>();
    auto write = std::make_unique<Transfer>();
    read->event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    write->event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    win32::UniqueHandle shutdownEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!read->event || !write->event || !shutdownEvent)
        return static_cast<int>(::GetLastError());
    // Share mode 0: the port is this program's alone while it is open.
    win32::UniqueHandle port(::CreateFileW(win32::Widen(devicePath).c_str(),
                                           GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!port)
        return static_cast<int>(::GetLastError());
    m_read = std::move(read);
    m_write = std::move(write);
    m_shutdownEvent = std::move(shutdownEvent);
    m_port = std::move(port);
    // A Shutdown that came before the open must still end every later wait.
    if (Cancelled())
        ::SetEvent(m_shutdownEvent.get());
    return 0;
}

void Win32Port::SetupComm(uint32_t inQueue, uint32_t outQueue) {
    if (m_port)
        ::SetupComm(m_port.get(), inQueue, outQueue);
}

void Win32Port::Purge() {
    if (m_port)
        ::PurgeComm(m_port.get(), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void Win32Port::SetCommTimeouts(const CommTimeouts& t) {
    m_writeMultiplier = t.WriteTotalTimeoutMultiplier;
    m_writeConstant = t.WriteTotalTimeoutConstant;
    if (!m_port)
        return;
    COMMTIMEOUTS ct{};
    ct.ReadIntervalTimeout = t.ReadIntervalTimeout;
    ct.ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
    ct.ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
    ct.WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
    ct.WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
    ::SetCommTimeouts(m_port.get(), &ct);
}

void Win32Port::GetCommState(Dcb& dcb) {
    DCB d{};
    d.DCBlength = sizeof(DCB);
    if (!m_port || !::GetCommState(m_port.get(), &d))
        return;
    dcb.DCBlength = sizeof(Dcb);
    dcb.BaudRate = d.BaudRate;
    dcb.fBinary = d.fBinary;
    dcb.fParity = d.fParity;
    dcb.fOutxCtsFlow = d.fOutxCtsFlow;
    dcb.fOutxDsrFlow = d.fOutxDsrFlow;
    dcb.fDtrControl = d.fDtrControl;
    dcb.fDsrSensitivity = d.fDsrSensitivity;
    dcb.fTXContinueOnXoff = d.fTXContinueOnXoff;
    dcb.fOutX = d.fOutX;
    dcb.fInX = d.fInX;
    dcb.fErrorChar = d.fErrorChar;
    dcb.fNull = d.fNull;
    dcb.fRtsControl = d.fRtsControl;
    dcb.fAbortOnError = d.fAbortOnError;
    dcb.fDummy2 = d.fDummy2;
    dcb.wReserved = d.wReserved;
    dcb.XonLim = d.XonLim;
    dcb.XoffLim = d.XoffLim;
    dcb.ByteSize = d.ByteSize;
    dcb.Parity = d.Parity;
    dcb.StopBits = d.StopBits;
    dcb.XonChar = d.XonChar;
    dcb.XoffChar = d.XoffChar;
    dcb.ErrorChar = d.ErrorChar;
    dcb.EofChar = d.EofChar;
    dcb.EvtChar = d.EvtChar;
    dcb.wReserved1 = d.wReserved1;
}

int Win32Port::SetCommState(const Dcb& dcb) {
    if (!m_port)
        return ERROR_INVALID_HANDLE;
    DCB d{};
    d.DCBlength = sizeof(DCB);
    d.BaudRate = dcb.BaudRate;
    d.fBinary = dcb.fBinary;
    d.fParity = dcb.fParity;
    d.fOutxCtsFlow = dcb.fOutxCtsFlow;
    d.fOutxDsrFlow = dcb.fOutxDsrFlow;
    d.fDtrControl = dcb.fDtrControl;
    d.fDsrSensitivity = dcb.fDsrSensitivity;
    d.fTXContinueOnXoff = dcb.fTXContinueOnXoff;
    d.fOutX = dcb.fOutX;
    d.fInX = dcb.fInX;
    d.fErrorChar = dcb.fErrorChar;
    d.fNull = dcb.fNull;
    d.fRtsControl = dcb.fRtsControl;
    d.fAbortOnError = dcb.fAbortOnError;
    d.fDummy2 = dcb.fDummy2;
    d.wReserved = dcb.wReserved;
    d.XonLim = dcb.XonLim;
    d.XoffLim = dcb.XoffLim;
    d.ByteSize = dcb.ByteSize;
    d.Parity = dcb.Parity;
    d.StopBits = dcb.StopBits;
    d.XonChar = dcb.XonChar;
    d.XoffChar = dcb.XoffChar;
    d.ErrorChar = dcb.ErrorChar;
    d.EofChar = dcb.EofChar;
    d.EvtChar = dcb.EvtChar;
    d.wReserved1 = dcb.wReserved1;
    // The rate asked for is the line's time for "done" when the driver cannot tell its queue.
    m_baud = dcb.BaudRate;
    m_bitsPerCharacter = BitsPerCharacter(dcb);
    if (::SetCommState(m_port.get(), &d))
        return 0;
    const int err = static_cast<int>(::GetLastError());
    return err != 0 ? err : ERR_INVALID;
}

void Win32Port::SetCommMask(uint32_t mask) {
    if (m_port)
        ::SetCommMask(m_port.get(), mask);
}

void Win32Port::Shutdown() {
    m_shutdown.store(true, std::memory_order_release);
    if (m_shutdownEvent)
        ::SetEvent(m_shutdownEvent.get());
}

int Win32Port::Ended(const win32::CommEnd& end, uint32_t* moved) {
    if (end.lineGone) {
        LineGone();
    }
    if (moved != nullptr) {
        *moved = end.moved;
    }
    return end.code;
}

int Win32Port::Failure(win32::CommOp op, DWORD err, bool stopRequested) {
    return Ended(win32::EndWithError(op, err, 0, stopRequested), nullptr);
}

bool Win32Port::CancelAndCollect(std::unique_ptr<Transfer>& transfer, DWORD* moved) {
    *moved = 0;
    ::CancelIoEx(m_port.get(), &transfer->ov);
    if (::WaitForSingleObject(transfer->event.get(), win32::kStuckIoMs) == WAIT_OBJECT_0) {
        ::GetOverlappedResult(m_port.get(), &transfer->ov, moved, FALSE);
        return true;
    }
    // The driver has not let go of the transfer: it keeps the record, the event and the bytes.
    (void)transfer.release();
    m_abandoned.store(true, std::memory_order_release);
    LineGone();
    return false;
}

int Win32Port::Stuck() {
    LineGone();
    return ERR_PORT_LOST;
}

int Win32Port::Read(uint8_t* buf, uint32_t count, uint32_t* got) {
    *got = 0;
    if (!m_port)
        return ERROR_INVALID_HANDLE;
    if (Cancelled())
        return ERR_CANCELLED;
    if (count == 0)
        return 0;
    if (HungUp()) {
        return ::WaitForSingleObject(m_shutdownEvent.get(), kLostRetryPauseMs) == WAIT_OBJECT_0
                   ? ERR_CANCELLED
                   : ERR_PORT_LOST;
    }

    // The driver reads into the port's own buffer, which an abandoned read leaves to it, and
    // never into the caller's.
    Transfer& t = *m_read;
    if (t.bytes.size() < count)
        t.bytes.resize(count);
    const auto deliver = [&](DWORD n) {
        std::copy_n(t.bytes.data(), std::min<DWORD>(n, count), buf);
        return std::min<DWORD>(n, count);
    };
    t.ov = OVERLAPPED{};
    t.ov.hEvent = t.event.get();
    ::ResetEvent(t.event.get());
    DWORD n = 0;
    if (::ReadFile(m_port.get(), t.bytes.data(), count, &n, &t.ov)) {
        *got = deliver(n);
        return 0;
    }
    const DWORD err = ::GetLastError();
    if (err != ERROR_IO_PENDING)
        return Failure(win32::CommOp::READ, err, Cancelled());

    // With ReadIntervalTimeout set, the read waits without limit for its first byte and then
    // ends 10 ms after the last one; only a shutdown ends it otherwise.
    const HANDLE waits[] = {t.event.get(), m_shutdownEvent.get()};
    const DWORD which = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (which != WAIT_OBJECT_0) {
        const DWORD waitError = ::GetLastError();
        DWORD moved = 0;
        if (!CancelAndCollect(m_read, &moved))
            return which == WAIT_OBJECT_0 + 1 ? ERR_CANCELLED : ERR_PORT_LOST;
        *got = deliver(moved);
        return which == WAIT_OBJECT_0 + 1 ? ERR_CANCELLED
                                          : Failure(win32::CommOp::READ, waitError, Cancelled());
    }
    const BOOL ok = ::GetOverlappedResult(m_port.get(), &t.ov, &n, FALSE);
    const DWORD endError = ok ? 0 : ::GetLastError();
    *got = deliver(n);
    if (!ok)
        return Ended(win32::EndWithError(win32::CommOp::READ, endError, *got, Cancelled()), got);
    return 0;
}

int Win32Port::Write(const uint8_t* buf, uint32_t n, const Event& abort, uint32_t* written) {
    *written = 0;
    if (!m_port)
        return ERROR_INVALID_HANDLE;
    if (Cancelled() || abort.IsSet())
        return ERR_CANCELLED;
    if (n == 0)
        return 0;
    if (HungUp())
        return ERR_PORT_LOST;

    // The bytes the driver takes are the port's own copy, which an abandoned write leaves to
    // it; the caller's buffer is free again whatever the driver does.
    Transfer& t = *m_write;
    t.bytes.assign(buf, buf + n);
    t.ov = OVERLAPPED{};
    t.ov.hEvent = t.event.get();
    ::ResetEvent(t.event.get());
    const auto moved = [&](DWORD done) {
        const ULONGLONG now = ::GetTickCount64();
        m_lineFreeAt =
            std::max(m_lineFreeAt, now) + win32::LineTimeMs(done, m_bitsPerCharacter, m_baud);
        *written = done;
    };
    DWORD done = 0;
    if (::WriteFile(m_port.get(), t.bytes.data(), n, &done, &t.ov)) {
        moved(done);
        return 0;
    }
    const DWORD err = ::GetLastError();
    if (err != ERROR_IO_PENDING)
        return Failure(win32::CommOp::WRITE, err, Cancelled() || abort.IsSet());

    // The abort comes first, so that an abort wins over a write that finished meanwhile. The
    // write's own time-out (n + 1000 ms) ends it; a driver that lets that pass by more than
    // kStuckIoMs has stopped completing I/O, and the port is lost.
    const HANDLE waits[] = {abort.Waitable(), t.event.get(), m_shutdownEvent.get()};
    const DWORD which = ::WaitForMultipleObjects(
        3, waits, FALSE, win32::WriteBoundMs(n, m_writeMultiplier, m_writeConstant));
    if (which != WAIT_OBJECT_0 + 1) {
        const DWORD waitError = ::GetLastError();
        const bool stopped = which == WAIT_OBJECT_0 || which == WAIT_OBJECT_0 + 2;
        DWORD collected = 0;
        if (!CancelAndCollect(m_write, &collected))
            return stopped ? ERR_CANCELLED : ERR_PORT_LOST;
        moved(collected);
        if (stopped)
            return ERR_CANCELLED;
        if (which == WAIT_TIMEOUT)
            return Stuck();
        return Failure(win32::CommOp::WRITE, waitError, Cancelled() || abort.IsSet());
    }
    const BOOL ok = ::GetOverlappedResult(m_port.get(), &t.ov, &done, FALSE);
    const DWORD endError = ok ? 0 : ::GetLastError();
    moved(done);
    if (ok)
        return 0;
    return Ended(
        win32::EndWithError(win32::CommOp::WRITE, endError, done, Cancelled() || abort.IsSet()),
        written);
}

int Win32Port::DrainOutput(const Event& abort) {
    if (!m_port)
        return ERROR_INVALID_HANDLE;
    const HANDLE waits[] = {abort.Waitable(), m_shutdownEvent.get()};
    for (;;) {
        DWORD errors = 0;
        COMSTAT stat{};
        if (!::ClearCommError(m_port.get(), &errors, &stat)) {
            const DWORD err = ::GetLastError();
            if (MeansLineGone(err) || HungUp())
                return Failure(win32::CommOp::WRITE, err, Cancelled() || abort.IsSet());
            // Some virtual COM drivers cannot tell their queue: the bytes have left once the
            // line has had the time to carry them.
            const ULONGLONG now = ::GetTickCount64();
            if (now < m_lineFreeAt) {
                const DWORD left =
                    static_cast<DWORD>(std::min<ULONGLONG>(m_lineFreeAt - now, INFINITE - 1));
                if (::WaitForMultipleObjects(2, waits, FALSE, left) != WAIT_TIMEOUT)
                    return ERR_CANCELLED;
            }
            stat.cbOutQue = 0;
        }
        if (stat.cbOutQue == 0) {
            // The bytes have left: an abort or close during the settling pause finds nothing to
            // stop (a tester that has taken the whole file may well prompt again in it), and the
            // transfer is complete unless the reader has seen the line go.
            ::WaitForMultipleObjects(2, waits, FALSE, kDrainSettleMs);
            return HungUp() ? ERR_PORT_LOST : 0;
        }
        const DWORD which = ::WaitForMultipleObjects(2, waits, FALSE, kDrainPollMs);
        if (which == WAIT_OBJECT_0 || which == WAIT_OBJECT_0 + 1)
            return ERR_CANCELLED;
        if (which == WAIT_FAILED)
            return Failure(win32::CommOp::WRITE, ::GetLastError(), false);
    }
}

void Win32Port::FlushOutput() {
    if (m_port)
        ::PurgeComm(m_port.get(), PURGE_TXABORT | PURGE_TXCLEAR);
}

}  // namespace

std::unique_ptr<ISerialPort> MakeLocalPort() {
    return std::make_unique<Win32Port>();
}

std::string LocalDevicePath(const std::string& name) {
    if (name.rfind("\\\\", 0) == 0)
        return name;
    return "\\\\.\\" + name;
}

bool LocalDevicePresent(const std::string&) {
    // A COM name is simply opened again: the open says whether its device is back.
    return true;
}

}  // namespace korv
