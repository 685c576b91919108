// The server programs as a user and their clients meet them: started as
// processes, reached by real clients over the pipe, started twice, closed.

#include <sched.h>
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/PipeClient.h"
#include "platform/Pipe.h"
#include "tests/e2e/ServerProcess.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr size_t kBlockSize = 32768;
constexpr uint32_t kTimeoutMs = 60000;

// The servers of these tests publish the pipe under its real name. In a
// network namespace of their own (where the system allows one) they cannot
// meet a server or a test that runs elsewhere on this machine.
class TPrivatePipeNames : public ::testing::Environment {
 public:
  void SetUp() override {
    if (::unshare(CLONE_NEWNET) != 0) {
      std::fprintf(stderr,
                   "note: no private network namespace (%s); the tests share the pipe name with "
                   "the rest of this machine\n",
                   std::strerror(errno));
    }
  }
};
const auto* const kPrivateNames = ::testing::AddGlobalTestEnvironment(new TPrivatePipeNames);

uint16_t Word(const std::vector<std::byte>& block, size_t index) {
  return static_cast<uint16_t>(std::to_integer<uint16_t>(block[2 * index]) |
                               (std::to_integer<uint16_t>(block[2 * index + 1]) << 8));
}

std::vector<std::byte> Request(uint16_t opcode) {
  std::vector<std::byte> block(kBlockSize);
  block[0] = static_cast<std::byte>(opcode & 0xFF);
  block[1] = static_cast<std::byte>(opcode >> 8);
  return block;
}

bool Contains(const std::string& line, const std::string& text) {
  return line.find(text) != std::string::npos;
}

// A client that has connected and received its welcome notice.
struct TClient {
  client::TPipeClient Pipe;
  uint16_t Id = 0;
};

void ConnectClient(TClient& client) {
  ASSERT_EQ(client.Pipe.Connect(client::kServerPipeName, kTimeoutMs), platform::ERROR_SUCCESS);
  std::vector<std::byte> welcome;
  ASSERT_EQ(client.Pipe.Receive(&welcome, kTimeoutMs), platform::ERROR_SUCCESS);
  ASSERT_EQ(welcome.size(), kBlockSize);
  EXPECT_EQ(Word(welcome, 0), 0);    // welcome
  EXPECT_EQ(Word(welcome, 2), 200);  // the bus lock is free
  client.Id = Word(welcome, 1);
}

// Opcode 10: the device count as the server sees it; the reply's words 1, 2.
std::pair<uint16_t, uint16_t> AskDeviceCount(TClient& client) {
  const std::vector<std::byte> request = Request(10);
  EXPECT_EQ(client.Pipe.Send(request, kTimeoutMs), platform::ERROR_SUCCESS);
  std::vector<std::byte> reply;
  EXPECT_EQ(client.Pipe.Receive(&reply, kTimeoutMs), platform::ERROR_SUCCESS);
  if (reply.size() != kBlockSize) {
    ADD_FAILURE() << "reply of " << reply.size() << " bytes";
    return {0xFFFF, 0xFFFF};
  }
  EXPECT_EQ(Word(reply, 0), 10);
  return {Word(reply, 1), Word(reply, 2)};
}

// The client's pipe ends (the server let it go).
void ExpectDisconnected(TClient& client) {
  std::vector<std::byte> message;
  int32_t result;
  // Notices that were on their way may come first.
  do {
    result = client.Pipe.Receive(&message, kTimeoutMs);
  } while (result == platform::ERROR_SUCCESS);
  EXPECT_EQ(result, platform::ERROR_BROKEN_PIPE);
}

class ServerProgramTest : public ::testing::Test {
 protected:
  // A program started from its own copy, once its server listens.
  std::unique_ptr<TServerProcess> Start(const fs::path& program) {
    auto process = std::make_unique<TServerProcess>(program);
    EXPECT_TRUE(process->WaitForErrorText("Waiting for client connections..."))
        << "the server did not start";
    return process;
  }

  // Every line of standard error carries a time stamp, and no sanitizer
  // reported anything.
  void ExpectCleanLog(TServerProcess& process) {
    const std::regex stamped(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} .*)");
    bool sawStamped = false;
    for (const std::string& line : process.ErrorLines()) {
      EXPECT_FALSE(Contains(line, "Sanitizer") || Contains(line, "runtime error:")) << line;
      sawStamped = sawStamped || std::regex_match(line, stamped);
    }
    EXPECT_TRUE(sawStamped);
  }

  TTempDir Dir;
  TTempDir OtherDir;
  const fs::path SimProgram = CopyProgram(QN_SERVER_SIM_PROGRAM, Dir.Path());
};

TEST_F(ServerProgramTest, RealClientsReachTheServerOnTheSimulatedBench) {
  auto server = Start(SimProgram);
  TClient first;
  TClient second;
  ConnectClient(first);
  ConnectClient(second);
  EXPECT_NE(first.Id, second.Id);
  EXPECT_EQ(AskDeviceCount(first), std::make_pair(uint16_t{0}, uint16_t{3}));

  // An instrument plugged while the server runs is seen by the window and by
  // the clients.
  EXPECT_EQ(server->Ask("plug QN44500D Vardex QN445", "plugged"), "plugged QN44500D");
  EXPECT_TRUE(server->WaitForErrorText("QN44500D"));
  EXPECT_EQ(AskDeviceCount(second), std::make_pair(uint16_t{0}, uint16_t{4}));
  EXPECT_EQ(server->Ask("unplug QN44500D", "unplugged"), "unplugged QN44500D");

  EXPECT_EQ(server->Ask("quit", "closing"), "closing");
  EXPECT_EQ(server->WaitForExit(), 0);
  ExpectCleanLog(*server);
}

TEST_F(ServerProgramTest, ASecondStartOnTheSamePathEndsAndRaisesTheFirst) {
  auto first = Start(SimProgram);
  EXPECT_EQ(first->Ask("minimize", "minimized"), "minimized");
  EXPECT_EQ(first->Ask("window", "window"), "window minimized activations 0");

  TServerProcess second(SimProgram);
  EXPECT_EQ(second.WaitForExit(), 0);
  for (const std::string& line : second.ErrorLines()) {
    EXPECT_FALSE(Contains(line, "Server started.")) << line;
  }

  // The request reaches the first copy between its events.
  std::optional<std::string> state;
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  do {
    state = first->Ask("window", "window");
  } while (state != "window normal activations 1" && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(state, "window normal activations 1");

  // It still serves its clients.
  TClient client;
  ConnectClient(client);
  EXPECT_EQ(first->Ask("quit", "closing"), "closing");
  EXPECT_EQ(first->WaitForExit(), 0);
}

TEST_F(ServerProgramTest, ACopyOnAnotherPathRunsBesideTheFirst) {
  auto first = Start(SimProgram);
  TClient client;
  ConnectClient(client);

  // The copy runs, but cannot publish the pipe while the first holds it: its
  // listener reports the failure and tries again.
  TServerProcess copy(CopyProgram(QN_SERVER_SIM_PROGRAM, OtherDir.Path()));
  EXPECT_TRUE(copy.WaitForErrorText("# Pipe Error: Pipe -1, Error: 5"));
  EXPECT_EQ(copy.Ask("window", "window"), "window normal activations 0");
  EXPECT_EQ(first->Ask("window", "window"), "window normal activations 0");
  EXPECT_EQ(AskDeviceCount(client).second, 3);

  // Once the first has ended, the copy takes the pipe over.
  EXPECT_EQ(first->Ask("quit", "closing"), "closing");
  EXPECT_EQ(first->WaitForExit(), 0);
  ExpectDisconnected(client);
  TClient next;
  ConnectClient(next);
  EXPECT_TRUE(copy.WaitForErrorText("Client " + std::to_string(next.Id)));

  EXPECT_EQ(copy.Ask("quit", "closing"), "closing");
  EXPECT_EQ(copy.WaitForExit(), 0);
}

TEST_F(ServerProgramTest, AfterTheOnlyInstanceHasEndedTheNextStartIsAFirstStart) {
  {
    auto first = Start(SimProgram);
    EXPECT_EQ(first->Ask("quit", "closing"), "closing");
    EXPECT_EQ(first->WaitForExit(), 0);
  }
  auto next = Start(SimProgram);
  EXPECT_EQ(next->Ask("window", "window"), "window normal activations 0");
  EXPECT_EQ(next->Ask("quit", "closing"), "closing");
  EXPECT_EQ(next->WaitForExit(), 0);
}

TEST_F(ServerProgramTest, ClosingWithTwoClientsDisconnectsBothAfterThePause) {
  auto server = Start(SimProgram);
  TClient first;
  TClient second;
  ConnectClient(first);
  ConnectClient(second);
  ASSERT_TRUE(server->WaitForErrorText("Client " + std::to_string(second.Id) + " connected"));

  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(server->Ask("quit", "closing"), "closing");
  ExpectDisconnected(first);
  ExpectDisconnected(second);
  EXPECT_EQ(server->WaitForExit(), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - asked, 2000ms);
  EXPECT_TRUE(server->WaitForErrorText("Client 0: ID: "));
  EXPECT_TRUE(server->WaitForErrorText("Client 1: ID: "));
  ExpectCleanLog(*server);
}

TEST_F(ServerProgramTest, TerminationSignalsCloseTheWindowTheNormalWay) {
  for (int signo : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signo);
    auto server = Start(SimProgram);
    TClient client;
    ConnectClient(client);
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_EQ(::kill(server->Pid(), signo), 0);
    ExpectDisconnected(client);
    EXPECT_EQ(server->WaitForExit(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - asked, 2000ms);
    EXPECT_TRUE(server->WaitForErrorText("Client 0: ID: " + std::to_string(client.Id)));
  }
}

TEST_F(ServerProgramTest, TheProductionProgramWithoutTheVendorLibraryFindsNoInstrument) {
  auto server = Start(CopyProgram(QN_SERVER_PROGRAM, Dir.Path()));
  EXPECT_TRUE(server->WaitForErrorText("no instruments can be reached"));
  EXPECT_TRUE(server->WaitForErrorText("Device Count: 0"));
  for (const std::string& line : server->ErrorLines()) {
    EXPECT_FALSE(Contains(line, "Simulated")) << line;
  }
  TClient client;
  ConnectClient(client);
  // FT_DEVICE_NOT_FOUND
  EXPECT_EQ(AskDeviceCount(client).first, 2);
  ASSERT_EQ(::kill(server->Pid(), SIGTERM), 0);
  EXPECT_EQ(server->WaitForExit(), 0);
  ExpectCleanLog(*server);
}

}  // namespace
}  // namespace e2e
