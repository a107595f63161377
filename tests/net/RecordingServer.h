#pragma once
// A small network serial server inside the tests: it plays an RFC 2217 server (or a raw one) and
// the tester behind it, behaves as told (answers that refuse a setting, a refusal text, a server
// that stops reading or stops answering, an idle time-out, a server that goes away and comes
// back), and records what came: the commands in order and when each data byte arrived. Linux
// sockets, one thread; the program under test runs as a separate process (Linux or under Wine).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korv::test {

class RecordingServer {
  public:
    using Clock = std::chrono::steady_clock;

    struct Behaviour {
        bool telnet = true;
        // Sent with the answer to the flow control setting, in the same write (a tester that
        // prompts the moment its line is set); for a raw server, sent on connecting.
        std::string prompt = "Ready to receive update file....\r\n";
        // When set: the prompt comes this long after the line settings instead.
        int promptDelayMs = 0;
        // The answer to SET-CONTROL 1 and to the stop size; 0: what was asked.
        uint8_t controlAnswer = 0;
        uint8_t stopAnswer = 0;
        // After the negotiation, this text and a close (a server that refuses the connection).
        std::string refusal;
        // The refusal comes behind more Telnet NOPs than the client reads at once, and the close
        // is a reset: the client's next write fails while the text still waits unread.
        bool refusalBehindReset = false;
        // After this many data bytes, nothing more is read (with a small receive buffer, so the
        // client's unacknowledged count stops going down); 0: read everything.
        size_t stopReadingAfter = 0;
        // This long after the line settings, nothing more is answered or sent (the link to the
        // server looks dead, though the kernel still acknowledges); 0: never.
        int silentAfterMs = 0;
        // Closes a connection from which nothing has come for this long; 0: never.
        int idleCloseMs = 0;
        // Takes a new connection once one has ended, until it is destroyed: a server that goes
        // away (Drop) and comes back (Refuse(false)). Otherwise it serves one connection.
        bool reconnects = false;
    };

    // One recorded event: a command ("WILL 44", "DO 6", "SB 44 5 1") or a run of data bytes.
    struct Event {
        Clock::time_point at;
        std::string command;   // empty for data
        size_t dataTotal = 0;  // for data: the count of data bytes received so far
    };

    explicit RecordingServer(Behaviour b) : m_b(std::move(b)) {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_b.stopReadingAfter != 0) {
            const int small = 4096;
            ::setsockopt(m_listen, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
            ::listen(m_listen, 4) == 0 &&
            ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~RecordingServer() {
        m_stop.store(true);
        m_thread.join();
        ::close(m_listen);
    }
    RecordingServer(const RecordingServer&) = delete;
    RecordingServer& operator=(const RecordingServer&) = delete;

    std::string Name() const {
        return std::string(m_b.telnet ? "rfc2217://" : "socket://") +
               "127.0.0.1:" + std::to_string(m_port);
    }
    std::vector<Event> Events() const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    std::string Data() const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_data;
    }
    size_t DataSize() const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_data.size();
    }
    // The commands in the order they came.
    std::vector<std::string> Commands() const {
        std::vector<std::string> out;
        for (const Event& e : Events()) {
            if (!e.command.empty())
                out.push_back(e.command);
        }
        return out;
    }
    bool Closed() const { return m_closed.load(); }

    // The server goes away: the connection being served is closed, and every new one is closed
    // as soon as it is taken (counted in Refused) until Refuse(false).
    void Drop() {
        m_refusing.store(true);
        m_drop.store(true);
    }
    void Refuse(bool refusing) { m_refusing.store(refusing); }
    // When each connection that was closed at once came.
    std::vector<Clock::time_point> Refused() const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_refused;
    }
    // Connections served so far, and the data of the n-th (from 0).
    size_t Served() const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_starts.size();
    }
    std::string DataOf(size_t n) const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (n >= m_starts.size())
            return "";
        const size_t end = n + 1 < m_starts.size() ? m_starts[n + 1] : m_data.size();
        return m_data.substr(m_starts[n], end - m_starts[n]);
    }

  private:
    void Record(std::string command) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back({Clock::now(), std::move(command), m_data.size()});
    }
    void RecordData(const std::string& bytes) {
        if (bytes.empty())
            return;
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_data += bytes;
        m_events.push_back({Clock::now(), "", m_data.size()});
    }
    void Send(int fd, const std::string& bytes) {
        if (!m_silent)
            (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    static std::string Bytes(std::initializer_list<int> list) {
        std::string s;
        for (int b : list)
            s.push_back(static_cast<char>(b));
        return s;
    }

    void Run() {
        do {
            int fd = -1;
            while (!m_stop.load() && fd < 0) {
                pollfd p{m_listen, POLLIN, 0};
                if (::poll(&p, 1, 50) == 1)
                    fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            }
            if (fd < 0)
                return;
            if (m_refusing.load()) {
                // A reset, whether or not the client has written yet: every refusal looks alike.
                const linger reset{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                ::close(fd);
                const std::lock_guard<std::mutex> lock(m_mutex);
                m_refused.push_back(Clock::now());
                continue;
            }
            Serve(fd);
        } while (m_b.reconnects && !m_stop.load());
    }

    void Serve(int fd) {
        m_state = 0;
        m_sb.clear();
        m_silent = false;
        m_drop.store(false);
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_starts.push_back(m_data.size());
        }
        if (m_b.telnet)
            Send(fd, Bytes({255, 251, 3, 255, 251, 0, 255, 253, 0, 255, 253, 44}));
        if (!m_b.refusal.empty()) {
            std::string padding;
            for (int i = 0; m_b.refusalBehindReset && i < 4096; ++i)
                padding += Bytes({255, 241});
            Send(fd, padding + m_b.refusal);
            if (m_b.refusalBehindReset) {
                const linger reset{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            }
            ::close(fd);
            m_closed.store(true);
            return;
        }
        if (!m_b.telnet)
            Send(fd, m_b.prompt);
        auto lastIn = Clock::now();
        Clock::time_point settledAt{};
        bool prompted = false;
        while (!m_stop.load()) {
            if (m_drop.load()) {
                Record("DROPPED");
                break;
            }
            if (m_b.promptDelayMs != 0 && !prompted && settledAt != Clock::time_point{} &&
                Clock::now() - settledAt > std::chrono::milliseconds(m_b.promptDelayMs)) {
                prompted = true;
                Send(fd, m_b.prompt);
            }
            if (m_b.silentAfterMs != 0 && settledAt != Clock::time_point{} &&
                Clock::now() - settledAt > std::chrono::milliseconds(m_b.silentAfterMs))
                m_silent = true;
            if (m_b.idleCloseMs != 0 &&
                Clock::now() - lastIn > std::chrono::milliseconds(m_b.idleCloseMs)) {
                Record("CLOSED IDLE");
                break;
            }
            if (m_b.stopReadingAfter != 0 && DataSize() >= m_b.stopReadingAfter) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) != 1)
                continue;
            char buf[4096];
            // Small reads once a limit is near, so that it is not overshot by much.
            const size_t cap = m_b.stopReadingAfter != 0 ? 256 : sizeof buf;
            const ssize_t r = ::recv(fd, buf, cap, 0);
            if (r <= 0)
                break;
            lastIn = Clock::now();
            if (!m_b.telnet) {
                RecordData(std::string(buf, static_cast<size_t>(r)));
                continue;
            }
            std::string data;
            for (ssize_t i = 0; i < r; ++i)
                Parse(fd, static_cast<uint8_t>(buf[i]), &data, &settledAt);
            RecordData(data);
        }
        ::close(fd);
        m_closed.store(true);
    }

    // The Telnet side: data, option requests, COM-PORT-OPTION commands (answered as asked,
    // unless told otherwise), DO TIMING-MARK (answered WONT).
    void Parse(int fd, uint8_t b, std::string* data, Clock::time_point* settledAt) {
        switch (m_state) {
            case 0:
                if (b == 255)
                    m_state = 1;
                else
                    data->push_back(static_cast<char>(b));
                return;
            case 1:
                if (b == 255) {
                    data->push_back(static_cast<char>(b));
                    m_state = 0;
                } else if (b >= 251 && b <= 254) {
                    m_verb = b;
                    m_state = 2;
                } else if (b == 250) {
                    m_sb.clear();
                    m_state = 3;
                } else {
                    Record("CMD " + std::to_string(b));
                    m_state = 0;
                }
                return;
            case 2: {
                static const char* verbs[] = {"WILL", "WONT", "DO", "DONT"};
                RecordData(*data);
                data->clear();
                Record(std::string(verbs[m_verb - 251]) + " " + std::to_string(b));
                if (m_verb == 253 && b == 6)
                    Send(fd, Bytes({255, 252, 6}));
                m_state = 0;
                return;
            }
            case 3:
                if (b == 255)
                    m_state = 4;
                else
                    m_sb.push_back(static_cast<char>(b));
                return;
            case 4:
                if (b == 255) {
                    m_sb.push_back(static_cast<char>(b));
                    m_state = 3;
                    return;
                }
                m_state = 0;
                if (b == 240) {
                    RecordData(*data);
                    data->clear();
                    Subnegotiation(fd, settledAt);
                }
                return;
            default:
                m_state = 0;
        }
    }

    void Subnegotiation(int fd, Clock::time_point* settledAt) {
        std::string text = "SB";
        for (const char c : m_sb)
            text += " " + std::to_string(static_cast<uint8_t>(c));
        Record(text);
        if (m_sb.size() < 3 || static_cast<uint8_t>(m_sb[0]) != 44)
            return;
        const uint8_t command = static_cast<uint8_t>(m_sb[1]);
        std::string value = m_sb.substr(2);
        if (command == 4 && m_b.stopAnswer != 0)
            value = std::string(1, static_cast<char>(m_b.stopAnswer));
        const bool flow = command == 5 && value.size() == 1 && value[0] == 1;
        if (flow && m_b.controlAnswer != 0)
            value = std::string(1, static_cast<char>(m_b.controlAnswer));
        if (command == 12)
            return;  // purges go unanswered, as on some servers
        std::string answer = Bytes({255, 250, 44, command + 100});
        for (const char c : value) {
            answer.push_back(c);
            if (static_cast<uint8_t>(c) == 255)
                answer.push_back(c);
        }
        answer += Bytes({255, 240});
        if (flow) {
            if (m_b.promptDelayMs == 0)
                answer += m_b.prompt;
            *settledAt = Clock::now();
        }
        Send(fd, answer);
    }

    Behaviour m_b;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_closed{false};
    std::atomic<bool> m_refusing{false};
    std::atomic<bool> m_drop{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<Event> m_events;
    std::string m_data;
    std::vector<Clock::time_point> m_refused;
    std::vector<size_t> m_starts;  // where each served connection's data begins in m_data
    // The thread's own parser state.
    int m_state = 0;
    uint8_t m_verb = 0;
    std::string m_sb;
    bool m_silent = false;
};

}  // namespace korv::test
