#include "platform/Thread.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>

namespace platform {
namespace {

constexpr uint32_t kDeadlineMs = 60000;

// A thread whose Execute and DoTerminate are supplied by the test. Its own
// destructor ends the thread before its members go.
class TTestThread : public TThread {
 public:
  std::function<void(TTestThread&)> OnExecute;
  std::function<void(TTestThread&)> OnDoTerminate;
  std::function<void()> OnDestroy;

  ~TTestThread() override {
    if (Started() && !Finished()) {
      Terminate();
      WaitFor();
    }
    if (OnDestroy) {
      OnDestroy();
    }
  }

  using TThread::SetReturnValue;

 protected:
  void Execute() override {
    if (OnExecute) {
      OnExecute(*this);
    }
  }
  void DoTerminate() override {
    if (OnDoTerminate) {
      OnDoTerminate(*this);
    }
  }
};

TEST(ThreadTest, RunsExecuteThenDoTerminateOnItsOwnThread) {
  TEvent executing;
  TEvent proceed;
  TThreadId executeOn = 0;
  TThreadId terminateOn = 0;
  bool executeDoneBeforeTerminate = false;
  bool executeDone = false;
  TTestThread thread;
  thread.OnExecute = [&](TTestThread& self) {
    executeOn = GetCurrentThreadId();
    executing.Set();
    proceed.Wait(kDeadlineMs);
    self.SetReturnValue(17);
    executeDone = true;
  };
  thread.OnDoTerminate = [&](TTestThread&) {
    terminateOn = GetCurrentThreadId();
    executeDoneBeforeTerminate = executeDone;
  };
  EXPECT_FALSE(thread.Started());
  EXPECT_EQ(0u, thread.ThreadId());
  EXPECT_EQ(kStillActive, thread.ExitCode());  // suspended counts as active

  thread.Resume();
  thread.Resume();  // no second thread
  ASSERT_EQ(kWaitObject0, executing.Wait(kDeadlineMs));
  EXPECT_EQ(kStillActive, thread.ExitCode());
  EXPECT_EQ(kWaitTimeout, WaitForSingleObject(thread.Handle(), 0));
  proceed.Set();

  EXPECT_EQ(17u, thread.WaitFor());
  EXPECT_EQ(kWaitObject0, WaitForSingleObject(thread.Handle(), 0));
  EXPECT_EQ(17u, thread.ExitCode());
  EXPECT_TRUE(thread.Finished());
  EXPECT_NE(GetCurrentThreadId(), executeOn);
  EXPECT_EQ(executeOn, terminateOn);
  EXPECT_EQ(executeOn, thread.ThreadId());
  EXPECT_TRUE(executeDoneBeforeTerminate);
  EXPECT_FALSE(thread.FatalException());
}

TEST(ThreadTest, SuspendedThreadDestroyedWithoutRunningRunsNothing) {
  bool ran = false;
  bool destroyed = false;
  {
    auto thread = std::make_unique<TTestThread>();
    thread->OnExecute = [&](TTestThread&) { ran = true; };
    thread->OnDoTerminate = [&](TTestThread&) { ran = true; };
    thread->OnDestroy = [&] { destroyed = true; };
    thread->SetFreeOnTerminate(true);  // irrelevant: it never started
    EXPECT_EQ(kStillActive, thread->WaitFor());
  }
  EXPECT_TRUE(destroyed);
  EXPECT_FALSE(ran);
}

TEST(ThreadTest, TerminateIsSeenByExecuteAndBeforeStartSkipsIt) {
  TEvent running;
  TTestThread polling;
  polling.OnExecute = [&](TTestThread& self) {
    running.Set();
    TEvent never;
    while (!self.Terminated()) {
      never.Wait(1);
    }
    self.SetReturnValue(1);
  };
  polling.Resume();
  ASSERT_EQ(kWaitObject0, running.Wait(kDeadlineMs));
  polling.Terminate();
  EXPECT_EQ(1u, polling.WaitFor());

  bool executed = false;
  bool terminated = false;
  TTestThread early;
  early.OnExecute = [&](TTestThread&) { executed = true; };
  early.OnDoTerminate = [&](TTestThread&) { terminated = true; };
  early.Terminate();
  early.Resume();
  early.WaitFor();
  EXPECT_FALSE(executed);
  EXPECT_TRUE(terminated);
}

TEST(ThreadTest, FreeOnTerminateDeletesObjectOnItsOwnThread) {
  // A promise, not an event: the thread goes on (detached) after the signal,
  // and the test's objects must be released only after it has used them.
  std::promise<TThreadId> destroyed;
  std::atomic<TThreadId> executeOn{0};
  auto* thread = new TTestThread;
  thread->OnExecute = [&](TTestThread&) { executeOn = GetCurrentThreadId(); };
  thread->OnDestroy = [&] { destroyed.set_value(GetCurrentThreadId()); };
  thread->SetFreeOnTerminate(true);
  thread->Resume();  // from here on the thread owns itself
  auto destroyedOn = destroyed.get_future();
  ASSERT_EQ(std::future_status::ready,
            destroyedOn.wait_for(std::chrono::milliseconds(kDeadlineMs)));
  EXPECT_NE(0u, executeOn.load());
  EXPECT_EQ(executeOn.load(), destroyedOn.get());
}

TEST(ThreadTest, ExceptionFromExecuteEndsThreadAndIsKept) {
  bool terminated = false;
  TTestThread thread;
  thread.OnExecute = [](TTestThread&) { throw std::runtime_error("execute failed"); };
  thread.OnDoTerminate = [&](TTestThread&) { terminated = true; };
  thread.Resume();
  EXPECT_EQ(0u, thread.WaitFor());
  EXPECT_TRUE(terminated);
  ASSERT_TRUE(thread.FatalException());
  EXPECT_THROW(std::rethrow_exception(thread.FatalException()), std::runtime_error);
}

TEST(ThreadTest, EndedThreadHasReleasedItsWindowsAndWaitingSenders) {
  // The window is never destroyed by the thread; by the time the thread counts
  // as ended, it must be gone and a sender waiting for it released.
  static const bool registered = RegisterWindowClass("ThreadTestWindow", kDefWindowProc);
  (void)registered;
  std::atomic<TWindowHandle> window{0};
  TEvent sendQueued;
  TTestThread thread;
  thread.OnExecute = [&](TTestThread&) {
    window = CreateWindow("ThreadTestWindow");
    MsgWaitForMultipleObjects({}, kDeadlineMs, QS_SENDMESSAGE);
    sendQueued.Set();
  };
  thread.Resume();
  TEvent windowKnown;
  bool sent = true;
  TTestThread sender;
  sender.OnExecute = [&](TTestThread&) {
    while (window.load() == 0) {
      windowKnown.Wait(1);
    }
    sent = SendMessage(window, WM_USER, 0, 0);
  };
  sender.Resume();
  EXPECT_EQ(kWaitObject0, sendQueued.Wait(kDeadlineMs));
  thread.WaitFor();
  EXPECT_FALSE(IsWindow(window));
  sender.WaitFor();
  EXPECT_FALSE(sent);
}

TEST(ThreadTest, HandleWakesMessageWait) {
  TEvent proceed;
  TTestThread thread;
  thread.OnExecute = [&](TTestThread&) { proceed.Wait(kDeadlineMs); };
  thread.Resume();
  const TWaitHandle handles[] = {thread.Handle()};
  EXPECT_EQ(kWaitTimeout, MsgWaitForMultipleObjects(handles, 0, QS_ALLINPUT));
  proceed.Set();
  EXPECT_EQ(0u, MsgWaitForMultipleObjects(handles, kDeadlineMs, QS_ALLINPUT));
}

TEST(ThreadTest, LowerPriorityRaisesTheThreadsNiceValue) {
  errno = 0;
  const int processNice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::getpid()));
  ASSERT_EQ(0, errno);
  int seenNice = -100;
  TTestThread thread;
  thread.OnExecute = [&](TTestThread&) {
    seenNice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
  };
  thread.SetPriority(TThreadPriority::tpLower);
  EXPECT_EQ(TThreadPriority::tpLower, thread.Priority());
  thread.Resume();
  thread.WaitFor();
  EXPECT_EQ(std::min(processNice + 5, 19), seenNice);
  // The process's own nice value is untouched.
  EXPECT_EQ(processNice, ::getpriority(PRIO_PROCESS, static_cast<id_t>(::getpid())));
}

}  // namespace
}  // namespace platform
