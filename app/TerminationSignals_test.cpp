// SIGTERM and SIGINT turned into a readable descriptor.

#include "app/TerminationSignals.h"

#include <poll.h>
#include <signal.h>

#include <atomic>
#include <stdexcept>

#include <gtest/gtest.h>

namespace app {
namespace {

std::atomic<int> gCaught{0};
void Catch(int signo) {
  gCaught = signo;
}

bool Readable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, 0) == 1;
}

TEST(TerminationSignals, EachSignalMakesTheDescriptorReadable) {
  TTerminationSignals signals;
  EXPECT_FALSE(Readable(signals.ReadFd()));
  EXPECT_EQ(signals.Drain(), 0);

  ASSERT_EQ(::raise(SIGTERM), 0);
  ASSERT_EQ(::raise(SIGINT), 0);
  // raise returns after the handler has run in this thread.
  EXPECT_TRUE(Readable(signals.ReadFd()));
  EXPECT_EQ(signals.Drain(), 2);
  EXPECT_FALSE(Readable(signals.ReadFd()));
}

TEST(TerminationSignals, OneAtATimeAndThePreviousHandlersComeBack) {
  struct sigaction catcher {};
  catcher.sa_handler = &Catch;
  sigemptyset(&catcher.sa_mask);
  struct sigaction oldTerm {};
  struct sigaction oldInt {};
  ASSERT_EQ(::sigaction(SIGTERM, &catcher, &oldTerm), 0);
  ASSERT_EQ(::sigaction(SIGINT, &catcher, &oldInt), 0);
  {
    TTerminationSignals signals;
    EXPECT_THROW(TTerminationSignals(), std::logic_error);
    ASSERT_EQ(::raise(SIGINT), 0);
    EXPECT_EQ(gCaught, 0);
    EXPECT_EQ(signals.Drain(), 1);
  }
  ASSERT_EQ(::raise(SIGINT), 0);
  EXPECT_EQ(gCaught, SIGINT);
  ASSERT_EQ(::raise(SIGTERM), 0);
  EXPECT_EQ(gCaught, SIGTERM);
  // A new watch after the first has gone.
  EXPECT_NO_THROW(TTerminationSignals());
  ::sigaction(SIGTERM, &oldTerm, nullptr);
  ::sigaction(SIGINT, &oldInt, nullptr);
}

}  // namespace
}  // namespace app
