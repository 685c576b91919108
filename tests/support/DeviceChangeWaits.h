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
#include "tests/support/PumpUntil.h"

namespace testing_support {

// Generous: the machine running the tests may be busy compiling.
inline constexpr uint32_t kDeviceChangeDeadlineMs = 60000;

using testsupport::PumpUntil;

}  // namespace testing_support
