#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>

#include "app/TerminationSignals.h"
#include "platform/Error.h"

namespace app {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT};

// The handler may only do async-signal-safe things: one write to a pipe.
std::atomic<int> gWriteFd{-1};
struct sigaction gPrevious[2];

void OnSignal(int signo) {
  const int savedErrno = errno;
  const int fd = gWriteFd.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const char byte = static_cast<char>(signo);
    // A full pipe already says "close": dropping the byte loses nothing.
    [[maybe_unused]] const ssize_t ignored = ::write(fd, &byte, 1);
  }
  errno = savedErrno;
}

}  // namespace

TTerminationSignals::TTerminationSignals() {
  if (gWriteFd.load() >= 0) {
    throw std::logic_error("termination signals are already watched");
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    platform::RaiseLastOSError("pipe2");
  }
  FRead.Reset(fds[0]);
  FWrite.Reset(fds[1]);
  gWriteFd.store(FWrite.Get());

  struct sigaction action {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (size_t i = 0; i < 2; ++i) {
    if (::sigaction(kSignals[i], &action, &gPrevious[i]) != 0) {
      const int error = errno;
      for (size_t j = 0; j < i; ++j) {
        ::sigaction(kSignals[j], &gPrevious[j], nullptr);
      }
      gWriteFd.store(-1);
      errno = error;
      platform::RaiseLastOSError("sigaction");
    }
  }
}

TTerminationSignals::~TTerminationSignals() {
  for (size_t i = 0; i < 2; ++i) {
    ::sigaction(kSignals[i], &gPrevious[i], nullptr);
  }
  gWriteFd.store(-1);
}

int TTerminationSignals::Drain() {
  int count = 0;
  char buffer[64];
  for (;;) {
    const ssize_t n = ::read(FRead.Get(), buffer, sizeof buffer);
    if (n > 0) {
      count += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    return count;
  }
}

}  // namespace app
