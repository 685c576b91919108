#include "platform/SharedRecord.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Error.h"

namespace platform {
namespace {

constexpr size_t kSize = 12;

// A key no other test run uses, and which is gone when the test ends.
class SharedRecordTest : public ::testing::Test {
 protected:
  std::string Key(const char* suffix = "") const {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string("/tmp/shared-record-test/") + std::to_string(::getpid()) + "/" +
           info->name() + suffix;
  }
  void TearDown() override {
    for (const char* suffix : {"", "-other"}) {
      EXPECT_FALSE(NameExists(Key(suffix))) << "record left behind: " << Key(suffix);
    }
  }
  static bool NameExists(const std::string& key) {
    const int fd = ::shm_open(TSharedRecord::NameForKey(key).c_str(), O_RDONLY, 0);
    if (fd >= 0) {
      ::close(fd);
      return true;
    }
    return false;
  }
};

int32_t ReadInt(const TSharedRecord& record, size_t offset = 0) {
  int32_t value;
  std::memcpy(&value, record.Data().data() + offset, sizeof value);
  return value;
}

void WriteInt(TSharedRecord& record, int32_t value, size_t offset = 0) {
  std::memcpy(record.Data().data() + offset, &value, sizeof value);
}

bool AllZero(const TSharedRecord& record) {
  const auto data = record.Data();
  return std::all_of(data.begin(), data.end(), [](std::byte b) { return b == std::byte{0}; });
}

TEST(SharedRecordName, IsAValidNameForAnyKey) {
  const std::string keys[] = {"", "C:ToolsServersrv.exe", "/usr/bin/x", std::string(4000, 'a'),
                              "with/slashes and spaces\xff"};
  for (const auto& key : keys) {
    const std::string name = TSharedRecord::NameForKey(key);
    SCOPED_TRACE(name);
    EXPECT_EQ('/', name[0]);
    EXPECT_EQ(std::string::npos, name.find('/', 1));
    EXPECT_LT(name.size(), 64u);
    EXPECT_NE(std::string::npos, name.find("." + std::to_string(::geteuid()) + "."));
  }
  EXPECT_EQ(TSharedRecord::NameForKey("/a/b"), TSharedRecord::NameForKey("/a/b"));
  EXPECT_NE(TSharedRecord::NameForKey("/a/b"), TSharedRecord::NameForKey("/a/c"));
}

TEST_F(SharedRecordTest, FirstOpenCreatesZeroedRecordAndHoldsTheLock) {
  TSharedRecord record;
  auto lock = record.Open(Key(), kSize);
  EXPECT_TRUE(lock.Owns());
  EXPECT_TRUE(record.IsOpen());
  EXPECT_FALSE(record.AlreadyExists());
  EXPECT_EQ(kSize, record.Data().size());
  EXPECT_TRUE(AllZero(record));
}

TEST_F(SharedRecordTest, SecondHolderSeesTheSameBytes) {
  TSharedRecord first;
  {
    auto lock = first.Open(Key(), kSize);
    WriteInt(first, 0x11223344, 4);
  }
  TSharedRecord second;
  {
    auto lock = second.Open(Key(), kSize);
    EXPECT_TRUE(second.AlreadyExists());
    EXPECT_EQ(0x11223344, ReadInt(second, 4));
    WriteInt(second, 7, 8);
  }
  EXPECT_EQ(7, ReadInt(first, 8));
}

TEST_F(SharedRecordTest, OtherKeyIsAnotherRecord) {
  TSharedRecord first;
  {
    auto lock = first.Open(Key(), kSize);
    WriteInt(first, 5);
  }
  TSharedRecord other;
  auto lock = other.Open(Key("-other"), kSize);
  EXPECT_FALSE(other.AlreadyExists());
  EXPECT_TRUE(AllZero(other));
}

TEST_F(SharedRecordTest, LivesWhileAnyHolderHasItAndGoesWithTheLast) {
  auto first = std::make_unique<TSharedRecord>();
  first->Open(Key(), kSize).Unlock();
  WriteInt(*first, 42);
  TSharedRecord second;
  second.Open(Key(), kSize).Unlock();
  first.reset();  // the destructor closes

  TSharedRecord third;
  third.Open(Key(), kSize).Unlock();
  EXPECT_TRUE(third.AlreadyExists());
  EXPECT_EQ(42, ReadInt(third));
  second.Close();
  third.Close();
  third.Close();  // again: nothing happens
  EXPECT_FALSE(NameExists(Key()));

  TSharedRecord fourth;
  fourth.Open(Key(), kSize).Unlock();
  EXPECT_FALSE(fourth.AlreadyExists());
  EXPECT_TRUE(AllZero(fourth));
}

TEST_F(SharedRecordTest, LockExcludesOtherHolders) {
  TSharedRecord a;
  TSharedRecord b;
  a.Open(Key(), kSize).Unlock();
  b.Open(Key(), kSize).Unlock();

  auto held = a.Lock();
  std::atomic<bool> bLocked{false};
  std::thread other([&] {
    auto lock = b.Lock();
    bLocked = true;
  });
  // b cannot have the lock while a holds it; it gets it as soon as a lets go.
  EXPECT_FALSE(bLocked.load());
  held.Unlock();
  other.join();
  EXPECT_TRUE(bLocked.load());
}

TEST_F(SharedRecordTest, OpenWaitsForTheLockSoTheCreatorFillsFirst) {
  TSharedRecord creator;
  auto lock = creator.Open(Key(), kSize);
  std::atomic<bool> opened{false};
  int32_t seen = -1;
  std::thread late([&] {
    TSharedRecord record;
    auto l = record.Open(Key(), kSize);
    opened = true;
    seen = ReadInt(record);
  });
  EXPECT_FALSE(opened.load());
  WriteInt(creator, 1);
  lock.Unlock();
  late.join();
  EXPECT_EQ(1, seen);
}

TEST_F(SharedRecordTest, MovedRecordKeepsHolding) {
  TSharedRecord a;
  a.Open(Key(), kSize).Unlock();
  WriteInt(a, 9);
  TSharedRecord b(std::move(a));
  EXPECT_FALSE(a.IsOpen());
  TSharedRecord c;
  c = std::move(b);
  EXPECT_EQ(9, ReadInt(c));
  TSharedRecord d;
  d.Open(Key(), kSize).Unlock();
  EXPECT_TRUE(d.AlreadyExists());
}

TEST_F(SharedRecordTest, MisuseRaises) {
  TSharedRecord record;
  EXPECT_THROW(record.Lock(), std::logic_error);
  EXPECT_THROW(static_cast<void>(record.Open(Key(), 0)), std::invalid_argument);
  auto lock = record.Open(Key(), kSize);
  EXPECT_THROW(record.Lock(), std::logic_error);
  EXPECT_THROW(static_cast<void>(record.Open(Key(), kSize)), std::logic_error);
}

TEST_F(SharedRecordTest, RecordOfAnotherUserIsRefused) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to create a record owned by another user";
  }
  const std::string name = TSharedRecord::NameForKey(Key());
  const int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ::fchown(fd, 65534, 65534));
  ::close(fd);
  TSharedRecord record;
  try {
    static_cast<void>(record.Open(Key(), kSize));
    ADD_FAILURE() << "opened a record of another user";
  } catch (const EOSError& e) {
    EXPECT_EQ(EACCES, e.Code());
  }
  EXPECT_FALSE(record.IsOpen());
  ::shm_unlink(name.c_str());
}

// Threads racing to open the same record: the lock orders them, and every
// holder sees the same object, also while others close and remove it.
TEST_F(SharedRecordTest, SimultaneousOpensFromThreadsHaveExactlyOneCreator) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 30;
  for (int round = 0; round < kRounds; ++round) {
    std::barrier start(kThreads);
    std::atomic<int> creators{0};
    std::vector<std::thread> threads;
    std::vector<TSharedRecord> records(kThreads);
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        auto lock = records[i].Open(Key(), kSize);
        if (!records[i].AlreadyExists()) {
          creators.fetch_add(1);
        }
      });
    }
    for (auto& t : threads) {
      t.join();
    }
    ASSERT_EQ(1, creators.load()) << "round " << round;
    records.clear();
    ASSERT_FALSE(NameExists(Key()));
  }
}

TEST_F(SharedRecordTest, HoldersAgreeWhileOthersOpenAndCloseAllTheTime) {
  constexpr int kThreads = 6;
  constexpr int kIterations = 300;
  // Counted twice: in the record by its holders under its lock, and here.
  // They can only disagree when two holders use different objects.
  std::atomic<int> live{0};
  std::atomic<int> mismatches{0};
  std::barrier start(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (int n = 0; n < kIterations; ++n) {
        TSharedRecord record;
        {
          auto lock = record.Open(Key(), kSize);
          const int32_t count = ReadInt(record);
          if (count != live.load() || (!record.AlreadyExists() && count != 0)) {
            mismatches.fetch_add(1);
          }
          WriteInt(record, count + 1);
          live.fetch_add(1);
        }
        {
          auto lock = record.Lock();
          WriteInt(record, ReadInt(record) - 1);
          live.fetch_sub(1);
        }
        record.Close();
      }
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  EXPECT_EQ(0, mismatches.load());
}

// A child process that opens the record and reports through a pipe. The parent
// decides when it ends; the child never returns into the test framework.
class THolderProcess {
 public:
  THolderProcess(const std::string& key, bool fill) {
    int ready[2];
    int release[2];
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(release, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe";
      return;
    }
    FPid = ::fork();
    if (FPid == 0) {
      // Keep only this child's own pipe ends: an inherited end of a sibling's
      // release pipe would keep that sibling waiting.
      const unsigned a = std::min(ready[1], release[0]);
      const unsigned b = std::max(ready[1], release[0]);
      ::close_range(3, a - 1, 0);
      ::close_range(a + 1, b - 1, 0);
      ::close_range(b + 1, ~0u, 0);
      char result = 'x';
      {
        TSharedRecord record;
        try {
          auto lock = record.Open(key, kSize);
          result = record.AlreadyExists() ? 'e' : 'c';
          if (fill) {
            std::memset(record.Data().data(), 0x5a, kSize);
          }
        } catch (...) {
        }
        static_cast<void>(::write(ready[1], &result, 1));
        char c;
        static_cast<void>(::read(release[0], &c, 1));  // until the parent closes it
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    FReady = ready[0];
    FRelease = release[1];
  }
  THolderProcess(const THolderProcess&) = delete;
  THolderProcess& operator=(const THolderProcess&) = delete;
  ~THolderProcess() {
    Release();
    Wait();
    if (FReady >= 0) {
      ::close(FReady);
    }
  }

  // 'c' created, 'e' existed, 'x' failed, 0 no answer within the deadline.
  char Result() {
    pollfd p{FReady, POLLIN, 0};
    if (::poll(&p, 1, 60000) != 1) {
      return 0;
    }
    char c = 0;
    return ::read(FReady, &c, 1) == 1 ? c : 0;
  }
  void Release() {
    if (FRelease >= 0) {
      ::close(FRelease);
      FRelease = -1;
    }
  }
  void Kill() { ::kill(FPid, SIGKILL); }
  void Wait() {
    if (FPid > 0) {
      int status;
      while (::waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
      }
      FPid = -1;
    }
  }

 private:
  pid_t FPid = -1;
  int FReady = -1;
  int FRelease = -1;
};

TEST_F(SharedRecordTest, RecordOfAKilledHolderIsNewAgain) {
  {
    THolderProcess holder(Key(), true);
    ASSERT_EQ('c', holder.Result());
    holder.Kill();
    holder.Wait();
  }
  // The name is still there, with the dead holder's bytes, but nobody holds it.
  ASSERT_TRUE(NameExists(Key()));
  TSharedRecord record;
  record.Open(Key(), kSize).Unlock();
  EXPECT_FALSE(record.AlreadyExists());
  EXPECT_TRUE(AllZero(record));
}

TEST_F(SharedRecordTest, KilledHolderDoesNotCountWhileAnotherHolds) {
  TSharedRecord mine;
  mine.Open(Key(), kSize).Unlock();
  {
    THolderProcess holder(Key(), true);
    ASSERT_EQ('e', holder.Result());
    holder.Kill();
    holder.Wait();
  }
  // It was not the last holder, so the record stays; when this one closes it
  // is the last and the record goes.
  mine.Close();
  EXPECT_FALSE(NameExists(Key()));
}

TEST_F(SharedRecordTest, SimultaneousOpensFromProcessesHaveExactlyOneCreator) {
  constexpr int kProcesses = 6;
  constexpr int kRounds = 5;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::unique_ptr<THolderProcess>> holders;
    for (int i = 0; i < kProcesses; ++i) {
      holders.push_back(std::make_unique<THolderProcess>(Key(), false));
    }
    std::string results;
    for (auto& h : holders) {
      results += h->Result();
    }
    std::sort(results.begin(), results.end());
    EXPECT_EQ("c" + std::string(kProcesses - 1, 'e'), results) << "round " << round;
    holders.clear();  // releases and reaps them all
    ASSERT_FALSE(NameExists(Key()));
  }
}

}  // namespace
}  // namespace platform
