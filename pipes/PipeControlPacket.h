#pragma once
// The framing of messages on the pipe, as both ends apply it.
//
// The pipe is message-oriented: one write is one message, and message
// boundaries survive. A message that is too large for one piece travels as a
// multi-part message: a start packet, zero or more data messages, an end
// packet; its content is the data messages concatenated in order. The server
// writes no message longer than kMaxPipeMessage bytes; a client may send
// messages of any size.
//
// A control packet is exactly 16 bytes, little-endian:
//   offset 0  PacketSize  16          (10 00 00 00)
//   offset 4  OpenTag     "MAGC"      (4D 41 47 43)
//   offset 8  Command     "STMB" start (53 54 4D 42) or "ETMB" end (45 54 4D 42)
//   offset 12 CloseTag    "MAGC"
// A 16-byte message with this layout is always a control packet, never data;
// any other message is a plain message.
//
// Header-only so that client code can use it without the server's library.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace pipes {

// The largest message the server writes; longer records are split.
constexpr int32_t kMaxPipeMessage = 65534;

constexpr uint32_t kControlPacketSize = 16;
constexpr uint32_t kControlTag = 0x4347414D;    // "MAGC"
constexpr uint32_t kStartCommand = 0x424D5453;  // "STMB"
constexpr uint32_t kEndCommand = 0x424D5445;    // "ETMB"

struct TPipeControlPacket {
  uint32_t PacketSize;
  uint32_t OpenTag;
  uint32_t Command;
  uint32_t CloseTag;
};
static_assert(sizeof(TPipeControlPacket) == kControlPacketSize);

using TControlPacketBytes = std::array<std::byte, kControlPacketSize>;

namespace framing_detail {
inline void PutLittleEndian(std::byte* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    at[i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
  }
}
inline uint32_t GetLittleEndian(const std::byte* at) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    value |= static_cast<uint32_t>(at[i]) << (8 * i);
  }
  return value;
}
}  // namespace framing_detail

inline TControlPacketBytes MakeControlPacket(uint32_t command) {
  TControlPacketBytes bytes{};
  framing_detail::PutLittleEndian(bytes.data() + 0, kControlPacketSize);
  framing_detail::PutLittleEndian(bytes.data() + 4, kControlTag);
  framing_detail::PutLittleEndian(bytes.data() + 8, command);
  framing_detail::PutLittleEndian(bytes.data() + 12, kControlTag);
  return bytes;
}

// True when message is a control packet; *command gets its Command (any
// value, also other than start and end).
inline bool IsControlPacket(std::span<const std::byte> message, uint32_t* command) {
  if (message.size() != kControlPacketSize ||
      framing_detail::GetLittleEndian(message.data()) != kControlPacketSize ||
      framing_detail::GetLittleEndian(message.data() + 4) != kControlTag ||
      framing_detail::GetLittleEndian(message.data() + 12) != kControlTag) {
    return false;
  }
  *command = framing_detail::GetLittleEndian(message.data() + 8);
  return true;
}

}  // namespace pipes
