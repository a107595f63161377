// A serial port reached over the network: an RFC 2217 server (Telnet with serial port control)
// or a raw TCP server. The relays between here and the tester (socket buffers, the server's own
// buffers) accept megabytes that the tester has not seen, cannot say what they hold, and discard
// it when the connection closes. So the port keeps them nearly empty and keeps the truth itself:
//  - Write hands bytes to the socket no faster than the line carries them at the set rate, never
//    more than a lead ahead of it, so a finished Write is at the tester within a fraction of a
//    second and an abort leaves little behind; the lead is kLeadBytes on a LAN and grows with
//    the round trip the connection reports, up to kMaxLeadBytes, so that a far server's line
//    still runs without gaps;
//  - the server is asked for no flow control on its device, so the tester's XOFF/XON reach this
//    port: the reader takes them out of the data and Write waits while XOFF is in force;
//  - DrainOutput returns once the line can have carried every byte written;
//  - FlushOutput asks the server to discard what it still holds for the device;
//  - a connection that stops acknowledging, or (RFC 2217) stops answering the port's timing
//    marks, for kServerNoAnswerSeconds is a lost port, said as such; while idle the port sends a
//    timing mark every second, which keeps a server's idle time-out from closing it and shows a
//    dead link while the program waits for the tester.
//
// Threads: the owner opens, configures and purges before the workers start; from then on only
// the reader receives (and answers the server's negotiation), and only the sender writes data.
// They share the socket's sending side (m_sendMutex), the XOFF state (m_held with m_lineFree)
// and the shutdown and lost flags.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/SerialPort.h"
#include "platform/SysError.h"
#include "platform/net/NetPortName.h"
#include "platform/net/NetPorts.h"
#include "platform/net/Socket.h"
#include "platform/net/Telnet.h"

namespace korv {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// For each address of the server's name.
constexpr int kConnectTimeoutMs = 5000;
// The server's answers to the option negotiation and to the line settings.
constexpr int kNegotiationTimeoutMs = 3000;
constexpr int kSettingsTimeoutMs = 2000;
// How far the port may be ahead of the line, in bytes: what the relays may hold at any moment,
// and so what reaches the tester after an abort at most. The sender wakes when a piece fits,
// with the rest of the lead still ahead of the line: 768 bytes, 133 ms at 57600 baud, is the
// slack a busy machine has to schedule it before the line runs dry.
constexpr uint32_t kLeadBytes = 1024;
// The lead beyond a LAN: the line time of two round trips and 100 ms (one round trip of bytes is
// in flight; the second covers a retransmission), but never so much that an abort could leave
// more than kMaxLeadBytes at the tester (see LeadBytes).
constexpr uint32_t kMaxLeadBytes = 4096;
constexpr double kAbortSlackBytes = 512;
// Sends go out in pieces of at least this size (fewer wake-ups), except the last of a write.
constexpr uint32_t kMinPiece = 256;
// After the line's time for the last byte, the relays' own delay: then the tester has it.
constexpr auto kRelayDelay = 100ms;
// After the line has gone every read fails at once; later reads pause this long first, so that
// a reader that retries never spins.
constexpr int kLostRetryPauseMs = 100;
// Sent data that gets no acknowledgement for this long, or a timing mark no answer, belongs to a
// server that no longer reads or a link that is gone.
constexpr auto kNoAnswerLimit = std::chrono::seconds(kServerNoAnswerSeconds);
// An idle RFC 2217 connection gets a timing mark this often.
constexpr auto kProbeInterval = 1s;
// A server that closes the connection after the port has sent nothing for this long has timed
// it out as idle (a raw port, which cannot send anything the tester would not see).
constexpr auto kIdleCloseAfter = 1500ms;
// A server that refuses a connection says why and closes at once: text received before a close
// this soon after connecting is the server's reason.
constexpr auto kRefusalWindow = 2s;
constexpr int kSendRetryMs = 5;
// DrainOutput and the close look at the line this often.
constexpr int kDrainPollMs = 20;
constexpr uint8_t kXon = 0x11;
constexpr uint8_t kXoff = 0x13;

class NetPort final : public ISerialPort {
  public:
    NetPort() = default;
    ~NetPort() override;

    int Open(const std::string& name) override;
    // The server's buffers are its own; nothing to ask for.
    void SetupComm(uint32_t, uint32_t) override {}
    void Purge() override;
    void SetCommTimeouts(const CommTimeouts& timeouts) override { m_timeouts = timeouts; }
    void GetCommState(Dcb& dcb) override;
    int SetCommState(const Dcb& dcb) override;
    void SetCommMask(uint32_t) override {}
    void Shutdown() override;
    int Read(uint8_t* buf, uint32_t count, uint32_t* got) override;
    int Write(const uint8_t* buf, uint32_t n, const Event& abort, uint32_t* written) override;
    int DrainOutput(const Event& abort) override;
    void FlushOutput() override;
    bool HungUp() const override { return m_hungUp.load(std::memory_order_relaxed); }
    int LostReason() const override { return m_lostReason.load(std::memory_order_acquire); }

  private:
    bool Cancelled() const { return m_shutdown.load(std::memory_order_acquire); }
    bool Telnet() const { return m_name.kind == NetPortKind::Rfc2217; }
    // Receives what has arrived, decodes it into m_rx, takes the tester's XON/XOFF out and
    // answers the server. *moved: whether anything at all arrived.
    int Pump(bool* moved);
    // Pumps until done() or the deadline; false at the deadline. Owner thread, before the
    // workers.
    template <class Done>
    int PumpUntil(Done done, int timeoutMs, bool* met);
    // Sends all of bytes (already encoded), waiting out a full socket buffer. Any thread.
    int SendAll(const std::string& bytes);
    // Waits on the shutdown event (and abort, when given) for up to ms. True when either is set.
    bool Pause(int ms, const Event* abort) const;
    void SetHeld(bool held);
    Clock::duration LineTime(uint64_t bytes) const;
    // Records why the line went (first reason wins) and marks the port hung up; ERR_PORT_LOST.
    int Lost(int reason);
    // The reason for a gone connection's code: a refusal the server explained, an idle time-out,
    // or the code itself.
    int GoneReason(int code) const;
    // The connection ended while the port was being set up. A refusing server writes its reason
    // and closes at once; the reason may still wait unread behind the end when a write found the
    // connection gone first. It is read now, so that the reason told is the server's own.
    int SetupLostReason();
    // Sends a timing mark (RFC 2217 only). Any thread; the mark's number, 0 on failure.
    uint64_t SendMark();
    // The lead for the connection's current round trip, in bytes.
    uint32_t LeadBytes() const;
    // Watches the unacknowledged count: a lost port's code once it has not gone down for
    // kNoAnswerLimit while data waited, else 0. Sender thread.
    int CheckAcknowledged();
    // While idle (reader): sends a mark when nothing was sent for kProbeInterval, and fails the
    // port when marks the server used to answer go unanswered with nothing from it for
    // kNoAnswerLimit.
    int Tend();
    static int64_t Ticks(Clock::time_point t) { return t.time_since_epoch().count(); }

    NetPortName m_name;
    bool m_open = false;
    std::unique_ptr<net::Socket> m_socket;
    std::unique_ptr<Event> m_shutdownEvent;
    // Set while the tester lets the line run (no XOFF in force).
    std::unique_ptr<Event> m_lineFree;
    std::atomic<bool> m_held{false};
    std::atomic<bool> m_shutdown{false};
    std::atomic<bool> m_hungUp{false};
    std::atomic<int> m_lostReason{ERR_PORT_LOST};
    std::mutex m_sendMutex;
    // Sending a mark and counting it are one step.
    std::mutex m_markMutex;
    // Under m_sendMutex: bytes the socket has taken, timing marks sent, when the last went out
    // (read by the reader without the lock).
    uint64_t m_handed = 0;
    std::atomic<uint64_t> m_marksSent{0};
    std::atomic<int64_t> m_lastSendAt{0};
    // The reader's: timing marks answered, when anything last came from the server.
    std::atomic<uint64_t> m_marksAnswered{0};
    std::atomic<int64_t> m_lastReceiveAt{0};
    Clock::time_point m_connectedAt{};
    // The first bytes of data from the server until the line settings are answered: on a close
    // right after connecting, the server's reason for refusing (owner thread).
    std::string m_preamble;
    bool m_settingsAnswered = false;

    // Owner thread, then the reader.
    telnet::Client m_telnet;
    std::string m_rx;
    // Set by the owner before the workers start.
    CommTimeouts m_timeouts{};
    Dcb m_dcb{};
    double m_bytesPerSecond = 5760.0;
    // Sender thread (and the destructor, after it): when the line will have carried every byte
    // written so far, and whether the last transfer was discarded.
    Clock::time_point m_lineDoneAt{};
    bool m_flushed = false;
    // Sender thread: the bytes acknowledged so far and since when that count has not grown.
    uint64_t m_ackedSeen = 0;
    Clock::time_point m_ackedSince{};
};

NetPort::~NetPort() {
    if (!m_open)
        return;
    // The server discards what it still holds for the device when the connection closes; after
    // a completed write that is at most the lead, which the line carries in a moment.
    if (!m_flushed && !m_hungUp.load(std::memory_order_relaxed)) {
        // The owner has shut the port down by now, so the events no longer time a wait.
        const auto until = std::min(m_lineDoneAt, Clock::now() + LineTime(2 * kLeadBytes));
        if (until > Clock::now())
            std::this_thread::sleep_until(until);
    }
    m_socket->CloseGracefully();
}

Clock::duration NetPort::LineTime(uint64_t bytes) const {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(bytes) / m_bytesPerSecond));
}

int NetPort::Lost(int reason) {
    int expected = ERR_PORT_LOST;
    m_lostReason.compare_exchange_strong(expected, reason, std::memory_order_acq_rel);
    m_hungUp.store(true, std::memory_order_release);
    return ERR_PORT_LOST;
}

int NetPort::GoneReason(int code) const {
    const auto now = Clock::now();
    // Once an RFC 2217 server has answered the line settings it has taken the connection: a
    // close after that is no refusal, whatever the tester said with the answers. A raw server
    // answers nothing, so what it said first is all there is to go by.
    const bool accepted = Telnet() && m_settingsAnswered;
    if (!accepted && now - m_connectedAt < kRefusalWindow && !m_preamble.empty()) {
        // A refusal such as "Port already in use": shown as the server put it, one line.
        std::string text;
        for (const char c : m_preamble) {
            const auto b = static_cast<unsigned char>(c);
            if (b >= 0x20 && b < 0x7F)
                text.push_back(c);
            else if ((c == '\r' || c == '\n') && !text.empty() && text.back() != ' ')
                text.push_back(' ');
        }
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        if (!text.empty())
            return ServerTextError("The server refused the connection: \"" + text + "\"");
    }
    const Clock::time_point lastSend{Clock::duration(m_lastSendAt.load(std::memory_order_relaxed))};
    if (code == ERR_SERVER_CLOSED && now - lastSend >= kIdleCloseAfter)
        return ERR_SERVER_IDLE_CLOSED;
    return code;
}

int NetPort::SetupLostReason() {
    bool moved = true;
    for (int reads = 0; moved && reads < 16; ++reads) {
        if (Pump(&moved) != 0)
            break;
    }
    if (const int refusal = GoneReason(ERR_SERVER_CLOSED);
        refusal >= ERR_TEXT_BASE && refusal < ERR_TEXT_BASE + kMaxServerTexts)
        m_lostReason.store(refusal, std::memory_order_release);
    return LostReason();
}

uint64_t NetPort::SendMark() {
    if (!Telnet())
        return 0;
    std::string mark;
    telnet::AppendOption(mark, telnet::DO, telnet::OPT_TIMING_MARK);
    const std::lock_guard<std::mutex> lock(m_markMutex);
    if (SendAll(mark) != 0)
        return 0;
    return m_marksSent.fetch_add(1, std::memory_order_acq_rel) + 1;
}

uint32_t NetPort::LeadBytes() const {
    const long rttUs = m_socket->RoundTripUs();
    if (rttUs <= 0)
        return kLeadBytes;
    const double rtt = static_cast<double>(rttUs) / 1e6;
    const double bytes = (2.0 * rtt + 0.1) * m_bytesPerSecond;
    // What an abort leaves at the tester is the lead, what is on its way to the server (half a
    // round trip of line time) and what goes out while the abort is taken: together within
    // kMaxLeadBytes.
    const double cap = std::max(static_cast<double>(kLeadBytes),
                                kMaxLeadBytes - rtt / 2 * m_bytesPerSecond - kAbortSlackBytes);
    return static_cast<uint32_t>(std::clamp(bytes, static_cast<double>(kLeadBytes), cap));
}

int NetPort::CheckAcknowledged() {
    const long unacked = m_socket->Unacknowledged();
    if (unacked < 0)
        return 0;  // the system cannot tell; DrainOutput asks the server instead
    const auto now = Clock::now();
    uint64_t handed = 0;
    {
        const std::lock_guard<std::mutex> lock(m_sendMutex);
        handed = m_handed;
    }
    const uint64_t acked = handed > static_cast<uint64_t>(unacked) ? handed - unacked : 0;
    if (unacked == 0 || acked > m_ackedSeen || m_ackedSince == Clock::time_point{}) {
        m_ackedSeen = acked;
        m_ackedSince = now;
        return 0;
    }
    if (now - m_ackedSince < kNoAnswerLimit)
        return 0;
    return Lost(m_socket->Retransmitting() ? ERR_SERVER_NO_ANSWER : ERR_SERVER_STALLED);
}

int NetPort::Tend() {
    if (!Telnet())
        return 0;  // nothing can be sent that the tester would not see; keepalive watches
    const auto now = Clock::now();
    const Clock::time_point lastSend{Clock::duration(m_lastSendAt.load(std::memory_order_relaxed))};
    const Clock::time_point lastReceive{
        Clock::duration(m_lastReceiveAt.load(std::memory_order_relaxed))};
    const uint64_t answered = m_marksAnswered.load(std::memory_order_acquire);
    // Only a server that has answered marks before is expected to answer them now.
    if (answered > 0 && m_marksSent.load(std::memory_order_acquire) > answered &&
        now - lastReceive >= kNoAnswerLimit)
        return Lost(ERR_SERVER_NO_ANSWER);
    if (now - lastSend >= kProbeInterval && SendMark() == 0 && HungUp())
        return ERR_PORT_LOST;
    return 0;
}

bool NetPort::Pause(int ms, const Event* abort) const {
    if (abort != nullptr) {
        const WaitHandle handles[] = {m_shutdownEvent->Waitable(), abort->Waitable()};
        return WaitForAny(handles, 2, ms) >= 0;
    }
    const WaitHandle handle = m_shutdownEvent->Waitable();
    return WaitForAny(&handle, 1, ms) >= 0;
}

int NetPort::Open(const std::string& name) {
    if (m_open)
        return ERR_BUSY;
    const auto parsed = ParseNetPortName(name);
    if (!parsed)
        return ERR_BAD_NET_PORT_NAME;
    int err = 0;
    auto shutdownEvent = Event::Create(&err);
    if (!shutdownEvent)
        return err;
    auto lineFree = Event::Create(&err);
    if (!lineFree)
        return err;
    lineFree->Set();
    auto socket = std::make_unique<net::Socket>();
    if (const int rc = socket->Connect(parsed->host, parsed->port, kConnectTimeoutMs); rc != 0)
        return rc;
    m_connectedAt = Clock::now();
    m_lastSendAt.store(Ticks(m_connectedAt), std::memory_order_relaxed);
    m_lastReceiveAt.store(Ticks(m_connectedAt), std::memory_order_relaxed);
    m_name = *parsed;
    m_socket = std::move(socket);
    m_shutdownEvent = std::move(shutdownEvent);
    m_lineFree = std::move(lineFree);
    m_dcb.DCBlength = sizeof(Dcb);
    m_dcb.fBinary = 1;
    if (Telnet()) {
        if (const int rc = SendAll(m_telnet.Start()); rc != 0)
            return rc == ERR_PORT_LOST ? SetupLostReason() : rc;
        // A server that answers WONT to some requests, or not at all, is still usable; one that
        // never settles the serial port option is not an RFC 2217 server (or not a live one).
        bool settled = false;
        if (const int rc = PumpUntil([this] { return m_telnet.ComPortSettled(); },
                                     kNegotiationTimeoutMs, &settled);
            rc != 0)
            return rc == ERR_PORT_LOST ? SetupLostReason() : rc;
        if (!settled)
            return ERR_NEGOTIATION_TIMEOUT;
        if (!m_telnet.ComPortAccepted())
            return ERR_NO_PORT_CONTROL;
    }
    m_open = true;
    if (Cancelled())
        m_shutdownEvent->Set();
    return 0;
}

template <class Done>
int NetPort::PumpUntil(Done done, int timeoutMs, bool* met) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        m_socket->ArmReadable();
        bool moved = false;
        if (const int rc = Pump(&moved); rc != 0)
            return rc;
        if (done()) {
            *met = true;
            return 0;
        }
        if (moved)
            continue;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            *met = false;
            return 0;
        }
        const WaitHandle handles[] = {m_socket->Readable(), m_shutdownEvent->Waitable()};
        int err = 0;
        const int which = WaitForAny(handles, 2, static_cast<int>(left.count()), &err);
        if (which == 1)
            return ERR_CANCELLED;
        if (which == WAIT_RESULT_FAILED)
            return err;
    }
}

void NetPort::SetHeld(bool held) {
    if (held == m_held.load(std::memory_order_relaxed))
        return;
    m_held.store(held, std::memory_order_release);
    if (held)
        m_lineFree->Reset();
    else
        m_lineFree->Set();
}

int NetPort::Pump(bool* moved) {
    *moved = false;
    uint8_t raw[4096];
    size_t got = 0;
    if (const int rc = m_socket->Receive(raw, sizeof raw, &got); rc != 0)
        return net::Socket::ConnectionGone(rc) ? Lost(GoneReason(rc)) : rc;
    if (got == 0)
        return 0;
    *moved = true;
    m_lastReceiveAt.store(Ticks(Clock::now()), std::memory_order_relaxed);
    std::string data;
    if (Telnet()) {
        m_telnet.Feed(raw, got, &data);
        m_marksAnswered.store(m_telnet.MarksAnswered(), std::memory_order_release);
    } else {
        data.assign(reinterpret_cast<const char*>(raw), got);
    }
    if (!m_settingsAnswered && m_preamble.size() < 256)
        m_preamble.append(data, 0, std::min<size_t>(data.size(), 256 - m_preamble.size()));
    // With no flow control on the server's device, the tester's XON/XOFF arrive as data; the
    // line is held here, as a UART holds it, and the bytes are consumed.
    const bool honourXoff = m_dcb.fOutX != 0;
    const uint8_t xon = m_dcb.XonChar != 0 ? static_cast<uint8_t>(m_dcb.XonChar) : kXon;
    const uint8_t xoff = m_dcb.XoffChar != 0 ? static_cast<uint8_t>(m_dcb.XoffChar) : kXoff;
    for (const char c : data) {
        const auto b = static_cast<uint8_t>(c);
        if (honourXoff && b == xoff)
            SetHeld(true);
        else if (honourXoff && b == xon)
            SetHeld(false);
        else
            m_rx.push_back(c);
    }
    if (Telnet()) {
        if (const std::string replies = m_telnet.TakeReplies(); !replies.empty())
            return SendAll(replies);
    }
    return 0;
}

int NetPort::SendAll(const std::string& bytes) {
    const std::lock_guard<std::mutex> lock(m_sendMutex);
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    size_t left = bytes.size();
    auto stalledSince = Clock::now();
    while (left > 0) {
        size_t sent = 0;
        if (const int rc = m_socket->Send(p, left, &sent); rc != 0)
            return net::Socket::ConnectionGone(rc) ? Lost(GoneReason(rc)) : rc;
        p += sent;
        left -= sent;
        m_handed += sent;
        if (sent > 0) {
            stalledSince = Clock::now();
            m_lastSendAt.store(Ticks(stalledSince), std::memory_order_relaxed);
            continue;
        }
        if (Clock::now() - stalledSince > kNoAnswerLimit)
            return Lost(ERR_SERVER_STALLED);
        // An encoded piece is never left half sent (the server would read the rest of a Telnet
        // command as data), so only a shutdown ends this wait early.
        if (left > 0 && Pause(kSendRetryMs, nullptr) && Cancelled())
            return ERR_CANCELLED;
    }
    return 0;
}

void NetPort::Purge() {
    // Only what the server held for this port before it was set up is stale. Once the line
    // settings are answered, what arrives is the tester's (a prompt may come with the answers),
    // and the server's buffer towards the device is never touched here: a second client's open
    // must not cut the first one's transfer.
    if (!m_open || m_settingsAnswered)
        return;
    m_rx.clear();
    bool moved = true;
    while (moved && Pump(&moved) == 0) {
    }
    m_rx.clear();
    if (Telnet()) {
        std::string purge;
        telnet::AppendComPortByte(purge, telnet::CPC_PURGE_DATA, telnet::PURGE_RECEIVE);
        SendAll(purge);
    }
}

void NetPort::GetCommState(Dcb& dcb) {
    dcb = m_dcb;
    dcb.DCBlength = sizeof(Dcb);
}

int NetPort::SetCommState(const Dcb& dcb) {
    if (!m_open)
        return ERR_INVALID;
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 ||
        dcb.StopBits > 2)
        return ERR_INVALID;
    // Start bit, data bits, parity bit, stop bits (1.5 counted as 2).
    const uint32_t bits =
        1u + dcb.ByteSize + (dcb.Parity != 0 ? 1u : 0u) + (dcb.StopBits ? 2u : 1u);
    if (Telnet()) {
        std::string out;
        using namespace telnet;
        AppendComPortU32(out, CPC_SET_BAUDRATE, dcb.BaudRate);
        AppendComPortByte(out, CPC_SET_DATASIZE, dcb.ByteSize);
        AppendComPortByte(out, CPC_SET_PARITY, static_cast<uint8_t>(dcb.Parity + 1));
        const uint8_t stop[] = {1, 3, 2};  // one, one and a half, two
        AppendComPortByte(out, CPC_SET_STOPSIZE, stop[dcb.StopBits]);
        // No flow control on the server's device: the tester's XON/XOFF come through to this
        // port, which holds the line itself (see Pump).
        AppendComPortByte(out, CPC_SET_CONTROL, CONTROL_NO_FLOW);
        m_telnet.ForgetAnswers();
        if (const int rc = SendAll(out); rc != 0)
            return rc == ERR_PORT_LOST ? SetupLostReason() : rc;
        // DTR and RTS are asked for without waiting: a server whose device has no modem lines
        // (a pty) does not answer.
        out.clear();
        AppendComPortByte(
            out, CPC_SET_CONTROL,
            dcb.fDtrControl != DTR_CONTROL_DISABLE ? CONTROL_DTR_ON : CONTROL_DTR_OFF);
        AppendComPortByte(
            out, CPC_SET_CONTROL,
            dcb.fRtsControl != RTS_CONTROL_DISABLE ? CONTROL_RTS_ON : CONTROL_RTS_OFF);
        bool answered = false;
        const auto& a = m_telnet.Answers();
        if (const int rc = PumpUntil(
                [&] { return a.baudRate && a.dataSize && a.parity && a.stopSize && a.control; },
                kSettingsTimeoutMs, &answered);
            rc != 0)
            return rc == ERR_PORT_LOST ? SetupLostReason() : rc;
        // A server that does not answer is taken at its word; one that answers with another
        // setting has refused the program's, and keeps its own: with its own flow control the
        // tester's XOFF never reaches this port, and the port's account of what the tester has
        // would be false.
        if (a.control && *a.control != CONTROL_NO_FLOW)
            return *a.control == CONTROL_XONXOFF    ? ERR_SERVER_KEEPS_XONXOFF
                   : *a.control == CONTROL_HARDWARE ? ERR_SERVER_KEEPS_HARDWARE_FLOW
                                                    : ERR_SERVER_OTHER_FLOW;
        if (a.stopSize && *a.stopSize != stop[dcb.StopBits])
            return ERR_SERVER_OTHER_STOP_SIZE;
        if ((a.baudRate && *a.baudRate != dcb.BaudRate) ||
            (a.dataSize && *a.dataSize != dcb.ByteSize) ||
            (a.parity && *a.parity != dcb.Parity + 1))
            return ERR_SERVER_OTHER_SETTINGS;
        if (const int rc = SendAll(out); rc != 0)
            return rc == ERR_PORT_LOST ? SetupLostReason() : rc;
    }
    m_settingsAnswered = true;
    m_dcb = dcb;
    m_bytesPerSecond = static_cast<double>(dcb.BaudRate) / bits;
    return 0;
}

void NetPort::Shutdown() {
    m_shutdown.store(true, std::memory_order_release);
    if (m_shutdownEvent)
        m_shutdownEvent->Set();
}

int NetPort::Read(uint8_t* buf, uint32_t count, uint32_t* got) {
    *got = 0;
    if (!m_open)
        return ERR_INVALID;
    if (Cancelled())
        return ERR_CANCELLED;
    if (count == 0)
        return 0;
    if (HungUp())
        return Pause(kLostRetryPauseMs, nullptr) ? ERR_CANCELLED : ERR_PORT_LOST;

    const uint32_t interval = m_timeouts.ReadIntervalTimeout;
    const int intervalMs =
        interval == 0 ? -1 : static_cast<int>(std::min<uint32_t>(interval, 1u << 30));
    int waitMs = -1;  // no limit before the first byte
    // Idle waits are cut into probe intervals, after each of which the connection is tended.
    const int probeMs = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(kProbeInterval).count());
    uint32_t have = 0;
    for (;;) {
        if (!m_rx.empty()) {
            const size_t take = std::min<size_t>(count - have, m_rx.size());
            std::copy_n(m_rx.begin(), take, buf + have);
            m_rx.erase(0, take);
            have += static_cast<uint32_t>(take);
            if (have == count)
                break;
            waitMs = intervalMs;
        }
        m_socket->ArmReadable();
        bool moved = false;
        if (const int rc = Pump(&moved); rc != 0) {
            if (have > 0 && rc != ERR_CANCELLED)
                break;  // the next read reports it
            return rc;
        }
        if (moved)
            continue;
        const WaitHandle handles[] = {m_socket->Readable(), m_shutdownEvent->Waitable()};
        int err = 0;
        const bool slice = waitMs < 0 || waitMs > probeMs;
        const int which = WaitForAny(handles, 2, slice ? probeMs : waitMs, &err);
        if (which == 1)
            return ERR_CANCELLED;
        if (which == WAIT_RESULT_TIMEOUT && slice) {
            if (const int rc = Tend(); rc != 0) {
                if (have > 0)
                    break;  // the next read reports it
                return rc;
            }
            if (waitMs > 0)
                waitMs -= probeMs;
            continue;
        }
        if (which == WAIT_RESULT_TIMEOUT)
            break;
        if (which == WAIT_RESULT_FAILED) {
            if (have > 0)
                break;
            return err;
        }
    }
    *got = have;
    return 0;
}

int NetPort::Write(const uint8_t* buf, uint32_t n, const Event& abort, uint32_t* written) {
    *written = 0;
    if (!m_open)
        return ERR_INVALID;
    if (Cancelled() || abort.IsSet())
        return ERR_CANCELLED;
    if (n == 0)
        return 0;
    if (HungUp())
        return ERR_PORT_LOST;
    m_flushed = false;

    // Both time-outs 0: no limit, as in the classic time-out record.
    const uint64_t limitMs =
        uint64_t(n) * m_timeouts.WriteTotalTimeoutMultiplier + m_timeouts.WriteTotalTimeoutConstant;
    const auto deadline =
        limitMs != 0 ? Clock::now() + std::chrono::milliseconds(limitMs) : Clock::time_point::max();
    auto msUntil = [](Clock::time_point t) {
        if (t == Clock::time_point::max())
            return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(t - Clock::now()).count();
        return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
    };
    uint32_t done = 0;
    int result = 0;
    std::string piece;
    while (done < n) {
        if (Cancelled() || abort.IsSet()) {
            result = ERR_CANCELLED;
            break;
        }
        if (HungUp()) {
            result = ERR_PORT_LOST;
            break;
        }
        if (m_held.load(std::memory_order_acquire)) {
            // The tester holds the line: nothing goes out until its XON.
            const int ms = msUntil(deadline);
            if (ms == 0)
                break;
            const WaitHandle handles[] = {abort.Waitable(), m_shutdownEvent->Waitable(),
                                          m_lineFree->Waitable()};
            const int which = WaitForAny(handles, 3, ms);
            if (which == 0 || which == 1) {
                result = ERR_CANCELLED;
                break;
            }
            if (which == WAIT_RESULT_TIMEOUT)
                break;
            continue;
        }
        if (const int rc = CheckAcknowledged(); rc != 0) {
            result = rc;
            break;
        }
        const uint32_t leadBytes = LeadBytes();
        const auto lead = LineTime(leadBytes);
        const auto now = Clock::now();
        const auto start = std::max(m_lineDoneAt, now);
        const double aheadBytes =
            std::chrono::duration<double>(start - now).count() * m_bytesPerSecond;
        // Bytes the server has not yet acknowledged are still on the network, not on the line;
        // a slow network gets no more than the lead (a delayed acknowledgement of a piece or
        // two must not hold up the line).
        const bool networkBehind = m_socket->Unacknowledged() > static_cast<long>(leadBytes);
        const uint32_t room = networkBehind || aheadBytes >= leadBytes
                                  ? 0
                                  : static_cast<uint32_t>(leadBytes - aheadBytes);
        const uint32_t want = n - done;
        if (room < std::min(want, kMinPiece)) {
            // Ahead of the line: wait until it has carried enough for the next piece.
            const auto until =
                std::min(deadline, start - lead + LineTime(std::min(want, kMinPiece)));
            // A network that is behind gives no time to wait for: look again a little later.
            const int ms = networkBehind ? kDrainPollMs : std::max(1, msUntil(until));
            if (msUntil(deadline) == 0)
                break;
            if (Pause(ms, &abort)) {
                result = ERR_CANCELLED;
                break;
            }
            continue;
        }
        const uint32_t k = std::min(want, room);
        piece.clear();
        if (Telnet())
            telnet::AppendEscaped(piece, buf + done, k);
        else
            piece.assign(reinterpret_cast<const char*>(buf + done), k);
        if (const int rc = SendAll(piece); rc != 0) {
            result = rc;
            break;
        }
        m_lineDoneAt = start + LineTime(k);
        done += k;
    }
    *written = done;
    return result;
}

int NetPort::DrainOutput(const Event& abort) {
    if (!m_open)
        return ERR_INVALID;
    // The line has carried the last byte once its time has passed and the relays have passed it
    // on. A connection that the server closes meanwhile fails the drain.
    // Where the system cannot count what the server has not acknowledged, the clock alone is
    // never taken for delivery: an RFC 2217 server answers a timing mark sent after the last
    // byte once it has read that byte; a raw server gives no such proof.
    // The line the tester sees starts half a round trip after this port's account of it.
    const long rttUs = m_socket->RoundTripUs();
    const auto until =
        m_lineDoneAt + kRelayDelay + std::chrono::microseconds(std::max(0L, rttUs) / 2);
    uint64_t mark = 0;
    Clock::time_point markSentAt{};
    for (;;) {
        if (Cancelled() || abort.IsSet())
            return ERR_CANCELLED;
        if (HungUp())
            return ERR_PORT_LOST;
        const long unacked = m_socket->Unacknowledged();
        const auto now = Clock::now();
        if (unacked >= 0) {
            if (now >= until && unacked == 0)
                return 0;
            if (const int rc = CheckAcknowledged(); rc != 0)
                return rc;
        } else if (now >= until) {
            if (!Telnet())
                return ERR_DELIVERY_UNKNOWN;
            if (mark == 0) {
                mark = SendMark();
                markSentAt = now;
                if (mark == 0)
                    return HungUp() ? ERR_PORT_LOST : ERR_DELIVERY_UNKNOWN;
            }
            if (m_marksAnswered.load(std::memory_order_acquire) >= mark)
                return 0;
            if (now - markSentAt >= kNoAnswerLimit)
                return Lost(ERR_SERVER_NO_ANSWER);
        }
        if (Pause(kDrainPollMs, &abort))
            return ERR_CANCELLED;
    }
}

void NetPort::FlushOutput() {
    if (!m_open)
        return;
    m_flushed = true;
    if (Telnet() && !HungUp()) {
        std::string purge;
        telnet::AppendComPortByte(purge, telnet::CPC_PURGE_DATA, telnet::PURGE_TRANSMIT);
        SendAll(purge);
    }
}

}  // namespace

std::unique_ptr<ISerialPort> MakeNetPort() {
    return std::make_unique<NetPort>();
}

}  // namespace korv
