#pragma once
// The 32 768-byte message block that every request, reply and notice is: 16 384
// unsigned 16-bit words, little-endian, word 0 the message code. A 32-bit value
// takes two words, low half first; a text is UTF-16, one character per word,
// ended by a zero word.

#include <cstdint>

namespace core {

inline constexpr int32_t kMessageSize = 32768;
inline constexpr int32_t kMessageWords = kMessageSize / 2;

inline uint16_t GetWord(const uint8_t* block, int32_t index) {
  return static_cast<uint16_t>(block[2 * index] | (block[2 * index + 1] << 8));
}

inline void SetWord(uint8_t* block, int32_t index, uint16_t value) {
  block[2 * index] = static_cast<uint8_t>(value & 0xFF);
  block[2 * index + 1] = static_cast<uint8_t>(value >> 8);
}

// The low 16 bits of a 32-bit result, in two's complement (-4 gives 0xFFFC).
inline uint16_t LowWord(int64_t value) {
  return static_cast<uint16_t>(static_cast<uint64_t>(value) & 0xFFFFu);
}

}  // namespace core
