#include "core/MessageTimer.h"

#include <gtest/gtest.h>

#include "core/frmPipeServerTesting.h"

namespace core::testing {
namespace {

TEST(MessageTimerTest, TicksWhileEnabledOnly) {
  TTimer timer("timer", 10, false);
  int32_t ticks = 0;
  timer.OnTimer = [&](TTimer&) { ++ticks; };
  TMessageTimer driver(timer);

  timer.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return ticks >= 3; }));

  // Disabled from inside its own tick, as the release timer does.
  timer.OnTimer = [&](TTimer& t) {
    ++ticks;
    t.SetEnabled(false);
  };
  const int32_t before = ticks;
  ASSERT_TRUE(PumpUntil([&] { return ticks == before + 1; }));

  // A witness four times as long: a live timer would have ticked meanwhile.
  ASSERT_TRUE(PumpPastWitnessTimer(40));
  EXPECT_EQ(ticks, before + 1);
}

TEST(MessageTimerTest, AnExceptionDoesNotLeaveTheTick) {
  TTimer timer("timer", 10, true);
  int32_t ticks = 0;
  timer.OnTimer = [&](TTimer&) {
    ++ticks;
    throw std::runtime_error("tick failed");
  };
  TMessageTimer driver(timer);
  ASSERT_TRUE(PumpUntil([&] { return ticks >= 2; }));
}

TEST(MessageTimerTest, DestroyingTheDriverStopsTheTicks) {
  TTimer timer("timer", 10, true);
  int32_t ticks = 0;
  timer.OnTimer = [&](TTimer&) { ++ticks; };
  { TMessageTimer driver(timer); }
  timer.SetEnabled(false);  // no driver listens any more
  timer.SetEnabled(true);
  ASSERT_TRUE(PumpPastWitnessTimer(40));
  EXPECT_EQ(ticks, 0);
}

}  // namespace
}  // namespace core::testing
