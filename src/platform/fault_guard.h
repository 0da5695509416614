// Calls into the trading library that survive a processor fault inside it.
//
// On Windows an access violation, a division by zero, a floating-point trap,
// a stack overflow or a similar processor exception that the library leaves
// unhandled while this thread is inside a guarded call ends the call as a
// compiler's except clause would: the system's unwinder unwinds the
// library's frames (their cleanup runs), the thread leaves the guard with the
// direction flag clear and the floating-point control it entered with (an
// empty x87 stack), a stack overflow's guard page is armed again, and the
// call throws ProcessorFault. A language exception the library raises and
// leaves uncaught (non-continuable, of error severity: a C++ throw, another
// runtime's) ends the call the same way; notices that expect to come back
// (breakpoints, single steps, debug-print, thread names, anything
// continuable) pass. A thread's first guarded call sets its stack's reserve
// for overflow handling. Faults anywhere else (the JVM's own, other
// threads') are left to their owners. On Linux the JVM owns SIGSEGV and a
// fault inside native code is fatal; the guard then only calls through.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <utility>

namespace platform {

// Carries the exception code, e.g. 0xC0000005 or 0xE06D7363.
class ProcessorFault : public std::runtime_error {
 public:
  explicit ProcessorFault(uint32_t code);
  const uint32_t code;
};

// Runs thunk(context); false, with the code, when a fault ended it.
bool RunGuarded(void (*thunk)(void*), void* context, uint32_t* faultCode);

// Whether RunGuarded can catch faults on this platform.
bool CatchesProcessorFaults();

// Forgets the process-wide fault handler, when the module leaves the process.
void ReleaseFaultGuard();

template <typename Call>
auto CallGuarded(Call&& call) -> decltype(call()) {
#if !defined(_WIN32)
  return call();  // nothing to guard: the compiler sees straight through
#else
  using Result = decltype(call());
  struct Context {
    Call* call;
    Result result;
  } context{&call, Result{}};
  uint32_t code = 0;
  if (!RunGuarded(
          [](void* p) {
            auto* c = static_cast<Context*>(p);
            c->result = (*c->call)();
          },
          &context, &code))
    throw ProcessorFault(code);
  return context.result;
#endif
}

}  // namespace platform
