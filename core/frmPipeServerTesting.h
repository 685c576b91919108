#pragma once
// What the window's tests share: a form over a fake pipe server, the test
// thread playing the main thread.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/frmPipeServer.h"
#include "platform/Event.h"
#include "platform/Messages.h"
#include "sim/SimBench.h"
#include "tests/support/FakePipeServer.h"
#include "tests/support/PumpUntil.h"
#include "usb/FtdiWrapper.h"

namespace core::testing {

inline constexpr uint32_t kDeadlineMs = 60000;

using testsupport::PumpUntil;

// Serves the calling thread's messages until a fresh window-message timer of
// intervalMs has fired once, then everything already queued. A timer that was
// due before it has been served by then: tests use it to show that something
// did NOT tick, without sleeping.
inline bool PumpPastWitnessTimer(uint32_t intervalMs) {
  bool witnessFired = false;
  TTimer witness("witness", intervalMs, true);
  witness.OnTimer = [&](TTimer& t) {
    witnessFired = true;
    t.SetEnabled(false);
  };
  TMessageTimer witnessDriver(witness);
  const bool fired = PumpUntil([&] { return witnessFired; });
  platform::PumpMessages();
  return fired;
}

class TFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ftdi::ResetWrapperState();
    auto pipes = std::make_unique<testsupport::TFakePipeServer>();
    Pipes = pipes.get();
    Form = std::make_unique<TfrmPipeServer>(std::move(pipes));
    Form->statMemo.Clear();
  }

  void TearDown() override {
    Form.reset();
    ftdi::SetD2xxBackend(nullptr);
    ftdi::ResetWrapperState();
  }

  const std::vector<std::string>& Log() const { return Form->statMemo.Lines(); }

  // The blocks written to the pipe so far, as (kind, words 0 to 2).
  struct TNotice {
    testsupport::TFakeWrite::TKind Kind;
    uint16_t W0;
    uint16_t W1;
    uint16_t W2;
    bool operator==(const TNotice&) const = default;
  };
  std::vector<TNotice> NoticesTo(uint32_t pipe) const {
    std::vector<TNotice> result;
    for (const auto& write : Pipes->WritesTo(pipe)) {
      result.push_back({write.Kind, write.Word(0), write.Word(1), write.Word(2)});
    }
    return result;
  }

  testsupport::TFakePipeServer* Pipes = nullptr;
  std::unique_ptr<TfrmPipeServer> Form;
};

// The same over the simulated bench, which the driver wrapper then calls.
class TBenchFormTest : public TFormTest {
 protected:
  void SetUp() override {
    Bench = std::make_unique<sim::TSimBench>();
    ftdi::SetD2xxBackend(Bench.get());
    TFormTest::SetUp();
  }

  void TearDown() override {
    TFormTest::TearDown();
    Bench.reset();
  }

  std::unique_ptr<sim::TSimBench> Bench;
};

inline constexpr auto kWrite = testsupport::TFakeWrite::TKind::Write;
inline constexpr auto kBroadcast = testsupport::TFakeWrite::TKind::Broadcast;

}  // namespace core::testing
