#include "pipes/FastMemStream.h"

#include "platform/PipeBytes.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace pipes {

namespace {
constexpr int64_t kGrowthStep = 65535;
}

TFastMemStream::~TFastMemStream() {
  std::free(FMemory);
}

uint8_t* TFastMemStream::Realloc(int64_t& newCapacity) {
  if (newCapacity > 0) {
    newCapacity += newCapacity <= kGrowthStep ? kGrowthStep : newCapacity / 4;
  }
  if (newCapacity == FCapacity) {
    return FMemory;
  }
  if (newCapacity == 0) {
    std::free(FMemory);
    return nullptr;
  }
  void* memory = FMemory == nullptr ? std::calloc(static_cast<size_t>(newCapacity), 1)
                                    : std::realloc(FMemory, static_cast<size_t>(newCapacity));
  if (memory == nullptr) {
    throw std::bad_alloc();
  }
  return static_cast<uint8_t*>(memory);
}

void TFastMemStream::SetCapacity(int64_t capacity) {
  int64_t newCapacity = capacity;
  FMemory = Realloc(newCapacity);
  FCapacity = FMemory == nullptr ? 0 : newCapacity;
}

int32_t TFastMemStream::Read(void* buffer, int32_t count) {
  if (count <= 0 || FPosition >= FSize) {
    return 0;
  }
  const int64_t n = std::min<int64_t>(count, FSize - FPosition);
  platform::CopyBytes(buffer, FMemory + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return static_cast<int32_t>(n);
}

int32_t TFastMemStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) {
    return 0;
  }
  const int64_t end = FPosition + count;
  if (end > FCapacity) {
    SetCapacity(end);
  }
  if (FPosition > FSize) {
    // Writing past the end after a seek: the gap reads as zeros.
    std::memset(FMemory + FSize, 0, static_cast<size_t>(FPosition - FSize));
  }
  platform::CopyBytes(FMemory + FPosition, buffer, static_cast<size_t>(count));
  FPosition = end;
  FSize = std::max(FSize, end);
  return count;
}

int64_t TFastMemStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = 0;
  if (origin == TSeekOrigin::soCurrent) {
    base = FPosition;
  } else if (origin == TSeekOrigin::soEnd) {
    base = FSize;
  }
  FPosition = std::max<int64_t>(0, base + offset);
  return FPosition;
}

void TFastMemStream::SetSize(int64_t size) {
  size = std::max<int64_t>(0, size);
  const int64_t old = FSize;
  SetCapacity(size);
  if (size > old) {
    std::memset(FMemory + old, 0, static_cast<size_t>(size - old));
  }
  FSize = size;
  FPosition = std::min(FPosition, FSize);
}

uint8_t* TFastMemStream::ReserveTail(int64_t count) {
  const int64_t end = FSize + std::max<int64_t>(count, 0);
  if (end > FCapacity) {
    SetCapacity(end);
  }
  return FMemory + FSize;
}

void TFastMemStream::CommitTail(int64_t count) {
  FSize = std::min(FSize + std::max<int64_t>(count, 0), FCapacity);
}

void TFastMemStream::Rewind() {
  FSize = 0;
  FPosition = 0;
}

}  // namespace pipes
