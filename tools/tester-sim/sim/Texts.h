#pragma once
// What the simulated tester says on the line and on stdout. Kept apart from the I/O loop so the
// exact bytes (which the program's prompt matcher depends on) are defined in one place.

#include <cstdint>
#include <string>
#include <vector>

#include "sim/Options.h"

namespace korv::sim {

// serial: the unit's serial number, printed on a line of its own after the first; empty: none.
std::string boot_banner(const std::string& serial = {});
std::string prompt_text(PromptKind kind);
// Near misses of the ready prompt: one dot short, and a doubled first letter.
std::string false_prompts_text();
// Splits text into n nearly equal, non-empty pieces (fewer if the text is shorter than n).
std::vector<std::string> split_pieces(const std::string& text, unsigned n);

std::string received_event(uint64_t bytes, uint32_t crc, bool header_ok);
std::string received_line(uint64_t bytes, uint32_t crc, bool header_ok);
std::string rejected_line(uint64_t bytes, uint32_t crc);

// Numbered printable lines, each kFloodLineLength bytes including CR LF, cut short at the end
// so that exactly the requested number of bytes is produced.
inline constexpr std::size_t kFloodLineLength = 60;
class FloodSource {
  public:
    void add(uint64_t bytes) { remaining_ += bytes; }
    bool active() const { return remaining_ > 0; }
    // Appends whole lines (the last one possibly cut) up to about max_bytes.
    void produce(std::string& out, std::size_t max_bytes);

  private:
    uint64_t remaining_ = 0;
    uint64_t next_line_ = 1;
};
std::string flood_line(uint64_t number);

}  // namespace korv::sim
