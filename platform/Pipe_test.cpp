#include "platform/Pipe.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

namespace platform {
namespace {

constexpr uint32_t kDeadlineMs = 60000;

std::string UniquePath() {
  static std::atomic<int> counter{0};
  return PipePath("QnPipeLayerTest-" + std::to_string(::getpid()) + "-" +
                  std::to_string(counter++));
}

std::vector<std::byte> Pattern(size_t size, unsigned seed = 1) {
  std::vector<std::byte> bytes(size);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::byte>((i * 31 + seed) & 0xFF);
  }
  return bytes;
}

size_t OpenDescriptorCount() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++n;
  }
  return n;
}

// An instance with a connected client.
class ConnectedPipe : public ::testing::Test {
 protected:
  void SetUp() override {
    FPath = UniquePath();
    ASSERT_EQ(ERROR_SUCCESS, CreatePipeInstance(FPath, &FPipe));
    ASSERT_EQ(ERROR_SUCCESS, FClient.Open(FPath));
    TPipeOverlapped connect;
    ASSERT_EQ(ERROR_PIPE_CONNECTED, ConnectPipe(FPipe, connect));
  }
  void TearDown() override { ClosePipe(FPipe); }

  // Reads one whole message on the server side, part by part.
  int32_t ServerRead(std::vector<std::byte>* message, uint32_t bufferSize = 65534) {
    message->clear();
    std::vector<std::byte> buffer(bufferSize);
    uint32_t wanted = bufferSize;
    for (;;) {
      TPipeOverlapped read;
      uint32_t n = 0;
      int32_t result = ReadPipe(FPipe, buffer.data(), wanted, &n, read);
      if (result == ERROR_IO_PENDING) {
        if (WaitForSingleObject(read.WaitHandle(), kDeadlineMs) != kWaitObject0) {
          return ERROR_SEM_TIMEOUT;
        }
        result = GetPipeOverlappedResult(FPipe, read, &n, true);
      }
      message->insert(message->end(), buffer.begin(), buffer.begin() + n);
      if (result != ERROR_MORE_DATA) {
        return result;
      }
      EXPECT_EQ(ERROR_SUCCESS, PeekPipe(FPipe, &wanted));
      buffer.resize(std::max<size_t>(buffer.size(), wanted));
    }
  }

  int32_t ServerWrite(const std::vector<std::byte>& message) {
    TPipeOverlapped write;
    uint32_t n = 0;
    int32_t result =
        WritePipe(FPipe, message.data(), static_cast<uint32_t>(message.size()), &n, write);
    if (result == ERROR_IO_PENDING) {
      result = GetPipeOverlappedResult(FPipe, write, &n, true);
    }
    if (result == ERROR_SUCCESS) {
      EXPECT_EQ(message.size(), n);
    }
    return result;
  }

  std::string FPath;
  TPipeHandle FPipe = kInvalidPipeHandle;
  TClientPipe FClient;
};

TEST(PipePathTest, FullPathMapsToAbstractSocketName) {
  EXPECT_EQ("\\\\.\\pipe\\QNPipeServer", PipePath("QNPipeServer"));
  const std::string name = "QnPipeLayerTest-raw-" + std::to_string(::getpid());
  TScopedPipe pipe;
  TPipeHandle handle = 0;
  ASSERT_EQ(ERROR_SUCCESS, CreatePipeInstance(PipePath(name), &handle));
  pipe.Reset(handle);

  // A client in any language connects to "\0" + name.
  TScopedFd raw(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  ASSERT_EQ(0, ::connect(raw.Get(), reinterpret_cast<const sockaddr*>(&address), length));
  TPipeOverlapped connect;
  EXPECT_EQ(ERROR_PIPE_CONNECTED, ConnectPipe(pipe.Get(), connect));
  ASSERT_EQ(4, ::send(raw.Get(), "ping", 4, MSG_NOSIGNAL));
  char buffer[8];
  uint32_t n = 0;
  TPipeOverlapped read;
  EXPECT_EQ(ERROR_SUCCESS, ReadPipe(pipe.Get(), buffer, sizeof buffer, &n, read));
  EXPECT_EQ(4u, n);
}

TEST(PipePathTest, InvalidPathsAreRefused) {
  struct Case {
    const char* name;
    std::string path;
    int32_t error;
  };
  const Case kCases[] = {
      {"empty", "", ERROR_INVALID_NAME},
      {"no prefix", "QNPipeServer", ERROR_INVALID_NAME},
      {"empty name", PipePath(""), ERROR_INVALID_NAME},
      {"backslash in name", PipePath("a\\b"), ERROR_INVALID_NAME},
      {"longer than an address", PipePath(std::string(108, 'x')), ERROR_FILENAME_EXCED_RANGE},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TPipeHandle pipe = 0;
    EXPECT_EQ(c.error, CreatePipeInstance(c.path, &pipe));
    EXPECT_EQ(kInvalidPipeHandle, pipe);
    TClientPipe client;
    EXPECT_EQ(c.error, client.Open(c.path));
  }
  TPipeHandle longest = 0;
  ASSERT_EQ(ERROR_SUCCESS, CreatePipeInstance(PipePath(std::string(107, 'y')), &longest));
  EXPECT_TRUE(ClosePipe(longest));
}

TEST(PipeConnectTest, PendingConnectCompletesWhenClientArrives) {
  const std::string path = UniquePath();
  TPipeHandle handle = 0;
  ASSERT_EQ(ERROR_SUCCESS, CreatePipeInstance(path, &handle));
  TScopedPipe pipe(handle);
  TPipeOverlapped connect;
  ASSERT_EQ(ERROR_IO_PENDING, ConnectPipe(pipe.Get(), connect));
  EXPECT_TRUE(connect.Pending());
  EXPECT_EQ(kWaitTimeout, WaitForSingleObject(connect.WaitHandle(), 0));
  EXPECT_EQ(ERROR_IO_INCOMPLETE, GetPipeOverlappedResult(pipe.Get(), connect, nullptr, false));

  TClientPipe client;
  ASSERT_EQ(ERROR_SUCCESS, client.Open(path));
  ASSERT_EQ(kWaitObject0, WaitForSingleObject(connect.WaitHandle(), kDeadlineMs));
  EXPECT_EQ(ERROR_SUCCESS, GetPipeOverlappedResult(pipe.Get(), connect, nullptr, false));
  EXPECT_FALSE(connect.Pending());
  EXPECT_EQ(ERROR_PIPE_CONNECTED, ConnectPipe(pipe.Get(), connect));
}

TEST(PipeConnectTest, ClientThatLeftBeforeConnectIsDroppedWithNoData) {
  const std::string path = UniquePath();
  TPipeHandle handle = 0;
  ASSERT_EQ(ERROR_SUCCESS, CreatePipeInstance(path, &handle));
  TScopedPipe pipe(handle);
  {
    TClientPipe client;
    ASSERT_EQ(ERROR_SUCCESS, client.Open(path));
  }
  TPipeOverlapped connect;
  EXPECT_EQ(ERROR_NO_DATA, ConnectPipe(pipe.Get(), connect));
  // The instance still waits for the next client.
  EXPECT_EQ(ERROR_IO_PENDING, ConnectPipe(pipe.Get(), connect));
  TClientPipe next;
  ASSERT_EQ(ERROR_SUCCESS, next.Open(path));
  EXPECT_EQ(ERROR_SUCCESS, GetPipeOverlappedResult(pipe.Get(), connect, nullptr, true));
}

TEST(PipeConnectTest, ClientsQueueWhileNoInstanceListensAndNameGoesWithLastInstance) {
  const std::string path = UniquePath();
  TPipeHandle first = 0;
  ASSERT_EQ(ERROR_SUCCESS, CreatePipeInstance(path, &first));
  TClientPipe a;
  TClientPipe b;
  ASSERT_EQ(ERROR_SUCCESS, a.Open(path));
  ASSERT_EQ(ERROR_SUCCESS, b.Open(path));
  TPipeOverlapped connect;
  ASSERT_EQ(ERROR_PIPE_CONNECTED, ConnectPipe(first, connect));
  // Each instance takes its own client.
  TPipeHandle second = 0;
  ASSERT_EQ(ERROR_SUCCESS, CreatePipeInstance(path, &second));
  EXPECT_NE(first, second);
  ASSERT_EQ(ERROR_PIPE_CONNECTED, ConnectPipe(second, connect));
  ASSERT_EQ(ERROR_SUCCESS, a.Write(Pattern(3, 1)));
  ASSERT_EQ(ERROR_SUCCESS, b.Write(Pattern(5, 2)));
  char buffer[16];
  uint32_t n = 0;
  TPipeOverlapped read;
  int32_t result = ReadPipe(first, buffer, sizeof buffer, &n, read);
  if (result == ERROR_IO_PENDING) {
    result = GetPipeOverlappedResult(first, read, &n, true);
  }
  EXPECT_EQ(ERROR_SUCCESS, result);
  EXPECT_EQ(3u, n);
  result = ReadPipe(second, buffer, sizeof buffer, &n, read);
  if (result == ERROR_IO_PENDING) {
    result = GetPipeOverlappedResult(second, read, &n, true);
  }
  EXPECT_EQ(ERROR_SUCCESS, result);
  EXPECT_EQ(5u, n);

  EXPECT_TRUE(ClosePipe(first));
  TClientPipe c;
  EXPECT_EQ(ERROR_SUCCESS, c.Open(path));  // the name is still published
  EXPECT_TRUE(ClosePipe(second));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, c.Open(path));
}

TEST(PipeHandleTest, HandlesAreUniqueWhileOpenAndNotReusedAtOnce) {
  const std::string path = UniquePath();
  TPipeHandle a = 0, b = 0, c = 0;
  ASSERT_EQ(ERROR_SUCCESS, CreatePipeInstance(path, &a));
  ASSERT_EQ(ERROR_SUCCESS, CreatePipeInstance(path, &b));
  EXPECT_NE(a, b);
  EXPECT_TRUE(IsValidPipeHandle(a));
  EXPECT_LE(a, 0xFFFFu);
  EXPECT_TRUE(ClosePipe(a));
  EXPECT_FALSE(ClosePipe(a));
  ASSERT_EQ(ERROR_SUCCESS, CreatePipeInstance(path, &c));
  EXPECT_NE(a, c);
  EXPECT_NE(b, c);
  uint32_t n = 0;
  TPipeOverlapped o;
  char byte = 0;
  EXPECT_EQ(ERROR_INVALID_HANDLE, ReadPipe(a, &byte, 1, &n, o));
  EXPECT_EQ(ERROR_INVALID_HANDLE, WritePipe(a, &byte, 1, &n, o));
  EXPECT_EQ(ERROR_INVALID_HANDLE, FlushPipe(a));
  EXPECT_EQ(ERROR_PIPE_LISTENING, ReadPipe(b, &byte, 1, &n, o));
  EXPECT_TRUE(ClosePipe(b));
  EXPECT_TRUE(ClosePipe(c));
}

TEST_F(ConnectedPipe, LongMessageIsReadInPartsWithTheRestKept) {
  const auto sent = Pattern(100000);
  ASSERT_EQ(ERROR_SUCCESS, FClient.Write(sent));
  std::vector<std::byte> buffer(65534);
  TPipeOverlapped read;
  uint32_t n = 0;
  int32_t result = ReadPipe(FPipe, buffer.data(), 65534, &n, read);
  if (result == ERROR_IO_PENDING) {
    ASSERT_EQ(kWaitObject0, WaitForSingleObject(read.WaitHandle(), kDeadlineMs));
    result = GetPipeOverlappedResult(FPipe, read, &n, true);
  }
  ASSERT_EQ(ERROR_MORE_DATA, result);
  EXPECT_EQ(65534u, n);
  uint32_t left = 0;
  ASSERT_EQ(ERROR_SUCCESS, PeekPipe(FPipe, &left));
  EXPECT_EQ(34466u, left);
  std::vector<std::byte> rest(left);
  ASSERT_EQ(ERROR_SUCCESS, ReadPipe(FPipe, rest.data(), left, &n, read));
  EXPECT_EQ(34466u, n);
  buffer.insert(buffer.end(), rest.begin(), rest.end());
  EXPECT_EQ(sent, buffer);
}

TEST_F(ConnectedPipe, SmallBufferTakesSeveralMoreDataPasses) {
  const auto sent = Pattern(1000, 7);
  ASSERT_EQ(ERROR_SUCCESS, FClient.Write(sent));
  std::vector<std::byte> received;
  std::vector<std::byte> buffer(300);
  int32_t result = ERROR_MORE_DATA;
  int passes = 0;
  while (result == ERROR_MORE_DATA) {
    TPipeOverlapped read;
    uint32_t n = 0;
    result = ReadPipe(FPipe, buffer.data(), 300, &n, read);
    if (result == ERROR_IO_PENDING) {
      result = GetPipeOverlappedResult(FPipe, read, &n, true);
    }
    received.insert(received.end(), buffer.begin(), buffer.begin() + n);
    ++passes;
  }
  EXPECT_EQ(ERROR_SUCCESS, result);
  EXPECT_EQ(4, passes);
  EXPECT_EQ(sent, received);
}

TEST_F(ConnectedPipe, EmptyMessageIsAMessageNotTheEndOfThePipe) {
  ASSERT_EQ(ERROR_SUCCESS, FClient.Write({}));
  ASSERT_EQ(ERROR_SUCCESS, FClient.Write(Pattern(3)));
  ASSERT_EQ(ERROR_SUCCESS, FClient.Write({}));
  FClient.Close();
  std::vector<std::byte> message;
  EXPECT_EQ(ERROR_SUCCESS, ServerRead(&message));
  EXPECT_TRUE(message.empty());
  EXPECT_EQ(ERROR_SUCCESS, ServerRead(&message));
  EXPECT_EQ(3u, message.size());
  EXPECT_EQ(ERROR_SUCCESS, ServerRead(&message));
  EXPECT_TRUE(message.empty());
  EXPECT_EQ(ERROR_BROKEN_PIPE, ServerRead(&message));
}

TEST_F(ConnectedPipe, ServerEmptyMessageReachesClientAsMessage) {
  ASSERT_EQ(ERROR_SUCCESS, ServerWrite({}));
  ASSERT_EQ(ERROR_SUCCESS, DisconnectPipe(FPipe));
  std::vector<std::byte> message = Pattern(4);
  EXPECT_EQ(ERROR_SUCCESS, FClient.Read(&message, kDeadlineMs));
  EXPECT_TRUE(message.empty());
  EXPECT_EQ(ERROR_BROKEN_PIPE, FClient.Read(&message, kDeadlineMs));
}

TEST_F(ConnectedPipe, ClientLeavingWithRepliesUnreadIsBrokenPipe) {
  ASSERT_EQ(ERROR_SUCCESS, ServerWrite(Pattern(32768)));
  FClient.Close();
  std::vector<std::byte> message;
  EXPECT_EQ(ERROR_BROKEN_PIPE, ServerRead(&message));
  EXPECT_EQ(ERROR_NO_DATA, ServerWrite(Pattern(10)));
}

TEST_F(ConnectedPipe, WriteToClientThatLeftIsNoData) {
  FClient.Close();
  EXPECT_EQ(ERROR_NO_DATA, ServerWrite(Pattern(10)));
}

TEST_F(ConnectedPipe, PendingReadCompletesWhenMessageArrives) {
  std::vector<std::byte> buffer(64);
  TPipeOverlapped read;
  uint32_t n = 0;
  ASSERT_EQ(ERROR_IO_PENDING, ReadPipe(FPipe, buffer.data(), 64, &n, read));
  EXPECT_EQ(kWaitTimeout, WaitForSingleObject(read.WaitHandle(), 0));
  ASSERT_EQ(ERROR_SUCCESS, FClient.Write(Pattern(10, 3)));
  ASSERT_EQ(kWaitObject0, WaitForSingleObject(read.WaitHandle(), kDeadlineMs));
  ASSERT_EQ(ERROR_SUCCESS, GetPipeOverlappedResult(FPipe, read, &n, false));
  buffer.resize(n);
  EXPECT_EQ(Pattern(10, 3), buffer);
}

TEST_F(ConnectedPipe, CancelAbortsPendingOperations) {
  char byte = 0;
  TPipeOverlapped read;
  uint32_t n = 0;
  ASSERT_EQ(ERROR_IO_PENDING, ReadPipe(FPipe, &byte, 1, &n, read));
  ASSERT_EQ(ERROR_SUCCESS, CancelPipeIo(FPipe));
  ASSERT_EQ(ERROR_SUCCESS, FClient.Write(Pattern(1)));
  EXPECT_EQ(ERROR_OPERATION_ABORTED, GetPipeOverlappedResult(FPipe, read, &n, true));
  EXPECT_FALSE(read.Pending());
  // The message is still there for the next read.
  std::vector<std::byte> message;
  EXPECT_EQ(ERROR_SUCCESS, ServerRead(&message));
  EXPECT_EQ(Pattern(1), message);
}

TEST_F(ConnectedPipe, WriteWaitsWhileTheClientDoesNotReadAndKeepsOrder) {
  // Fill the pipe until a write has to wait.
  std::vector<std::vector<std::byte>> sent;
  TPipeOverlapped write;
  int32_t result = ERROR_SUCCESS;
  while (result == ERROR_SUCCESS) {
    sent.push_back(Pattern(32768, static_cast<unsigned>(sent.size())));
    uint32_t n = 0;
    result = WritePipe(FPipe, sent.back().data(), 32768, &n, write);
    ASSERT_LT(sent.size(), 1000u);
  }
  ASSERT_EQ(ERROR_IO_PENDING, result);
  std::vector<std::byte> message;
  ASSERT_EQ(ERROR_SUCCESS, FClient.Read(&message, kDeadlineMs));
  EXPECT_EQ(sent.front(), message);
  uint32_t n = 0;
  ASSERT_EQ(ERROR_SUCCESS, GetPipeOverlappedResult(FPipe, write, &n, true));
  EXPECT_EQ(32768u, n);
  for (size_t i = 1; i < sent.size(); ++i) {
    ASSERT_EQ(ERROR_SUCCESS, FClient.Read(&message, kDeadlineMs));
    EXPECT_EQ(sent[i], message) << i;
  }
}

TEST_F(ConnectedPipe, FlushReturnsOnceTheClientHasReadEverything) {
  ASSERT_EQ(ERROR_SUCCESS, ServerWrite(Pattern(32768)));
  ASSERT_EQ(ERROR_SUCCESS, ServerWrite(Pattern(16)));
  TEvent abort(true);
  const TWaitHandle abortHandle = abort.WaitHandle();
  EXPECT_EQ(ERROR_OPERATION_ABORTED, FlushPipe(FPipe, &abortHandle));

  std::atomic<int32_t> flushed{-1};
  std::thread flusher([&] { flushed = FlushPipe(FPipe); });
  std::vector<std::byte> message;
  ASSERT_EQ(ERROR_SUCCESS, FClient.Read(&message, kDeadlineMs));
  ASSERT_EQ(ERROR_SUCCESS, FClient.Read(&message, kDeadlineMs));
  flusher.join();
  EXPECT_EQ(ERROR_SUCCESS, flushed.load());
  EXPECT_EQ(ERROR_SUCCESS, FlushPipe(FPipe));
}

TEST_F(ConnectedPipe, FlushKeepsUpWithAClientThatReadsEveryMessage) {
  // Each flush must see the client's read of the message just written, also
  // when the read and the look at the pipe happen at the same moment.
  constexpr int kRounds = 3000;
  TEvent watchdog;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    std::vector<std::byte> message;
    for (int i = 0; i < kRounds; ++i) {
      if (FClient.Read(&message, kDeadlineMs) != ERROR_SUCCESS) {
        break;
      }
    }
  });
  std::thread guard([&] {
    const uint64_t start = MonotonicMs();
    while (!done && MonotonicMs() - start < kDeadlineMs) {
      if (watchdog.Wait(100) == kWaitObject0) {
        return;
      }
    }
    watchdog.Set();
  });
  const TWaitHandle abort = watchdog.WaitHandle();
  int flushed = 0;
  for (; flushed < kRounds; ++flushed) {
    if (ServerWrite(Pattern(64)) != ERROR_SUCCESS || FlushPipe(FPipe, &abort) != ERROR_SUCCESS) {
      break;
    }
  }
  done = true;
  watchdog.Set();
  guard.join();
  reader.join();
  EXPECT_EQ(kRounds, flushed);
}

TEST_F(ConnectedPipe, FlushIsBoundedByItsAbortEventWhenTheClientNeverReads) {
  ASSERT_EQ(ERROR_SUCCESS, ServerWrite(Pattern(100)));
  TEvent abort;
  const TWaitHandle abortHandle = abort.WaitHandle();
  std::atomic<int32_t> flushed{-1};
  std::thread flusher([&] { flushed = FlushPipe(FPipe, &abortHandle); });
  abort.Set();
  flusher.join();
  EXPECT_EQ(ERROR_OPERATION_ABORTED, flushed.load());
}

TEST_F(ConnectedPipe, FlushReturnsWhenTheClientLeaves) {
  ASSERT_EQ(ERROR_SUCCESS, ServerWrite(Pattern(100)));
  std::atomic<int32_t> flushed{-1};
  std::thread flusher([&] { flushed = FlushPipe(FPipe); });
  FClient.Close();
  flusher.join();
  EXPECT_EQ(ERROR_SUCCESS, flushed.load());
}

TEST_F(ConnectedPipe, DisconnectEndsTheClientAfterWhatWasWrittenAndAllowsANewClient) {
  ASSERT_EQ(ERROR_SUCCESS, ServerWrite(Pattern(5)));
  ASSERT_EQ(ERROR_SUCCESS, DisconnectPipe(FPipe));
  std::vector<std::byte> message;
  EXPECT_EQ(ERROR_SUCCESS, FClient.Read(&message, kDeadlineMs));
  EXPECT_EQ(Pattern(5), message);
  EXPECT_EQ(ERROR_BROKEN_PIPE, FClient.Read(&message, kDeadlineMs));
  EXPECT_EQ(ERROR_NO_DATA, FClient.Write(Pattern(1)));
  char byte = 0;
  uint32_t n = 0;
  TPipeOverlapped o;
  EXPECT_EQ(ERROR_PIPE_NOT_CONNECTED, ReadPipe(FPipe, &byte, 1, &n, o));

  TClientPipe next;
  ASSERT_EQ(ERROR_SUCCESS, next.Open(FPath));
  EXPECT_EQ(ERROR_PIPE_CONNECTED, ConnectPipe(FPipe, o));
  ASSERT_EQ(ERROR_SUCCESS, next.Write(Pattern(2)));
  EXPECT_EQ(ERROR_SUCCESS, ServerRead(&message));
  EXPECT_EQ(Pattern(2), message);
}

TEST_F(ConnectedPipe, ClientSendsAndReadsMessagesBeyondTheDefaultSocketLimit) {
  // Larger than the 212 960 bytes a default socket takes in one message.
  const auto big = Pattern(300000, 9);
  ASSERT_EQ(ERROR_SUCCESS, FClient.Write(big));
  std::vector<std::byte> message;
  ASSERT_EQ(ERROR_SUCCESS, ServerRead(&message));
  EXPECT_EQ(big, message);
  ASSERT_EQ(ERROR_SUCCESS, ServerWrite(big));
  ASSERT_EQ(ERROR_SUCCESS, FClient.Read(&message, kDeadlineMs));
  EXPECT_EQ(big, message);
}

TEST_F(ConnectedPipe, DescriptorsPassedByAClientAreNotKept) {
  const size_t before = OpenDescriptorCount();
  // The client's end is non-blocking but a 1-byte message always fits.
  int passed[2] = {::dup(0), ::dup(1)};
  char data = 'x';
  iovec io{&data, 1};
  alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof passed)];
  msghdr header{};
  header.msg_iov = &io;
  header.msg_iovlen = 1;
  header.msg_control = control;
  header.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&header);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof passed);
  std::memcpy(CMSG_DATA(c), passed, sizeof passed);
  ASSERT_EQ(1, ::sendmsg(FClient.ReadHandle().Fd, &header, MSG_NOSIGNAL));
  ::close(passed[0]);
  ::close(passed[1]);
  std::vector<std::byte> message;
  ASSERT_EQ(ERROR_SUCCESS, ServerRead(&message));
  EXPECT_EQ(1u, message.size());
  EXPECT_EQ(before, OpenDescriptorCount());
}

}  // namespace
}  // namespace platform
