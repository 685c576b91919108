// The window's own commands: creation, closing, Start Server, Status, the pipe
// error report, debug mode and launching the client program.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/frmPipeServerTesting.h"
#include "sim/SimBench.h"

namespace core::testing {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr uint32_t kA = 2001;
constexpr uint32_t kB = 2002;

// Every line the log receives, also those a later clear removes.
class TLogWatch {
 public:
  explicit TLogWatch(TMemo& memo) : FMemo(memo) {
    FId = memo.Subscribe([this](TComponent&, TChangeKind kind, int32_t index) {
      if (kind == TChangeKind::LineAdded) {
        Added.push_back(FMemo.Lines()[static_cast<size_t>(index)]);
      }
    });
  }
  ~TLogWatch() { FMemo.Unsubscribe(FId); }
  Lines Added;

 private:
  TMemo& FMemo;
  int32_t FId = 0;
};

// A pipe server whose start can be made to fail, and that can lose sight of
// a client it still lists.
class TTroubledPipeServer : public testsupport::TFakePipeServer {
 public:
  void SetActive(bool value) override {
    if (value && StartFails) {
      throw std::runtime_error("The pipe cannot be published");
    }
    TFakePipeServer::SetActive(value);
  }
  bool GetClientInfo(uint32_t pipe) const override {
    return pipe != Unanswering && TFakePipeServer::GetClientInfo(pipe);
  }
  bool StartFails = false;
  uint32_t Unanswering = 0;
};

class CommandsTest : public TBenchFormTest {
 protected:
  void SetUp() override {
    TBenchFormTest::SetUp();
    TfrmPipeServer::DebugMode = false;
    Form->ExeName = "/opt/vardex/instrument-server";
    Form->AskYesNo = [this](const std::string& text) {
      Questions.push_back(text);
      return Answer;
    };
    Form->ShowError = [this](const std::string& text) { Errors.push_back(text); };
  }

  void TearDown() override {
    TBenchFormTest::TearDown();
    TfrmPipeServer::DebugMode = false;
  }

  // A form over another pipe server, created the same way.
  std::unique_ptr<TfrmPipeServer> MakeForm(std::unique_ptr<pipes::TPipeServerContract> pipes) {
    auto form = std::make_unique<TfrmPipeServer>(std::move(pipes));
    form->ShowError = [this](const std::string& text) { Errors.push_back(text); };
    return form;
  }

  bool Answer = false;
  Lines Questions;
  Lines Errors;
};

TEST_F(CommandsTest, CreationLogsEachStepThenStartsTheServer) {
  Bench->Plug(sim::MakeSimInstrument(sim::TSimFamily::QN410, "QN410A"));
  Bench->Plug(sim::MakeSimInstrument(sim::TSimFamily::QN633, "QN633B"));
  Form->msgCount = 7;
  Form->lockID = 5;
  Form->lastLockID = 6;
  TLogWatch watch(Form->statMemo);

  Form->FormCreate(*Form);

  ASSERT_GE(watch.Added.size(), 4u);
  EXPECT_EQ(Lines(watch.Added.begin(), watch.Added.begin() + 4),
            (Lines{"Device Count: 2", "/opt/vardex/instrument-server", "Server started.",
                   "Waiting for client connections..."}));
  EXPECT_EQ(Form->USB_DeviceCount, 2);
  EXPECT_EQ(Form->msgCount, 0);
  EXPECT_EQ(Form->lockID, 0);
  EXPECT_EQ(Form->lastLockID, 0);
  EXPECT_TRUE(Pipes->Active());
  EXPECT_TRUE(Errors.empty());
}

TEST_F(CommandsTest, StartUpShowsTheCompactViewAndOnlyTheUsbTestLines) {
  Bench->Plug(sim::MakeSimInstrument(sim::TSimFamily::QN410, "QN410A"));
  Bench->Plug(sim::MakeSimInstrument(sim::TSimFamily::QN633, "QN633B"));
  ASSERT_EQ(Form->Height(), kDebugHeight);  // as designed
  TfrmPipeServer::DebugMode = true;         // every start is compact all the same

  Form->FormCreate(*Form);

  EXPECT_EQ(Form->Height(), kCompactHeight);
  EXPECT_FALSE(TfrmPipeServer::DebugMode);
  ASSERT_FALSE(Log().empty());
  EXPECT_EQ(Log().front(), "Device Count: 2");
  for (const char* gone : {"statMemo", "/opt/vardex/instrument-server", "Server started.",
                           "Waiting for client connections..."}) {
    EXPECT_EQ(std::find(Log().begin(), Log().end(), gone), Log().end()) << gone;
  }
  // The USB Test ran: both instruments are open and listed, and the notifier
  // exists for the arrivals to come.
  EXPECT_TRUE(Form->USB_Devices[0].deviceOpened);
  EXPECT_TRUE(Form->USB_Devices[1].deviceOpened);
  EXPECT_EQ(Form->listboxInstruments.Count(), 2);
  EXPECT_NE(Form->usbD, nullptr);
  EXPECT_TRUE(Errors.empty());
}

TEST_F(CommandsTest, ACreationErrorIsShownAndSkipsTheRemainingSteps) {
  auto pipes = std::make_unique<TTroubledPipeServer>();
  TTroubledPipeServer* server = pipes.get();
  server->StartFails = true;
  Bench->Plug(sim::MakeSimInstrument(sim::TSimFamily::QN420, "QN420A"));
  std::unique_ptr<TfrmPipeServer> form = MakeForm(std::move(pipes));
  form->ExeName = "/srv/is";

  form->FormCreate(*form);

  EXPECT_EQ(Errors, Lines{"The pipe cannot be published"});
  EXPECT_EQ(form->statMemo.Lines(), (Lines{"Device Count: 1", "/srv/is"}));
  EXPECT_EQ(form->Height(), kCompactHeight);
  EXPECT_FALSE(server->Active());
  // The instrument test did not run: nothing was opened.
  EXPECT_EQ(Bench->CountCalls(sim::TSimCallKind::Open), 0u);

  // Start Server tries again from the window.
  server->StartFails = false;
  form->startServerBtn.Click();
  EXPECT_TRUE(server->Active());
  EXPECT_EQ(form->statMemo.Lines().back(), "Waiting for client connections...");
  EXPECT_EQ(Errors.size(), 1u);
}

TEST_F(CommandsTest, StartServerWhileRunningKeepsTheClientsButEmptiesTheSlots) {
  Form->FormCreate(*Form);
  Pipes->Connect(kA);
  Pipes->Connect(kB);
  ASSERT_EQ(Form->connectedCount, 2);
  Form->statMemo.Clear();

  Form->startServerBtn.Click();

  EXPECT_EQ(Log(), (Lines{"Server already running.", "Waiting for client connections..."}));
  EXPECT_EQ(Form->connectedCount, 0);
  EXPECT_EQ(Form->ClientMap, (std::array<int32_t, kSlotCount>{0, 0, 0, 0}));
  EXPECT_EQ(Pipes->ClientCount(), 2);
  EXPECT_TRUE(Pipes->DisconnectRequests().empty());
}

TEST_F(CommandsTest, StatusListsTheClientsInTheComponentsOrder) {
  auto pipes = std::make_unique<TTroubledPipeServer>();
  TTroubledPipeServer* server = pipes.get();
  std::unique_ptr<TfrmPipeServer> form = MakeForm(std::move(pipes));
  form->BindWindowCommands();
  struct Case {
    const char* name;
    std::vector<uint32_t> clients;
    uint32_t unanswering;
    Lines expected;
  };
  const Case kCases[] = {
      {"none", {}, 0, {"no clients"}},
      {"two", {kA, kB}, 0, {"Client 0: ID: 2001", "Client 1: ID: 2002"}},
      {"one lost from sight", {kA, kB}, kA, {"Client 0: no response", "Client 1: ID: 2002"}},
      {"beyond 31 bits", {0xFFFFFFF0u}, 0, {"Client 0: ID: -16"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    for (uint32_t pipe : c.clients) {
      server->Connect(pipe);
    }
    server->Unanswering = c.unanswering;
    form->statMemo.Clear();

    form->Button1.Click();

    EXPECT_EQ(form->statMemo.Lines(), c.expected);
    for (uint32_t pipe : c.clients) {
      server->Disconnected(pipe);
    }
  }
}

TEST_F(CommandsTest, APipeErrorIsLoggedWhateverItsContext) {
  Form->FormCreate(*Form);
  for (auto context : {pipes::TPipeContext::pcListener, pipes::TPipeContext::pcWorker}) {
    SCOPED_TRACE(static_cast<int>(context));
    Form->statMemo.Clear();
    Pipes->RaiseError(1234, context, 109);
    EXPECT_EQ(Log(), Lines{"# Pipe Error: Pipe 1234, Error: 109"});
  }
  // The listener reports an error without a pipe as the invalid handle.
  Form->statMemo.Clear();
  Pipes->RaiseError(0xFFFFFFFFu, pipes::TPipeContext::pcListener, 5);
  EXPECT_EQ(Log(), Lines{"# Pipe Error: Pipe -1, Error: 5"});
  EXPECT_EQ(Form->connectedCount, 0);
  EXPECT_TRUE(Pipes->Active());
}

TEST_F(CommandsTest, DebugModeChangesOnlyOnYes) {
  Form->FormCreate(*Form);
  struct Step {
    const char* name;
    bool answer;
    const char* question;
    int32_t height;
    bool debugMode;
  };
  const Step kSteps[] = {
      {"no to entering", false, "Enter Debug Mode?", kCompactHeight, false},
      {"asked again", false, "Enter Debug Mode?", kCompactHeight, false},
      {"yes to entering", true, "Enter Debug Mode?", kDebugHeight, true},
      {"no to leaving", false, "Exit Debug Mode?", kDebugHeight, true},
      {"yes to leaving", true, "Exit Debug Mode?", kCompactHeight, false},
      {"entering again", true, "Enter Debug Mode?", kDebugHeight, true},
  };
  for (const auto& s : kSteps) {
    SCOPED_TRACE(s.name);
    Questions.clear();
    Answer = s.answer;
    Form->Label1.DblClick();
    EXPECT_EQ(Questions, Lines{s.question});
    EXPECT_EQ(Form->Height(), s.height);
    EXPECT_EQ(TfrmPipeServer::DebugMode, s.debugMode);
  }
}

TEST_F(CommandsTest, DebugModeWithoutAQuestionStaysCompact) {
  Form->FormCreate(*Form);
  Form->AskYesNo = nullptr;
  Form->Label1.DblClick();
  EXPECT_EQ(Form->Height(), kCompactHeight);
  EXPECT_FALSE(TfrmPipeServer::DebugMode);
}

// Sets PATH for the life of the object.
class TScopedPath {
 public:
  explicit TScopedPath(const std::string& value) {
    if (const char* old = ::getenv("PATH")) {
      FOld = old;
    }
    ::setenv("PATH", value.c_str(), 1);
  }
  ~TScopedPath() {
    if (FOld) {
      ::setenv("PATH", FOld->c_str(), 1);
    } else {
      ::unsetenv("PATH");
    }
  }

 private:
  std::optional<std::string> FOld;
};

class LaunchTest : public CommandsTest {
 protected:
  void SetUp() override {
    CommandsTest::SetUp();
    char pattern[] = "/tmp/qn-launch-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    Dir = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(Dir, ignored);
    CommandsTest::TearDown();
  }
  fs::path Dir;
};

TEST_F(LaunchTest, DoubleClickOnAnEmptySlotStartsTheClientProgram) {
  Form->FormCreate(*Form);
  const fs::path marker = Dir / "started";
  {
    std::ofstream script(Dir / "VardexMT_Pipe.exe");
    script << "#!/bin/sh\necho started > '" << marker.string() << "'\n";
  }
  fs::permissions(Dir / "VardexMT_Pipe.exe", fs::perms::owner_all);
  const Lines before = Log();

  {
    TScopedPath path(Dir.string());
    Form->imgClientSlot2.DblClick();
  }

  // The program runs on its own; look for its mark until a generous deadline.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!fs::exists(marker) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(fs::exists(marker));
  EXPECT_EQ(Log(), before);
}

TEST_F(LaunchTest, AMissingClientProgramChangesNothing) {
  Form->FormCreate(*Form);
  Pipes->Connect(kA);
  const Lines before = Log();
  const auto map = Form->ClientMap;

  {
    TScopedPath path(Dir.string());  // an empty directory
    Form->imgClientSlot1.DblClick();
    Form->imgClientSlot2.DblClick();
  }

  EXPECT_EQ(Log(), before);
  EXPECT_EQ(Form->ClientMap, map);
  EXPECT_EQ(Form->connectedCount, 1);
  EXPECT_TRUE(Errors.empty());
}

TEST_F(CommandsTest, ClosingReleasesEveryClientThenPauses) {
  Form->FormCreate(*Form);
  Pipes->Connect(kA);
  Pipes->Connect(kB);
  Form->statMemo.Clear();
  bool canClose = false;

  const auto start = std::chrono::steady_clock::now();
  Form->FormCloseQuery(*Form, canClose);
  const auto elapsed = std::chrono::steady_clock::now() - start;

  EXPECT_TRUE(canClose);
  EXPECT_GE(elapsed, std::chrono::milliseconds(TfrmPipeServer::kClosePauseMs));
  EXPECT_EQ(Pipes->DisconnectRequests(), (std::vector<uint32_t>{kA, kB}));
  EXPECT_EQ(Log(),
            (Lines{"Client 0: ID: 2001 - disconnected", "Client 1: ID: 2002 - disconnected"}));
  // The workers end afterwards; their departures free the slots.
  Pipes->FinishDisconnects();
  EXPECT_EQ(Form->connectedCount, 0);
  EXPECT_EQ(Pipes->ClientCount(), 0);
}

// A client list that fails while it is being read.
class TBrokenListPipeServer : public testsupport::TFakePipeServer {
 public:
  uint32_t Clients(int32_t) const override { throw std::out_of_range("client list changed"); }
};

TEST_F(CommandsTest, ClosingCannotBeRefusedEvenWhenTheReleaseFails) {
  auto pipes = std::make_unique<TBrokenListPipeServer>();
  TBrokenListPipeServer* server = pipes.get();
  std::unique_ptr<TfrmPipeServer> form = MakeForm(std::move(pipes));
  server->Connect(kA);
  bool canClose = false;

  const auto start = std::chrono::steady_clock::now();
  form->FormCloseQuery(*form, canClose);

  EXPECT_TRUE(canClose);
  EXPECT_GE(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(TfrmPipeServer::kClosePauseMs));
  EXPECT_EQ(Errors, Lines{"client list changed"});
}

}  // namespace
}  // namespace core::testing
