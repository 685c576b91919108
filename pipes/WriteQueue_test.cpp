#include "pipes/WriteQueue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "pipes/PipeControlPacket.h"

namespace pipes {
namespace {

using platform::kWaitObject0;
using platform::kWaitTimeout;

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  }
  return bytes;
}

std::vector<uint8_t> BytesOf(const TPipeWrite& pipeWrite) {
  return std::vector<uint8_t>(pipeWrite.Buffer.get(), pipeWrite.Buffer.get() + pipeWrite.Count);
}

std::vector<uint8_t> Packet(uint32_t command) {
  const auto bytes = MakeControlPacket(command);
  std::vector<uint8_t> out;
  for (std::byte b : bytes) {
    out.push_back(static_cast<uint8_t>(b));
  }
  return out;
}

bool DataSignalled(const TWriteQueue& queue) {
  return queue.DataEvent().Wait(0) == kWaitObject0;
}
bool EmptySignalled(const TWriteQueue& queue) {
  return queue.EmptyEvent().Wait(0) == kWaitObject0;
}

TEST(ControlPacketTest, LayoutIsLittleEndianWithTags) {
  const std::vector<uint8_t> start = {0x10, 0,   0,   0,   'M', 'A', 'G', 'C',
                                      'S',  'T', 'M', 'B', 'M', 'A', 'G', 'C'};
  const std::vector<uint8_t> end = {0x10, 0,   0,   0,   'M', 'A', 'G', 'C',
                                    'E',  'T', 'M', 'B', 'M', 'A', 'G', 'C'};
  EXPECT_EQ(start, Packet(kStartCommand));
  EXPECT_EQ(end, Packet(kEndCommand));
}

TEST(ControlPacketTest, RecognisesOnlyTheExactLayout) {
  auto with = [](std::vector<uint8_t> bytes, size_t at, uint8_t value) {
    bytes[at] = value;
    return bytes;
  };
  const auto start = Packet(kStartCommand);
  auto longer = start;
  longer.push_back(0);
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    bool isControl;
    uint32_t command;
  };
  const Case kCases[] = {
      {"start packet", start, true, kStartCommand},
      {"end packet", Packet(kEndCommand), true, kEndCommand},
      {"other command", Packet(0x58585858), true, 0x58585858},
      {"size field 17", with(start, 0, 17), false, 0},
      {"open tag differs", with(start, 4, 'm'), false, 0},
      {"close tag differs", with(start, 15, 'c'), false, 0},
      {"15 bytes", std::vector<uint8_t>(start.begin(), start.end() - 1), false, 0},
      {"17 bytes", longer, false, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    uint32_t command = 0;
    const auto* data = reinterpret_cast<const std::byte*>(c.bytes.data());
    EXPECT_EQ(c.isControl, IsControlPacket({data, c.bytes.size()}, &command));
    if (c.isControl) {
      EXPECT_EQ(c.command, command);
    }
  }
}

TEST(PipeWriteTest, RecordsCopyTheCallersBytes) {
  const uint8_t prefix[] = {1, 2};
  const uint8_t buffer[] = {3, 4, 5};
  PPipeWrite prefixed = NewPrefixedPipeWrite(prefix, 2, buffer, 3);
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4, 5}), BytesOf(*prefixed));
  PPipeWrite empty = NewPipeWrite(nullptr, 0);
  EXPECT_EQ(0, empty->Count);
  EXPECT_THROW(NewPipeWrite(buffer, -1), std::invalid_argument);
  EXPECT_THROW(NewPipeWrite(nullptr, 3), std::invalid_argument);
  FreePipeWrite(prefixed);
  EXPECT_EQ(nullptr, prefixed);
}

class WriteQueueTest : public ::testing::Test {
 protected:
  // Dequeues everything, in order.
  std::vector<PPipeWrite> DrainAll() {
    std::vector<PPipeWrite> records;
    while (PPipeWrite record = FQueue.Dequeue()) {
      records.push_back(std::move(record));
    }
    return records;
  }

  TWriteQueue FQueue;
};

TEST_F(WriteQueueTest, StartsEmptyAndNullChangesNothing) {
  EXPECT_TRUE(FQueue.Empty());
  EXPECT_EQ(0u, FQueue.DataSize());
  EXPECT_FALSE(DataSignalled(FQueue));
  EXPECT_TRUE(EmptySignalled(FQueue));
  FQueue.Enqueue(nullptr);
  EXPECT_TRUE(FQueue.Empty());
  EXPECT_EQ(0u, FQueue.DataSize());
  EXPECT_FALSE(DataSignalled(FQueue));
  EXPECT_TRUE(EmptySignalled(FQueue));
  EXPECT_EQ(nullptr, FQueue.Dequeue());
  EXPECT_FALSE(DataSignalled(FQueue));
  EXPECT_TRUE(EmptySignalled(FQueue));
}

TEST_F(WriteQueueTest, RecordsAreSplitAboveTheLargestMessage) {
  struct Case {
    const char* name;
    int32_t size;
    std::vector<int32_t> counts;  // -1 start packet, -2 end packet
    uint32_t dataSize;
  };
  const Case kCases[] = {
      {"empty", 0, {0}, 28},
      {"65 534 bytes", 65534, {65534}, 65562},
      {"65 535 bytes", 65535, {-1, 65534, 1, -2}, 44 + 65562 + 29 + 44},
      {"131 068 bytes", 131068, {-1, 65534, 65534, -2}, 44 + 65562 + 65562 + 44},
      {"131 069 bytes", 131069, {-1, 65534, 65534, 1, -2}, 44 + 65562 + 65562 + 29 + 44},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto bytes = Pattern(static_cast<size_t>(c.size));
    FQueue.Enqueue(NewPipeWrite(bytes.data(), c.size));
    EXPECT_EQ(c.dataSize, FQueue.DataSize());
    EXPECT_TRUE(DataSignalled(FQueue));
    EXPECT_FALSE(EmptySignalled(FQueue));
    const auto records = DrainAll();
    ASSERT_EQ(c.counts.size(), records.size());
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < records.size(); ++i) {
      const auto got = BytesOf(*records[i]);
      if (c.counts[i] == -1) {
        EXPECT_EQ(Packet(kStartCommand), got);
      } else if (c.counts[i] == -2) {
        EXPECT_EQ(Packet(kEndCommand), got);
      } else {
        EXPECT_EQ(c.counts[i], records[i]->Count);
        joined.insert(joined.end(), got.begin(), got.end());
      }
    }
    EXPECT_EQ(bytes, joined);
    EXPECT_EQ(0u, FQueue.DataSize());
    EXPECT_FALSE(DataSignalled(FQueue));
    EXPECT_TRUE(EmptySignalled(FQueue));
  }
}

TEST_F(WriteQueueTest, SecondChunkHoldsTheSecondPartOfTheRecord) {
  const auto bytes = Pattern(131068);
  FQueue.Enqueue(NewPipeWrite(bytes.data(), 131068));
  const auto records = DrainAll();
  ASSERT_EQ(4u, records.size());
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 65534, bytes.end()), BytesOf(*records[2]));
}

TEST_F(WriteQueueTest, ClearFreesEverything) {
  const uint8_t byte = 1;
  for (int i = 0; i < 3; ++i) {
    FQueue.Enqueue(NewPipeWrite(&byte, 1));
  }
  EXPECT_EQ(3u * 29u, FQueue.DataSize());
  FQueue.Clear();
  EXPECT_TRUE(FQueue.Empty());
  EXPECT_EQ(0u, FQueue.DataSize());
  EXPECT_FALSE(DataSignalled(FQueue));
  EXPECT_TRUE(EmptySignalled(FQueue));
  EXPECT_EQ(nullptr, FQueue.Dequeue());
}

TEST_F(WriteQueueTest, ConsumerOnAnotherThreadGetsEveryRecordInOrder) {
  constexpr int kRecords = 2000;
  std::vector<int32_t> received;
  std::thread consumer([&] {
    while (static_cast<int>(received.size()) < kRecords) {
      if (FQueue.DataEvent().Wait(60000) != kWaitObject0) {
        return;
      }
      while (PPipeWrite record = FQueue.Dequeue()) {
        int32_t value = 0;
        std::memcpy(&value, record->Buffer.get(), sizeof value);
        received.push_back(value);
      }
    }
  });
  for (int32_t i = 0; i < kRecords; ++i) {
    FQueue.Enqueue(NewPipeWrite(&i, sizeof i));
  }
  consumer.join();
  ASSERT_EQ(static_cast<size_t>(kRecords), received.size());
  for (int32_t i = 0; i < kRecords; ++i) {
    ASSERT_EQ(i, received[i]);
  }
  EXPECT_EQ(kWaitTimeout, FQueue.DataEvent().Wait(0));
}

}  // namespace
}  // namespace pipes
