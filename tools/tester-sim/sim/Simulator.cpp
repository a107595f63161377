// The simulated tester's poll loop.

#include "sim/Simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/Crc32.h"

namespace korv::sim {
namespace {

using std::chrono::milliseconds;

constexpr char kXoff = 0x13;
constexpr char kXon = 0x11;
// How often the termios is looked at while waiting for the program to configure the line.
constexpr milliseconds kOpenPollInterval{20};
// Gap between prompt pieces: longer than the program's 10 ms read time-out, so each piece
// arrives in a read of its own.
constexpr milliseconds kPieceGap{50};
// Flood text is generated lazily, a little ahead of the pty, so huge floods cost no memory.
constexpr std::size_t kFloodAhead = 16 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;
// Before exiting, how long to wait beyond --linger-ms for the program to read what was written.
constexpr milliseconds kDrainGrace{1000};
constexpr milliseconds kDrainPoll{10};
constexpr milliseconds kWriteSettle{100};
// A restarting tester: it holds the line with XOFF, drops what it had not taken in, boots for
// kRebootTime (reading and discarding whatever still arrives), prompts, and frees the line
// kRestartHold after that, which gives the program time to stop the transfer that was cut.
constexpr milliseconds kRebootTime{300};
constexpr milliseconds kRestartHold{1000};

void warn(const std::string& text) {
    std::fprintf(stderr, "korvalin-tester-sim: %s\n", text.c_str());
}

std::string sys_error(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

uint64_t consumption_burst(uint64_t rate) {
    return std::max<uint64_t>(1, rate / 100);
}

}  // namespace

Simulator::Simulator(Options options)
    : o_(std::move(options)),
      flow_(o_.buffer, o_.high, o_.low),
      limiter_(o_.rate, consumption_burst(o_.rate)) {}

std::string Simulator::open_line() {
    UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master)
        return sys_error("posix_openpt");
    if (::grantpt(master.get()) != 0)
        return sys_error("grantpt");
    if (::unlockpt(master.get()) != 0)
        return sys_error("unlockpt");
    char name[256];
    if (::ptsname_r(master.get(), name, sizeof name) != 0)
        return sys_error("ptsname_r");
    UniqueFd slave(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!slave)
        return sys_error(name);
    termios t{};
    if (::tcgetattr(slave.get(), &t) != 0)
        return sys_error("tcgetattr");
    ::cfmakeraw(&t);
    if (::tcsetattr(slave.get(), TCSANOW, &t) != 0)
        return sys_error("tcsetattr");
    const int flags = ::fcntl(master.get(), F_GETFL);
    if (flags < 0 || ::fcntl(master.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        return sys_error("fcntl");
    }
    master_ = std::move(master);
    slave_ = std::move(slave);
    slave_path_ = name;
    return {};
}

// --- the loop ---------------------------------------------------------------------------------

int Simulator::run(int stop_fd) {
    const TimePoint start = Clock::now();
    if (o_.wait_open) {
        state_ = State::WaitOpen;
        deadline_ = start;
    } else {
        state_ = State::Settle;
        deadline_ = start + milliseconds(o_.delay_ms);
    }

    while (true) {
        step(Clock::now());
        if (state_ == State::Done)
            break;

        pollfd fds[3];
        nfds_t n = 0;
        int stop_i = -1, in_i = -1, line_i = -1;
        if (stop_fd >= 0) {
            stop_i = static_cast<int>(n);
            fds[n++] = {stop_fd, POLLIN, 0};
        }
        if (stdin_open_) {
            in_i = static_cast<int>(n);
            fds[n++] = {STDIN_FILENO, POLLIN, 0};
        }
        if (master_) {
            short want = 0;
            const bool accepting = state_ == State::Awaiting || state_ == State::Receiving;
            if (!accepting || flow_.room() > 0)
                want |= POLLIN;
            if (wants_to_write())
                want |= POLLOUT;
            line_i = static_cast<int>(n);
            fds[n++] = {master_.get(), want, 0};
        }

        int timeout = -1;
        if (auto due = next_deadline()) {
            const auto left = *due - Clock::now();
            const auto ms = std::chrono::ceil<milliseconds>(left).count();
            timeout = static_cast<int>(std::clamp<long long>(ms, 0, 60'000));
        }
        const int rc = ::poll(fds, n, timeout);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            warn(sys_error("poll"));
            line_failed_ = true;
            break;
        }
        const TimePoint now = Clock::now();
        if (stop_i >= 0 && fds[stop_i].revents) {
            signalfd_siginfo info{};
            [[maybe_unused]] ssize_t got = ::read(stop_fd, &info, sizeof info);
            abort_update();
            break;
        }
        if (line_i >= 0 && (fds[line_i].revents & (POLLIN | POLLHUP | POLLERR))) {
            on_readable(now);
        }
        if (master_ && line_i >= 0 && (fds[line_i].revents & POLLOUT)) {
            on_writable();
        }
        if (in_i >= 0 && (fds[in_i].revents & (POLLIN | POLLHUP | POLLERR))) {
            on_stdin(now);
        }
    }

    const int status = bad_header_ ? 3 : (save_failed_ || line_failed_) ? 1 : 0;
    event("EXIT " + std::to_string(status));
    return status;
}

void Simulator::step(TimePoint now) {
    switch (state_) {
        case State::WaitOpen:
            if (now >= deadline_) {
                if (tool_has_configured()) {
                    event("OPENED");
                    state_ = State::Settle;
                    deadline_ = now + milliseconds(o_.delay_ms);
                } else {
                    deadline_ = now + kOpenPollInterval;
                }
            }
            break;
        case State::Settle:
        case State::Between:
            if (now >= deadline_)
                start_banner(now);
            break;
        case State::Banner:
            while (!pieces_.empty() && pieces_.front().at <= now) {
                enqueue(pieces_.front().text, pieces_.front().marker);
                pieces_.pop_front();
            }
            if (pieces_.empty())
                state_ = State::Awaiting;
            break;
        case State::Linger:
            if (now >= deadline_ && (output_drained(now) || now >= deadline_ + kDrainGrace)) {
                state_ = State::Done;
            }
            break;
        case State::Awaiting:
        case State::Receiving:
        case State::Done:
            break;
    }

    if (hold_until_ && now >= *hold_until_) {
        hold_until_.reset();
        apply(flow_.release(), now);
        limiter_.resume(now);
    }

    if (state_ != State::Receiving)
        return;
    if (!flow_.held() && flow_.fill() > 0) {
        const uint64_t n = std::min<uint64_t>(flow_.fill(), limiter_.available(now));
        if (n > 0) {
            limiter_.consume(n);
            apply(flow_.on_consumed(static_cast<std::size_t>(n)), now);
        }
    }
    // Silence only counts while the far end is free to send and everything has been consumed;
    // a tester holding XOFF has not seen the end of the update.
    if (flow_.fill() == 0 && !flow_.stopped() &&
        now >= quiet_since_ + milliseconds(o_.end_silence_ms)) {
        finish_update(now);
    }
}

std::optional<Simulator::TimePoint> Simulator::next_deadline() const {
    std::optional<TimePoint> due;
    auto consider = [&](TimePoint t) {
        if (!due || t < *due)
            due = t;
    };
    switch (state_) {
        case State::WaitOpen:
        case State::Settle:
        case State::Between:
            consider(deadline_);
            break;
        case State::Linger:
            // Nothing signals that the program has read the last report: look again shortly.
            consider(std::max(deadline_, Clock::now() + kDrainPoll));
            break;
        case State::Banner:
            if (!pieces_.empty())
                consider(pieces_.front().at);
            break;
        default:
            break;
    }
    if (hold_until_)
        consider(*hold_until_);
    if (state_ == State::Receiving) {
        if (flow_.fill() > 0 && !flow_.held()) {
            consider(limiter_.when_available(1));
        } else if (flow_.fill() == 0 && !flow_.stopped()) {
            consider(quiet_since_ + milliseconds(o_.end_silence_ms));
        }
    }
    return due;
}

bool Simulator::output_drained(TimePoint now) const {
    if (!master_)
        return true;
    if (out_pos_ < out_.size() || !xchars_.empty() || flood_.active())
        return false;
    // Closing the master discards what the program has not read yet, the last report included.
    // Bytes just written may not have reached the slave's count yet, hence the settle time.
    if (now < last_write_ + kWriteSettle)
        return false;
    int unread = 0;
    return ::ioctl(slave_.get(), TIOCINQ, &unread) != 0 || unread == 0;
}

bool Simulator::tool_has_configured() const {
    termios t{};
    if (!slave_ || ::tcgetattr(slave_.get(), &t) != 0)
        return false;
    return (o_.wait_rate_only || (t.c_iflag & IXON) != 0) && ::cfgetospeed(&t) == B57600;
}

void Simulator::start_banner(TimePoint now) {
    pieces_.clear();
    std::string text = boot_banner(o_.serial);
    if (o_.false_prompts)
        text += false_prompts_text();
    pieces_.push_back({now, text, "BANNER"});
    if (o_.prompt != PromptKind::None) {
        auto parts = split_pieces(prompt_text(o_.prompt), o_.split);
        for (std::size_t k = 0; k < parts.size(); ++k) {
            const bool last = k + 1 == parts.size();
            pieces_.push_back({now + k * kPieceGap, parts[k],
                               last ? std::string("PROMPT ") + prompt_kind_name(o_.prompt) : ""});
        }
    }
    state_ = State::Banner;
    step(now);
}

// --- receiving --------------------------------------------------------------------------------

void Simulator::on_readable(TimePoint now) {
    const bool accepting = state_ == State::Awaiting || state_ == State::Receiving;
    const std::size_t want = accepting ? std::min(flow_.room(), kReadChunk) : kReadChunk;
    if (want == 0)
        return;
    char buf[kReadChunk];
    const ssize_t got = ::read(master_.get(), buf, want);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (got <= 0) {
        // Cannot happen while our own slave descriptor is open; treat it as a lost line.
        warn(got < 0 ? sys_error("read from pty") : "pty closed");
        line_failed_ = true;
        hangup(now);
        return;
    }

    // XON/XOFF from the program stop and start what we write, as on a real line; they are
    // never part of an update.
    std::size_t n = 0;
    for (ssize_t i = 0; i < got; ++i) {
        if (buf[i] == kXoff) {
            tool_stopped_ = true;
            event("TOOL-XOFF");
        } else if (buf[i] == kXon) {
            tool_stopped_ = false;
            event("TOOL-XON");
        } else {
            buf[n++] = buf[i];
        }
    }
    if (n == 0)
        return;
    if (!accepting) {
        event("DISCARDED " + std::to_string(n) + " bytes");
        return;
    }
    if (state_ == State::Awaiting)
        begin_update(now);

    std::size_t take = n;
    if (o_.expect > 0)
        take = static_cast<std::size_t>(std::min<uint64_t>(n, o_.expect - received_));
    absorb(buf, take, now);
    if (o_.expect > 0 && received_ >= o_.expect) {
        finish_update(now);
        if (take < n)
            event("DISCARDED " + std::to_string(n - take) + " bytes");
    }
}

void Simulator::begin_update(TimePoint now) {
    state_ = State::Receiving;
    received_ = 0;
    crc_ = crc32_init();
    head_.clear();
    limiter_.start(now);
    quiet_since_ = now;
    if (!o_.save.empty()) {
        save_fd_.reset(::open(o_.save.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!save_fd_) {
            warn(sys_error(o_.save.c_str()));
            save_failed_ = true;
        }
    }
    event("RECEIVING");
    if (o_.hold_xoff_ms > 0) {
        apply(flow_.hold(), now);
        hold_until_ = now + milliseconds(o_.hold_xoff_ms);
    }
    if (o_.flood_during > 0)
        start_flood(o_.flood_during);
}

void Simulator::absorb(const char* data, std::size_t n, TimePoint now) {
    if (n == 0)
        return;
    crc_ = crc32_update(crc_, data, n);
    for (std::size_t i = 0; i < n && head_.size() < 2; ++i)
        head_ += data[i];
    received_ += n;
    quiet_since_ = now;
    if (save_fd_) {
        std::size_t done = 0;
        while (done < n) {
            const ssize_t w = ::write(save_fd_.get(), data + done, n - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                warn(sys_error(o_.save.c_str()));
                save_failed_ = true;
                save_fd_.reset();
                break;
            }
            done += static_cast<std::size_t>(w);
        }
    }
    std::size_t consumed = 0;
    if (!flow_.held()) {
        if (flow_.fill() == 0)
            limiter_.resume(now);
        consumed =
            static_cast<std::size_t>(std::min<uint64_t>(flow_.fill() + n, limiter_.available(now)));
        limiter_.consume(consumed);
    }
    apply(flow_.on_moved(n, consumed), now);
}

void Simulator::finish_update(TimePoint now) {
    if (save_fd_ && save_fd_.reset() != 0) {
        warn(sys_error(o_.save.c_str()));
        save_failed_ = true;
    }
    const bool header_ok = head_ == "* ";
    const uint32_t crc = crc32_final(crc_);
    if (!header_ok)
        bad_header_ = true;
    event(received_event(received_, crc, header_ok));
    if (o_.verdict == VerdictKind::Accept)
        enqueue(received_line(received_, crc, header_ok));
    else if (o_.verdict == VerdictKind::Reject)
        enqueue(rejected_line(received_, crc));
    apply(flow_.reset(), now);
    ++updates_done_;
    if (o_.repeat == 0 || updates_done_ < o_.repeat) {
        state_ = State::Between;
        deadline_ = now + milliseconds(o_.between_ms);
    } else {
        state_ = State::Linger;
        deadline_ = now + milliseconds(o_.linger_ms);
    }
}

void Simulator::abort_update() {
    if (state_ != State::Receiving)
        return;
    save_fd_.reset();
    event("ABORTED " + std::to_string(received_) + " bytes");
}

void Simulator::restart(TimePoint now) {
    abort_update();
    apply(flow_.reset(), now);
    apply(flow_.hold(), now);
    hold_until_ = now + kRebootTime + kRestartHold;
    pieces_.clear();
    event("RESTART");
    state_ = State::Between;
    deadline_ = now + kRebootTime;
}

void Simulator::apply(FlowAction action, TimePoint now) {
    if (action == FlowAction::SendXoff) {
        xchars_ += kXoff;
    } else if (action == FlowAction::SendXon) {
        xchars_ += kXon;
        // Freeing the line restarts the silence clock: the sender needs time to resume.
        quiet_since_ = now;
    }
}

void Simulator::hangup(TimePoint now) {
    abort_update();
    // What was said before the hangup goes out first, as far as the pty takes it now.
    if (master_)
        on_writable();
    master_.reset();
    slave_.reset();
    pieces_.clear();
    out_.clear();
    out_pos_ = 0;
    xchars_.clear();
    markers_.clear();
    flow_.reset();
    hold_until_.reset();
    event("HANGUP");
    state_ = State::Linger;
    deadline_ = now + milliseconds(o_.linger_ms);
}

// --- writing ----------------------------------------------------------------------------------

void Simulator::enqueue(const std::string& text, const std::string& marker) {
    if (!master_)
        return;
    out_ += text;
    queued_ += text.size();
    if (!marker.empty())
        markers_.emplace_back(queued_, marker);
    flush_markers();
}

bool Simulator::wants_to_write() const {
    return !xchars_.empty() || (!tool_stopped_ && (out_pos_ < out_.size() || flood_.active()));
}

void Simulator::start_flood(uint64_t bytes) {
    if (bytes == 0 || !master_)
        return;
    flood_.add(bytes);
    flood_run_ += bytes;
}

void Simulator::flush_markers() {
    while (!markers_.empty() && markers_.front().first <= written_) {
        event(markers_.front().second);
        markers_.pop_front();
    }
}

void Simulator::on_writable() {
    while (master_) {
        if (!xchars_.empty()) {
            const ssize_t w = ::write(master_.get(), xchars_.data(), xchars_.size());
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0 && errno == EAGAIN)
                break;
            if (w < 0)
                break;  // a dead line shows up on the read side
            for (ssize_t i = 0; i < w; ++i)
                event(xchars_[i] == kXoff ? "XOFF" : "XON");
            xchars_.erase(0, static_cast<std::size_t>(w));
            continue;
        }
        if (tool_stopped_)
            break;
        if (out_.size() - out_pos_ < kFloodAhead && flood_.active()) {
            const std::size_t before = out_.size();
            flood_.produce(out_, kFloodAhead);
            queued_ += out_.size() - before;
            if (!flood_.active()) {
                markers_.emplace_back(queued_, "FLOODED " + std::to_string(flood_run_) + " bytes");
                flood_run_ = 0;
            }
        }
        if (out_pos_ == out_.size())
            break;
        const ssize_t w = ::write(master_.get(), out_.data() + out_pos_, out_.size() - out_pos_);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        out_pos_ += static_cast<std::size_t>(w);
        last_write_ = Clock::now();
        written_ += static_cast<uint64_t>(w);
        flush_markers();
    }
    if (out_pos_ == out_.size()) {
        out_.clear();
        out_pos_ = 0;
    } else if (out_pos_ > kFloodAhead) {
        out_.erase(0, out_pos_);
        out_pos_ = 0;
    }
}

// --- stdin commands ---------------------------------------------------------------------------

void Simulator::on_stdin(TimePoint now) {
    char buf[4096];
    const ssize_t got = ::read(STDIN_FILENO, buf, sizeof buf);
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (got <= 0) {
        // End of input is not an error: the simulator simply runs on without commands.
        stdin_open_ = false;
        if (!stdin_buf_.empty())
            command(std::exchange(stdin_buf_, {}), now);
        return;
    }
    stdin_buf_.append(buf, static_cast<std::size_t>(got));
    std::size_t nl;
    while ((nl = stdin_buf_.find('\n')) != std::string::npos) {
        std::string line = stdin_buf_.substr(0, nl);
        stdin_buf_.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        command(line, now);
        if (state_ == State::Done)
            return;
    }
}

void Simulator::command(const std::string& line, TimePoint now) {
    const auto space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
    if (verb.empty())
        return;
    if (verb == "quit") {
        abort_update();
        state_ = State::Done;
        return;
    }
    if (!master_) {
        warn("'" + verb + "' ignored: the line is hung up");
        return;
    }
    if (verb == "xoff") {
        hold_until_.reset();
        apply(flow_.hold(), now);
    } else if (verb == "xon") {
        hold_until_.reset();
        apply(flow_.release(), now);
        limiter_.resume(now);
    } else if (verb == "prompt") {
        auto kind = parse_prompt_kind(arg);
        if (!kind || *kind == PromptKind::None) {
            warn("prompt: expected ready, xonxoff or both, got '" + arg + "'");
            return;
        }
        enqueue(prompt_text(*kind), std::string("PROMPT ") + prompt_kind_name(*kind));
        if (state_ != State::Receiving && state_ != State::Banner) {
            state_ = State::Awaiting;
        }
    } else if (verb == "say") {
        enqueue(arg + "\r\n");
    } else if (verb == "flood") {
        char* end = nullptr;
        errno = 0;
        const unsigned long long n = std::strtoull(arg.c_str(), &end, 10);
        if (arg.empty() || *end != '\0' || errno != 0 || arg[0] == '-') {
            warn("flood: expected a byte count, got '" + arg + "'");
            return;
        }
        start_flood(n);
    } else if (verb == "hangup") {
        hangup(now);
    } else if (verb == "count") {
        event("COUNT " + std::to_string(received_));
    } else if (verb == "restart") {
        restart(now);
    } else {
        warn("unknown command '" + line + "'");
    }
}

void Simulator::event(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace korv::sim
