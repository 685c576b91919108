#pragma once
// Counts the heap allocations a test program makes while counting is on.
//
// Linking this file into a test program replaces the global allocation
// functions of that program (only programs that use these functions pull it
// in). Counting is process-wide: turn it on just around the code under test.

#include <atomic>
#include <cstdint>

namespace testsupport {

// While true, every operator new (any form) adds one to AllocationCount().
std::atomic<bool>& AllocationCounting();
std::atomic<int64_t>& AllocationCount();

}  // namespace testsupport
