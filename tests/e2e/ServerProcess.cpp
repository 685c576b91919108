#include "tests/e2e/ServerProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
  }
}

// The environment without a display, so that the program picks the
// offscreen platform itself.
std::vector<std::string> ChildEnvironment() {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (text.rfind("DISPLAY=", 0) == 0 || text.rfind("WAYLAND_DISPLAY=", 0) == 0 ||
        text.rfind("QT_QPA_PLATFORM=", 0) == 0) {
      continue;
    }
    result.push_back(text);
  }
  return result;
}

}  // namespace

TTempDir::TTempDir() {
  char pattern[] = "/tmp/qn-e2e-XXXXXX";
  Check(::mkdtemp(pattern) != nullptr, "mkdtemp");
  FPath = pattern;
}

TTempDir::~TTempDir() {
  std::error_code ignored;
  fs::remove_all(FPath, ignored);
}

fs::path CopyProgram(const fs::path& program, const fs::path& dir) {
  const fs::path copy = dir / program.filename();
  fs::copy_file(program, copy, fs::copy_options::overwrite_existing);
  fs::permissions(copy, fs::perms::owner_all);
  return copy;
}

TServerProcess::TServerProcess(const fs::path& program) {
  int input[2];
  int output[2];
  int error[2];
  Check(::pipe2(input, O_CLOEXEC) == 0, "pipe2");
  Check(::pipe2(output, O_CLOEXEC) == 0, "pipe2");
  Check(::pipe2(error, O_CLOEXEC) == 0, "pipe2");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, error[1], STDERR_FILENO);
  const std::string path = program.string();
  std::vector<std::string> environment = ChildEnvironment();
  std::vector<char*> envp;
  for (std::string& entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  const int spawned = ::posix_spawn(&FPid, path.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  ::close(output[1]);
  ::close(error[1]);
  FInput = input[1];
  if (spawned != 0) {
    ::close(output[0]);
    ::close(error[0]);
    errno = spawned;
    Check(false, "posix_spawn");
  }
  FPidFd = static_cast<int>(::syscall(SYS_pidfd_open, FPid, 0));
  FReader = std::thread([this, out = output[0], err = error[0]] { ReadOutput(out, err); });
}

TServerProcess::~TServerProcess() {
  if (FInput >= 0) {
    ::close(FInput);
  }
  if (!FExitCode) {
    ::kill(FPid, SIGKILL);
    int status = 0;
    ::waitpid(FPid, &status, 0);
  }
  if (FReader.joinable()) {
    FReader.join();
  }
  if (FPidFd >= 0) {
    ::close(FPidFd);
  }
}

void TServerProcess::Send(const std::string& line) {
  const std::string text = line + "\n";
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(FInput, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    Check(n > 0, "write to the program");
    done += static_cast<size_t>(n);
  }
}

void TServerProcess::CloseInput() {
  if (FInput >= 0) {
    ::close(FInput);
    FInput = -1;
  }
}

void TServerProcess::ReadOutput(int outFd, int errFd) {
  std::string partial[2];
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) {
        continue;
      }
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) {
          continue;
        }
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
        continue;
      }
      partial[i].append(buffer, static_cast<size_t>(n));
      size_t end;
      std::lock_guard lock(FMutex);
      while ((end = partial[i].find('\n')) != std::string::npos) {
        (i == 0 ? FOutput : FError).push_back(partial[i].substr(0, end));
        partial[i].erase(0, end + 1);
      }
      FChanged.notify_all();
    }
  }
}

std::optional<std::string> TServerProcess::WaitForLine(
    const std::vector<std::string>& lines,
    size_t from,
    const std::function<bool(const std::string&)>& match,
    std::chrono::milliseconds deadline) {
  std::unique_lock lock(FMutex);
  std::optional<std::string> found;
  FChanged.wait_for(lock, deadline, [&] {
    for (size_t i = from; i < lines.size(); ++i) {
      if (match(lines[i])) {
        found = lines[i];
        return true;
      }
    }
    from = lines.size();
    return false;
  });
  return found;
}

std::optional<std::string> TServerProcess::WaitForOutput(
    const std::function<bool(const std::string&)>& match,
    std::chrono::milliseconds deadline) {
  return WaitForLine(FOutput, 0, match, deadline);
}

std::optional<std::string> TServerProcess::WaitForError(
    const std::function<bool(const std::string&)>& match,
    std::chrono::milliseconds deadline) {
  return WaitForLine(FError, 0, match, deadline);
}

bool TServerProcess::WaitForErrorText(const std::string& text, std::chrono::milliseconds deadline) {
  return WaitForError([&](const std::string& line) { return line.find(text) != std::string::npos; },
                      deadline)
      .has_value();
}

std::optional<std::string> TServerProcess::Ask(const std::string& command,
                                               const std::string& prefix) {
  size_t from;
  {
    std::lock_guard lock(FMutex);
    from = FOutput.size();
  }
  Send(command);
  return WaitForLine(
      FOutput, from, [&](const std::string& line) { return line.rfind(prefix, 0) == 0; },
      kDeadline);
}

std::optional<int> TServerProcess::WaitForExit(std::chrono::milliseconds deadline) {
  if (FExitCode) {
    return FExitCode;
  }
  if (FPidFd >= 0) {
    pollfd fd{FPidFd, POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&fd, 1, static_cast<int>(deadline.count()));
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
      return std::nullopt;
    }
  }
  int status = 0;
  if (::waitpid(FPid, &status, 0) != FPid) {
    return std::nullopt;
  }
  FExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return FExitCode;
}

std::vector<std::string> TServerProcess::OutputLines() {
  std::lock_guard lock(FMutex);
  return FOutput;
}

std::vector<std::string> TServerProcess::ErrorLines() {
  std::lock_guard lock(FMutex);
  return FError;
}

}  // namespace e2e
