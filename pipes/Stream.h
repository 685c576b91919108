#pragma once
// Positionable byte streams.
//
// TStream is what OnPipeMessage hands to its handler: a complete message,
// positioned at 0. TMemoryStream keeps its bytes in memory; the pipe workers
// use their own streams (TFastMemStream, TPipeMultiMsg). A stream is used by
// one thread at a time.

#include <cstdint>
#include <vector>

namespace pipes {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  virtual ~TStream() = default;

  // Reads up to count bytes at the position and advances it; returns the
  // number read (0 at the end). A negative count reads nothing.
  virtual int32_t Read(void* buffer, int32_t count) = 0;
  // Writes count bytes at the position, growing the stream as needed; returns
  // the number written.
  virtual int32_t Write(const void* buffer, int32_t count) = 0;
  // Returns the new position; positions are clamped at 0.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size() const = 0;
  virtual void SetSize(int64_t size) = 0;

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t position) { Seek(position, TSeekOrigin::soBeginning); }
};

class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  TMemoryStream(const void* data, int32_t count);

  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() const override { return static_cast<int64_t>(FData.size()); }
  void SetSize(int64_t size) override;

  const uint8_t* Memory() const { return FData.data(); }
  void Clear() { FData.clear(); FPosition = 0; }

 private:
  std::vector<uint8_t> FData;
  int64_t FPosition = 0;
};

}  // namespace pipes
