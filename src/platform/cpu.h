// A processor hint for short spin loops. Header-only so that the spin stays a
// single instruction; the only compiler-specific code of its kind lives here.
#pragma once

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
