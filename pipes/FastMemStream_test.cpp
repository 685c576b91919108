#include "pipes/FastMemStream.h"

#include <gtest/gtest.h>

#include <vector>

namespace pipes {
namespace {

TEST(FastMemStreamTest, GrowsInLargeSteps) {
  struct Case {
    const char* name;
    int32_t firstWrite;
    int64_t capacity;
  };
  const Case kCases[] = {
      {"1 byte", 1, 1 + 65535},
      {"65 535 bytes", 65535, 65535 + 65535},
      {"65 536 bytes", 65536, 65536 + 16384},
      {"100 000 bytes", 100000, 125000},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TFastMemStream stream;
    std::vector<uint8_t> bytes(static_cast<size_t>(c.firstWrite), 5);
    EXPECT_EQ(c.firstWrite, stream.Write(bytes.data(), c.firstWrite));
    EXPECT_EQ(c.capacity, stream.Capacity());
    EXPECT_EQ(c.firstWrite, stream.Size());
  }
}

TEST(FastMemStreamTest, KeepsMemoryWhileItFitsAndReleasesItOnClear) {
  TFastMemStream stream;
  std::vector<uint8_t> bytes(1000, 1);
  stream.Write(bytes.data(), 1000);
  const uint8_t* memory = stream.Memory();
  stream.Write(bytes.data(), 1000);
  EXPECT_EQ(memory, stream.Memory());
  EXPECT_EQ(2000, stream.Size());
  stream.Rewind();
  EXPECT_EQ(0, stream.Size());
  EXPECT_EQ(memory, stream.Memory());
  stream.Clear();
  EXPECT_EQ(0, stream.Capacity());
  EXPECT_EQ(nullptr, stream.Memory());
}

TEST(FastMemStreamTest, ReadsBackWhatWasWrittenAndNewMemoryIsZero) {
  TFastMemStream stream;
  stream.SetSize(10);
  std::vector<uint8_t> read(10, 0xFF);
  stream.SetPosition(0);
  EXPECT_EQ(10, stream.Read(read.data(), 10));
  EXPECT_EQ(std::vector<uint8_t>(10, 0), read);
  const uint8_t data[] = {1, 2, 3};
  stream.SetPosition(12);
  stream.Write(data, 3);
  EXPECT_EQ(15, stream.Size());
  read.assign(15, 0xFF);
  stream.SetPosition(0);
  EXPECT_EQ(15, stream.Read(read.data(), 20));
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3}), read);
  EXPECT_EQ(0, stream.Read(read.data(), 1));
  EXPECT_EQ(0, stream.Read(read.data(), -1));
}

TEST(FastMemStreamTest, ReadsCanGoStraightToTheEnd) {
  TFastMemStream stream;
  const uint8_t head[] = {1, 2};
  stream.Write(head, 2);
  uint8_t* tail = stream.ReserveTail(65534);
  ASSERT_GE(stream.Capacity(), 2 + 65534);
  tail[0] = 3;
  tail[1] = 4;
  stream.CommitTail(2);
  EXPECT_EQ(4, stream.Size());
  uint8_t read[4] = {};
  stream.SetPosition(0);
  EXPECT_EQ(4, stream.Read(read, 4));
  EXPECT_EQ(3, read[2]);
  EXPECT_EQ(4, read[3]);
  // Rewinding keeps the memory for the next message.
  const uint8_t* memory = stream.Memory();
  stream.Rewind();
  EXPECT_EQ(memory, stream.ReserveTail(65534));
}

}  // namespace
}  // namespace pipes
