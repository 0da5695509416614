#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/fault_guard.h"

// The guard is a frame-based structured exception handler registered at the
// guarded call's own frame. Windows offers a fault first to the handlers of
// the deepest frames: the trading library's own (its try/except around a
// probe, IsBadReadPtr and the like) decide first, the guard sees only what
// they leave unhandled, and the JVM's handlers further up never see a fault
// that the guard takes. On 32-bit Windows the handler is a record on the
// thread's handler chain (fs:[0]) for the duration of the call; on 64-bit
// Windows it is named by the unwind information of a small trampoline.
//
// The handler runs for faults on this thread only while a guarded call is
// on the stack. It reads nothing but its own frame (no thread-local storage,
// no allocation) and resumes the guard by rewriting the faulting context to
// the point that __builtin_setjmp marked, abandoning the library's frames.
namespace platform {
namespace {

struct GuardFrame {
#if !defined(_WIN64)
  // The handler record; first, so that the frame the system hands to the
  // handler is this frame.
  GuardFrame* next;
  void* handler;
#endif
  void* resume[5];  // __builtin_setjmp's buffer: frame pointer, label, stack
  DWORD code;
};

// Processor faults only: software exceptions (any language's, the JVM's own)
// belong to whoever raised them.
bool IsProcessorFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_PRIV_INSTRUCTION:
      return true;
    default:
      return false;  // a stack overflow leaves no stack to recover on
  }
}

constexpr DWORD kUnwinding = 0x2 | 0x4;  // EXCEPTION_UNWINDING, EXCEPTION_EXIT_UNWIND

// Takes an unhandled processor fault: the guard's frame resumes as if
// __builtin_longjmp had been called, with the code stored in the frame.
EXCEPTION_DISPOSITION TakeFault(EXCEPTION_RECORD* record, GuardFrame* frame, CONTEXT* context) {
  if ((record->ExceptionFlags & kUnwinding) != 0 || !IsProcessorFault(record->ExceptionCode))
    return ExceptionContinueSearch;
  frame->code = record->ExceptionCode;
#if defined(_WIN64)
  context->Rbp = reinterpret_cast<DWORD64>(frame->resume[0]);
  context->Rip = reinterpret_cast<DWORD64>(frame->resume[1]);
  context->Rsp = reinterpret_cast<DWORD64>(frame->resume[2]);
#else
  context->Ebp = reinterpret_cast<DWORD>(frame->resume[0]);
  context->Eip = reinterpret_cast<DWORD>(frame->resume[1]);
  context->Esp = reinterpret_cast<DWORD>(frame->resume[2]);
#endif
  return ExceptionContinueExecution;
}

}  // namespace
}  // namespace platform

#if defined(_WIN64)
// The trampoline's handler; its establisher frame is the trampoline's stack
// pointer after its prologue, where the trampoline keeps the guard's frame.
extern "C" EXCEPTION_DISPOSITION JwGuardHandler(EXCEPTION_RECORD* record, void* establisher,
                                                CONTEXT* context, void*) {
  auto* frame = *reinterpret_cast<platform::GuardFrame**>(static_cast<char*>(establisher) + 32);
  return platform::TakeFault(record, frame, context);
}

// void JwGuardedCall(void (*thunk)(void*), void* context, GuardFrame* frame)
extern "C" void JwGuardedCall(void (*)(void*), void*, platform::GuardFrame*);
asm(R"(
    .text
    .globl JwGuardedCall
    .def JwGuardedCall; .scl 2; .type 32; .endef
    .seh_proc JwGuardedCall
JwGuardedCall:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    movq %r8, 32(%rsp)
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    nop
    addq $40, %rsp
    ret
    .seh_handler JwGuardHandler, @except
    .seh_endproc
)");
#else
extern "C" EXCEPTION_DISPOSITION __cdecl JwGuardHandler(EXCEPTION_RECORD* record, void* establisher,
                                                        CONTEXT* context, void*) {
  return platform::TakeFault(record, static_cast<platform::GuardFrame*>(establisher), context);
}
#endif

namespace platform {
namespace {

#if !defined(_WIN64)
GuardFrame* HandlerChain() {
  GuardFrame* chain;
  asm volatile("movl %%fs:0, %0" : "=r"(chain));
  return chain;
}

void SetHandlerChain(GuardFrame* chain) {
  asm volatile("movl %0, %%fs:0" : : "r"(chain) : "memory");
}

// Calls thunk with the guard's record at the head of the handler chain, and
// takes it off again on every way out but a fault (RunGuarded does that).
void CallWithRecord(void (*thunk)(void*), void* context, GuardFrame* frame) {
  frame->next = HandlerChain();
  frame->handler = reinterpret_cast<void*>(&JwGuardHandler);
  SetHandlerChain(frame);
  try {
    thunk(context);
  } catch (...) {
    SetHandlerChain(frame->next);
    throw;
  }
  SetHandlerChain(frame->next);
}
#endif

}  // namespace

ProcessorFault::ProcessorFault(uint32_t code)
    : std::runtime_error([code] {
        char text[64];
        std::snprintf(text, sizeof text, "Processor exception %08X in the trading library",
                      static_cast<unsigned>(code));
        return std::string(text);
      }()),
      code(code) {}

bool RunGuarded(void (*thunk)(void*), void* context, uint32_t* faultCode) {
  GuardFrame frame{};
  if (__builtin_setjmp(frame.resume) == 0) {
#if defined(_WIN64)
    JwGuardedCall(thunk, context, &frame);
#else
    CallWithRecord(thunk, context, &frame);
#endif
    return true;
  }
  // Back from a fault: the chain still holds the records of the abandoned
  // frames (the library's and the guard's); it ends where it was at the guard.
#if !defined(_WIN64)
  SetHandlerChain(static_cast<volatile GuardFrame&>(frame).next);
#endif
  *faultCode = static_cast<volatile GuardFrame&>(frame).code;
  return false;
}

bool CatchesProcessorFaults() {
  return true;
}

// Nothing process-wide is installed any more.
void ReleaseFaultGuard() {}

}  // namespace platform
