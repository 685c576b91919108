#include "platform/Shell.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "platform/Handle.h"

extern char** environ;

namespace platform {

namespace {

// Finds the program the way execvp would, but before forking, so that the
// forked side only calls async-signal-safe functions. Returns 0 and the path,
// or the error number.
int FindProgram(const std::string& file, std::string* path) {
  auto check = [](const std::string& candidate) {
    struct stat st = {};
    if (::stat(candidate.c_str(), &st) != 0) {
      return errno;
    }
    if (!S_ISREG(st.st_mode)) {
      return EACCES;
    }
    return ::access(candidate.c_str(), X_OK) == 0 ? 0 : errno;
  };
  if (file.find('/') != std::string::npos) {
    *path = file;
    return check(file);
  }
  std::string searchPath;
  if (const char* env = std::getenv("PATH")) {
    searchPath = env;
  } else {
    const size_t n = ::confstr(_CS_PATH, nullptr, 0);
    searchPath.resize(n);
    if (n > 0) {
      ::confstr(_CS_PATH, searchPath.data(), n);
      searchPath.resize(n - 1);
    }
  }
  // As execvp: a program found but not runnable is remembered, and the search
  // goes on; an empty entry is the current directory.
  int result = ENOENT;
  std::string_view rest = searchPath;
  for (;;) {
    const size_t colon = rest.find(':');
    std::string dir(rest.substr(0, colon));
    const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + file;
    const int error = check(candidate);
    if (error == 0) {
      *path = candidate;
      return 0;
    }
    if (error == EACCES) {
      result = EACCES;
    }
    if (colon == std::string_view::npos) {
      return result;
    }
    rest.remove_prefix(colon + 1);
  }
}

void WriteError(int fd, int error) {
  ssize_t rc;
  do {
    rc = ::write(fd, &error, sizeof error);
  } while (rc < 0 && errno == EINTR);
}

}  // namespace

int ShellExecute(const std::string& verb, const std::string& file, int showCmd) {
  static_cast<void>(showCmd);  // there is no window state to hand over here
  if (verb != "open" || file.empty()) {
    return EINVAL;
  }
  std::string path;
  if (const int error = FindProgram(file, &path)) {
    return error;
  }
  char* argv[] = {const_cast<char*>(file.c_str()), nullptr};
  char** envp = environ;

  int errorPipe[2];
  if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
    return errno;
  }
  TScopedFd errorRead(errorPipe[0]);
  TScopedFd errorWrite(errorPipe[1]);

  // Two forks, so that the program is adopted by the system's reaper and never
  // waits as a zombie of ours. The first child only forks again and ends; we
  // reap it at once. From the first fork on, only async-signal-safe calls:
  // other threads of this process may hold locks we cannot take there.
  const pid_t child = ::fork();
  if (child < 0) {
    return errno;
  }
  if (child == 0) {
    const pid_t grandchild = ::_Fork();
    if (grandchild < 0) {
      WriteError(errorPipe[1], errno);
      ::_exit(1);
    }
    if (grandchild > 0) {
      ::_exit(0);
    }
    ::setsid();
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &dfl, nullptr);
    // Descriptors someone opened without close-on-exec stay ours.
    ::close_range(3, ~0u, CLOSE_RANGE_CLOEXEC);
    ::execve(path.c_str(), argv, envp);
    WriteError(errorPipe[1], errno);
    ::_exit(127);
  }

  errorWrite.Close();
  int status;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // The pipe reaches end of file when the program has been started (exec
  // closed the last writer), or carries the error number otherwise.
  int error = 0;
  ssize_t rc;
  do {
    rc = ::read(errorRead.Get(), &error, sizeof error);
  } while (rc < 0 && errno == EINTR);
  return rc == static_cast<ssize_t>(sizeof error) ? error : 0;
}

}  // namespace platform
