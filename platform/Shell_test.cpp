#include "platform/Shell.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Handle.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

constexpr auto kDeadline = std::chrono::seconds(60);

// A scratch directory on the search path, holding the programs the tests start.
class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/shell-test-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(pattern));
    FDir = pattern;
    const char* old = std::getenv("PATH");
    FOldPath = old ? old : "";
    FHadPath = old != nullptr;
    ::setenv("PATH", (FDir.string() + ":" + FOldPath).c_str(), 1);
  }
  void TearDown() override {
    if (FHadPath) {
      ::setenv("PATH", FOldPath.c_str(), 1);
    } else {
      ::unsetenv("PATH");
    }
    std::error_code ec;
    fs::remove_all(FDir, ec);
  }

  // A program that writes "<its pid> <its parent's pid>" as one line into
  // the scratch directory's fifo once it runs.
  void MakeProgram(const std::string& name) {
    const fs::path path = FDir / name;
    std::ofstream(path) << "#!/bin/sh\n"
                        << "echo \"$$ $PPID\" > \"" << Fifo().string() << "\"\n";
    fs::permissions(path, fs::perms::owner_all);
  }

  fs::path Fifo() const { return FDir / "started"; }

  void OpenFifo() {
    ASSERT_EQ(0, ::mkfifo(Fifo().c_str(), 0600));
    FFifo = TScopedFd(::open(Fifo().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(FFifo);
  }

  // The lines the started programs wrote, once count of them have arrived or
  // the deadline has passed.
  std::vector<std::string> WaitForLines(size_t count) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{FFifo.Get(), POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        break;
      }
      char buffer[256];
      const ssize_t n = ::read(FFifo.Get(), buffer, sizeof buffer);
      if (n > 0) {
        text.append(buffer, static_cast<size_t>(n));
      } else if (n == 0) {
        // Every writer so far has closed; wait for the next one to open.
        FFifo = TScopedFd(::open(Fifo().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
      }
    }
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      lines.push_back(line);
    }
    return lines;
  }

  static void ExpectNoChildren() {
    int status;
    EXPECT_EQ(-1, ::waitpid(-1, &status, WNOHANG));
    EXPECT_EQ(ECHILD, errno);
  }

  fs::path FDir;
  TScopedFd FFifo;
  std::string FOldPath;
  bool FHadPath = false;
};

TEST_F(ShellTest, OpenStartsAProgramFoundOnTheSearchPath) {
  MakeProgram("VardexMT_Pipe.exe");
  OpenFifo();
  EXPECT_EQ(0, ShellExecute("open", "VardexMT_Pipe.exe"));
  const auto lines = WaitForLines(1);
  ASSERT_EQ(1u, lines.size());
  pid_t pid = 0;
  pid_t parent = 0;
  std::istringstream(lines[0]) >> pid >> parent;
  EXPECT_GT(pid, 0);
  // It runs on its own: not a child of ours, and nothing left to reap.
  EXPECT_NE(::getpid(), parent);
  ExpectNoChildren();
}

TEST_F(ShellTest, OpenTakesAPathAsItStands) {
  MakeProgram("client");
  OpenFifo();
  ::setenv("PATH", "/nonexistent", 1);
  EXPECT_EQ(ENOENT, ShellExecute("open", "client"));
  EXPECT_EQ(0, ShellExecute("open", (FDir / "client").string()));
  EXPECT_EQ(1u, WaitForLines(1).size());
  ExpectNoChildren();
}

TEST_F(ShellTest, FailuresAreReturnedAndStartNothing) {
  std::ofstream(FDir / "not-executable") << "#!/bin/sh\n";
  fs::permissions(FDir / "not-executable", fs::perms::owner_read | fs::perms::owner_write);
  fs::create_directory(FDir / "a-directory");
  std::ofstream(FDir / "garbage") << "\x01\x02 not a program";
  fs::permissions(FDir / "garbage", fs::perms::owner_all);

  struct Case {
    const char* name;
    const char* verb;
    std::string file;
    int error;
  };
  const Case kCases[] = {
      {"not on the path", "open", "no-such-program-here", ENOENT},
      {"empty name", "open", "", EINVAL},
      {"other verb", "edit", "VardexMT_Pipe.exe", EINVAL},
      {"not executable", "open", "not-executable", EACCES},
      {"a directory", "open", "a-directory", EACCES},
      {"missing path", "open", (FDir / "missing").string(), ENOENT},
      // Found and runnable by its mode, but the system cannot run it: the
      // error comes back from the started side.
      {"not a program", "open", "garbage", ENOEXEC},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.error, ShellExecute(c.verb, c.file));
  }
  ExpectNoChildren();
}

TEST_F(ShellTest, SeveralThreadsMayOpenAtOnce) {
  MakeProgram("VardexMT_Pipe.exe");
  OpenFifo();
  constexpr int kThreads = 4;
  std::vector<int> results(kThreads, -1);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] { results[i] = ShellExecute("open", "VardexMT_Pipe.exe"); });
  }
  for (auto& t : threads) {
    t.join();
  }
  EXPECT_EQ(std::vector<int>(kThreads, 0), results);
  EXPECT_EQ(static_cast<size_t>(kThreads), WaitForLines(kThreads).size());
  ExpectNoChildren();
}

}  // namespace
}  // namespace platform
