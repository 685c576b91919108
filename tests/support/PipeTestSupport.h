#pragma once
// Helpers for tests of the pipe transport over real sockets.
//
// - TPipesEnvironment: module initialisation for a whole test program
//   (register once with ::testing::AddGlobalTestEnvironment).
// - PumpUntil: serves the calling thread's messages until a condition holds,
//   with a generous deadline; returns whether it held.
// - UniquePipeName: a pipe name no other test (or test program) uses.
// - OpenDescriptors / LiveThreads: what this process holds, from /proc.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "pipes/ThreadSupport.h"
#include "platform/Event.h"
#include "platform/Messages.h"
#include "tests/support/PumpUntil.h"

namespace pipes::testing {

inline constexpr uint32_t kDeadlineMs = 60000;

class TPipesEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { InitializePipes(); }
  void TearDown() override { FinalizePipes(); }
};

using testsupport::PumpUntil;

inline std::string UniquePipeName(const std::string& prefix = "QnPipeTest") {
  static std::atomic<int> counter{0};
  return prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

inline size_t CountEntries(const char* directory) {
  size_t n = 0;
  std::error_code error;
  for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
       it.increment(error)) {
    ++n;
  }
  return n;
}

inline size_t OpenDescriptors() {
  return CountEntries("/proc/self/fd");
}

inline size_t LiveThreads() {
  return CountEntries("/proc/self/task");
}

inline std::vector<std::byte> Pattern(size_t size, unsigned seed = 1) {
  std::vector<std::byte> bytes(size);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::byte>((i * 31 + seed + i / 253) & 0xFF);
  }
  return bytes;
}

}  // namespace pipes::testing
