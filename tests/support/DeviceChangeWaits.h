#pragma once
// Waiting in tests for something that a message to the calling thread brings
// about (a device-change notification, a relayed event).
//
// Header-only, so that tests of the platform layer can use it without linking
// the shared test support library.

#include <algorithm>
#include <cstdint>
#include <functional>

#include "platform/Event.h"
#include "platform/Messages.h"

namespace testing_support {

// Generous: the machine running the tests may be busy compiling.
inline constexpr uint32_t kDeviceChangeDeadlineMs = 60000;

// Dispatches the calling thread's messages until condition holds or the
// deadline passes; returns the condition's final value. Wakes as soon as a
// message arrives; a condition changed by another thread alone is seen within
// a tenth of a second.
inline bool PumpUntil(const std::function<bool()>& condition,
                      uint32_t deadlineMs = kDeviceChangeDeadlineMs) {
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
    platform::MsgWaitForMultipleObjects({}, std::min<uint32_t>(left, 100), platform::QS_ALLINPUT);
  }
}

}  // namespace testing_support
