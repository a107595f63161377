#pragma once
// SHA-256 (FIPS 180-4) of a byte stream fed in pieces. Pure computation: the sender thread
// hashes each chunk as it goes out, so the digest names exactly the bytes the tester was sent.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace korv {

class CSha256 {
  public:
    using Digest = std::array<uint8_t, 32>;

    CSha256() { Reset(); }
    void Reset();
    void Update(const uint8_t* data, size_t size);
    // The digest of everything fed since the last Reset; the object is reset afterwards.
    Digest Final();

    // 64 lower-case hexadecimal digits.
    static std::string Hex(const Digest& digest);

  private:
    void Block(const uint8_t* block);

    std::array<uint32_t, 8> m_state{};
    std::array<uint8_t, 64> m_buffer{};
    size_t m_buffered = 0;
    uint64_t m_length = 0;  // bytes fed
};

}  // namespace korv
