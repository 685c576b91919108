#include "platform/Event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/Error.h"

// ThreadSanitizer cannot see that a wait which returns because an event is set
// happens after the Set: the hand-over goes through the kernel (eventfd write,
// poll). Tell it, keyed by descriptor number, so that data handed over by
// setting an event (and nothing else) is not reported as a race.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer) && !defined(__SANITIZE_THREAD__)
#define __SANITIZE_THREAD__ 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
namespace {
constexpr int kTsanKeys = 1 << 16;
char gTsanKeys[kTsanKeys];
void TsanRelease(int fd) {
  __tsan_release(&gTsanKeys[static_cast<unsigned>(fd) % kTsanKeys]);
}
void TsanAcquire(int fd) {
  __tsan_acquire(&gTsanKeys[static_cast<unsigned>(fd) % kTsanKeys]);
}
}  // namespace
#else
namespace {
inline void TsanRelease(int) {}
inline void TsanAcquire(int) {}
}  // namespace
#endif

namespace platform {

TEvent::TEvent(bool initialState) {
  FFd.Reset(::eventfd(initialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!FFd) {
    RaiseLastOSError("eventfd");
  }
}

void TEvent::Set() {
  // The counter only has to be non-zero; a write that would overflow it (never
  // in practice) fails with EAGAIN and leaves the event set anyway.
  const uint64_t one = 1;
  TsanRelease(FFd.Get());
  ssize_t ignored = ::write(FFd.Get(), &one, sizeof one);
  (void)ignored;
}

void TEvent::Reset() {
  uint64_t value = 0;
  ssize_t ignored = ::read(FFd.Get(), &value, sizeof value);
  (void)ignored;
}

bool TEvent::IsSet() const {
  pollfd p{FFd.Get(), POLLIN, 0};
  const bool set = ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
  if (set) {
    TsanAcquire(FFd.Get());
  }
  return set;
}

uint32_t TEvent::Wait(uint32_t timeoutMs) const {
  return WaitForSingleObject(WaitHandle(), timeoutMs);
}

uint64_t MonotonicMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint32_t RemainingMs(uint32_t timeoutMs, uint64_t startMs) {
  if (timeoutMs == kInfinite) {
    return kInfinite;
  }
  const uint64_t elapsed = MonotonicMs() - startMs;
  return elapsed >= timeoutMs ? 0 : static_cast<uint32_t>(timeoutMs - elapsed);
}

uint32_t WaitForMultipleObjects(std::span<const TWaitHandle> handles, uint32_t timeoutMs) {
  if (handles.empty() && timeoutMs == kInfinite) {
    return kWaitFailed;
  }
  pollfd small[8];
  std::vector<pollfd> large;
  pollfd* fds = small;
  if (handles.size() > std::size(small)) {
    large.resize(handles.size());
    fds = large.data();
  }
  for (size_t i = 0; i < handles.size(); ++i) {
    fds[i] = pollfd{handles[i].Fd, handles[i].Events, 0};
  }
  const uint64_t start = MonotonicMs();
  for (;;) {
    const uint32_t left = RemainingMs(timeoutMs, start);
    const int ms = left == kInfinite ? -1 : static_cast<int>(left > 0x7FFFFFFF ? 0x7FFFFFFF : left);
    const int n = ::poll(fds, handles.size(), ms);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return kWaitFailed;
    }
    if (n == 0) {
      return kWaitTimeout;
    }
    for (size_t i = 0; i < handles.size(); ++i) {
      // A closed peer or an error also ends a wait on a socket operation:
      // the operation completes (with its error) at once.
      if (fds[i].revents & (fds[i].events | POLLERR | POLLHUP)) {
        TsanAcquire(fds[i].fd);
        return kWaitObject0 + static_cast<uint32_t>(i);
      }
      if (fds[i].revents & POLLNVAL) {
        return kWaitFailed;
      }
    }
  }
}

}  // namespace platform
