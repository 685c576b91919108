#include "tests/support/AllocationCounter.h"

#include <cstdlib>
#include <new>

namespace testsupport {

namespace {

std::atomic<bool> gCounting{false};
std::atomic<int64_t> gAllocations{0};

void* Allocate(std::size_t size) {
  if (gCounting.load(std::memory_order_relaxed)) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) {
    return p;
  }
  throw std::bad_alloc();
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment) {
  if (gCounting.load(std::memory_order_relaxed)) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
  }
  const auto align = static_cast<std::size_t>(alignment);
  const std::size_t rounded = (size + align - 1) / align * align;
  if (void* p = std::aligned_alloc(align, rounded == 0 ? align : rounded)) {
    return p;
  }
  throw std::bad_alloc();
}

}  // namespace

std::atomic<bool>& AllocationCounting() {
  return gCounting;
}
std::atomic<int64_t>& AllocationCount() {
  return gAllocations;
}

// Out of line, so that the compiler does not pair a new-expression with the
// free() inside and warn about a mismatch that is none.
[[gnu::noinline]] void ReleaseAllocation(void* p) noexcept {
  std::free(p);
}

}  // namespace testsupport

using testsupport::Allocate;
using testsupport::AllocateAligned;
using testsupport::ReleaseAllocation;

void* operator new(std::size_t size) {
  return Allocate(size);
}
void* operator new[](std::size_t size) {
  return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return AllocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return AllocateAligned(size, alignment);
}
void operator delete(void* p) noexcept {
  ReleaseAllocation(p);
}
void operator delete[](void* p) noexcept {
  ReleaseAllocation(p);
}
void operator delete(void* p, std::size_t) noexcept {
  ReleaseAllocation(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  ReleaseAllocation(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  ReleaseAllocation(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  ReleaseAllocation(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  ReleaseAllocation(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  ReleaseAllocation(p);
}
