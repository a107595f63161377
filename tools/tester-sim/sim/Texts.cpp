// Banner, prompts, report lines and flood text of the simulated tester.

#include "sim/Texts.h"

#include <algorithm>
#include <cstdio>

namespace korv::sim {
namespace {
constexpr const char* kReady = "Ready to receive update file....\r\n";
constexpr const char* kXonXoff =
    "file using plain text transmission and XOn/Xoff handshaking....\r\n";
}  // namespace

std::string boot_banner(const std::string& serial) {
    return "\r\nTester boot ROM 2.1\r\n" +
           (serial.empty() ? std::string() : "Serial number: " + serial + "\r\n") +
           "Memory test... passed\r\n"
           "Keypad... ok\r\n"
           "Update mode\r\n";
}

std::string prompt_text(PromptKind kind) {
    switch (kind) {
        case PromptKind::Ready:
            return kReady;
        case PromptKind::XonXoff:
            return kXonXoff;
        case PromptKind::Both:
            return std::string("Send the software update\r\n") + kXonXoff + kReady;
        case PromptKind::None:
            return {};
    }
    return {};
}

std::string false_prompts_text() {
    return "Ready to receive update file...\r\n"
           "RReady to receive update file....\r\n";
}

std::vector<std::string> split_pieces(const std::string& text, unsigned n) {
    std::vector<std::string> pieces;
    const std::size_t count = std::max<std::size_t>(1, std::min<std::size_t>(n, text.size()));
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t from = k * text.size() / count;
        const std::size_t to = (k + 1) * text.size() / count;
        pieces.push_back(text.substr(from, to - from));
    }
    return pieces;
}

std::string received_event(uint64_t bytes, uint32_t crc, bool header_ok) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "RECEIVED %llu bytes crc32 %08x header %s",
                  static_cast<unsigned long long>(bytes), static_cast<unsigned>(crc),
                  header_ok ? "ok" : "bad");
    return buf;
}

std::string received_line(uint64_t bytes, uint32_t crc, bool header_ok) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "\r\nUpdate received: %llu bytes, CRC-32 %08x, header %s\r\n",
                  static_cast<unsigned long long>(bytes), static_cast<unsigned>(crc),
                  header_ok ? "ok" : "bad");
    return buf;
}

std::string rejected_line(uint64_t bytes, uint32_t crc) {
    char buf[128];
    std::snprintf(buf, sizeof buf,
                  "\r\nUpdate rejected: %llu bytes, CRC-32 %08x, checksum error\r\n",
                  static_cast<unsigned long long>(bytes), static_cast<unsigned>(crc));
    return buf;
}

std::string flood_line(uint64_t number) {
    char buf[kFloodLineLength + 1];
    std::snprintf(buf, sizeof buf, "FLOOD %08llu the quick brown fox jumps over the lazy dog\r\n",
                  static_cast<unsigned long long>(number % 100'000'000));
    return buf;
}

void FloodSource::produce(std::string& out, std::size_t max_bytes) {
    std::size_t made = 0;
    while (remaining_ > 0 && made < max_bytes) {
        std::string line = flood_line(next_line_++);
        if (line.size() > remaining_) {
            line.resize(static_cast<std::size_t>(remaining_));
        }
        remaining_ -= line.size();
        made += line.size();
        out += line;
    }
}

}  // namespace korv::sim
