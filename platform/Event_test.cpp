#include "platform/Event.h"

#include <gtest/gtest.h>

#include <thread>

namespace platform {
namespace {

TEST(EventTest, ManualResetStaysSignalledUntilReset) {
  TEvent event;
  EXPECT_FALSE(event.IsSet());
  EXPECT_EQ(kWaitTimeout, event.Wait(0));
  event.Set();
  event.Set();
  EXPECT_TRUE(event.IsSet());
  EXPECT_EQ(kWaitObject0, event.Wait(0));
  EXPECT_EQ(kWaitObject0, event.Wait(0));  // a wait does not consume the signal
  event.Reset();
  EXPECT_FALSE(event.IsSet());
  EXPECT_TRUE(TEvent(true).IsSet());
}

TEST(EventTest, WaitForMultipleReturnsLowestSignalledIndex) {
  TEvent a, b, c;
  const TWaitHandle handles[] = {a.WaitHandle(), b.WaitHandle(), c.WaitHandle()};
  EXPECT_EQ(kWaitTimeout, WaitForMultipleObjects(handles, 10));
  c.Set();
  EXPECT_EQ(kWaitObject0 + 2, WaitForMultipleObjects(handles, 0));
  b.Set();
  EXPECT_EQ(kWaitObject0 + 1, WaitForMultipleObjects(handles, kInfinite));
  EXPECT_EQ(kWaitFailed, WaitForMultipleObjects({}, kInfinite));
}

TEST(EventTest, SetFromAnotherThreadWakesWaiter) {
  TEvent event;
  std::thread setter([&] { event.Set(); });
  EXPECT_EQ(kWaitObject0, event.Wait(60000));
  setter.join();
}

}  // namespace
}  // namespace platform
