// Option parsing: `--name value` or `--name=value`; marks as bytes or as a percentage of the
// buffer.

#include "sim/Options.h"

#include <charconv>
#include <limits>
#include <type_traits>

namespace korv::sim {
namespace {

std::optional<uint64_t> parse_u64(const std::string& s, uint64_t max) {
    uint64_t v = 0;
    const char* end = s.data() + s.size();
    auto [p, ec] = std::from_chars(s.data(), end, v);
    if (s.empty() || ec != std::errc() || p != end || v > max) {
        return std::nullopt;
    }
    return v;
}

struct Mark {
    bool given = false;
    bool percent = false;
    uint64_t value = 0;
};

std::optional<Mark> parse_mark(std::string s) {
    Mark m;
    m.given = true;
    if (!s.empty() && s.back() == '%') {
        m.percent = true;
        s.pop_back();
    }
    auto v = parse_u64(s, m.percent ? 100 : std::numeric_limits<uint32_t>::max());
    if (!v) {
        return std::nullopt;
    }
    m.value = *v;
    return m;
}

std::size_t resolve(const Mark& m, std::size_t buffer, std::size_t fallback) {
    if (!m.given) {
        return fallback;
    }
    return m.percent ? static_cast<std::size_t>(buffer * m.value / 100)
                     : static_cast<std::size_t>(m.value);
}

}  // namespace

std::optional<PromptKind> parse_prompt_kind(const std::string& word) {
    if (word == "ready")
        return PromptKind::Ready;
    if (word == "xonxoff")
        return PromptKind::XonXoff;
    if (word == "both")
        return PromptKind::Both;
    if (word == "none")
        return PromptKind::None;
    return std::nullopt;
}

const char* prompt_kind_name(PromptKind kind) {
    switch (kind) {
        case PromptKind::Ready:
            return "ready";
        case PromptKind::XonXoff:
            return "xonxoff";
        case PromptKind::Both:
            return "both";
        case PromptKind::None:
            return "none";
    }
    return "none";
}

ParseResult parse_options(const std::vector<std::string>& args) {
    ParseResult r;
    Options& o = r.options;
    Mark high;
    Mark low;
    constexpr uint64_t kMaxMs = 24ull * 3600 * 1000;
    constexpr uint64_t kHuge = uint64_t{1} << 48;

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inline_value;
        if (auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inline_value = name.substr(eq + 1);
            name.resize(eq);
        }
        auto fail = [&](const std::string& why) {
            r.error = name + ": " + why;
            return r;
        };
        if (name == "--help" || name == "-h") {
            r.help = true;
            return r;
        }
        if (name == "--false-prompts") {
            o.false_prompts = true;
            continue;
        }
        if (name.rfind("--", 0) != 0) {
            r.error = "unexpected argument '" + name + "'";
            return r;
        }
        std::string value;
        if (inline_value) {
            value = *inline_value;
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return fail("needs a value");
        }
        auto number = [&](uint64_t max) { return parse_u64(value, max); };
        auto set = [&](auto& field, uint64_t max) {
            auto v = number(max);
            if (!v) {
                r.error = name + ": '" + value + "' is not a number up to " + std::to_string(max);
                return false;
            }
            field = static_cast<std::remove_reference_t<decltype(field)>>(*v);
            return true;
        };

        bool ok = true;
        if (name == "--prompt") {
            auto k = parse_prompt_kind(value);
            if (!k)
                return fail("expected ready, xonxoff, both or none");
            o.prompt = *k;
        } else if (name == "--verdict") {
            if (value == "accept")
                o.verdict = VerdictKind::Accept;
            else if (value == "reject")
                o.verdict = VerdictKind::Reject;
            else if (value == "silent")
                o.verdict = VerdictKind::Silent;
            else
                return fail("expected accept, reject or silent");
        } else if (name == "--split") {
            ok = set(o.split, 1000);
            if (ok && o.split < 1)
                return fail("must be at least 1");
        } else if (name == "--buffer") {
            ok = set(o.buffer, uint64_t{1} << 30);
            if (ok && o.buffer < 16)
                return fail("must be at least 16");
        } else if (name == "--rate") {
            ok = set(o.rate, 1'000'000'000);
        } else if (name == "--high" || name == "--low") {
            auto m = parse_mark(value);
            if (!m)
                return fail("expected a byte count or a percentage such as 75%");
            (name == "--high" ? high : low) = *m;
        } else if (name == "--end-silence-ms") {
            ok = set(o.end_silence_ms, kMaxMs);
        } else if (name == "--expect") {
            ok = set(o.expect, kHuge);
        } else if (name == "--save") {
            if (value.empty())
                return fail("needs a file name");
            o.save = value;
        } else if (name == "--serial") {
            if (value.empty())
                return fail("needs a serial number");
            o.serial = value;
        } else if (name == "--link") {
            if (value.empty())
                return fail("needs a path");
            o.link = value;
        } else if (name == "--repeat") {
            ok = set(o.repeat, kHuge);
        } else if (name == "--between-ms") {
            ok = set(o.between_ms, kMaxMs);
        } else if (name == "--linger-ms") {
            ok = set(o.linger_ms, kMaxMs);
        } else if (name == "--wait-open") {
            if (value != "on" && value != "off" && value != "rate")
                return fail("expected on, off or rate");
            o.wait_open = value != "off";
            o.wait_rate_only = value == "rate";
        } else if (name == "--delay-ms") {
            ok = set(o.delay_ms, kMaxMs);
        } else if (name == "--hold-xoff-ms") {
            ok = set(o.hold_xoff_ms, kMaxMs);
        } else if (name == "--flood-during") {
            ok = set(o.flood_during, kHuge);
        } else {
            r.error = "unknown option '" + name + "'";
            return r;
        }
        if (!ok) {
            return r;
        }
    }

    o.high = resolve(high, o.buffer, o.buffer * 3 / 4);
    o.low = resolve(low, o.buffer, o.buffer / 4);
    if (!(o.low < o.high && o.high <= o.buffer)) {
        r.error = "marks must satisfy --low < --high <= --buffer (got low " +
                  std::to_string(o.low) + ", high " + std::to_string(o.high) + ", buffer " +
                  std::to_string(o.buffer) + ")";
    }
    return r;
}

std::string usage_text(const std::string& program) {
    return "Usage: " + program + R"( [options]
A simulated tester on a pseudo-terminal. Prints the slave path as the first stdout line, then
one event per line. Commands on stdin: xoff, xon, prompt ready|xonxoff|both, say TEXT,
flood N, hangup, count, restart, quit.

  --prompt ready|xonxoff|both|none  prompt after the boot banner (default ready)
  --verdict accept|reject|silent  the line after an update: "Update received: ..."
                         (default), "Update rejected: ...", or none
  --split N              write the prompt in N pieces, 50 ms apart (default 1)
  --false-prompts        send near-miss prompts before the real one
  --buffer N             receive buffer in bytes (default 1024, at least 16)
  --rate N               bytes consumed per second, 0 = at once (default 5760)
  --high N|P%            XOFF once the buffer holds more than this (default 3/4 of it)
  --low N|P%             XON once it holds less than this (default 1/4 of it)
  --end-silence-ms N     an update ends after this much silence (default 1000)
  --expect N             an update ends as soon as N bytes have arrived
  --save FILE            write each update's bytes to FILE (replaced per update)
  --link PATH            point the symbolic link PATH at the pty's slave (replacing what it
                         pointed at) before the slave path is printed; removed at exit
  --repeat N             updates to accept, 0 = for ever (default 1)
  --between-ms N         pause before banner and prompt are repeated (default 500)
  --serial TEXT          the banner says "Serial number: TEXT" after its first line
  --linger-ms N          pause after the last update before exiting (default 500)
  --wait-open on|off|rate  boot only once the line has been opened and set to 57600 with
                         XON/XOFF (default on); rate: 57600 alone (a device server in front)
  --delay-ms N           with --wait-open on: settle time after that; off: time from start
                         (default 200)
  --hold-xoff-ms N       send XOFF at an update's first byte and XON N ms later
  --flood-during N       write N bytes of numbered lines as soon as an update begins
  --help                 this text

Exit status: 0 done, 1 system error (pty, --save file), 2 usage, 3 an update's header was not "* ".
)";
}

}  // namespace korv::sim
