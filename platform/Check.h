#pragma once
// Invariant checks that also fire in release builds.
//
// QN_CHECK(condition) is for what only a bug can break: a cast that relies on
// the type of what a message carries, an index that the caller promised is in
// range. When the condition is false it prints the condition and where it
// stands to standard error and aborts, in every build type, so that a broken
// invariant stops the program at once instead of reading or writing the wrong
// memory. Never use it for input from a client or a device: that is handled,
// not checked.

namespace platform {

// Prints "<file>:<line>: check failed: <condition>" and aborts.
[[noreturn]] void CheckFailed(const char* condition, const char* file, int line);

}  // namespace platform

#define QN_CHECK(condition)                                          \
  do {                                                               \
    if (!(condition)) [[unlikely]] {                                 \
      ::platform::CheckFailed(#condition, __FILE__, __LINE__);       \
    }                                                                \
  } while (false)
