#pragma once
// Copying message bytes.
//
// Trap: for blocks from a few KiB up, glibc's memcpy switches to the string
// instruction "rep movsb", which on these virtual machines (AMD EPYC) runs at
// about 2.5 GB/s: 12 us for one 32 768-byte message block, against under 1 us
// for plain vector moves. CopyBytes copies in fixed-size pieces that the
// compiler turns into vector moves, and leaves only the short tail to memcpy.
// Message paths (receive streams, queued records) copy with it.

#include <cstddef>
#include <cstring>

namespace platform {

inline void CopyBytes(void* destination, const void* source, size_t count) {
  auto* to = static_cast<unsigned char*>(destination);
  const auto* from = static_cast<const unsigned char*>(source);
  constexpr size_t kPiece = 256;
  while (count >= kPiece) {
    __builtin_memcpy(to, from, kPiece);
    to += kPiece;
    from += kPiece;
    count -= kPiece;
  }
  if (count > 0) {
    std::memcpy(to, from, count);
  }
}

}  // namespace platform
