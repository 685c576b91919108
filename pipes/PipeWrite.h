#pragma once
// One outgoing pipe message: the bytes and their count, owned by the record.
//
// A record is made by the component's thread (a copy of the caller's bytes,
// so the caller may reuse its buffer at once), handed to a client's write
// queue, and freed by the client's worker after it has been sent, or by the
// queue when it is discarded.

#include <cstdint>
#include <memory>

namespace pipes {

struct TPipeWrite {
  std::unique_ptr<uint8_t[]> Buffer;  // null when Count is 0
  int32_t Count = 0;
};

using PPipeWrite = std::unique_ptr<TPipeWrite>;

// A record holding a copy of count bytes at buffer. Raises std::invalid_argument
// for a negative count (or bytes missing), std::bad_alloc when out of memory.
PPipeWrite NewPipeWrite(const void* buffer, int32_t count);

// A record of prefixCount + count bytes: the prefix first, the buffer's bytes
// directly after it, sent as one message. Raises as NewPipeWrite, and
// std::length_error when the total does not fit a 32-bit signed count.
PPipeWrite NewPrefixedPipeWrite(const void* prefix,
                                int32_t prefixCount,
                                const void* buffer,
                                int32_t count);

inline void FreePipeWrite(PPipeWrite& pipeWrite) {
  pipeWrite.reset();
}

}  // namespace pipes
