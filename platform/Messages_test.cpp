#include "platform/Messages.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <functional>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/Error.h"

namespace platform {
namespace {

constexpr uint32_t kDeadlineMs = 60000;
constexpr uint32_t kMsgA = WM_USER + 1;
constexpr uint32_t kMsgB = WM_USER + 2;
constexpr uint32_t kMsgC = WM_USER + 3;

constexpr const char* kTestClass = "MessagesTestWindow";

// The class of the test windows, with the default procedure.
void EnsureTestClass() {
  static const bool registered = RegisterWindowClass(kTestClass, kDefWindowProc);
  (void)registered;
}

// A hidden window of the creating thread whose procedure is a std::function.
class TTestWindow {
 public:
  using TFn = std::function<intptr_t(uint32_t msg, uintptr_t wParam, intptr_t lParam)>;

  explicit TTestWindow(TFn fn = {}) : FFn(std::move(fn)) {
    EnsureTestClass();
    FHandle = CreateWindow(kTestClass);
    SetWindowProc(FHandle, TWndProc{&Proc, this});
  }
  TTestWindow(const TTestWindow&) = delete;
  TTestWindow& operator=(const TTestWindow&) = delete;
  ~TTestWindow() { DestroyWindow(FHandle); }

  TWindowHandle Handle() const { return FHandle; }

 private:
  static intptr_t Proc(void* context, TWindowHandle, uint32_t msg, uintptr_t w, intptr_t l) {
    auto* self = static_cast<TTestWindow*>(context);
    return self->FFn ? self->FFn(msg, w, l) : 0;
  }

  TFn FFn;
  TWindowHandle FHandle = 0;
};

// Serves the calling thread's queue until done() holds; false after the
// deadline. The short wait slices only bound how late a condition changed by
// another thread without a message is noticed.
bool PumpUntil(const std::function<bool()>& done, uint32_t deadlineMs = kDeadlineMs) {
  const uint64_t start = MonotonicMs();
  while (!done()) {
    if (MonotonicMs() - start > deadlineMs) {
      return false;
    }
    MsgWaitForMultipleObjects({}, 20, QS_ALLINPUT);
    PumpMessages();
  }
  return true;
}

// Waits until a message sent by another thread is queued for this thread.
bool WaitForIncomingSend() {
  return MsgWaitForMultipleObjects({}, kDeadlineMs, QS_SENDMESSAGE) == 0;
}

bool Readable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN) != 0;
}

TEST(MessagesTest, PostedMessagesArriveInOrderAndPeekCanLeaveThem) {
  std::vector<uintptr_t> seen;
  TTestWindow window([&](uint32_t msg, uintptr_t w, intptr_t) -> intptr_t {
    seen.push_back(w);
    return msg == kMsgB ? 42 : 0;
  });
  ASSERT_TRUE(PostMessage(window.Handle(), kMsgA, 1, 0));
  ASSERT_TRUE(PostMessage(window.Handle(), kMsgB, 2, 0));
  ASSERT_TRUE(PostMessage(window.Handle(), kMsgC, 3, 0));

  TMsg msg;
  ASSERT_TRUE(PeekMessage(&msg, false));
  EXPECT_EQ(kMsgA, msg.Message);
  ASSERT_TRUE(PeekMessage(&msg, true));
  EXPECT_EQ(kMsgA, msg.Message);
  EXPECT_EQ(window.Handle(), msg.Window);
  EXPECT_EQ(1u, msg.WParam);
  DispatchMessage(msg);
  ASSERT_TRUE(PeekMessage(&msg, true));
  EXPECT_EQ(42, DispatchMessage(msg));
  PumpMessages();
  EXPECT_EQ((std::vector<uintptr_t>{1, 2, 3}), seen);
  EXPECT_FALSE(PeekMessage(&msg, true));
}

TEST(MessagesTest, SendOnOwnerThreadCallsProcedureAtOnce) {
  std::vector<uint32_t> seen;
  bool inSend = true;
  TTestWindow window([&](uint32_t msg, uintptr_t, intptr_t l) -> intptr_t {
    seen.push_back(msg);
    inSend = InSendMessage();
    return l * 2;
  });
  ASSERT_TRUE(PostMessage(window.Handle(), kMsgA, 0, 0));
  intptr_t result = 0;
  ASSERT_TRUE(SendMessage(window.Handle(), kMsgB, 0, 21, &result));
  EXPECT_EQ(42, result);
  EXPECT_FALSE(inSend);
  EXPECT_EQ(std::vector<uint32_t>{kMsgB}, seen);  // the posted one still waits
  PumpMessages();
  EXPECT_EQ((std::vector<uint32_t>{kMsgB, kMsgA}), seen);
}

TEST(MessagesTest, SendFromAnotherThreadRunsOnOwnerThread) {
  const TThreadId owner = GetCurrentThreadId();
  TThreadId ranOn = 0;
  bool inSend = false;
  TTestWindow window([&](uint32_t, uintptr_t w, intptr_t l) -> intptr_t {
    ranOn = GetCurrentThreadId();
    inSend = InSendMessage();
    return static_cast<intptr_t>(w) + l;
  });
  std::atomic<bool> done{false};
  bool sent = false;
  intptr_t result = 0;
  TThreadId senderId = 0;
  std::jthread sender([&] {
    senderId = GetCurrentThreadId();
    sent = SendMessage(window.Handle(), kMsgA, 40, 2, &result);
    done = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
  sender.join();
  EXPECT_TRUE(sent);
  EXPECT_EQ(42, result);
  EXPECT_EQ(owner, ranOn);
  EXPECT_NE(owner, senderId);
  EXPECT_NE(0u, senderId);
  EXPECT_TRUE(inSend);
  EXPECT_FALSE(InSendMessage());
}

TEST(MessagesTest, PeekServesSentMessagesBeforeReturningPostedOnes) {
  std::vector<uint32_t> seen;
  std::vector<bool> inSend;
  TTestWindow window([&](uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
    seen.push_back(msg);
    inSend.push_back(InSendMessage());
    return 0;
  });
  ASSERT_TRUE(PostMessage(window.Handle(), kMsgA, 0, 0));
  std::jthread sender([&] { SendMessage(window.Handle(), kMsgB, 0, 0); });
  ASSERT_TRUE(WaitForIncomingSend());

  TMsg msg;
  ASSERT_TRUE(PeekMessage(&msg, true));
  EXPECT_EQ(std::vector<uint32_t>{kMsgB}, seen);  // served inside the peek
  EXPECT_EQ(kMsgA, msg.Message);
  DispatchMessage(msg);
  EXPECT_EQ((std::vector<uint32_t>{kMsgB, kMsgA}), seen);
  EXPECT_EQ((std::vector<bool>{true, false}), inSend);
}

TEST(MessagesTest, SendAndPostToMissingWindowFail) {
  TWindowHandle gone = 0;
  {
    TTestWindow window;
    gone = window.Handle();
    EXPECT_TRUE(IsWindow(gone));
  }
  EXPECT_FALSE(IsWindow(gone));
  intptr_t result = 7;
  EXPECT_FALSE(SendMessage(0, kMsgA, 0, 0, &result));
  EXPECT_EQ(0, result);
  EXPECT_FALSE(SendMessage(gone, kMsgA, 0, 0));
  EXPECT_FALSE(PostMessage(gone, kMsgA, 0, 0));
  bool sentFromOther = true;
  std::jthread([&] { sentFromOther = SendMessage(gone, kMsgA, 0, 0); }).join();
  EXPECT_FALSE(sentFromOther);
  TMsg msg;
  EXPECT_FALSE(PeekMessage(&msg, true));
}

TEST(MessagesTest, DestroyingWindowReleasesWaitingSenderWithFailure) {
  bool called = false;
  auto window = std::make_unique<TTestWindow>([&](uint32_t, uintptr_t, intptr_t) -> intptr_t {
    called = true;
    return 1;
  });
  std::promise<bool> sent;
  std::jthread sender(
      [&, handle = window->Handle()] { sent.set_value(SendMessage(handle, kMsgA, 0, 0)); });
  ASSERT_TRUE(WaitForIncomingSend());
  window.reset();
  auto result = sent.get_future();
  ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::milliseconds(kDeadlineMs)));
  EXPECT_FALSE(result.get());
  PumpMessages();
  EXPECT_FALSE(called);
}

TEST(MessagesTest, ThreadEndReleasesWaitingSenderAndDestroysItsWindows) {
  std::promise<TWindowHandle> created;
  EnsureTestClass();
  std::jthread owner([&] {
    // Neither window is destroyed: the thread's end takes them away.
    const TWindowHandle window = CreateWindow(kTestClass);
    const TWindowHandle other = CreateWindow(kTestClass);
    EXPECT_EQ(window + 1, other);
    created.set_value(window);
    // Ends without serving the send that arrives.
    WaitForIncomingSend();
  });
  const TWindowHandle handle = created.get_future().get();
  const TThreadId ownerId = GetWindowThreadId(handle);
  EXPECT_NE(0u, ownerId);
  EXPECT_NE(GetCurrentThreadId(), ownerId);
  EXPECT_FALSE(DestroyWindow(handle));  // not this thread's window

  EXPECT_FALSE(SendMessage(handle, kMsgA, 0, 0));  // returns once the owner has ended
  owner.join();
  EXPECT_FALSE(IsWindow(handle));
  EXPECT_FALSE(IsWindow(handle + 1));
  EXPECT_EQ(0u, GetWindowThreadId(handle));
  EXPECT_FALSE(SendMessage(handle, kMsgA, 0, 0));
  EXPECT_FALSE(PostMessage(handle, kMsgA, 0, 0));
}

TEST(MessagesTest, ReleasedQueueEndsLikeThreadEndAndANewOneServes) {
  EnsureTestClass();
  std::promise<TWindowHandle> first;
  std::promise<TWindowHandle> second;
  std::atomic<bool> stop{false};
  std::jthread owner([&] {
    const TWindowHandle window = CreateWindow(kTestClass);
    first.set_value(window);
    WaitForIncomingSend();
    ReleaseMessageQueue();
    TTestWindow fresh([](uint32_t, uintptr_t, intptr_t) -> intptr_t { return 3; });
    second.set_value(fresh.Handle());
    PumpUntil([&] { return stop.load(); });
  });
  const TWindowHandle window = first.get_future().get();
  EXPECT_FALSE(SendMessage(window, kMsgA, 0, 0));  // released, not served
  EXPECT_FALSE(IsWindow(window));
  const TWindowHandle fresh = second.get_future().get();
  intptr_t result = 0;
  EXPECT_TRUE(SendMessage(fresh, kMsgA, 0, 0, &result));
  EXPECT_EQ(3, result);
  stop = true;
}

TEST(MessagesTest, ThreadsSendingToEachOtherAtOnceDoNotDeadlock) {
  constexpr int kRounds = 1000;
  std::promise<TWindowHandle> windowA;
  std::promise<TWindowHandle> windowB;
  std::shared_future<TWindowHandle> handleA = windowA.get_future().share();
  std::shared_future<TWindowHandle> handleB = windowB.get_future().share();
  std::atomic<int> finished{0};
  std::atomic<int> failures{0};

  auto run = [&](std::promise<TWindowHandle>& mine, std::shared_future<TWindowHandle> theirs) {
    TTestWindow window([](uint32_t, uintptr_t, intptr_t l) -> intptr_t { return l + 1; });
    mine.set_value(window.Handle());
    const TWindowHandle other = theirs.get();
    for (int i = 0; i < kRounds; ++i) {
      intptr_t result = 0;
      if (!SendMessage(other, kMsgA, 0, i, &result) || result != i + 1) {
        ++failures;
      }
    }
    ++finished;
    // Keep serving until the other side is done with its sends too.
    if (!PumpUntil([&] { return finished.load() == 2; })) {
      ++failures;
    }
  };
  std::jthread a(run, std::ref(windowA), handleB);
  std::jthread b(run, std::ref(windowB), handleA);
  a.join();
  b.join();
  EXPECT_EQ(0, failures.load());
}

TEST(MessagesTest, NestedSendsBetweenThreadsUnwindInOrder) {
  // Each procedure forwards to the other thread's window until the depth is
  // used up; every hop adds one, and the threads must be the right ones.
  std::atomic<TWindowHandle> remote{0};
  std::atomic<bool> stop{false};
  std::atomic<int> wrongThread{0};
  const TThreadId mainId = GetCurrentThreadId();
  TWindowHandle local = 0;
  TTestWindow mainWindow([&](uint32_t, uintptr_t depth, intptr_t) -> intptr_t {
    if (GetCurrentThreadId() != mainId || !InSendMessage()) {
      ++wrongThread;
    }
    intptr_t inner = 0;
    if (depth > 0) {
      SendMessage(remote, kMsgA, depth - 1, 0, &inner);
    }
    return inner + 1;
  });
  local = mainWindow.Handle();
  std::jthread other([&] {
    const TThreadId self = GetCurrentThreadId();
    TTestWindow window([&](uint32_t, uintptr_t depth, intptr_t) -> intptr_t {
      if (GetCurrentThreadId() != self || !InSendMessage()) {
        ++wrongThread;
      }
      intptr_t inner = 0;
      if (depth > 0) {
        SendMessage(local, kMsgA, depth - 1, 0, &inner);
      }
      return inner + 1;
    });
    remote = window.Handle();
    PumpUntil([&] { return stop.load(); });
  });
  ASSERT_TRUE(PumpUntil([&] { return remote.load() != 0; }));
  intptr_t result = 0;
  ASSERT_TRUE(SendMessage(remote, kMsgA, 9, 0, &result));
  EXPECT_EQ(10, result);
  EXPECT_EQ(0, wrongThread.load());
  stop = true;
}

TEST(MessagesTest, ProcedureThatRaisesReleasesSenderAndRaisesOnOwnerThread) {
  TTestWindow window([](uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
    if (msg == kMsgA) {
      throw std::runtime_error("handler failed");
    }
    return 5;
  });
  std::promise<std::pair<bool, intptr_t>> outcome;
  std::jthread sender([&] {
    intptr_t result = -1;
    const bool ok = SendMessage(window.Handle(), kMsgA, 0, 0, &result);
    outcome.set_value({ok, result});
  });
  ASSERT_TRUE(WaitForIncomingSend());
  EXPECT_THROW(PumpMessages(), std::runtime_error);
  const auto [ok, result] = outcome.get_future().get();
  EXPECT_FALSE(ok);
  EXPECT_EQ(0, result);
  sender.join();

  // The same procedure called directly passes the exception to the caller;
  // the window stays usable.
  EXPECT_THROW(SendMessage(window.Handle(), kMsgA, 0, 0), std::runtime_error);
  intptr_t five = 0;
  EXPECT_TRUE(SendMessage(window.Handle(), kMsgB, 0, 0, &five));
  EXPECT_EQ(5, five);
}

TEST(MessagesTest, WaitingSenderRaisesServedProcedureExceptionAfterItsReply) {
  // The main thread sends to a window of the other thread; while it waits, the
  // other thread sends to a main-thread window whose procedure raises.
  std::atomic<TWindowHandle> remote{0};
  std::atomic<bool> stop{false};
  TTestWindow mainWindow([](uint32_t, uintptr_t, intptr_t) -> intptr_t {
    throw std::runtime_error("served procedure failed");
  });
  std::atomic<int> innerOk{-1};
  std::jthread other([&, local = mainWindow.Handle()] {
    TTestWindow window([&](uint32_t, uintptr_t, intptr_t) -> intptr_t {
      innerOk = SendMessage(local, kMsgB, 0, 0) ? 1 : 0;
      return 77;
    });
    remote = window.Handle();
    PumpUntil([&] { return stop.load(); });
  });
  ASSERT_TRUE(PumpUntil([&] { return remote.load() != 0; }));
  EXPECT_THROW(SendMessage(remote, kMsgA, 0, 0), std::runtime_error);
  EXPECT_EQ(0, innerOk.load());  // answered before the outer send returned
  stop = true;
}

TEST(MessagesTest, WakeMasksSelectWhatEndsTheWait) {
  TTestWindow window;
  TEvent unsignalled;
  TEvent signalled(true);
  const TWaitHandle none[] = {unsignalled.WaitHandle()};
  const TWaitHandle some[] = {unsignalled.WaitHandle(), signalled.WaitHandle()};

  EXPECT_EQ(kWaitTimeout, MsgWaitForMultipleObjects({}, 0, QS_ALLINPUT));
  EXPECT_EQ(kWaitTimeout, MsgWaitForMultipleObjects(none, 10, QS_ALLINPUT));
  ASSERT_TRUE(PostMessage(window.Handle(), kMsgA, 0, 0));
  struct Case {
    const char* name;
    std::span<const TWaitHandle> handles;
    uint32_t mask;
    uint32_t expected;
  };
  const Case kCases[] = {
      {"posted input does not wake a send-only wait", none, QS_SENDMESSAGE, kWaitTimeout},
      {"posted input queued before the wait counts", none, QS_ALLINPUT, 1},
      {"posted input with the post mask", {}, QS_POSTMESSAGE, 0},
      {"posted input without any mask bit", none, 0, kWaitTimeout},
      {"a signalled handle wins over input", some, QS_ALLINPUT, 1},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.expected, MsgWaitForMultipleObjects(c.handles, 0, c.mask));
  }
  PumpMessages();
  EXPECT_EQ(kWaitTimeout, MsgWaitForMultipleObjects(none, 0, QS_ALLINPUT));

  // A due timer wakes the all-input and timer masks, not the send mask.
  ASSERT_TRUE(SetTimer(window.Handle(), 1, 10));
  EXPECT_EQ(1u, MsgWaitForMultipleObjects(none, kDeadlineMs, QS_TIMER));
  EXPECT_EQ(kWaitTimeout, MsgWaitForMultipleObjects(none, 0, QS_SENDMESSAGE));
  EXPECT_EQ(1u, MsgWaitForMultipleObjects(none, 0, QS_ALLINPUT));
  ASSERT_TRUE(KillTimer(window.Handle(), 1));
  EXPECT_EQ(kWaitTimeout, MsgWaitForMultipleObjects(none, 0, QS_ALLINPUT));

  // A send from another thread wakes a send-only wait that started earlier.
  std::jthread sender([&] { SendMessage(window.Handle(), kMsgB, 0, 0); });
  EXPECT_EQ(1u, MsgWaitForMultipleObjects(none, kDeadlineMs, QS_SENDMESSAGE));
  PumpMessages();
}

TEST(MessagesTest, TimerRepeatsUntilKilled) {
  constexpr uint32_t kIntervalMs = 20;
  int ticks = 0;
  uintptr_t lastId = 0;
  TTestWindow window([&](uint32_t msg, uintptr_t w, intptr_t) -> intptr_t {
    if (msg == WM_TIMER) {
      ++ticks;
      lastId = w;
    }
    return 0;
  });
  EXPECT_FALSE(KillTimer(window.Handle(), 7));
  const uint64_t start = MonotonicMs();
  ASSERT_TRUE(SetTimer(window.Handle(), 7, kIntervalMs));
  ASSERT_TRUE(PumpUntil([&] { return ticks >= 3; }));
  EXPECT_GE(MonotonicMs() - start, 3 * kIntervalMs - 5);
  EXPECT_EQ(7u, lastId);
  ASSERT_TRUE(KillTimer(window.Handle(), 7));
  EXPECT_FALSE(KillTimer(window.Handle(), 7));
  const int ticksAtKill = ticks;
  EXPECT_EQ(kWaitTimeout, MsgWaitForMultipleObjects({}, 5 * kIntervalMs, QS_ALLINPUT));
  PumpMessages();
  EXPECT_EQ(ticksAtKill, ticks);

  bool otherThreadCouldSet = true;
  std::jthread([&] { otherThreadCouldSet = SetTimer(window.Handle(), 8, 10); }).join();
  EXPECT_FALSE(otherThreadCouldSet);
}

TEST(MessagesTest, TimerKeepsAtMostOneMessagePending) {
  constexpr uint32_t kIntervalMs = 100;
  int ticks = 0;
  TTestWindow window([&](uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
    ticks += msg == WM_TIMER ? 1 : 0;
    return 0;
  });
  ASSERT_TRUE(SetTimer(window.Handle(), 1, kIntervalMs));
  TEvent never;
  never.Wait(5 * kIntervalMs);  // several periods pass unserved
  const uint64_t pumpStart = MonotonicMs();
  PumpMessages();
  const uint64_t pumpTook = MonotonicMs() - pumpStart;
  if (pumpTook < kIntervalMs) {
    EXPECT_EQ(1, ticks);
  } else {
    EXPECT_LE(ticks, static_cast<int>(pumpTook / kIntervalMs) + 1);  // machine stalled
  }
  KillTimer(window.Handle(), 1);
}

TEST(MessagesTest, DestroyingWindowDropsItsPostedMessagesAndTimers) {
  int calls = 0;
  TTestWindow keeper([&](uint32_t, uintptr_t, intptr_t) -> intptr_t {
    ++calls;
    return 0;
  });
  auto doomed = std::make_unique<TTestWindow>([&](uint32_t, uintptr_t, intptr_t) -> intptr_t {
    ADD_FAILURE() << "procedure of a destroyed window called";
    return 0;
  });
  ASSERT_TRUE(PostMessage(doomed->Handle(), kMsgA, 0, 0));
  ASSERT_TRUE(SetTimer(doomed->Handle(), 1, 10));
  ASSERT_TRUE(PostMessage(keeper.Handle(), kMsgB, 0, 0));
  const TWindowHandle gone = doomed->Handle();
  doomed.reset();
  EXPECT_FALSE(KillTimer(gone, 1));
  EXPECT_EQ(kWaitTimeout, MsgWaitForMultipleObjects({}, 50, QS_TIMER));
  PumpMessages();
  EXPECT_EQ(1, calls);
}

TEST(MessagesTest, WakeFdIsReadableExactlyWhileWorkIsQueued) {
  TTestWindow window;
  const int fd = MessageQueueWakeFd();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fd, MessageQueueWakeFd());
  PumpMessages();
  EXPECT_FALSE(Readable(fd, 0));

  std::jthread([&] { PostMessage(window.Handle(), kMsgA, 0, 0); }).join();
  EXPECT_TRUE(Readable(fd, kDeadlineMs));
  PumpMessages();
  EXPECT_FALSE(Readable(fd, 0));

  std::atomic<bool> sent{false};
  std::jthread sender([&] { sent = SendMessage(window.Handle(), kMsgB, 0, 0); });
  EXPECT_TRUE(Readable(fd, kDeadlineMs));
  PumpMessages();
  sender.join();
  EXPECT_TRUE(sent.load());
  EXPECT_FALSE(Readable(fd, 0));

  // The long interval leaves ample time to see it unreadable after the pump.
  ASSERT_TRUE(SetTimer(window.Handle(), 3, 30000));
  EXPECT_FALSE(Readable(fd, 0));
  ASSERT_TRUE(SetTimer(window.Handle(), 3, 10));
  EXPECT_TRUE(Readable(fd, kDeadlineMs));
  ASSERT_TRUE(SetTimer(window.Handle(), 3, 30000));  // restart drops the due tick
  EXPECT_FALSE(Readable(fd, 0));
  ASSERT_TRUE(KillTimer(window.Handle(), 3));
  EXPECT_FALSE(Readable(fd, 0));
}

TEST(MessagesTest, WindowHandlesAreNonzeroDistinctAndNotReusedAtOnce) {
  std::vector<TWindowHandle> seen;
  for (int i = 0; i < 50; ++i) {
    TTestWindow window;
    EXPECT_NE(0u, window.Handle());
    EXPECT_EQ(GetCurrentThreadId(), GetWindowThreadId(window.Handle()));
    for (TWindowHandle earlier : seen) {
      EXPECT_NE(earlier, window.Handle());
    }
    seen.push_back(window.Handle());
  }
}

intptr_t ReturnsNine(void*, TWindowHandle, uint32_t, uintptr_t, intptr_t) {
  return 9;
}

TEST(MessagesTest, WindowClassesAndProcedures) {
  const TWndProc nine{&ReturnsNine, nullptr};
  TWndProc proc;
  EXPECT_FALSE(GetWindowClassInfo("MessagesTestNine", &proc));
  EXPECT_THROW(CreateWindow("MessagesTestNine"), EOSError);
  ASSERT_TRUE(RegisterWindowClass("MessagesTestNine", nine));
  EXPECT_FALSE(RegisterWindowClass("MessagesTestNine", kDefWindowProc));
  ASSERT_TRUE(GetWindowClassInfo("MessagesTestNine", &proc));
  EXPECT_EQ(nine, proc);

  const TWindowHandle window = CreateWindow("MessagesTestNine");
  EXPECT_EQ(nine, GetWindowProc(window));
  intptr_t result = 0;
  ASSERT_TRUE(SendMessage(window, kMsgA, 0, 0, &result));
  EXPECT_EQ(9, result);
  EXPECT_EQ(nine, SetWindowProc(window, kDefWindowProc));
  ASSERT_TRUE(SendMessage(window, kMsgA, 0, 0, &result));
  EXPECT_EQ(0, result);
  TWndProc fromOther{&ReturnsNine, &result};
  std::jthread([&] { fromOther = SetWindowProc(window, TWndProc{&ReturnsNine, nullptr}); }).join();
  EXPECT_EQ(TWndProc{}, fromOther);  // only the owner may re-point it
  EXPECT_EQ(kDefWindowProc, GetWindowProc(window));

  EXPECT_TRUE(UnregisterWindowClass("MessagesTestNine"));
  EXPECT_FALSE(UnregisterWindowClass("MessagesTestNine"));
  EXPECT_TRUE(IsWindow(window));  // existing windows keep their procedure
  EXPECT_TRUE(DestroyWindow(window));
  EXPECT_FALSE(DestroyWindow(window));
}

TEST(MessagesTest, ThreadIdsAreSmallStableAndDistinct) {
  const TThreadId self = GetCurrentThreadId();
  EXPECT_NE(0u, self);
  EXPECT_EQ(self, GetCurrentThreadId());
  TThreadId other = 0;
  std::jthread([&] { other = GetCurrentThreadId(); }).join();
  EXPECT_NE(0u, other);
  EXPECT_NE(self, other);
  EXPECT_LT(other, 1000000u);
}

}  // namespace
}  // namespace platform
