#include "pipes/ThreadSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <stdexcept>
#include <thread>

namespace pipes {
namespace {

using platform::kWaitObject0;
using platform::kWaitTimeout;
using platform::TEvent;
using platform::TThreadId;

constexpr uint32_t kDeadlineMs = 60000;

class ThreadSupportTest : public ::testing::Test {
 protected:
  TPipesModule FModule;
};

// A pipe-style thread: its Execute is supplied by the test, it may count
// itself in a counter (released in its destructor, on its own thread when it
// frees itself) and it exposes RunInBaseThread.
class TTestThread : public TThreadEx {
 public:
  explicit TTestThread(TThreadCounter* counter = nullptr) : FCounter(counter) {
    if (FCounter) {
      FCounter->Increment();
    }
  }
  ~TTestThread() override {
    if (Started() && !Finished()) {
      Terminate();
      Wait();
    }
    if (OnDestroy) {
      OnDestroy();
    }
    if (FCounter) {
      FCounter->Decrement();
    }
  }

  std::function<void(TTestThread&)> OnExecute;
  std::function<void()> OnDestroy;

  using TThreadEx::RunInBaseThread;

 protected:
  void Execute() override {
    if (OnExecute) {
      OnExecute(*this);
    }
  }

 private:
  TThreadCounter* FCounter;
};

TEST_F(ThreadSupportTest, CounterSignalsEmptyExactlyAtZero) {
  TThreadCounter counter;
  EXPECT_EQ(0, counter.Count());
  EXPECT_EQ(kWaitObject0, platform::WaitForSingleObject(counter.EmptyHandle(), 0));
  counter.WaitForEmpty();  // returns at once

  counter.Increment();
  counter.Increment();
  EXPECT_EQ(2, counter.Count());
  EXPECT_EQ(kWaitTimeout, platform::WaitForSingleObject(counter.EmptyHandle(), 0));
  counter.Decrement();
  EXPECT_EQ(kWaitTimeout, platform::WaitForSingleObject(counter.EmptyHandle(), 0));
  counter.Decrement();
  EXPECT_EQ(0, counter.Count());
  EXPECT_EQ(kWaitObject0, platform::WaitForSingleObject(counter.EmptyHandle(), 0));

  counter.Decrement();  // at 0: stays 0, stays signalled
  EXPECT_EQ(0, counter.Count());
  EXPECT_EQ(kWaitObject0, platform::WaitForSingleObject(counter.EmptyHandle(), 0));
}

TEST_F(ThreadSupportTest, WaitForEmptyServesWorkersThatSynchronizeAndEnd) {
  // Each worker runs a method on the main thread, then its OnTerminate runs
  // there too, then it frees itself and leaves the counter; all of it while
  // the main thread sits in WaitForEmpty.
  constexpr int kWorkers = 4;
  const TThreadId mainId = platform::GetCurrentThreadId();
  TThreadCounter counter;
  std::atomic<int> ranOnMain{0};
  std::atomic<int> terminatedOnMain{0};
  std::atomic<int> wrongThread{0};
  for (int i = 0; i < kWorkers; ++i) {
    auto* worker = new TTestThread(&counter);
    worker->OnExecute = [&](TTestThread& self) {
      self.RunInBaseThread(
          [&] { (platform::GetCurrentThreadId() == mainId ? ranOnMain : wrongThread)++; });
    };
    worker->OnTerminate = [&](TThreadEx&) {
      (platform::GetCurrentThreadId() == mainId ? terminatedOnMain : wrongThread)++;
    };
    worker->SetFreeOnTerminate(true);
    worker->SetPriority(platform::TThreadPriority::tpLower);
    worker->Resume();
  }
  counter.WaitForEmpty();
  EXPECT_EQ(0, counter.Count());
  EXPECT_EQ(kWorkers, ranOnMain.load());
  EXPECT_EQ(kWorkers, terminatedOnMain.load());
  EXPECT_EQ(0, wrongThread.load());
  PumpMessages();  // the workers' releases
  EXPECT_EQ(nullptr, TSyncManager::Instance().LookupSyncInfo(mainId));
}

TEST_F(ThreadSupportTest, SynchronizeRunsOnBaseThreadAndReturnsAfterIt) {
  const TThreadId mainId = platform::GetCurrentThreadId();
  TThreadSync sync;  // the main thread is its base thread
  EXPECT_EQ(mainId, sync.SyncBaseTID());
  std::atomic<bool> done{false};
  TThreadId ranOn = 0;
  bool finishedBeforeReturn = false;
  std::jthread worker([&] {
    bool methodFinished = false;
    sync.Synchronize([&] {
      ranOn = platform::GetCurrentThreadId();
      methodFinished = true;
    });
    finishedBeforeReturn = methodFinished;
    done = true;
  });
  const uint64_t start = platform::MonotonicMs();
  while (!done && platform::MonotonicMs() - start < kDeadlineMs) {
    platform::MsgWaitForMultipleObjects({}, 20, platform::QS_SENDMESSAGE);
    PumpMessages();
  }
  worker.join();
  ASSERT_TRUE(done);
  EXPECT_EQ(mainId, ranOn);
  EXPECT_TRUE(finishedBeforeReturn);
}

TEST_F(ThreadSupportTest, ExceptionOfMethodIsRaisedInCallerAsTheSameObject) {
  TThreadSync sync;
  const std::runtime_error* thrown = nullptr;
  const std::runtime_error* caught = nullptr;
  std::string text;
  bool otherExceptionOnMain = false;
  std::atomic<bool> done{false};
  std::jthread worker([&] {
    try {
      sync.Synchronize([&] {
        try {
          throw std::runtime_error("raised on the base thread");
        } catch (const std::runtime_error& error) {
          thrown = &error;
          throw;
        }
      });
    } catch (const std::runtime_error& error) {
      caught = &error;
      text = error.what();
    }
    done = true;
  });
  const uint64_t start = platform::MonotonicMs();
  while (!done && platform::MonotonicMs() - start < kDeadlineMs) {
    platform::MsgWaitForMultipleObjects({}, 20, platform::QS_SENDMESSAGE);
    try {
      PumpMessages();
    } catch (...) {
      otherExceptionOnMain = true;  // must not propagate on the base thread
    }
  }
  worker.join();
  ASSERT_NE(nullptr, caught);
  EXPECT_EQ(thrown, caught);
  EXPECT_EQ("raised on the base thread", text);
  EXPECT_FALSE(otherExceptionOnMain);
}

TEST_F(ThreadSupportTest, SynchronizeOnBaseThreadRunsAtOnce) {
  TThreadSync sync;
  std::vector<int> order;
  order.push_back(1);
  sync.Synchronize([&] { order.push_back(2); });
  order.push_back(3);
  EXPECT_EQ((std::vector<int>{1, 2, 3}), order);

  struct TMarker {};
  EXPECT_THROW(sync.Synchronize([] { throw TMarker{}; }), TMarker);
}

TEST_F(ThreadSupportTest, SyncWindowLivesFromFirstToLastReleaseOfItsThread) {
  // A thread of its own is the base thread, so the main thread's entry does
  // not interfere.
  std::jthread base([] {
    TSyncManager& manager = TSyncManager::Instance();
    const TThreadId self = platform::GetCurrentThreadId();
    EXPECT_EQ(nullptr, manager.LookupSyncInfo(self));

    auto first = std::make_unique<TThreadSync>();
    TSyncInfo* info = manager.LookupSyncInfo(self);
    ASSERT_NE(nullptr, info);
    const platform::TWindowHandle window = info->ThreadWindow();
    EXPECT_TRUE(platform::IsWindow(window));
    EXPECT_EQ(self, platform::GetWindowThreadId(window));
    EXPECT_EQ(1, info->ThreadCount());

    auto second = std::make_unique<TThreadSync>();
    EXPECT_EQ(info, manager.LookupSyncInfo(self));
    EXPECT_EQ(window, info->ThreadWindow());
    EXPECT_EQ(2, info->ThreadCount());

    first.reset();  // only posts: the count falls when the release is processed
    EXPECT_EQ(2, info->ThreadCount());
    PumpMessages();
    EXPECT_EQ(1, info->ThreadCount());

    second.reset();
    auto third = std::make_unique<TThreadSync>();  // before the release is processed
    EXPECT_EQ(info, manager.LookupSyncInfo(self));
    EXPECT_EQ(window, info->ThreadWindow());
    EXPECT_EQ(2, info->ThreadCount());
    PumpMessages();
    EXPECT_EQ(1, info->ThreadCount());

    third.reset();
    PumpMessages();
    EXPECT_EQ(nullptr, manager.LookupSyncInfo(self));
    EXPECT_FALSE(platform::IsWindow(window));

    // A new registration starts over with a new window.
    TThreadSync again;
    TSyncInfo* fresh = manager.LookupSyncInfo(self);
    ASSERT_NE(nullptr, fresh);
    EXPECT_NE(window, fresh->ThreadWindow());
  });
}

TEST_F(ThreadSupportTest, SyncWindowClassIsReregisteredWithItsProcedure) {
  platform::UnregisterWindowClass("ThreadSyncWindow");
  ASSERT_TRUE(platform::RegisterWindowClass("ThreadSyncWindow", platform::kDefWindowProc));
  std::jthread base([] {
    TThreadSync sync;
    platform::TWndProc proc;
    ASSERT_TRUE(platform::GetWindowClassInfo("ThreadSyncWindow", &proc));
    EXPECT_EQ(&TSyncManager::SyncWindowProc, proc.Fn);
    bool ran = false;
    sync.Synchronize([&] { ran = true; });
    EXPECT_TRUE(ran);
  });
}

TEST_F(ThreadSupportTest, ThreadExOnTerminateRunsOnBaseThreadAfterExecute) {
  const TThreadId mainId = platform::GetCurrentThreadId();
  std::atomic<bool> executed{false};
  bool executedFirst = false;
  TThreadId terminateOn = 0;
  TThreadEx* sender = nullptr;
  TTestThread thread;
  thread.OnExecute = [&](TTestThread&) { executed = true; };
  thread.OnTerminate = [&](TThreadEx& s) {
    executedFirst = executed;
    terminateOn = platform::GetCurrentThreadId();
    sender = &s;
  };
  thread.Resume();
  thread.Wait();
  EXPECT_TRUE(executedFirst);
  EXPECT_EQ(mainId, terminateOn);
  EXPECT_EQ(&thread, sender);
  EXPECT_NE(platform::kStillActive, thread.ExitCode());
  EXPECT_FALSE(thread.FatalException());
}

TEST_F(ThreadSupportTest, OnTerminateExceptionIsRaisedInTheEndingThread) {
  struct TMarker {};
  TTestThread thread;
  thread.OnTerminate = [](TThreadEx&) { throw TMarker{}; };
  thread.Resume();
  thread.Wait();
  ASSERT_TRUE(thread.FatalException());
  EXPECT_THROW(std::rethrow_exception(thread.FatalException()), TMarker);
}

TEST_F(ThreadSupportTest, WaitOnBaseThreadKeepsDispatching) {
  // The thread needs the base thread twice before it can end; a posted message
  // to a window of the base thread is dispatched during the wait as well.
  int runs = 0;
  std::atomic<bool> postedSeen{false};
  struct TReceiver {
    std::atomic<bool>* Seen;
    static intptr_t Proc(void* context,
                         platform::TWindowHandle,
                         uint32_t msg,
                         uintptr_t,
                         intptr_t) {
      if (msg == platform::WM_USER) {
        *static_cast<TReceiver*>(context)->Seen = true;
      }
      return 0;
    }
  } receiver{&postedSeen};
  platform::RegisterWindowClass("ThreadSupportTestWindow", platform::kDefWindowProc);
  const platform::TWindowHandle window = platform::CreateWindow("ThreadSupportTestWindow");
  platform::SetWindowProc(window, platform::TWndProc{&TReceiver::Proc, &receiver});

  TTestThread thread;
  thread.OnExecute = [&](TTestThread& self) {
    self.RunInBaseThread([&] { ++runs; });
    platform::PostMessage(window, platform::WM_USER, 0, 0);
    self.RunInBaseThread([&] { ++runs; });
  };
  thread.Resume();
  thread.Wait();
  EXPECT_EQ(2, runs);
  EXPECT_TRUE(postedSeen.load());
  platform::DestroyWindow(window);
}

TEST_F(ThreadSupportTest, WaitOnAnotherThreadJustBlocks) {
  TEvent proceed;
  TTestThread thread;
  thread.OnExecute = [&](TTestThread&) { proceed.Wait(kDeadlineMs); };
  thread.Resume();
  std::promise<void> waited;
  std::jthread waiter([&] {
    thread.Wait();
    waited.set_value();
  });
  auto future = waited.get_future();
  EXPECT_EQ(std::future_status::timeout, future.wait_for(std::chrono::milliseconds(20)));
  proceed.Set();
  EXPECT_EQ(std::future_status::ready, future.wait_for(std::chrono::milliseconds(kDeadlineMs)));
  EXPECT_NE(platform::kStillActive, thread.ExitCode());
}

TEST_F(ThreadSupportTest, SuspendedThreadExDestroyedWithoutRunningReleasesItsSync) {
  const TThreadId mainId = platform::GetCurrentThreadId();
  {
    TTestThread thread;
    thread.Wait();  // never started: returns at once
  }
  PumpMessages();
  EXPECT_EQ(nullptr, TSyncManager::Instance().LookupSyncInfo(mainId));
}

TEST(ThreadSupportModuleTest, FinalizationDisposesRemainingEntries) {
  platform::TWindowHandle window = 0;
  auto* module = new TPipesModule;
  auto sync = std::make_unique<TThreadSync>();
  window = TSyncManager::Instance().LookupSyncInfo(platform::GetCurrentThreadId())->ThreadWindow();
  ASSERT_TRUE(platform::IsWindow(window));
  // Out of order on purpose: the module goes first, so the entry is still there.
  delete module;
  EXPECT_FALSE(platform::IsWindow(window));
  sync.reset();  // finds no entry in the new, empty manager
  EXPECT_EQ(0u, TSyncManager::Instance().EntryCount());
  FinalizePipes();
}

}  // namespace
}  // namespace pipes
