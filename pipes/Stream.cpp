#include "pipes/Stream.h"

#include <algorithm>
#include <cstring>

namespace pipes {

TMemoryStream::TMemoryStream(const void* data, int32_t count) {
  Write(data, count);
  FPosition = 0;
}

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
  if (count <= 0 || FPosition >= Size()) {
    return 0;
  }
  const int64_t n = std::min<int64_t>(count, Size() - FPosition);
  std::memcpy(buffer, FData.data() + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return static_cast<int32_t>(n);
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) {
    return 0;
  }
  const int64_t end = FPosition + count;
  if (end > Size()) {
    FData.resize(static_cast<size_t>(end));
  }
  std::memcpy(FData.data() + FPosition, buffer, static_cast<size_t>(count));
  FPosition = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = 0;
  if (origin == TSeekOrigin::soCurrent) {
    base = FPosition;
  } else if (origin == TSeekOrigin::soEnd) {
    base = Size();
  }
  FPosition = std::max<int64_t>(0, base + offset);
  return FPosition;
}

void TMemoryStream::SetSize(int64_t size) {
  FData.resize(static_cast<size_t>(std::max<int64_t>(0, size)));
  FPosition = std::min(FPosition, Size());
}

}  // namespace pipes
