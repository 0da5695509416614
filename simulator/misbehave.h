// Processor-level misbehaviour, for the simulator's test controls only: what
// a careless trading library does to the thread that calls it, and a way for
// tests to read the state such a library leaves behind. The bridge never
// links this.
#pragma once

#include <cstdint>

namespace platform {

// Runs body(context) with a termination handler, as a library guards its own
// lock: cleanup(context) runs when body returns, and when the system's
// unwinder unwinds body's frame after a fault that a handler further up
// takes. Elsewhere than Windows it runs after a normal return only.
void RunWithTerminationHandler(void (*body)(void*), void (*cleanup)(void*), void* context);

// Sets the direction flag, sets the x87 control word to single precision
// rounding down, fills the x87 stack, sets MXCSR to round toward zero with
// the divide-by-zero trap unmasked, then divides by zero in SSE: a processor
// trap that leaves all of that behind. Never returns.
[[noreturn]] void TrapWithDirtyState();
inline constexpr uint32_t kDirtyMxcsr = 0x7D80;
inline constexpr uint16_t kDirtyX87Control = 0x047F;

// The calling thread's direction flag, MXCSR, x87 control word and x87 tags
// (one bit per register holding a value; 0 when the x87 stack is empty).
struct ProcessorState {
  bool directionFlag;
  uint32_t mxcsr;
  uint16_t x87Control;
  uint8_t x87Tags;
  bool operator==(const ProcessorState&) const = default;
};
ProcessorState ReadProcessorState();

// Raises a continuable software exception that no frame of the thread
// handles, with a top-level filter of its own that continues it; true when
// that filter saw it, so the system could walk the thread's whole chain of
// handlers. Elsewhere than Windows there is no such chain: true.
bool RaiseToTopLevel();

// Raises a non-continuable software exception with code that no frame of
// the library handles, as a language runtime does with an exception nobody
// caught (0xE06D7363 is a C++ throw). Elsewhere than Windows it ends the
// process, as such an exception would. Never returns.
[[noreturn]] void RaiseUncaught(uint32_t code);
inline constexpr uint32_t kCxxException = 0xE06D7363;
inline constexpr uint32_t kOtherRuntimeException = 0x0EEDFADE;

// Raises, continuable and unhandled by any frame, each notice a debugger or
// a runtime may be sent (a breakpoint, a single step, debug-print in both
// widths, a thread's name, a runtime's continuable error-severity signal),
// with a top-level filter of its own that continues those the system does
// not answer itself; how many came back, of kNoticeCount (one a handler
// took never does). Elsewhere than Windows: kNoticeCount.
int RaiseNotices();
inline constexpr int kNoticeCount = 6;

// Ends the calling thread where it stands (ExitThread): none of its
// callers' frames run again, their cleanups included. Elsewhere than
// Windows it ends the process. Never returns.
[[noreturn]] void EndThisThread();

}  // namespace platform
