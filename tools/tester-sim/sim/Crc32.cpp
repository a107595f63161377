// Table-driven CRC-32 (reflected, polynomial 0xEDB88320).

#include "sim/Crc32.h"

#include <array>

namespace korv::sim {
namespace {

constexpr std::array<uint32_t, 256> make_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1u) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        }
        table[i] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kTable = make_table();

}  // namespace

uint32_t crc32_update(uint32_t state, const void* data, std::size_t len) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < len; ++i) {
        state = kTable[(state ^ p[i]) & 0xFFu] ^ (state >> 8);
    }
    return state;
}

}  // namespace korv::sim
