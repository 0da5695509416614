#include <windows.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/fault_guard.h"

namespace platform {
namespace {

// One guarded call in progress on this thread; nested guards form a chain.
struct GuardFrame {
  void* resume[5];  // __builtin_setjmp's buffer
  GuardFrame* previous;
  void* handlerChain;  // the 32-bit structured exception handler chain at the guard
  uint32_t code;
};

thread_local GuardFrame* tGuard = nullptr;
thread_local GuardFrame* tRecovering = nullptr;

std::mutex gHandlerMutex;
std::atomic<void*> gHandler{nullptr};

// The head of the 32-bit handler chain, fs:[0]. A library built by another
// compiler links its own handler records into it on the stack; after a fault
// the chain must point at the records that were live at the guard again.
// 64-bit Windows keeps handlers in tables, so there is no chain to restore.
void* HandlerChain() {
#if defined(_WIN64)
  return nullptr;
#else
  void* chain;
  asm volatile("movl %%fs:0, %0" : "=r"(chain));
  return chain;
#endif
}

void SetHandlerChain([[maybe_unused]] void* chain) {
#if !defined(_WIN64)
  asm volatile("movl %0, %%fs:0" : : "r"(chain) : "memory");
#endif
}

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

// Runs on the faulting thread after the handler: restores the handler chain
// and jumps back into RunGuarded.
[[noreturn]] void Recover() {
  GuardFrame* frame = tRecovering;
  tRecovering = nullptr;
  SetHandlerChain(frame->handlerChain);
  __builtin_longjmp(frame->resume, 1);
}

LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
  GuardFrame* frame = tGuard;
  const DWORD code = info->ExceptionRecord->ExceptionCode;
  if (frame == nullptr || !IsProcessorFault(code)) return EXCEPTION_CONTINUE_SEARCH;
  frame->code = code;
  tGuard = frame->previous;
  tRecovering = frame;
  // Continue in Recover, on the abandoned part of the faulting stack.
  CONTEXT* context = info->ContextRecord;
#if defined(_WIN64)
  context->Rsp = ((context->Rsp - 512) & ~static_cast<DWORD64>(15)) - 8;
  context->Rip = reinterpret_cast<DWORD64>(&Recover);
#else
  context->Esp = ((context->Esp - 512) & ~static_cast<DWORD>(15)) - 4;
  context->Eip = reinterpret_cast<DWORD>(&Recover);
#endif
  return EXCEPTION_CONTINUE_EXECUTION;
}

void InstallHandler() {
  std::lock_guard<std::mutex> lock(gHandlerMutex);
  // Called last: the JVM's own vectored handler sees its faults first.
  if (gHandler.load() == nullptr) gHandler.store(AddVectoredExceptionHandler(0, &OnException));
}

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
  if (gHandler.load() == nullptr) InstallHandler();
  GuardFrame frame{};
  frame.previous = tGuard;
  frame.handlerChain = HandlerChain();
  if (__builtin_setjmp(frame.resume) == 0) {
    tGuard = &frame;
    thunk(context);
    tGuard = frame.previous;
    return true;
  }
  // Back from a fault: OnException already unlinked this frame.
  *faultCode = *static_cast<volatile uint32_t*>(&frame.code);
  return false;
}

bool CatchesProcessorFaults() {
  return true;
}

void ReleaseFaultGuard() {
  std::lock_guard<std::mutex> lock(gHandlerMutex);
  if (void* handler = gHandler.exchange(nullptr)) RemoveVectoredExceptionHandler(handler);
}

}  // namespace platform
