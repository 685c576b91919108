#pragma once
// A memory stream that grows in large steps.
//
// Receiving a message appends it piece by piece; growing the memory by at
// least 65 535 bytes, or by a quarter of the size asked for, keeps large
// messages to a few reallocations. One thread at a time.

#include <cstdint>

#include "pipes/Stream.h"

namespace pipes {

class TFastMemStream : public TStream {
 public:
  TFastMemStream() = default;
  TFastMemStream(const TFastMemStream&) = delete;
  TFastMemStream& operator=(const TFastMemStream&) = delete;
  ~TFastMemStream() override;

  int32_t Read(void* buffer, int32_t count) override;
  // Raises std::bad_alloc when the memory cannot grow.
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() const override { return FSize; }
  // Sets the size and asks for exactly that capacity (0 releases the memory).
  void SetSize(int64_t size) override;

  // Size 0, memory released.
  void Clear() { SetSize(0); }
  // Size 0, memory kept for the next message.
  void Rewind();

  // Room for count more bytes at the end (growing as Write would); returns
  // where they go. The memory stays put until the stream next grows or
  // shrinks. CommitTail then adds the bytes actually placed there.
  uint8_t* ReserveTail(int64_t count);
  void CommitTail(int64_t count);

  const uint8_t* Memory() const { return FMemory; }
  uint8_t* Memory() { return FMemory; }
  int64_t Capacity() const { return FCapacity; }

 protected:
  // Moves the memory to a new capacity, applying the growth policy; returns
  // the memory (null for 0). Raises std::bad_alloc.
  virtual uint8_t* Realloc(int64_t& newCapacity);

 private:
  void SetCapacity(int64_t capacity);

  uint8_t* FMemory = nullptr;
  int64_t FSize = 0;
  int64_t FPosition = 0;
  int64_t FCapacity = 0;
};

}  // namespace pipes
