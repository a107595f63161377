#pragma once
// CRC-32 as zlib and Ethernet compute it, so a report can be checked against any common tool.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace korv::sim {

// Incremental: start from crc32_init(), feed chunks, finish with crc32_final().
inline constexpr uint32_t crc32_init() {
    return 0xFFFFFFFFu;
}
uint32_t crc32_update(uint32_t state, const void* data, std::size_t len);
inline constexpr uint32_t crc32_final(uint32_t state) {
    return state ^ 0xFFFFFFFFu;
}

inline uint32_t crc32(std::string_view bytes) {
    return crc32_final(crc32_update(crc32_init(), bytes.data(), bytes.size()));
}

}  // namespace korv::sim
