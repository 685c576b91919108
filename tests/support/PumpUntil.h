#pragma once
// Waiting in a test for something that messages to the calling thread bring
// about (a pipe event, a timer, a device-change notification).
//
// Header-only and on the platform layer alone, so that tests of any layer can
// use it without linking the shared test support library.

#include <algorithm>
#include <cstdint>
#include <functional>

#include "platform/Event.h"
#include "platform/Messages.h"

namespace testsupport {

// Generous: the machine running the tests may be busy compiling.
inline constexpr uint32_t kPumpDeadlineMs = 60000;

// Serves the calling thread's messages (sent, posted, timers) until
// condition() holds or the deadline passes; returns the condition's final
// value. Wakes for every message; a condition that changes on another thread
// alone is seen within a few milliseconds.
inline bool PumpUntil(const std::function<bool()>& condition,
                      uint32_t deadlineMs = kPumpDeadlineMs) {
  const uint64_t start = platform::MonotonicMs();
  for (;;) {
    platform::PumpMessages();
    if (condition()) {
      return true;
    }
    const uint32_t left = platform::RemainingMs(deadlineMs, start);
    if (left == 0) {
      return condition();
    }
    platform::MsgWaitForMultipleObjects({}, std::min<uint32_t>(left, 5), platform::QS_ALLINPUT);
  }
}

}  // namespace testsupport
