// Kept apart from the tests so that no call site sees these definitions.
#include "failing_allocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> gCountdown{-1};  // -1: allocations never fail
std::atomic<bool> gFailed{false};
std::atomic<long> gAllocations{0};
}  // namespace

namespace testing_support {
void FailAllocationAfter(long n) {
  gFailed = false;
  gCountdown = n;
}
void NeverFailAllocation() {
  gCountdown = -1;
}
bool AllocationFailed() {
  return gFailed.load();
}
long AllocationCount() {
  return gAllocations.load();
}
}  // namespace testing_support

// This program's allocation functions (on Linux, those of every library it
// loads too).
void* operator new(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (gCountdown.load() >= 0 && gCountdown.fetch_sub(1) == 0) {
    gFailed = true;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
