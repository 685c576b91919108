#include "app/CheckPrevious.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <barrier>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Handle.h"

extern char** environ;

namespace app {

void PrintTo(const TInstanceRecord& r, std::ostream* out) {
  *out << "{" << r.MainWindow << ", " << r.InstanceCount << ", " << r.Reserved << "}";
}

namespace {

namespace fs = std::filesystem;

constexpr int kDeadlineMs = 60000;

// A program path no other test (or test run) uses.
std::string TestPath(const char* name = "srv.exe") {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return std::string("/tmp/check-previous-test/") + std::to_string(::getpid()) + "/" +
         info->name() + "/" + name;
}

bool RecordExists(const std::string& programPath) {
  const std::string name = platform::TSharedRecord::NameForKey(MappingNameForPath(programPath));
  const int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
  if (fd < 0) {
    return false;
  }
  ::close(fd);
  return true;
}

// Remembers which windows a guard asked to come to the front.
struct TActivations {
  std::mutex Mutex;
  std::vector<TAppWindowHandle> Windows;
  TInstanceGuard::TActivate Fn() {
    return [this](TAppWindowHandle w) {
      std::lock_guard lock(Mutex);
      Windows.push_back(w);
    };
  }
};

TEST(MappingName, IsThePathWithoutBackslashes) {
  struct Case {
    const char* path;
    const char* name;
  };
  const Case kCases[] = {
      {"C:\\Tools\\Server\\srv.exe", "C:ToolsServersrv.exe"},
      {"/opt/qn/InstrumentServer", "/opt/qn/InstrumentServer"},
      {"\\\\\\", ""},
      {"/a\\\\b/", "/ab/"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.name, MappingNameForPath(c.path));
  }
}

TEST(InstanceRecord, IsTwelveLittleEndianBytes) {
  std::array<std::byte, kInstanceRecordSize> bytes{};
  StoreInstanceRecord({0x12345678, -2, 0}, bytes);
  const unsigned char expected[] = {0x78, 0x56, 0x34, 0x12, 0xfe, 0xff, 0xff, 0xff, 0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(expected, bytes.data(), sizeof expected));
  EXPECT_EQ((TInstanceRecord{0x12345678, -2, 0}), LoadInstanceRecord(bytes));
}

TEST(ProgramFilePath, IsTheRunningProgramFile) {
  EXPECT_EQ(fs::canonical("/proc/self/exe").string(), ProgramFilePath());
}

class InstanceGuardTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const char* name : {"srv.exe", "other.exe"}) {
      EXPECT_FALSE(RecordExists(TestPath(name))) << "record left behind for " << name;
    }
  }
  TActivations FActivations;
};

TEST_F(InstanceGuardTest, FirstStartRegistersItsWindow) {
  TInstanceGuard guard(FActivations.Fn());
  EXPECT_FALSE(guard.CheckPreviousInstance(TestPath(), 0x1001, 1));
  EXPECT_TRUE(guard.Registered());
  EXPECT_EQ(MappingNameForPath(TestPath()), guard.MappingName());
  EXPECT_EQ((TInstanceRecord{0x1001, 1, 0}), guard.Record());
  EXPECT_TRUE(FActivations.Windows.empty());
}

TEST_F(InstanceGuardTest, SecondStartIsRefusedAndActivatesTheFirstLeavingTheRecord) {
  TInstanceGuard first(FActivations.Fn());
  ASSERT_FALSE(first.CheckPreviousInstance(TestPath(), 0x1001, 1));
  {
    TInstanceGuard second(FActivations.Fn());
    EXPECT_TRUE(second.CheckPreviousInstance(TestPath(), 0x2002, 1));
    EXPECT_FALSE(second.Registered());
    EXPECT_EQ((TInstanceRecord{0x1001, 1, 0}), second.Record());
  }  // the refused guard finalises
  EXPECT_EQ(std::vector<TAppWindowHandle>{0x1001}, FActivations.Windows);
  EXPECT_EQ((TInstanceRecord{0x1001, 1, 0}), first.Record());
}

TEST_F(InstanceGuardTest, AnotherPathRunsBeside) {
  TInstanceGuard first(FActivations.Fn());
  TInstanceGuard other(FActivations.Fn());
  EXPECT_FALSE(first.CheckPreviousInstance(TestPath(), 0x1001, 1));
  EXPECT_FALSE(other.CheckPreviousInstance(TestPath("other.exe"), 0x2002, 1));
  EXPECT_EQ((TInstanceRecord{0x2002, 1, 0}), other.Record());
  EXPECT_EQ((TInstanceRecord{0x1001, 1, 0}), first.Record());
}

TEST_F(InstanceGuardTest, AfterTheOnlyInstanceEndsTheNextIsAFirstStart) {
  {
    TInstanceGuard first(FActivations.Fn());
    ASSERT_FALSE(first.CheckPreviousInstance(TestPath(), 0x1001, 1));
    first.Finalize();
    EXPECT_FALSE(first.Record().has_value());
    first.Finalize();  // again: nothing happens
  }
  EXPECT_FALSE(RecordExists(TestPath()));
  TInstanceGuard next(FActivations.Fn());
  EXPECT_FALSE(next.CheckPreviousInstance(TestPath(), 0x3003, 1));
  EXPECT_EQ((TInstanceRecord{0x3003, 1, 0}), next.Record());
}

// The count goes back when an instance ends while the record is still held,
// and a later start takes the free place and becomes the one activated.
TEST_F(InstanceGuardTest, CountFollowsRegistrationsWhileTheRecordIsHeld) {
  auto a = std::make_unique<TInstanceGuard>(FActivations.Fn());
  auto b = std::make_unique<TInstanceGuard>(FActivations.Fn());
  auto c = std::make_unique<TInstanceGuard>(FActivations.Fn());
  EXPECT_FALSE(a->CheckPreviousInstance(TestPath(), 0xA, 2));
  EXPECT_FALSE(b->CheckPreviousInstance(TestPath(), 0xB, 2));
  EXPECT_EQ((TInstanceRecord{0xB, 2, 0}), b->Record());
  EXPECT_TRUE(c->CheckPreviousInstance(TestPath(), 0xC, 2));
  EXPECT_EQ(std::vector<TAppWindowHandle>{0xB}, FActivations.Windows);

  a.reset();
  EXPECT_EQ((TInstanceRecord{0xB, 1, 0}), b->Record());
  TInstanceGuard d(FActivations.Fn());
  EXPECT_FALSE(d.CheckPreviousInstance(TestPath(), 0xD, 2));
  EXPECT_EQ((TInstanceRecord{0xD, 2, 0}), d.Record());
  b.reset();
  c.reset();
  EXPECT_EQ((TInstanceRecord{0xD, 1, 0}), d.Record());
}

TEST_F(InstanceGuardTest, CheckingTwiceIsAProgrammingError) {
  TInstanceGuard guard(FActivations.Fn());
  ASSERT_FALSE(guard.CheckPreviousInstance(TestPath(), 1, 1));
  EXPECT_THROW(guard.CheckPreviousInstance(TestPath(), 1, 1), std::logic_error);
}

TEST_F(InstanceGuardTest, SimultaneousStartsFromThreadsLetExactlyOneRun) {
  constexpr int kStarts = 8;
  constexpr int kRounds = 20;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::unique_ptr<TInstanceGuard>> guards;
    for (int i = 0; i < kStarts; ++i) {
      guards.push_back(std::make_unique<TInstanceGuard>(FActivations.Fn()));
    }
    std::barrier start(kStarts);
    std::vector<int> refused(kStarts, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kStarts; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        refused[i] = guards[i]->CheckPreviousInstance(TestPath(), 100 + i, 1) ? 1 : 0;
      });
    }
    for (auto& t : threads) {
      t.join();
    }
    ASSERT_EQ(1, std::count(refused.begin(), refused.end(), 0)) << "round " << round;
    const int winner =
        static_cast<int>(std::find(refused.begin(), refused.end(), 0) - refused.begin());
    EXPECT_EQ((TInstanceRecord{static_cast<uint32_t>(100 + winner), 1, 0}),
              guards[winner]->Record());
    guards.clear();
    ASSERT_FALSE(RecordExists(TestPath()));
  }
  // Every refused start asked the winner of its round.
  EXPECT_EQ(static_cast<size_t>(kRounds * (kStarts - 1)), FActivations.Windows.size());
}

// ---------------------------------------------------------------------------
// Whole processes, started from copies of a probe program that goes through
// the same start-up as the server (application window, then the guard).

class TProbe {
 public:
  explicit TProbe(const std::string& program) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe";
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    const int rc = ::posix_spawn(&FPid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    FIn = platform::TScopedFd(in[1]);
    FOut = platform::TScopedFd(out[0]);
    if (rc != 0) {
      ADD_FAILURE() << "posix_spawn " << program << ": " << std::strerror(rc);
      FPid = -1;
    }
  }
  TProbe(const TProbe&) = delete;
  TProbe& operator=(const TProbe&) = delete;
  ~TProbe() {
    if (FPid > 0) {
      Kill();
      Wait();
    }
  }

  // The next line the probe writes, or "" at the end of its output or after
  // the deadline.
  std::string ReadLine() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
    for (;;) {
      const size_t end = FBuffer.find('\n');
      if (end != std::string::npos) {
        std::string line = FBuffer.substr(0, end);
        FBuffer.erase(0, end + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      pollfd p{FOut.Get(), POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
        return "";
      }
      char buffer[256];
      const ssize_t n = ::read(FOut.Get(), buffer, sizeof buffer);
      if (n <= 0) {
        return "";
      }
      FBuffer.append(buffer, static_cast<size_t>(n));
    }
  }

  void Send(const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(static_cast<ssize_t>(text.size()), ::write(FIn.Get(), text.data(), text.size()));
  }

  // Ends its input, reads the rest of its output and returns its exit status
  // as waitpid reports it (-1 when it did not end before the deadline).
  int Finish() {
    FIn.Close();
    for (std::string line; !(line = ReadLine()).empty();) {
      FRest.push_back(line);
    }
    return Wait();
  }

  void Kill() { ::kill(FPid, SIGKILL); }

  int Wait() {
    // Its output ends when it ends; only then wait for it, so that a probe
    // that hangs fails the test instead of hanging it.
    pollfd p{FOut.Get(), POLLIN, 0};
    if (FPid <= 0) {
      return -1;
    }
    for (char buffer[256];;) {
      if (::poll(&p, 1, kDeadlineMs) <= 0) {
        ::kill(FPid, SIGKILL);
        break;
      }
      if (::read(FOut.Get(), buffer, sizeof buffer) <= 0) {
        break;
      }
    }
    int status = -1;
    while (::waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
    }
    FPid = -1;
    return status;
  }

  const std::vector<std::string>& Rest() const { return FRest; }

 private:
  pid_t FPid = -1;
  platform::TScopedFd FIn;
  platform::TScopedFd FOut;
  std::string FBuffer;
  std::vector<std::string> FRest;
};

// The words of a "running"/"refused" line: tag, own window, MainWindow,
// InstanceCount, Reserved.
struct TStartLine {
  std::string Tag;
  uint32_t Own = 0;
  TInstanceRecord Record;
};

TStartLine ParseStart(const std::string& line) {
  TStartLine s;
  std::istringstream in(line);
  in >> s.Tag >> s.Own >> s.Record.MainWindow >> s.Record.InstanceCount >> s.Record.Reserved;
  return s;
}

class ProgramStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/check-previous-probe-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(pattern));
    FDir = pattern;
    fs::create_directories(FDir / "a");
    fs::create_directories(FDir / "b");
    FProgram = (FDir / "a" / "InstrumentServer").string();
    FOtherProgram = (FDir / "b" / "InstrumentServer").string();
    fs::copy_file(QN_INSTANCE_PROBE, FProgram);
    fs::copy_file(QN_INSTANCE_PROBE, FOtherProgram);
  }
  void TearDown() override {
    EXPECT_FALSE(RecordExists(FProgram));
    EXPECT_FALSE(RecordExists(FOtherProgram));
    std::error_code ec;
    fs::remove_all(FDir, ec);
  }

  // Starts a probe and reads the line that tells how its start went.
  TStartLine Start(TProbe& probe) { return ParseStart(probe.ReadLine()); }

  fs::path FDir;
  std::string FProgram;
  std::string FOtherProgram;
};

TEST_F(ProgramStartTest, FirstStartRunsAndRegistersItsWindow) {
  TProbe first(FProgram);
  const auto s = Start(first);
  EXPECT_EQ("running", s.Tag);
  EXPECT_NE(0u, s.Own);
  EXPECT_EQ((TInstanceRecord{s.Own, 1, 0}), s.Record);
  EXPECT_EQ(0, first.Finish());
}

TEST_F(ProgramStartTest, SecondStartEndsAtOnceAndBringsTheFirstToTheFront) {
  TProbe first(FProgram);
  const auto one = Start(first);
  ASSERT_EQ("running", one.Tag);

  TProbe second(FProgram);
  const auto two = Start(second);
  EXPECT_EQ("refused", two.Tag);
  EXPECT_NE(one.Own, two.Own);
  EXPECT_EQ((TInstanceRecord{one.Own, 1, 0}), two.Record);
  EXPECT_EQ(0, second.Finish());

  EXPECT_EQ("activated", first.ReadLine());
  first.Send("record");
  EXPECT_EQ("record " + std::to_string(one.Own) + " 1 0", first.ReadLine());
  EXPECT_EQ(0, first.Finish());
}

TEST_F(ProgramStartTest, CopyOnAnotherPathRunsBeside) {
  TProbe first(FProgram);
  TProbe other(FOtherProgram);
  EXPECT_EQ("running", Start(first).Tag);
  EXPECT_EQ("running", Start(other).Tag);
  EXPECT_EQ(0, other.Finish());
  EXPECT_EQ(0, first.Finish());
  EXPECT_TRUE(first.Rest().empty()) << "the copy activated the first";
}

TEST_F(ProgramStartTest, AfterTheOnlyInstanceEndsTheNextStartIsAFirstStart) {
  {
    TProbe first(FProgram);
    ASSERT_EQ("running", Start(first).Tag);
    ASSERT_EQ(0, first.Finish());
  }
  EXPECT_FALSE(RecordExists(FProgram));
  TProbe next(FProgram);
  const auto s = Start(next);
  EXPECT_EQ("running", s.Tag);
  EXPECT_EQ((TInstanceRecord{s.Own, 1, 0}), s.Record);
  EXPECT_EQ(0, next.Finish());
}

TEST_F(ProgramStartTest, KilledInstanceDoesNotRefuseLaterStarts) {
  {
    TProbe first(FProgram);
    ASSERT_EQ("running", Start(first).Tag);
    first.Kill();
    first.Wait();
  }
  // The record the killed instance left names it and counts it ...
  EXPECT_TRUE(RecordExists(FProgram));
  // ... but nobody holds it, so the next start begins afresh.
  TProbe next(FProgram);
  const auto s = Start(next);
  EXPECT_EQ("running", s.Tag);
  EXPECT_EQ((TInstanceRecord{s.Own, 1, 0}), s.Record);
  EXPECT_EQ(0, next.Finish());
}

TEST_F(ProgramStartTest, ProgramFileReplacedWhileRunningStillRefusesTheNewCopy) {
  TProbe first(FProgram);
  const auto one = Start(first);
  ASSERT_EQ("running", one.Tag);
  // An update in place: the running file is removed and a new one put there.
  // The running copy took its path when it started, so the new one meets it.
  fs::remove(FProgram);
  fs::copy_file(QN_INSTANCE_PROBE, FProgram);
  TProbe second(FProgram);
  EXPECT_EQ("refused", Start(second).Tag);
  EXPECT_EQ(0, second.Finish());
  EXPECT_EQ("activated", first.ReadLine());
  EXPECT_EQ(0, first.Finish());
}

TEST_F(ProgramStartTest, SimultaneousStartsLetExactlyOneRun) {
  constexpr int kStarts = 6;
  std::vector<std::unique_ptr<TProbe>> probes;
  for (int i = 0; i < kStarts; ++i) {
    probes.push_back(std::make_unique<TProbe>(FProgram));
  }
  std::vector<TStartLine> starts;
  for (auto& p : probes) {
    starts.push_back(Start(*p));
  }
  const auto winner = std::find_if(starts.begin(), starts.end(),
                                   [](const TStartLine& s) { return s.Tag == "running"; });
  ASSERT_NE(starts.end(), winner);
  EXPECT_EQ(1, std::count_if(starts.begin(), starts.end(),
                             [](const TStartLine& s) { return s.Tag == "running"; }));
  EXPECT_EQ(kStarts - 1, std::count_if(starts.begin(), starts.end(), [&](const TStartLine& s) {
              return s.Tag == "refused" && s.Record == TInstanceRecord{winner->Own, 1, 0};
            }));
  auto& running = *probes[static_cast<size_t>(winner - starts.begin())];
  for (auto& p : probes) {
    if (p.get() != &running) {
      EXPECT_EQ(0, p->Finish());
    }
  }
  // The requests may be served in one go or several.
  EXPECT_EQ("activated", running.ReadLine());
  EXPECT_EQ(0, running.Finish());
}

}  // namespace
}  // namespace app
