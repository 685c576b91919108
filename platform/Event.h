#pragma once
// Manual-reset events and waits on several waitable objects.
//
// A TEvent is signalled by Set() and stays signalled, releasing every waiter,
// until Reset(). Any thread may Set, Reset or wait on an event; the object
// itself must outlive every wait on it.
//
// Anything that becomes "signalled" can take part in a wait through its
// TWaitHandle: a descriptor and the poll() events that mean "signalled" (an
// event's descriptor is readable while it is set; a socket's pending operation
// is signalled by its readiness). A wait never consumes the signal.

#include <cstdint>
#include <span>

#include "platform/Handle.h"

namespace platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;
constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitTimeout = 258;
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;

struct TWaitHandle {
  int Fd = -1;
  short Events = 0x001;  // POLLIN
};

class TEvent {
 public:
  // Raises EOSError when the descriptor cannot be created.
  explicit TEvent(bool initialState = false);
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;
  ~TEvent() = default;

  void Set();
  void Reset();
  bool IsSet() const;

  // kWaitObject0 when signalled, kWaitTimeout, or kWaitFailed.
  uint32_t Wait(uint32_t timeoutMs = kInfinite) const;

  TWaitHandle WaitHandle() const { return {FFd.Get(), 0x001}; }

 private:
  TScopedFd FFd;
};

// Waits until any of the handles is signalled. Returns kWaitObject0 + the index
// of the first signalled handle (lowest index wins when several are), or
// kWaitTimeout, or kWaitFailed when the wait itself fails. An empty span with
// kInfinite fails instead of blocking forever.
uint32_t WaitForMultipleObjects(std::span<const TWaitHandle> handles, uint32_t timeoutMs);

inline uint32_t WaitForSingleObject(TWaitHandle handle, uint32_t timeoutMs) {
  return WaitForMultipleObjects(std::span<const TWaitHandle>(&handle, 1), timeoutMs);
}

// Milliseconds left of a time-out that started at startMs (a MonotonicMs
// reading); kInfinite stays kInfinite.
uint32_t RemainingMs(uint32_t timeoutMs, uint64_t startMs);
uint64_t MonotonicMs();

}  // namespace platform
