#include "client/PipeClient.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "pipes/PipeControlPacket.h"

namespace client {
namespace {

using namespace platform;

constexpr uint32_t kDeadlineMs = 60000;

std::vector<std::byte> Pattern(size_t size, unsigned seed = 1) {
  std::vector<std::byte> bytes(size);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::byte>((i * 17 + seed) & 0xFF);
  }
  return bytes;
}

std::vector<std::byte> Packet(uint32_t command) {
  const auto bytes = pipes::MakeControlPacket(command);
  return {bytes.begin(), bytes.end()};
}

std::vector<std::byte> Joined(std::initializer_list<std::vector<std::byte>> parts) {
  std::vector<std::byte> all;
  for (const auto& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

// A raw server instance with a TPipeClient connected to it.
class PipeClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    FName = "QnPipeClientTest-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    ASSERT_EQ(ERROR_SUCCESS, CreatePipeInstance(PipePath(FName), &FPipe));
    ASSERT_EQ(ERROR_SUCCESS, FClient.Connect(FName));
    TPipeOverlapped connect;
    ASSERT_EQ(ERROR_PIPE_CONNECTED, ConnectPipe(FPipe, connect));
  }
  void TearDown() override { ClosePipe(FPipe); }

  void ServerWrite(const std::vector<std::byte>& message) {
    TPipeOverlapped write;
    uint32_t n = 0;
    int32_t result =
        WritePipe(FPipe, message.data(), static_cast<uint32_t>(message.size()), &n, write);
    if (result == ERROR_IO_PENDING) {
      result = GetPipeOverlappedResult(FPipe, write, &n, true);
    }
    ASSERT_EQ(ERROR_SUCCESS, result);
  }

  std::vector<std::vector<std::byte>> ServerReadAll(size_t count) {
    std::vector<std::vector<std::byte>> messages;
    std::vector<std::byte> buffer(1 << 20);
    while (messages.size() < count) {
      TPipeOverlapped read;
      uint32_t n = 0;
      int32_t result =
          ReadPipe(FPipe, buffer.data(), static_cast<uint32_t>(buffer.size()), &n, read);
      if (result == ERROR_IO_PENDING) {
        EXPECT_EQ(kWaitObject0, WaitForSingleObject(read.WaitHandle(), kDeadlineMs));
        result = GetPipeOverlappedResult(FPipe, read, &n, true);
      }
      EXPECT_EQ(ERROR_SUCCESS, result);
      if (result != ERROR_SUCCESS) {
        break;
      }
      messages.emplace_back(buffer.begin(), buffer.begin() + n);
    }
    return messages;
  }

  std::string FName;
  TPipeHandle FPipe = kInvalidPipeHandle;
  TPipeClient FClient;
};

TEST_F(PipeClientTest, ConnectFailsWithoutServer) {
  TPipeClient other;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, other.Connect(FName + "-none", 0));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, other.Connect(FName + "-none", 30));
  EXPECT_FALSE(other.Connected());
  EXPECT_EQ(ERROR_SUCCESS, other.Connect(PipePath(FName)));
}

TEST_F(PipeClientTest, ReceiveAssemblesAsTheServerDoes) {
  const auto start = Packet(pipes::kStartCommand);
  const auto end = Packet(pipes::kEndCommand);
  const auto other = Packet(0x58585858);
  auto notControl = start;
  notControl[0] = std::byte{17};
  struct Case {
    const char* name;
    std::vector<std::vector<std::byte>> sent;
    std::vector<std::byte> received;
  };
  const Case kCases[] = {
      {"plain", {Pattern(5)}, Pattern(5)},
      {"empty plain", {{}}, {}},
      {"multi-part",
       {start, Pattern(3, 1), Pattern(5, 2), end},
       Joined({Pattern(3, 1), Pattern(5, 2)})},
      {"empty multi-part", {start, end}, {}},
      {"end without start ignored", {end, Pattern(4)}, Pattern(4)},
      {"other command drops the assembly", {start, Pattern(3), other, end, Pattern(2)}, Pattern(2)},
      {"second start restarts", {start, Pattern(3, 1), start, Pattern(6, 2), end}, Pattern(6, 2)},
      {"16 bytes not a packet is plain", {notControl}, notControl},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    for (const auto& message : c.sent) {
      ServerWrite(message);
    }
    std::vector<std::byte> received = Pattern(1);
    ASSERT_EQ(ERROR_SUCCESS, FClient.Receive(&received, kDeadlineMs));
    EXPECT_EQ(c.received, received);
  }
}

TEST_F(PipeClientTest, SendChoosesPlainOrMultiPartLikeTheServer) {
  struct Case {
    const char* name;
    size_t size;
    std::vector<size_t> messages;  // sizes on the pipe
  };
  const Case kCases[] = {
      {"65 534 bytes plain", 65534, {65534}},
      {"65 535 bytes split", 65535, {16, 65534, 1, 16}},
      {"131 068 bytes split", 131068, {16, 65534, 65534, 16}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto message = Pattern(c.size);
    ASSERT_EQ(ERROR_SUCCESS, FClient.Send(message, kDeadlineMs));
    const auto got = ServerReadAll(c.messages.size());
    ASSERT_EQ(c.messages.size(), got.size());
    std::vector<std::byte> data;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(c.messages[i], got[i].size());
      if (c.messages.size() > 1 && (i == 0 || i + 1 == got.size())) {
        EXPECT_EQ(i == 0 ? Packet(pipes::kStartCommand) : Packet(pipes::kEndCommand), got[i]);
      } else {
        data.insert(data.end(), got[i].begin(), got[i].end());
      }
    }
    EXPECT_EQ(message, data);
  }
}

TEST_F(PipeClientTest, MultiPartWithChosenPartSize) {
  const auto message = Pattern(10);
  ASSERT_EQ(ERROR_SUCCESS, FClient.SendMultiPart(message, 4, kDeadlineMs));
  const auto got = ServerReadAll(5);
  ASSERT_EQ(5u, got.size());
  EXPECT_EQ(Joined({got[1], got[2], got[3]}), message);
  EXPECT_EQ(2u, got[3].size());
  EXPECT_EQ(ERROR_INVALID_PARAMETER, FClient.SendMultiPart(message, 0));
}

TEST_F(PipeClientTest, ServerClosingEndsReceive) {
  ServerWrite(Packet(pipes::kStartCommand));
  ServerWrite(Pattern(3));
  ASSERT_TRUE(ClosePipe(FPipe));
  std::vector<std::byte> received;
  EXPECT_EQ(ERROR_BROKEN_PIPE, FClient.Receive(&received, kDeadlineMs));
  EXPECT_EQ(ERROR_NO_DATA, FClient.Send(Pattern(1)));
}

TEST_F(PipeClientTest, ReceiveTimesOut) {
  std::vector<std::byte> received;
  EXPECT_EQ(ERROR_SEM_TIMEOUT, FClient.Receive(&received, 1));
}

}  // namespace
}  // namespace client
