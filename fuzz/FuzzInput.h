#pragma once
// Reads a fuzzer's input from the front, a field at a time, so that a seed can be written by hand
// in the same order the target consumes it. Past the end every field reads as zero and every
// byte run as empty, so a target never has to check for the end itself.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace korv::fuzz {

class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    bool Empty() const { return m_pos >= m_size; }
    size_t Remaining() const { return m_size - m_pos; }

    uint8_t U8() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint16_t U16() {
        const uint16_t lo = U8();
        return static_cast<uint16_t>(lo | (U8() << 8));
    }
    uint32_t U32() {
        const uint32_t lo = U16();
        return lo | (static_cast<uint32_t>(U16()) << 16);
    }
    int32_t I32() { return static_cast<int32_t>(U32()); }
    int16_t I16() { return static_cast<int16_t>(U16()); }
    int8_t I8() { return static_cast<int8_t>(U8()); }

    // Up to n bytes (fewer at the end of the input).
    std::string_view Bytes(size_t n) {
        const size_t take = n < Remaining() ? n : Remaining();
        std::string_view out(reinterpret_cast<const char*>(m_data + m_pos), take);
        m_pos += take;
        return out;
    }
    std::string_view Rest() { return Bytes(Remaining()); }

  private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// A violated property: names it on stderr and stops the run at once, so that libFuzzer keeps the
// input as a crasher.
[[noreturn]] inline void Violated(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz check failed: %s at %s:%d\n", what, file, line);
    __builtin_trap();
}

#define KORV_FUZZ_CHECK(cond)                                  \
    do {                                                       \
        if (!(cond)) {                                         \
            ::korv::fuzz::Violated(#cond, __FILE__, __LINE__); \
        }                                                      \
    } while (0)

}  // namespace korv::fuzz
