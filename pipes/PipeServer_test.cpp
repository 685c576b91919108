#include "pipes/PipeServer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

#include "client/PipeClient.h"
#include "pipes/PipeControlPacket.h"
#include "pipes/PipeMultiMsg.h"
#include "tests/support/PipeTestSupport.h"

extern char** environ;

namespace pipes {
namespace {

using client::TPipeClient;
using namespace pipes::testing;
using platform::ERROR_BROKEN_PIPE;
using platform::ERROR_SUCCESS;

// A client in its own process for the test that kills one: started as this
// test program with QN_PIPE_KILLED_CLIENT set, it connects, sends the start
// of a multi-part message and one part, reports on stdout and waits to die.
const bool kKilledClientMode = [] {
  const char* name = std::getenv("QN_PIPE_KILLED_CLIENT");
  if (name == nullptr) {
    return false;
  }
  TPipeClient victim;
  const auto start = MakeControlPacket(kStartCommand);
  const std::vector<std::byte> part(1000, std::byte{7});
  if (victim.Connect(name) != ERROR_SUCCESS || victim.SendPlain(start) != ERROR_SUCCESS ||
      victim.SendPlain(part) != ERROR_SUCCESS) {
    ::_exit(2);
  }
  const char ready = 'r';
  if (::write(1, &ready, 1) != 1) {
    ::_exit(3);
  }
  for (;;) {
    ::pause();
  }
}();

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new TPipesEnvironment);

std::vector<std::byte> Packet(uint32_t command) {
  const auto bytes = MakeControlPacket(command);
  return {bytes.begin(), bytes.end()};
}

std::vector<std::byte> ReadStream(TStream& stream) {
  std::vector<std::byte> bytes(static_cast<size_t>(stream.Size()));
  if (!bytes.empty()) {
    EXPECT_EQ(static_cast<int32_t>(bytes.size()),
              stream.Read(bytes.data(), static_cast<int32_t>(bytes.size())));
  }
  return bytes;
}

enum class TKind { Connect, Message, Sent, Disconnect, Error };

struct TRecord {
  TKind Kind;
  uint32_t Pipe = 0;
  std::vector<std::byte> Data;
  uint32_t Size = 0;
  TPipeContext Context = TPipeContext::pcListener;
  int32_t Code = 0;
  bool Active = false;  // the component's Active when the event was raised
};

class PipeServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FServer = std::make_unique<TPipeServer>();
    FName = UniquePipeName();
    FServer->SetPipeName(FName);
    FServer->OnPipeConnect = [this](TPipeServerContract&, uint32_t pipe) {
      Add({TKind::Connect, pipe});
    };
    FServer->OnPipeDisconnect = [this](TPipeServerContract&, uint32_t pipe) {
      Add({TKind::Disconnect, pipe});
    };
    FServer->OnPipeError = [this](TPipeServerContract&, uint32_t pipe, TPipeContext context,
                                  int32_t code) {
      TRecord record{TKind::Error, pipe};
      record.Context = context;
      record.Code = code;
      Add(std::move(record));
    };
    FServer->OnPipeMessage = [this](TPipeServerContract&, uint32_t pipe, TStream& stream) {
      EXPECT_EQ(0, stream.Position());
      TRecord record{TKind::Message, pipe};
      record.Data = ReadStream(stream);
      Add(record);
      if (FOnMessage) {
        FOnMessage(pipe, record.Data);
      }
    };
  }

  void TearDown() override {
    FServer.reset();
    TPipeMultiMsg::SetTempDirectory(std::nullopt);
  }

  void Add(TRecord record) {
    record.Active = FServer ? FServer->Active() : false;
    FEvents.push_back(std::move(record));
  }

  void RecordSent() {
    FServer->OnPipeSent = [this](TPipeServerContract&, uint32_t pipe, uint32_t size) {
      TRecord record{TKind::Sent, pipe};
      record.Size = size;
      Add(std::move(record));
    };
  }

  size_t Count(TKind kind) const {
    return static_cast<size_t>(std::count_if(FEvents.begin(), FEvents.end(),
                                             [kind](const TRecord& r) { return r.Kind == kind; }));
  }

  std::vector<TRecord> Of(TKind kind) const {
    std::vector<TRecord> records;
    std::copy_if(FEvents.begin(), FEvents.end(), std::back_inserter(records),
                 [kind](const TRecord& r) { return r.Kind == kind; });
    return records;
  }

  // Connects a client and waits for its OnPipeConnect; returns its pipe.
  uint32_t Connect(TPipeClient& client) {
    const size_t before = Count(TKind::Connect);
    EXPECT_EQ(ERROR_SUCCESS, client.Connect(FName));
    EXPECT_TRUE(PumpUntil([&] { return Count(TKind::Connect) > before; }));
    return Of(TKind::Connect).back().Pipe;
  }

  // Receives one raw message while serving this thread's messages (workers
  // may be waiting for this thread to handle OnPipeSent).
  int32_t ReceiveRawPumping(TPipeClient& client, std::vector<std::byte>* message) {
    int32_t result = platform::ERROR_SEM_TIMEOUT;
    const bool done = PumpUntil([&] {
      pollfd p{client.ReadHandle().Fd, POLLIN, 0};
      if (::poll(&p, 1, 0) != 1) {
        return false;
      }
      result = client.ReceiveRaw(message, kDeadlineMs);
      return true;
    });
    return done ? result : platform::ERROR_SEM_TIMEOUT;
  }

  void Echo() {
    FOnMessage = [this](uint32_t pipe, const std::vector<std::byte>& data) {
      EXPECT_TRUE(FServer->Write(pipe, data.data(), static_cast<int32_t>(data.size())));
    };
  }

  std::unique_ptr<TPipeServer> FServer;
  std::string FName;
  std::vector<TRecord> FEvents;
  std::function<void(uint32_t, const std::vector<std::byte>&)> FOnMessage;
};

TEST_F(PipeServerTest, PipeNameIsValidated) {
  EXPECT_EQ("PipeServer", TPipeServer().PipeName());
  struct Case {
    const char* name;
    std::string value;
    bool valid;
  };
  const Case kCases[] = {
      {"backslash", "a\\b", false},
      {"empty", "", false},
      {"257 characters", std::string(257, 'n'), false},
      {"256 characters", std::string(256, 'n'), true},
      {"256 characters, some of two bytes", std::string(254, 'n') + "\xC3\xA9\xC3\xA9", true},
      {"QNPipeServer", "QNPipeServer", true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TPipeServer server;
    if (c.valid) {
      EXPECT_NO_THROW(server.SetPipeName(c.value));
      EXPECT_EQ(c.value, server.PipeName());
    } else {
      try {
        server.SetPipeName(c.value);
        ADD_FAILURE() << "no exception";
      } catch (const EPipeException& e) {
        EXPECT_STREQ("Invalid pipe name specified!", e.what());
      }
    }
  }
}

TEST_F(PipeServerTest, PipeNameCannotChangeWhileActive) {
  FServer->SetActive(true);
  EXPECT_NO_THROW(FServer->SetPipeName(FName));
  for (const std::string& value : {std::string("Other"), std::string("a\\b")}) {
    try {
      FServer->SetPipeName(value);
      ADD_FAILURE() << "no exception for " << value;
    } catch (const EPipeException& e) {
      EXPECT_STREQ("Cannot change property while server is active!", e.what());
    }
  }
  EXPECT_EQ(FName, FServer->PipeName());
}

TEST_F(PipeServerTest, ActivatingTwiceStartsOneListener) {
  FServer->SetActive(false);
  EXPECT_FALSE(FServer->Active());
  FServer->SetActive(true);
  FServer->SetActive(true);
  EXPECT_TRUE(FServer->Active());
  EXPECT_EQ(1, FServer->ThreadCounter()->Count());
  FServer->SetActive(false);
  EXPECT_FALSE(FServer->Active());
  EXPECT_EQ(0, FServer->ThreadCounter()->Count());
  EXPECT_TRUE(FEvents.empty());
}

TEST_F(PipeServerTest, LoadingDefersActiveAndDesignModeStartsNothing) {
  FServer->BeginLoading();
  FServer->SetActive(true);
  EXPECT_FALSE(FServer->Active());
  FServer->Loaded();
  EXPECT_TRUE(FServer->Active());
  EXPECT_EQ(1, FServer->ThreadCounter()->Count());
  FServer->SetActive(false);

  TPipeServer designed;
  designed.SetDesigning(true);
  designed.SetActive(true);
  EXPECT_TRUE(designed.Active());
  EXPECT_EQ(0, designed.ThreadCounter()->Count());
  designed.SetActive(false);
  EXPECT_FALSE(designed.Active());
}

TEST_F(PipeServerTest, WritesToNoClientQueueNothing) {
  const uint8_t byte = 1;
  EXPECT_TRUE(FServer->Broadcast(&byte, 1));
  EXPECT_FALSE(FServer->Write(12345, &byte, 1));
  EXPECT_FALSE(FServer->Disconnect(12345));
  EXPECT_FALSE(FServer->GetClientInfo(12345));
  EXPECT_FALSE(FServer->SendStream(12345, nullptr));
  EXPECT_THROW(FServer->Clients(0), std::out_of_range);
}

TEST_F(PipeServerTest, RequestsAreAnsweredAndEventsComeInOrder) {
  Echo();
  FServer->SetActive(true);
  TPipeClient client;
  const uint32_t pipe = Connect(client);
  EXPECT_TRUE(FServer->GetClientInfo(pipe));
  EXPECT_EQ(1, FServer->ClientCount());
  EXPECT_EQ(pipe, FServer->Clients(0));
  for (unsigned i = 0; i < 3; ++i) {
    const auto request = Pattern(32768, i);
    ASSERT_EQ(ERROR_SUCCESS, client.Send(request));
    std::vector<std::byte> reply;
    ASSERT_TRUE(PumpUntil([&] { return Count(TKind::Message) > i; }));
    ASSERT_EQ(ERROR_SUCCESS, client.Receive(&reply, kDeadlineMs));
    EXPECT_EQ(request, reply);
  }
  client.Close();
  ASSERT_TRUE(PumpUntil([&] { return Count(TKind::Disconnect) == 1; }));
  EXPECT_EQ(0u, Count(TKind::Error));
  EXPECT_EQ(0, FServer->ClientCount());
  EXPECT_FALSE(FServer->Write(pipe, "x", 1));
  ASSERT_EQ(5u, FEvents.size());
  EXPECT_EQ(TKind::Connect, FEvents.front().Kind);
  EXPECT_EQ(TKind::Disconnect, FEvents.back().Kind);
  for (const auto& record : FEvents) {
    EXPECT_EQ(pipe, record.Pipe);
  }
}

TEST_F(PipeServerTest, ReceivedMessagesAreFramedForClients) {
  FServer->SetActive(true);
  TPipeClient client;
  Connect(client);
  const auto start = Packet(kStartCommand);
  const auto end = Packet(kEndCommand);
  const auto marker = Pattern(7, 99);
  auto sizeSeventeen = start;
  sizeSeventeen[0] = std::byte{17};
  auto otherTag = start;
  otherTag[12] = std::byte{'X'};
  std::vector<std::byte> threeThenFive = Pattern(3, 1);
  const auto five = Pattern(5, 2);
  threeThenFive.insert(threeThenFive.end(), five.begin(), five.end());
  struct Case {
    const char* name;
    std::vector<std::vector<std::byte>> sent;
    std::vector<std::vector<std::byte>> delivered;
  };
  const Case kCases[] = {
      {"multi-part of 3 and 5 bytes", {start, Pattern(3, 1), Pattern(5, 2), end}, {threeThenFive}},
      {"end without start", {end, marker}, {marker}},
      {"other command drops the assembly",
       {start, Pattern(3), Packet(0x4B4C4D4E), end, marker},
       {marker}},
      {"size field not 16", {sizeSeventeen}, {sizeSeventeen}},
      {"tags differ", {otherTag}, {otherTag}},
      {"plain of 100 000 bytes", {Pattern(100000, 5)}, {Pattern(100000, 5)}},
      {"empty plain message", {{}, marker}, {{}, marker}},
      {"plain inside an assembly is part of it", {start, marker, Pattern(3), end}, {[&] {
         auto all = marker;
         const auto three = Pattern(3);
         all.insert(all.end(), three.begin(), three.end());
         return all;
       }()}},
      {"empty multi-part message", {start, end}, {{}}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    FEvents.clear();
    for (const auto& message : c.sent) {
      ASSERT_EQ(ERROR_SUCCESS, client.SendPlain(message));
    }
    ASSERT_TRUE(PumpUntil([&] { return Count(TKind::Message) >= c.delivered.size(); }));
    const auto messages = Of(TKind::Message);
    ASSERT_EQ(c.delivered.size(), messages.size());
    for (size_t i = 0; i < messages.size(); ++i) {
      EXPECT_EQ(c.delivered[i], messages[i].Data) << i;
    }
  }
  EXPECT_EQ(0u, Count(TKind::Disconnect));
}

TEST_F(PipeServerTest, RecordsAreFramedForTheServer) {
  RecordSent();
  FServer->SetActive(true);
  TPipeClient client;
  const uint32_t pipe = Connect(client);
  struct Case {
    const char* name;
    size_t size;
    std::vector<size_t> messages;  // sizes on the pipe, in order
  };
  const Case kCases[] = {
      {"0 bytes", 0, {0}},
      {"65 534 bytes", 65534, {65534}},
      {"65 535 bytes", 65535, {16, 65534, 1, 16}},
      {"131 068 bytes", 131068, {16, 65534, 65534, 16}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    FEvents.clear();
    const auto record = Pattern(c.size, 3);
    ASSERT_TRUE(FServer->Write(pipe, record.data(), static_cast<int32_t>(record.size())));
    std::vector<std::byte> joined;
    for (size_t i = 0; i < c.messages.size(); ++i) {
      std::vector<std::byte> message;
      ASSERT_EQ(ERROR_SUCCESS, ReceiveRawPumping(client, &message));
      ASSERT_EQ(c.messages[i], message.size()) << i;
      if (c.messages.size() > 1 && (i == 0 || i + 1 == c.messages.size())) {
        EXPECT_EQ(i == 0 ? Packet(kStartCommand) : Packet(kEndCommand), message);
      } else {
        joined.insert(joined.end(), message.begin(), message.end());
      }
    }
    EXPECT_EQ(record, joined);
    ASSERT_TRUE(PumpUntil([&] { return Count(TKind::Sent) == c.messages.size(); }));
    const auto sent = Of(TKind::Sent);
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(c.messages[i], sent[i].Size);
      EXPECT_EQ(pipe, sent[i].Pipe);
    }
  }
  EXPECT_EQ(0u, Count(TKind::Disconnect));
}

TEST_F(PipeServerTest, PrefixedWriteAndBroadcastSendOneMessage) {
  FServer->SetActive(true);
  TPipeClient a, b;
  const uint32_t pipeA = Connect(a);
  Connect(b);
  const uint8_t prefix[] = {1, 2};
  const uint8_t buffer[] = {3, 4, 5};
  const std::vector<std::byte> expected = {std::byte{1}, std::byte{2}, std::byte{3}, std::byte{4},
                                           std::byte{5}};
  ASSERT_TRUE(FServer->Write(pipeA, prefix, 2, buffer, 3));
  std::vector<std::byte> message;
  ASSERT_EQ(ERROR_SUCCESS, a.ReceiveRaw(&message, kDeadlineMs));
  EXPECT_EQ(expected, message);
  ASSERT_TRUE(FServer->Broadcast(prefix, 2, buffer, 3));
  for (TPipeClient* c : {&a, &b}) {
    ASSERT_EQ(ERROR_SUCCESS, c->ReceiveRaw(&message, kDeadlineMs));
    EXPECT_EQ(expected, message);
  }
  ASSERT_TRUE(FServer->Broadcast(buffer, 3));
  for (TPipeClient* c : {&a, &b}) {
    ASSERT_EQ(ERROR_SUCCESS, c->ReceiveRaw(&message, kDeadlineMs));
    EXPECT_EQ(3u, message.size());
  }
  EXPECT_FALSE(FServer->Write(pipeA, prefix, -1, buffer, 3));
  EXPECT_FALSE(FServer->Write(pipeA, buffer, -1));
  EXPECT_FALSE(FServer->Broadcast(buffer, -1));
}

TEST_F(PipeServerTest, SendStreamAlwaysSendsAMultiPartMessage) {
  FServer->SetActive(true);
  TPipeClient client;
  const uint32_t pipe = Connect(client);
  struct Case {
    const char* name;
    size_t size;
    std::vector<size_t> messages;
  };
  const Case kCases[] = {
      {"empty stream", 0, {16, 16}},
      {"10 bytes", 10, {16, 10, 16}},
      {"100 000 bytes", 100000, {16, 65534, 34466, 16}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto bytes = Pattern(c.size, 4);
    TMemoryStream stream(bytes.data(), static_cast<int32_t>(bytes.size()));
    stream.Seek(0, TSeekOrigin::soEnd);  // SendStream starts at 0 anyway
    ASSERT_TRUE(FServer->SendStream(pipe, &stream));
    std::vector<std::byte> joined;
    for (size_t i = 0; i < c.messages.size(); ++i) {
      std::vector<std::byte> message;
      ASSERT_EQ(ERROR_SUCCESS, client.ReceiveRaw(&message, kDeadlineMs));
      ASSERT_EQ(c.messages[i], message.size());
      if (i == 0 || i + 1 == c.messages.size()) {
        EXPECT_EQ(i == 0 ? Packet(kStartCommand) : Packet(kEndCommand), message);
      } else {
        joined.insert(joined.end(), message.begin(), message.end());
      }
    }
    EXPECT_EQ(bytes, joined);
  }
  TMemoryStream stream;
  EXPECT_FALSE(FServer->SendStream(pipe, nullptr));
  EXPECT_FALSE(FServer->SendStream(pipe + 1, &stream));
}

TEST_F(PipeServerTest, EmptyWriteReachesTheClientAsAnEmptyMessage) {
  FServer->SetActive(true);
  TPipeClient client;
  const uint32_t pipe = Connect(client);
  ASSERT_TRUE(FServer->Write(pipe, nullptr, 0));
  ASSERT_TRUE(FServer->Write(pipe, "ab", 2));
  std::vector<std::byte> message = Pattern(3);
  ASSERT_EQ(ERROR_SUCCESS, client.ReceiveRaw(&message, kDeadlineMs));
  EXPECT_TRUE(message.empty());
  ASSERT_EQ(ERROR_SUCCESS, client.ReceiveRaw(&message, kDeadlineMs));
  EXPECT_EQ(2u, message.size());
  EXPECT_EQ(1, FServer->ClientCount());
}

TEST_F(PipeServerTest, MultiPartMessagesArriveWholeWithoutTemporaryDirectory) {
  TPipeMultiMsg::SetTempDirectory("/nonexistent/qn-pipe-test");
  FServer->SetActive(true);
  TPipeClient client;
  Connect(client);
  const auto big = Pattern(300000, 6);
  // Sent from another thread: delivering the first message needs this one.
  std::atomic<int32_t> sent{-1};
  std::thread sender([&] {
    int32_t result = client.SendMultiPart(big, 65534);
    if (result == ERROR_SUCCESS) {
      result = client.SendMultiPart(big, 1000);
    }
    sent = result;
  });
  const bool delivered = PumpUntil([&] { return Count(TKind::Message) == 2; });
  sender.join();
  EXPECT_EQ(ERROR_SUCCESS, sent.load());
  ASSERT_TRUE(delivered);
  for (const auto& record : Of(TKind::Message)) {
    EXPECT_EQ(big, record.Data);
  }
}

TEST_F(PipeServerTest, ClientClosingGivesDisconnectWithoutError) {
  FServer->SetActive(true);
  TPipeClient idle, unread;
  const uint32_t first = Connect(idle);
  const uint32_t second = Connect(unread);
  // The second leaves with replies unread.
  ASSERT_TRUE(FServer->Write(second, "reply", 5));
  ASSERT_TRUE(FServer->Write(second, "reply", 5));
  idle.Close();
  unread.Close();
  ASSERT_TRUE(PumpUntil([&] { return Count(TKind::Disconnect) == 2; }));
  EXPECT_EQ(0u, Count(TKind::Error));
  std::vector<uint32_t> gone = {Of(TKind::Disconnect)[0].Pipe, Of(TKind::Disconnect)[1].Pipe};
  std::sort(gone.begin(), gone.end());
  std::vector<uint32_t> expected = {first, second};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, gone);
}

TEST_F(PipeServerTest, ActiveFalseInsideOnPipeMessageIsDeferred) {
  std::vector<bool> activeAfterAssignment;
  FOnMessage = [&](uint32_t, const std::vector<std::byte>&) {
    FServer->SetActive(false);
    activeAfterAssignment.push_back(FServer->Active());
  };
  FServer->SetActive(true);
  TPipeClient client;
  Connect(client);
  ASSERT_EQ(ERROR_SUCCESS, client.SendPlain(Pattern(4)));
  ASSERT_TRUE(PumpUntil([&] { return !FServer->Active(); }));
  EXPECT_EQ(std::vector<bool>{true}, activeAfterAssignment);
  EXPECT_EQ(1u, Count(TKind::Disconnect));
  EXPECT_EQ(0, FServer->ThreadCounter()->Count());
  std::vector<std::byte> message;
  EXPECT_EQ(ERROR_BROKEN_PIPE, client.Receive(&message, kDeadlineMs));
}

TEST_F(PipeServerTest, DeactivationDisconnectsEveryClientBeforeActiveReadsFalse) {
  FServer->SetActive(true);
  TPipeClient a, b;
  Connect(a);
  Connect(b);
  FServer->SetActive(false);
  EXPECT_FALSE(FServer->Active());
  const auto disconnects = Of(TKind::Disconnect);
  ASSERT_EQ(2u, disconnects.size());
  for (const auto& record : disconnects) {
    EXPECT_TRUE(record.Active);
  }
  EXPECT_EQ(0, FServer->ClientCount());
  EXPECT_EQ(0, FServer->ThreadCounter()->Count());
  EXPECT_EQ(0u, Count(TKind::Error));
  // The name is withdrawn.
  TPipeClient late;
  EXPECT_EQ(platform::ERROR_FILE_NOT_FOUND, late.Connect(FName, 0));
}

TEST_F(PipeServerTest, DisconnectZeroEndsEveryClientOnce) {
  FServer->SetActive(true);
  TPipeClient a, b;
  const uint32_t pipeA = Connect(a);
  const uint32_t pipeB = Connect(b);
  EXPECT_TRUE(FServer->Disconnect(0));
  ASSERT_TRUE(PumpUntil([&] { return Count(TKind::Disconnect) == 2; }));
  auto disconnects = Of(TKind::Disconnect);
  EXPECT_NE(disconnects[0].Pipe, disconnects[1].Pipe);
  for (const auto& record : disconnects) {
    EXPECT_TRUE(record.Pipe == pipeA || record.Pipe == pipeB);
  }
  std::vector<std::byte> message;
  EXPECT_EQ(ERROR_BROKEN_PIPE, a.Receive(&message, kDeadlineMs));
  EXPECT_EQ(ERROR_BROKEN_PIPE, b.Receive(&message, kDeadlineMs));
  EXPECT_TRUE(FServer->Active());
  // The listener goes on.
  TPipeClient c;
  Connect(c);
  EXPECT_EQ(1, FServer->ClientCount());
}

TEST_F(PipeServerTest, DestroyingAnActiveComponentEndsEveryThreadWithoutEvents) {
  const size_t threads = LiveThreads();
  FServer->SetActive(true);
  TPipeClient a, b;
  Connect(a);
  Connect(b);
  const std::shared_ptr<TThreadCounter> counter = FServer->ThreadCounter();
  EXPECT_EQ(3, counter->Count());
  const size_t eventsBefore = FEvents.size();
  FServer.reset();
  EXPECT_EQ(0, counter->Count());
  EXPECT_EQ(eventsBefore, FEvents.size());
  std::vector<std::byte> message;
  EXPECT_EQ(ERROR_BROKEN_PIPE, a.Receive(&message, kDeadlineMs));
  EXPECT_EQ(ERROR_BROKEN_PIPE, b.Receive(&message, kDeadlineMs));
  EXPECT_TRUE(PumpUntil([&] { return LiveThreads() <= threads; }));
}

TEST_F(PipeServerTest, DestroyingTheComponentInsideItsOwnHandlerIsSafe) {
  const size_t threads = LiveThreads();
  FServer->SetActive(true);
  TPipeClient a, b;
  Connect(a);
  Connect(b);
  const std::shared_ptr<TThreadCounter> counter = FServer->ThreadCounter();
  FOnMessage = [this](uint32_t, const std::vector<std::byte>&) {
    EXPECT_TRUE(platform::InSendMessage());
    FServer.reset();
  };
  ASSERT_EQ(ERROR_SUCCESS, a.SendPlain(Pattern(10)));
  ASSERT_TRUE(PumpUntil([&] { return FServer == nullptr; }));
  // Every pipe thread ends, also the one that waited for the handler.
  EXPECT_TRUE(PumpUntil([&] { return counter->Count() == 0; }));
  EXPECT_EQ(0u, Count(TKind::Disconnect));
  std::vector<std::byte> message;
  EXPECT_EQ(ERROR_BROKEN_PIPE, a.Receive(&message, kDeadlineMs));
  EXPECT_EQ(ERROR_BROKEN_PIPE, b.Receive(&message, kDeadlineMs));
  EXPECT_TRUE(PumpUntil([&] { return LiveThreads() <= threads; }));
}

TEST_F(PipeServerTest, AClientThatNeverReadsDoesNotHoldUpDisconnect) {
  RecordSent();
  FServer->SetActive(true);
  TPipeClient silent;
  const uint32_t pipe = Connect(silent);
  const auto block = Pattern(65534);
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(FServer->Write(pipe, block.data(), static_cast<int32_t>(block.size())));
  }
  // The worker now waits for the client to read the first message.
  EXPECT_TRUE(FServer->Disconnect(pipe));
  ASSERT_TRUE(PumpUntil([&] { return Count(TKind::Disconnect) == 1; }));
  EXPECT_EQ(0u, Count(TKind::Error));
  TPipeClient other;
  Connect(other);
  ASSERT_TRUE(FServer->Write(Of(TKind::Connect).back().Pipe, block.data(), 65534));
  FServer->SetActive(false);
  EXPECT_FALSE(FServer->Active());
}

TEST_F(PipeServerTest, AClientThatKeepsSendingGetsRepliesAndCanBeStopped) {
  Echo();
  std::atomic<int32_t> expected{0};
  std::atomic<bool> inOrder{true};
  FOnMessage = [&](uint32_t pipe, const std::vector<std::byte>& data) {
    int32_t sequence = -1;
    std::memcpy(&sequence, data.data(), sizeof sequence);
    if (sequence != expected.fetch_add(1)) {
      inOrder = false;
    }
    FServer->Write(pipe, data.data(), static_cast<int32_t>(data.size()));
  };
  FServer->SetActive(true);
  TPipeClient client;
  const uint32_t pipe = Connect(client);
  std::atomic<int> replies{0};
  std::atomic<bool> stop{false};
  // Sends without pause until it has 20 replies; the replies are read on
  // another thread.
  std::thread reader([&] {
    std::vector<std::byte> message;
    while (client.ReceiveRaw(&message, kDeadlineMs) == ERROR_SUCCESS) {
      ++replies;
    }
  });
  std::thread sender([&] {
    std::vector<std::byte> message(64);
    const uint64_t start = platform::MonotonicMs();
    for (int32_t sequence = 0; !stop && platform::MonotonicMs() - start < kDeadlineMs; ++sequence) {
      std::memcpy(message.data(), &sequence, sizeof sequence);
      if (client.SendPlain(message, kDeadlineMs) != ERROR_SUCCESS) {
        break;
      }
    }
  });
  const bool gotReplies = PumpUntil([&] { return replies >= 20; });
  EXPECT_TRUE(gotReplies);
  // Still sending: the stop gets through as well.
  EXPECT_TRUE(FServer->Disconnect(pipe));
  const bool stopped = PumpUntil([&] { return Count(TKind::Disconnect) == 1; });
  EXPECT_TRUE(stopped);
  stop = true;
  sender.join();
  reader.join();
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(0u, Count(TKind::Error));
}

TEST_F(PipeServerTest, AClientKilledInTheMiddleOfAMultiPartMessage) {
  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() / UniquePipeName("qn-pipe-killed");
  std::filesystem::create_directories(directory);
  TPipeMultiMsg::SetTempDirectory(directory.string());
  auto assemblyFiles = [&] {
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code error;
      const auto target = std::filesystem::read_symlink(entry.path(), error);
      if (!error && target.string().rfind(directory.string(), 0) == 0) {
        ++n;
      }
    }
    return n;
  };
  FServer->SetActive(true);

  int report[2];
  ASSERT_EQ(0, ::pipe2(report, O_CLOEXEC));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, report[1], 1);
  std::vector<std::string> variables = {"QN_PIPE_KILLED_CLIENT=" + FName};
  std::vector<char*> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    environment.push_back(*e);
  }
  environment.push_back(variables[0].data());
  environment.push_back(nullptr);
  char program[] = "/proc/self/exe";
  char* arguments[] = {program, nullptr};
  pid_t child = 0;
  ASSERT_EQ(0, posix_spawn(&child, program, &actions, nullptr, arguments, environment.data()));
  posix_spawn_file_actions_destroy(&actions);
  ::close(report[1]);
  pollfd p{report[0], POLLIN, 0};
  char ready = 0;
  const bool reported = ::poll(&p, 1, kDeadlineMs) == 1 && ::read(report[0], &ready, 1) == 1;
  ::close(report[0]);
  EXPECT_TRUE(reported);
  // The worker has opened the assembly.
  EXPECT_TRUE(PumpUntil([&] { return assemblyFiles() == 1; }));
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(PumpUntil([&] { return Count(TKind::Disconnect) == 1; }));
  EXPECT_EQ(0u, Count(TKind::Error));
  EXPECT_EQ(0u, Count(TKind::Message));
  // The assembly went with the worker.
  EXPECT_TRUE(PumpUntil([&] { return FServer->ThreadCounter()->Count() == 1; }));
  EXPECT_EQ(0u, assemblyFiles());
  std::filesystem::remove_all(directory);
}

TEST_F(PipeServerTest, TwoHundredClientsAtOnce) {
  Echo();
  FServer->SetActive(true);
  constexpr int kClients = 200;
  std::vector<TPipeClient> clients(kClients);
  for (auto& client : clients) {
    ASSERT_EQ(ERROR_SUCCESS, client.Connect(FName));
  }
  ASSERT_TRUE(PumpUntil([&] { return Count(TKind::Connect) == kClients; }));
  EXPECT_EQ(kClients, FServer->ClientCount());
  std::vector<uint32_t> pipes;
  for (int i = 0; i < kClients; ++i) {
    pipes.push_back(FServer->Clients(i));
  }
  std::sort(pipes.begin(), pipes.end());
  EXPECT_EQ(pipes.end(), std::adjacent_find(pipes.begin(), pipes.end()));
  for (size_t i = 0; i < clients.size(); ++i) {
    ASSERT_EQ(ERROR_SUCCESS, clients[i].Send(Pattern(32768, static_cast<unsigned>(i))));
  }
  ASSERT_TRUE(PumpUntil([&] { return Count(TKind::Message) == kClients; }));
  for (size_t i = 0; i < clients.size(); ++i) {
    std::vector<std::byte> reply;
    ASSERT_EQ(ERROR_SUCCESS, clients[i].Receive(&reply, kDeadlineMs));
    EXPECT_EQ(Pattern(32768, static_cast<unsigned>(i)), reply);
  }
  clients.clear();
  ASSERT_TRUE(PumpUntil([&] { return Count(TKind::Disconnect) == kClients; }));
  EXPECT_EQ(0, FServer->ClientCount());
  EXPECT_EQ(0u, Count(TKind::Error));
}

TEST_F(PipeServerTest, ConnectDisconnectCyclesLeaveNoDescriptorsOrThreads) {
  FServer->SetActive(true);
  auto cycle = [&] {
    TPipeClient client;
    const size_t disconnects = Count(TKind::Disconnect);
    Connect(client);
    client.Close();
    return PumpUntil([&] { return Count(TKind::Disconnect) > disconnects; });
  };
  auto settled = [&] { return FServer->ThreadCounter()->Count() == 1; };
  ASSERT_TRUE(cycle());
  ASSERT_TRUE(PumpUntil(settled));
  const size_t descriptors = OpenDescriptors();
  const size_t threads = LiveThreads();
  for (int i = 0; i < 2000; ++i) {
    ASSERT_TRUE(cycle()) << i;
  }
  ASSERT_TRUE(PumpUntil(settled));
  EXPECT_TRUE(PumpUntil([&] { return LiveThreads() <= threads; })) << LiveThreads();
  EXPECT_LE(OpenDescriptors(), descriptors);
  EXPECT_EQ(0u, Count(TKind::Error));
  EXPECT_EQ(0, FServer->ClientCount());
}

TEST_F(PipeServerTest, ClientThatLeftBeforeBeingTakenLeavesNoTrace) {
  // The name is published while an instance listens: a client connects and
  // leaves while the component's thread is busy, before the listener takes it.
  FServer->SetActive(true);
  {
    TPipeClient early;
    Connect(early);
  }
  ASSERT_TRUE(PumpUntil([&] { return Count(TKind::Disconnect) == 1; }));
  FEvents.clear();
  {
    // Not served yet: the hand-over needs this thread, which does not pump.
    TPipeClient gone;
    ASSERT_EQ(ERROR_SUCCESS, gone.Connect(FName));
  }
  TPipeClient next;
  ASSERT_EQ(ERROR_SUCCESS, next.Connect(FName));
  ASSERT_TRUE(PumpUntil([&] { return Count(TKind::Connect) >= 1; }));
  // The one that left may have been taken before it left (then it comes and
  // goes), or dropped silently; either way no error and no client stays.
  ASSERT_TRUE(PumpUntil([&] { return FServer->ClientCount() == 1; }));
  EXPECT_EQ(0u, Count(TKind::Error));
}

TEST_F(PipeServerTest, ListenerFailuresAreReportedWithoutSpinningAndStopEnds) {
  // Another process holds the name: every instance creation fails.
  const std::string name = FName;
  int holder = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  ASSERT_GE(holder, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  ASSERT_EQ(0, ::bind(holder, reinterpret_cast<const sockaddr*>(&address),
                      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())));
  const uint64_t start = platform::MonotonicMs();
  FServer->SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return Count(TKind::Error) >= 3; }));
  const uint64_t elapsed = platform::MonotonicMs() - start;
  const auto errors = Of(TKind::Error);
  for (const auto& record : errors) {
    EXPECT_EQ(TPipeContext::pcListener, record.Context);
    EXPECT_EQ(platform::kInvalidPipeHandle, record.Pipe);
    EXPECT_EQ(platform::ERROR_ACCESS_DENIED, record.Code);
  }
  // Pauses of 50, 100, ... ms between attempts: three reports take at least
  // 150 ms (a generous lower bound: no spinning).
  EXPECT_GE(elapsed, 100u);
  FServer->SetActive(false);
  EXPECT_FALSE(FServer->Active());
  EXPECT_EQ(0, FServer->ThreadCounter()->Count());
  ::close(holder);
}

TEST_F(PipeServerTest, ANameTooLongForAnAddressIsReportedByTheListener) {
  FServer->SetPipeName(std::string(200, 'q'));
  FServer->SetActive(true);
  ASSERT_TRUE(PumpUntil([&] { return Count(TKind::Error) >= 1; }));
  EXPECT_EQ(platform::ERROR_FILENAME_EXCED_RANGE, Of(TKind::Error).front().Code);
  FServer->SetActive(false);
  EXPECT_EQ(0, FServer->ThreadCounter()->Count());
}

TEST_F(PipeServerTest, ThreadsMadeOnAnotherThreadAreRefused) {
  // Activation on another thread: that thread's listener reports the
  // mismatch to the component's window and ends at once.
  std::thread foreign([&] {
    FServer->SetActive(true);
    FServer->ThreadCounter()->WaitForEmpty();
  });
  foreign.join();
  EXPECT_FALSE(FServer->Active());
  try {
    PumpUntil([] { return false; }, 2000);
    ADD_FAILURE() << "no exception";
  } catch (const EPipeException& e) {
    EXPECT_STREQ("The notify window and the component window do not exist in the same thread!",
                 e.what());
  }
}

// Finds the descriptor numbers that the next n descriptors will get.
std::vector<int> NextFreeDescriptors(int n) {
  std::vector<int> used;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    used.push_back(std::stoi(entry.path().filename().string()));
  }
  std::sort(used.begin(), used.end());
  std::vector<int> free;
  for (int fd = 0; static_cast<int>(free.size()) < n; ++fd) {
    if (!std::binary_search(used.begin(), used.end(), fd)) {
      free.push_back(fd);
    }
  }
  return free;
}

TEST_F(PipeServerTest, AClientThatCannotBeRegisteredIsClosedAndLeavesNoRecord) {
#if defined(__SANITIZE_ADDRESS__)
  // The undefined-behaviour checker probes memory through a pipe of its own,
  // which it cannot make with the descriptors used up, and then reports the
  // exception object's type as invalid.
  GTEST_SKIP() << "needs the process to run out of descriptors";
#endif
  FServer->SetActive(true);
  {
    // Every thread involved has its message queue now.
    TPipeClient warm;
    Connect(warm);
  }
  ASSERT_TRUE(PumpUntil([&] { return Count(TKind::Disconnect) == 1; }));
  ASSERT_TRUE(PumpUntil([&] { return FServer->ThreadCounter()->Count() == 1; }));
  FEvents.clear();
  rlimit old{};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &old));
  // Room for the client's socket, the accepted socket and its flush set; the
  // client record's first event then fails.
  const std::vector<int> next = NextFreeDescriptors(4);
  rlimit limited = old;
  limited.rlim_cur = static_cast<rlim_t>(next[3]);
  ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &limited));
  TPipeClient refused;
  ASSERT_EQ(ERROR_SUCCESS, refused.Connect(FName));
  std::vector<std::byte> message;
  const int32_t received = ReceiveRawPumping(refused, &message);
  ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &old));
  EXPECT_EQ(ERROR_BROKEN_PIPE, received);
  EXPECT_EQ(0, FServer->ClientCount());
  EXPECT_TRUE(FEvents.empty());
  // The listener goes on.
  EXPECT_TRUE(FServer->Active());
  TPipeClient later;
  Connect(later);
  EXPECT_EQ(1, FServer->ClientCount());
}

}  // namespace
}  // namespace pipes
