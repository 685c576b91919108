// The server window's core on the real pipe server: clients over real sockets
// get their replies and the lock notices, in order, as 32 768-byte messages.
//
// The test thread is the main thread (it owns the form and pumps its queue);
// each client runs its blocking calls on a thread of its own.

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "client/PipeClient.h"
#include "core/frmPipeServer.h"
#include "pipes/PipeServer.h"
#include "pipes/ThreadSupport.h"
#include "platform/Messages.h"
#include "sim/SimBench.h"
#include "tests/support/PumpUntil.h"
#include "usb/FtdiWrapper.h"

namespace {

constexpr uint32_t kDeadlineMs = 60000;
constexpr size_t kBlockSize = 32768;

using TBlock = std::vector<std::byte>;

TBlock Request(std::initializer_list<uint16_t> words) {
  TBlock block(kBlockSize);
  size_t i = 0;
  for (const uint16_t w : words) {
    block[2 * i] = static_cast<std::byte>(w & 0xFF);
    block[2 * i + 1] = static_cast<std::byte>(w >> 8);
    ++i;
  }
  return block;
}

uint16_t Word(const TBlock& block, size_t index) {
  return static_cast<uint16_t>(std::to_integer<uint16_t>(block[2 * index]) |
                               (std::to_integer<uint16_t>(block[2 * index + 1]) << 8));
}

// Serves the main thread's queue until the future is ready.
template <class T>
T PumpFor(std::future<T>& result) {
  EXPECT_TRUE(testsupport::PumpUntil([&] {
    return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  })) << "deadline passed";
  return result.get();
}

using testsupport::PumpUntil;

class CoreOverPipesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ftdi::ResetWrapperState();
    Bench = sim::MakeDefaultSimBench();
    ftdi::SetD2xxBackend(Bench.get());
    auto server = std::make_unique<pipes::TPipeServer>();
    PipeName = "QNPipeServerCoreTest" + std::to_string(::getpid());
    server->SetPipeName(PipeName);
    Form = std::make_unique<core::TfrmPipeServer>(std::move(server));
    Form->PipeServer->SetActive(true);
  }

  void TearDown() override {
    Form.reset();
    ftdi::SetD2xxBackend(nullptr);
    ftdi::ResetWrapperState();
  }

  // Connects a client on its own thread and returns it with its welcome.
  std::unique_ptr<client::TPipeClient> Connect(TBlock* welcome) {
    auto c = std::make_unique<client::TPipeClient>();
    auto done = std::async(std::launch::async, [&] {
      if (c->Connect(PipeName, kDeadlineMs) != 0) {
        return -1;
      }
      return c->Receive(welcome, kDeadlineMs);
    });
    EXPECT_EQ(0, PumpFor(done));
    return c;
  }

  // Sends a request from the client's own thread; returns the send's result.
  int32_t Send(client::TPipeClient& c, const TBlock& request) {
    auto done = std::async(std::launch::async, [&] { return c.Send(request, kDeadlineMs); });
    return PumpFor(done);
  }

  // The client's next message, while the main thread serves the server.
  TBlock Receive(client::TPipeClient& c, uint32_t timeoutMs = kDeadlineMs) {
    TBlock block;
    auto done = std::async(std::launch::async, [&] { return c.Receive(&block, timeoutMs); });
    const int32_t rc = PumpFor(done);
    if (rc != 0) {
      block.clear();
    }
    return block;
  }

  pipes::TPipesModule Module;  // first made, last gone
  std::unique_ptr<sim::TSimBench> Bench;
  std::unique_ptr<core::TfrmPipeServer> Form;
  std::string PipeName;
};

// The whole life of two clients: welcome, a request served, the lock taken
// (notice to both, the other's request dropped), released (notice twice), an
// instrument opened and used, and the lock owner leaving.
TEST_F(CoreOverPipesTest, RepliesAndNoticesArriveInOrderAsWholeBlocks) {
  TBlock welcomeA, welcomeB;
  auto a = Connect(&welcomeA);
  auto b = Connect(&welcomeB);
  ASSERT_EQ(kBlockSize, welcomeA.size());
  ASSERT_EQ(kBlockSize, welcomeB.size());
  ASSERT_TRUE(PumpUntil([&] { return Form->connectedCount == 2; }));
  const uint16_t idA = static_cast<uint16_t>(Form->ClientMap[0]);
  const uint16_t idB = static_cast<uint16_t>(Form->ClientMap[1]);
  EXPECT_EQ((std::array<uint16_t, 3>{0, idA, 200}),
            (std::array<uint16_t, 3>{Word(welcomeA, 0), Word(welcomeA, 1), Word(welcomeA, 2)}));
  EXPECT_EQ((std::array<uint16_t, 3>{0, idB, 200}),
            (std::array<uint16_t, 3>{Word(welcomeB, 0), Word(welcomeB, 1), Word(welcomeB, 2)}));

  // Device count.
  ASSERT_EQ(0, Send(*a, Request({10})));
  TBlock reply = Receive(*a);
  ASSERT_EQ(kBlockSize, reply.size());
  EXPECT_EQ(10, Word(reply, 0));
  EXPECT_EQ(0, Word(reply, 1));
  EXPECT_EQ(3, Word(reply, 2));

  // A takes the lock: both get (100, A).
  ASSERT_EQ(0, Send(*a, Request({100})));
  for (auto* c : {a.get(), b.get()}) {
    reply = Receive(*c);
    ASSERT_EQ(kBlockSize, reply.size());
    EXPECT_EQ(100, Word(reply, 0));
    EXPECT_EQ(idA, Word(reply, 1));
  }

  // B's request is dropped while A holds the lock; A's next request is served
  // and its reply is the next thing A receives.
  ASSERT_EQ(0, Send(*b, Request({50})));
  ASSERT_EQ(0, Send(*a, Request({48, 0, 0, 7, 9})));
  reply = Receive(*a);
  EXPECT_EQ(48, Word(reply, 0));
  EXPECT_EQ(7, Word(reply, 1));
  EXPECT_EQ(core::clRed, Form->client2Border.BrushColor());

  // A releases: both get (200, A) at once and again about 100 ms later, and
  // nothing else comes in between (B's dropped request got no reply).
  ASSERT_EQ(0, Send(*a, Request({200})));
  for (auto* c : {a.get(), b.get()}) {
    for (int repeat = 0; repeat < 2; ++repeat) {
      SCOPED_TRACE(repeat);
      reply = Receive(*c);
      ASSERT_EQ(kBlockSize, reply.size());
      EXPECT_EQ(200, Word(reply, 0));
      EXPECT_EQ(idA, Word(reply, 1));
    }
  }

  // B opens instrument 0, writes three bytes and reads their echo back.
  ASSERT_EQ(0, Send(*b, Request({17, 0})));
  reply = Receive(*b);
  EXPECT_EQ(17, Word(reply, 0));
  EXPECT_EQ(0, Word(reply, 1));
  const uint16_t lo = Word(reply, 2);
  const uint16_t hi = Word(reply, 3);
  ASSERT_EQ(0, Send(*b, Request({19, lo, hi, 3, 'a', 'b', 'c'})));
  reply = Receive(*b);
  EXPECT_EQ(19, Word(reply, 0));
  EXPECT_EQ(3, Word(reply, 1));
  ASSERT_EQ(0, Send(*b, Request({34, lo, hi, 1000, 1000})));
  EXPECT_EQ(0, Word(Receive(*b), 1));
  ASSERT_EQ(0, Send(*b, Request({20, lo, hi, 3})));
  reply = Receive(*b);
  EXPECT_EQ(20, Word(reply, 0));
  EXPECT_EQ(3, Word(reply, 1));
  EXPECT_EQ((std::array<uint16_t, 3>{'a', 'b', 'c'}),
            (std::array<uint16_t, 3>{Word(reply, 2), Word(reply, 3), Word(reply, 4)}));

  // B takes the lock and leaves: A gets the lock notice, then one release
  // notice naming B.
  ASSERT_EQ(0, Send(*b, Request({100})));
  reply = Receive(*a);
  EXPECT_EQ(100, Word(reply, 0));
  EXPECT_EQ(idB, Word(reply, 1));
  b->Close();
  reply = Receive(*a);
  EXPECT_EQ(200, Word(reply, 0));
  EXPECT_EQ(idB, Word(reply, 1));
  ASSERT_TRUE(PumpUntil([&] { return Form->connectedCount == 1 && Form->lockID == 0; }));
  // No repeat follows a release by leaving.
  EXPECT_TRUE(Receive(*a, 300).empty());
}

}  // namespace
