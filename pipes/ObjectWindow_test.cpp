#include "pipes/ObjectWindow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "pipes/ThreadSupport.h"

namespace pipes {
namespace {

// An object with a message method: answers WM_USER with WParam + LParam and
// remembers what it saw.
class TReceiver {
 public:
  void WndMethod(TMessage& message) {
    ++FCalls;
    FLastMsg = message.Msg;
    FThread = platform::GetCurrentThreadId();
    FResultOnEntry = message.Result;
    if (message.Msg == platform::WM_USER) {
      message.Result = static_cast<intptr_t>(message.WParam) + message.LParam;
    }
  }
  TWndMethod Method() { return MakeWndMethod<TReceiver, &TReceiver::WndMethod>(this); }

  int FCalls = 0;
  uint32_t FLastMsg = 0;
  platform::TThreadId FThread = 0;
  intptr_t FResultOnEntry = -1;
};

class ObjectWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0u, ThunkBlockCount()); }
  void TearDown() override { EXPECT_EQ(0u, ThunkBlockCount()); }

  TPipesModule FModule;
};

TEST_F(ObjectWindowTest, MessagesReachTheMethodAndItsResultIsReturned) {
  TReceiver receiver;
  const platform::TWindowHandle window = CreateObjectWindow(receiver.Method());
  ASSERT_NE(0u, window);
  EXPECT_EQ(platform::GetCurrentThreadId(), platform::GetWindowThreadId(window));

  intptr_t result = 0;
  ASSERT_TRUE(platform::SendMessage(window, platform::WM_USER, 40, 2, &result));
  EXPECT_EQ(42, result);
  EXPECT_EQ(0, receiver.FResultOnEntry);  // Result starts at 0

  // From another thread the method still runs on the window's thread.
  std::atomic<bool> done{false};
  intptr_t otherResult = 0;
  std::jthread sender([&] {
    platform::SendMessage(window, platform::WM_USER, 7, 8, &otherResult);
    done = true;
  });
  const uint64_t start = platform::MonotonicMs();
  while (!done && platform::MonotonicMs() - start < 60000) {
    platform::MsgWaitForMultipleObjects({}, 20, platform::QS_SENDMESSAGE);
    PumpMessages();
  }
  sender.join();
  EXPECT_EQ(15, otherResult);
  EXPECT_EQ(platform::GetCurrentThreadId(), receiver.FThread);

  ASSERT_TRUE(platform::PostMessage(window, platform::WM_USER + 5, 0, 0));
  PumpMessages();
  EXPECT_EQ(platform::WM_USER + 5, receiver.FLastMsg);
  EXPECT_EQ(3, receiver.FCalls);

  DestroyObjectWindow(window);
  EXPECT_FALSE(platform::IsWindow(window));
}

TEST_F(ObjectWindowTest, BlockOf314WindowsThenASecondBlock) {
  TReceiver receiver;
  std::vector<platform::TWindowHandle> first;
  for (int i = 0; i < kThunksPerBlock; ++i) {
    first.push_back(CreateObjectWindow(receiver.Method()));
  }
  EXPECT_EQ(1u, ThunkBlockCount());
  EXPECT_EQ(kThunksPerBlock, ThunkBlockUseCount(WindowThunk(first.front())));
  EXPECT_EQ(kThunksPerBlock - 1, ThunkEntryIndex(WindowThunk(first.front())));  // highest first
  EXPECT_EQ(0, ThunkEntryIndex(WindowThunk(first.back())));

  const platform::TWindowHandle extra = CreateObjectWindow(receiver.Method());
  EXPECT_EQ(2u, ThunkBlockCount());
  EXPECT_EQ(1, ThunkBlockUseCount(WindowThunk(extra)));

  // Freeing every entry of the first block returns it; the other block's
  // window keeps working.
  for (platform::TWindowHandle window : first) {
    DestroyObjectWindow(window);
  }
  EXPECT_EQ(1u, ThunkBlockCount());
  intptr_t result = 0;
  ASSERT_TRUE(platform::SendMessage(extra, platform::WM_USER, 1, 2, &result));
  EXPECT_EQ(3, result);
  EXPECT_EQ(1, ThunkBlockUseCount(WindowThunk(extra)));

  DestroyObjectWindow(extra);
  EXPECT_EQ(0u, ThunkBlockCount());
}

TEST_F(ObjectWindowTest, ReleasedBlockLeavesTheOtherFreeEntriesInOrder) {
  TReceiver receiver;
  std::vector<PThunkEntry> a;
  for (int i = 0; i < kThunksPerBlock; ++i) {
    a.push_back(AllocWndThunk(receiver.Method()));
  }
  const PThunkEntry b = AllocWndThunk(receiver.Method());  // second block, its highest entry
  EXPECT_EQ(kThunksPerBlock - 1, ThunkEntryIndex(b));
  // Free three entries of the first block: the free list is now
  // a[7], a[5], a[3], then the rest of the second block.
  FreeWndThunk(a[3]);
  FreeWndThunk(a[5]);
  FreeWndThunk(a[7]);
  EXPECT_EQ(kThunksPerBlock - 3, ThunkBlockUseCount(a[0]));
  FreeWndThunk(b);  // the second block goes, with its free entries
  EXPECT_EQ(1u, ThunkBlockCount());
  EXPECT_EQ(a[7], AllocWndThunk(receiver.Method()));
  EXPECT_EQ(a[5], AllocWndThunk(receiver.Method()));
  EXPECT_EQ(a[3], AllocWndThunk(receiver.Method()));
  EXPECT_EQ(1u, ThunkBlockCount());
  const PThunkEntry c = AllocWndThunk(receiver.Method());  // free list empty again
  EXPECT_EQ(2u, ThunkBlockCount());
  FreeWndThunk(c);
  for (PThunkEntry entry : a) {
    FreeWndThunk(entry);
  }
}

TEST_F(ObjectWindowTest, FreeIgnoresNullForeignAndFreeEntries) {
  TReceiver receiver;
  const PThunkEntry kept = AllocWndThunk(receiver.Method());
  const PThunkEntry freed = AllocWndThunk(receiver.Method());
  FreeWndThunk(freed);
  EXPECT_EQ(1, ThunkBlockUseCount(kept));

  int local = 0;
  struct Case {
    const char* name;
    PThunkEntry entry;
  };
  const Case kCases[] = {
      {"null", nullptr},
      {"not an entry of any block", reinterpret_cast<PThunkEntry>(&local)},
      {"inside a block but not at an entry",
       reinterpret_cast<PThunkEntry>(reinterpret_cast<char*>(kept) + 1)},
      {"already free", freed},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FreeWndThunk(c.entry);
    EXPECT_EQ(1, ThunkBlockUseCount(kept));
    EXPECT_EQ(1u, ThunkBlockCount());
  }
  EXPECT_EQ(-1, ThunkBlockUseCount(reinterpret_cast<PThunkEntry>(&local)));
  FreeWndThunk(kept);
  EXPECT_EQ(-1, ThunkBlockUseCount(kept));  // its block is gone
}

TEST_F(ObjectWindowTest, WindowWithClassProcedureIsOnlyDestroyed) {
  const platform::TWindowHandle plain = CreateObjectWindow(TWndMethod{});
  EXPECT_EQ(platform::kDefWindowProc, platform::GetWindowProc(plain));
  EXPECT_EQ(0u, ThunkBlockCount());
  DestroyObjectWindow(plain);
  EXPECT_FALSE(platform::IsWindow(plain));

  // A bound window re-pointed to the class procedure gives back no entry.
  TReceiver receiver;
  const platform::TWindowHandle bound = CreateObjectWindow(receiver.Method());
  const PThunkEntry entry = WindowThunk(bound);
  platform::SetWindowProc(bound, platform::kDefWindowProc);
  DestroyObjectWindow(bound);
  EXPECT_FALSE(platform::IsWindow(bound));
  EXPECT_EQ(1, ThunkBlockUseCount(entry));
  FreeWndThunk(entry);
}

TEST_F(ObjectWindowTest, WindowOfAnotherThreadKeepsItsEntry) {
  TReceiver receiver;
  const platform::TWindowHandle window = CreateObjectWindow(receiver.Method());
  const PThunkEntry entry = WindowThunk(window);
  std::jthread([&] { DestroyObjectWindow(window); }).join();
  EXPECT_TRUE(platform::IsWindow(window));
  EXPECT_EQ(1, ThunkBlockUseCount(entry));
  intptr_t result = 0;
  ASSERT_TRUE(platform::SendMessage(window, platform::WM_USER, 2, 2, &result));
  EXPECT_EQ(4, result);
  DestroyObjectWindow(window);
}

TEST_F(ObjectWindowTest, MethodMayDestroyItsOwnWindow) {
  struct TSelfDestroyer {
    platform::TWindowHandle Window = 0;
    int Calls = 0;
    void WndMethod(TMessage& message) {
      ++Calls;
      DestroyObjectWindow(Window);  // frees the entry and its block while running
      message.Result = 9;
    }
  } destroyer;
  destroyer.Window =
      CreateObjectWindow(MakeWndMethod<TSelfDestroyer, &TSelfDestroyer::WndMethod>(&destroyer));
  intptr_t result = 0;
  ASSERT_TRUE(platform::SendMessage(destroyer.Window, platform::WM_USER, 0, 0, &result));
  EXPECT_EQ(9, result);
  EXPECT_EQ(1, destroyer.Calls);
  EXPECT_FALSE(platform::IsWindow(destroyer.Window));
  EXPECT_EQ(0u, ThunkBlockCount());
}

TEST_F(ObjectWindowTest, ClassRegisteredWithAnotherProcedureIsReplaced) {
  platform::UnregisterWindowClass("ObjWndWindow");
  ASSERT_TRUE(
      platform::RegisterWindowClass("ObjWndWindow", platform::TWndProc{&ThunkWndProc, nullptr}));
  const platform::TWindowHandle window = CreateObjectWindow(TWndMethod{});
  platform::TWndProc proc;
  ASSERT_TRUE(platform::GetWindowClassInfo("ObjWndWindow", &proc));
  EXPECT_EQ(platform::kDefWindowProc, proc);
  EXPECT_EQ(platform::kDefWindowProc, platform::GetWindowProc(window));
  DestroyObjectWindow(window);
}

TEST(ObjectWindowModuleTest, FinalizationReturnsRemainingBlocks) {
  {
    TPipesModule module;
    TReceiver receiver;
    AllocWndThunk(receiver.Method());  // never freed
    EXPECT_EQ(1u, ThunkBlockCount());
  }
  EXPECT_EQ(0u, ThunkBlockCount());
}

}  // namespace
}  // namespace pipes
