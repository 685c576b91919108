#include "pipes/PipeWrite.h"

#include "platform/PipeBytes.h"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace pipes {

namespace {

void CheckBytes(const void* bytes, int32_t count) {
  if (count < 0 || (count > 0 && bytes == nullptr)) {
    throw std::invalid_argument("Invalid byte count for a pipe write");
  }
}

PPipeWrite Allocate(int32_t count) {
  auto pipeWrite = std::make_unique<TPipeWrite>();
  pipeWrite->Count = count;
  if (count > 0) {
    // Filled completely by the caller; no need to zero it first.
    pipeWrite->Buffer = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(count));
  }
  return pipeWrite;
}

}  // namespace

PPipeWrite NewPipeWrite(const void* buffer, int32_t count) {
  CheckBytes(buffer, count);
  PPipeWrite pipeWrite = Allocate(count);
  if (count > 0) {
    platform::CopyBytes(pipeWrite->Buffer.get(), buffer, static_cast<size_t>(count));
  }
  return pipeWrite;
}

PPipeWrite NewPrefixedPipeWrite(const void* prefix,
                                int32_t prefixCount,
                                const void* buffer,
                                int32_t count) {
  CheckBytes(prefix, prefixCount);
  CheckBytes(buffer, count);
  const int64_t total = static_cast<int64_t>(prefixCount) + count;
  if (total > std::numeric_limits<int32_t>::max()) {
    throw std::length_error("Pipe write too large");
  }
  PPipeWrite pipeWrite = Allocate(static_cast<int32_t>(total));
  if (prefixCount > 0) {
    platform::CopyBytes(pipeWrite->Buffer.get(), prefix, static_cast<size_t>(prefixCount));
  }
  if (count > 0) {
    platform::CopyBytes(pipeWrite->Buffer.get() + prefixCount, buffer, static_cast<size_t>(count));
  }
  return pipeWrite;
}

}  // namespace pipes
