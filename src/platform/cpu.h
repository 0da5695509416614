// A processor hint for short spin loops. Header-only so that the spin stays a
// single instruction; the only compiler-specific code of its kind lives here.
#pragma once

#include <cstdint>

namespace platform {

// Tells the processor that this thread is spinning: it yields resources to a
// sibling hardware thread and keeps the spin from flooding the memory system.
inline void CpuRelax() {
#if defined(__i386__) || defined(__x86_64__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace platform

#if defined(__i386__) || defined(__x86_64__)
#include <x86intrin.h>
#else
#include <chrono>
#endif

namespace platform {

// A cheap, monotonic tick count for time stamps taken on hot paths: the
// processor's time-stamp counter on x86 (constant-rate on every processor
// this bridge runs on), the steady clock's nanoseconds elsewhere. Converted
// to time by comparing against the steady clock over a long interval.
inline uint64_t CpuTicks() {
#if defined(__i386__) || defined(__x86_64__)
  return __rdtsc();
#else
  return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

}  // namespace platform
