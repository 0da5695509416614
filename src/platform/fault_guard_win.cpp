#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/fault_guard.h"

// The guard is a frame-based structured exception handler registered at a
// small trampoline that makes the guarded call. Windows offers a fault first
// to the handlers of the deepest frames: the trading library's own (its
// try/except around a probe, IsBadReadPtr and the like) decide first, the
// guard sees only what they leave unhandled, and the JVM's handlers further
// up never see a fault that the guard takes. On 32-bit Windows the handler is
// a record on the thread's handler chain (fs:[0]) for the duration of the
// call; on 64-bit Windows it is named by the trampoline's unwind information.
//
// A fault the guard takes ends the call the way a compiler's except clause
// does: the system's unwinder unwinds every frame between the fault and the
// trampoline (their termination handlers, unwind handlers and destructors
// run, and on 32-bit Windows their handler records leave the chain), and the
// thread resumes at the return address of the trampoline's call, on the
// trampoline's own frame. Nothing rewrites the faulting context. The handler
// reads nothing but its own frame (no thread-local storage, no allocation).
//
// Shadow stacks (hardware-enforced stack protection, 64-bit processes only):
// the unwind ends in the system's own context restore, and its target is a
// return address that the thunk's call pushed on the shadow stack, so the
// system's check of an unwind target accepts it without continuation
// metadata and pops the shadow stack to it. 32-bit processes have no shadow
// stack; there the handler reloads the trampoline's stack and frame pointers
// itself after RtlUnwind, as a 32-bit compiler's except clause does.
namespace platform {
namespace {

struct GuardFrame {
#if !defined(_WIN64)
  // The handler record; first, so that the frame the system hands to the
  // handler is this frame. The trampoline fills the record and resumeEsp/Ebp.
  GuardFrame* next;
  void* handler;
  void* resumeEsp;  // the stack pointer at the call's return address
  void* resumeEbp;  // the trampoline's frame pointer
#endif
  DWORD code;  // the fault taken; 0 while none
};

// Processor faults. A stack overflow is taken too: the handler and the
// unwinder run on the stack's reserve below the guard page.
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
    case EXCEPTION_STACK_OVERFLOW:
    case 0xC00002B4:  // STATUS_FLOAT_MULTIPLE_FAULTS: SSE faults on 32-bit Windows
    case 0xC00002B5:  // STATUS_FLOAT_MULTIPLE_TRAPS: SSE traps on 32-bit Windows
      return true;
    default:
      return false;
  }
}

constexpr DWORD kUnwinding = 0x2 | 0x4;  // EXCEPTION_UNWINDING, EXCEPTION_EXIT_UNWIND

// A language exception the library raised and none of its own frames
// caught: a C++ throw (0xE06D7363), another runtime's error code, a heap
// corruption report. Raised non-continuable, it ends the process wherever no
// frame takes it, so the guard takes it like a fault. Raised continuable, or
// of success, informational or warning severity, it is a notice that expects
// to come back (a debugger's breakpoint or single step, a debug-print or
// thread-naming notice, a runtime's own signal) and is left to whoever
// answers it: a top-level filter, the debugger, or nobody.
constexpr DWORD kSeverityLessRuntimeException = 0x0EEDFADE;  // a runtime older than severity bits

bool IsNotice(DWORD code) {
  switch (code) {
    case EXCEPTION_BREAKPOINT:
    case EXCEPTION_SINGLE_STEP:
    case 0x4000001F:  // STATUS_WX86_BREAKPOINT
    case 0x40010006:  // DBG_PRINTEXCEPTION_C
    case 0x4001000A:  // DBG_PRINTEXCEPTION_WIDE_C
    case 0x406D1388:  // a thread's name for the debugger
      return true;
    default:
      return false;
  }
}

bool IsLibraryException(const EXCEPTION_RECORD* record) {
  const DWORD code = record->ExceptionCode;
  if ((record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) == 0 || IsNotice(code)) return false;
  return (code >> 30) == 3 || code == kSeverityLessRuntimeException;  // error severity
}

// Whether the handler takes this exception: in the search phase, a processor
// fault or a library's language exception that the library left unhandled.
// Someone else's unwind passing through is left alone.
bool Takes(const EXCEPTION_RECORD* record) {
  return (record->ExceptionFlags & kUnwinding) == 0 &&
         (IsProcessorFault(record->ExceptionCode) || IsLibraryException(record));
}

// The processor state a guarded call must leave as it found it. The system
// hands a handler (and the resumed frame) the faulting thread's direction
// flag, floating-point control and x87 stack: a library may have changed any
// of them when it faulted.
struct ProcessorControl {
  uint32_t mxcsr;
  uint16_t x87Control;
};

ProcessorControl SaveControl() {
  ProcessorControl c;
  asm volatile("stmxcsr %0\n\tfnstcw %1" : "=m"(c.mxcsr), "=m"(c.x87Control));
  return c;
}

// Direction flag clear, the x87 stack empty with its exceptions cleared
// (fninit), then the control words as they were.
void RestoreControl(const ProcessorControl& c) {
  asm volatile("cld\n\tfninit\n\tfldcw %0\n\tldmxcsr %1" : : "m"(c.x87Control), "m"(c.mxcsr));
}

}  // namespace
}  // namespace platform

#if defined(_WIN64)
// void JwGuardedCall(void (*thunk)(void*), void* context, GuardFrame* frame)
//
// The trampoline keeps the guard's frame at [rsp+32] after its prologue (its
// establisher frame), where the handler finds it. JwGuardResume is the
// return address of the thunk's call: a normal return and an unwound fault
// both come back there, on the trampoline's frame.
extern "C" void JwGuardedCall(void (*)(void*), void*, platform::GuardFrame*);
extern "C" char JwGuardResume[];
asm(R"(
    .text
    .globl JwGuardedCall
    .globl JwGuardResume
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
JwGuardResume:
    nop
    addq $40, %rsp
    ret
    .seh_handler JwGuardHandler, @except
    .seh_endproc
)");

// Takes the fault: records its code, then unwinds to the trampoline's frame
// and return address. RtlUnwindEx runs every intermediate frame's unwind
// handler and does not return; it uses the dispatcher's context record as
// its scratch context, as a compiler's except clause does.
extern "C" EXCEPTION_DISPOSITION JwGuardHandler(EXCEPTION_RECORD* record, void* establisher,
                                                CONTEXT*, DISPATCHER_CONTEXT* dispatch) {
  if (!platform::Takes(record)) return ExceptionContinueSearch;
  auto* frame = *reinterpret_cast<platform::GuardFrame**>(static_cast<char*>(establisher) + 32);
  frame->code = record->ExceptionCode;
  RtlUnwindEx(establisher, JwGuardResume, record, nullptr, dispatch->ContextRecord,
              dispatch->HistoryTable);
  return ExceptionContinueSearch;  // not reached
}
#else
// void JwGuardedCall(void (*thunk)(void*), void* context, GuardFrame* frame)
//
// Puts the guard's record at the head of the handler chain, calls the thunk
// and takes the record off again. _JwGuardResume is the return address of the
// thunk's call: a normal return comes back there, and so does a fault, when
// the handler has unwound the chain to the guard's record and reloads the
// trampoline's stack and frame pointers. The registers the thunk's callee
// must keep are saved here, since an abandoned frame never restores them.
//
// void JwGuardUnwindAndResume(GuardFrame* frame, EXCEPTION_RECORD* record)
//
// Runs the system unwinder up to the guard's record (every record above it
// is called to unwind and leaves the chain), then resumes the trampoline.
// The frame is kept on the stack: RtlUnwind need not preserve registers. Its
// target address is the instruction after the call, as a compiler passes it:
// the unwinder returns there, and a system that jumped to the target instead
// would land in the same place.
extern "C" void JwGuardedCall(void (*)(void*), void*, platform::GuardFrame*);
extern "C" [[noreturn]] void JwGuardUnwindAndResume(platform::GuardFrame*, EXCEPTION_RECORD*);
asm(R"(
    .text
    .globl _JwGuardedCall
    .def _JwGuardedCall; .scl 2; .type 32; .endef
_JwGuardedCall:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 16(%ebp), %eax
    movl %fs:0, %ecx
    movl %ecx, (%eax)
    movl $_JwGuardHandler, 4(%eax)
    movl %ebp, 12(%eax)
    pushl 12(%ebp)
    movl %esp, 8(%eax)
    movl %eax, %fs:0
    calll *8(%ebp)
_JwGuardResume:
    addl $4, %esp
    movl 16(%ebp), %eax
    movl (%eax), %ecx
    movl %ecx, %fs:0
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret

    .globl _JwGuardUnwindAndResume
    .def _JwGuardUnwindAndResume; .scl 2; .type 32; .endef
_JwGuardUnwindAndResume:
    movl 4(%esp), %eax
    pushl %eax
    pushl $0
    pushl 16(%esp)
    pushl $_JwGuardUnwound
    pushl 12(%esp)
    calll _RtlUnwind@16
_JwGuardUnwound:
    movl (%esp), %eax
    movl 12(%eax), %ebp
    movl 8(%eax), %esp
    jmp _JwGuardResume
)");

extern "C" EXCEPTION_DISPOSITION __cdecl JwGuardHandler(EXCEPTION_RECORD* record, void* establisher,
                                                        CONTEXT*, void*) {
  if (!platform::Takes(record)) return ExceptionContinueSearch;
  auto* frame = static_cast<platform::GuardFrame*>(establisher);
  frame->code = record->ExceptionCode;
  JwGuardUnwindAndResume(frame, record);
}
#endif

namespace platform {

// The stack a thread keeps below its guard page for overflow handling: the
// system's dispatcher, the guard's handler, the unwinder and every unwind
// handler of the library's frames run there after an overflow. The system's
// default (one page on 32-bit Windows, two on 64-bit) leaves nothing for the
// library's cleanup, and an overflow inside the reserve ends the thread
// without a word. Under Wine, from the overflow to the first unwind handler
// of the library, the dispatcher, the guard and the unwinder take 2.5 KiB
// on 32-bit and 5.3 KiB on 64-bit (the contexts they copy are larger there);
// the rest is for the library's unwind handlers, 12 KiB of them tested.
#if defined(_WIN64)
constexpr ULONG kOverflowReserve = 32 * 1024;
#else
constexpr ULONG kOverflowReserve = 24 * 1024;
#endif

namespace {
// The reserve as the system keeps it for this thread (GuaranteedStackBytes
// in the thread's environment block): one read, no call.
ULONG ThreadReserve() {
  ULONG reserve;
#if defined(_WIN64)
  asm volatile("movl %%gs:0x1748, %0" : "=r"(reserve));
#else
  asm volatile("movl %%fs:0xF78, %0" : "=r"(reserve));
#endif
  return reserve;
}

// After a stack overflow the guard page is gone: the system used it and the
// reserve below it for the handler, and without a new one the next overflow
// ends the process. The reserve is raised to kOverflowReserve when it is
// smaller, and a guard page goes back just above it, as the C runtime's
// stack reset does. False where nothing could be armed.
bool ReArmStackGuard() {
  char here = 0;  // marks this frame on the stack
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(&here, &info, sizeof info) == 0) return false;
  char* const base = static_cast<char*>(info.AllocationBase);
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  const size_t page = system.dwPageSize;
  ULONG guarantee = 0;  // 0 asks for the current value
  if (!SetThreadStackGuarantee(&guarantee)) guarantee = 0;
  if (guarantee < kOverflowReserve) {
    ULONG wanted = kOverflowReserve;
    if (SetThreadStackGuarantee(&wanted)) guarantee = kOverflowReserve;
  }
  // The hard guard page at the bottom, then the reserve. A guard page placed
  // higher than the system would place it only costs depth; one placed lower
  // would leave the next handler less than the reserve.
  const size_t reserve = (static_cast<size_t>(guarantee) + page - 1) / page * page;
  // Never on reserved memory: the lowest committed page at or above that.
  char* guard = base + page + reserve;
  for (;;) {
    if (guard + 2 * page > &here) return false;  // the caller's own frame is too close
    if (VirtualQuery(guard, &info, sizeof info) == 0) return false;
    if (info.State == MEM_COMMIT) break;
    guard = static_cast<char*>(info.BaseAddress) + info.RegionSize;
  }
  if ((info.Protect & PAGE_GUARD) != 0) return true;  // already armed
  DWORD old;
  return VirtualProtect(guard, page, PAGE_READWRITE | PAGE_GUARD, &old) != 0;
}
}  // namespace

ProcessorFault::ProcessorFault(uint32_t code)
    : std::runtime_error([code] {
        char text[64];
        std::snprintf(text, sizeof text,
                      IsProcessorFault(code) ? "Processor exception %08X in the trading library"
                                             : "Exception %08X from the trading library",
                      static_cast<unsigned>(code));
        return std::string(text);
      }()),
      code(code) {}

bool RunGuarded(void (*thunk)(void*), void* context, uint32_t* faultCode) {
  // A thread's first guarded call lays its stack out for overflow handling,
  // before any overflow: the reserve, and a guard page above it. A thread
  // whose stack was committed whole (a C runtime's threads under Wine) has
  // its only guard page at the very bottom until then. A thread whose stack
  // cannot spare the reserve keeps what it has and is asked again next call.
  if (ThreadReserve() < kOverflowReserve) ReArmStackGuard();
  const ProcessorControl control = SaveControl();
  GuardFrame frame{};
  JwGuardedCall(thunk, context, &frame);
  if (frame.code == 0) return true;
  RestoreControl(control);
  if (frame.code == EXCEPTION_STACK_OVERFLOW) ReArmStackGuard();
  *faultCode = frame.code;
  return false;
}

bool CatchesProcessorFaults() {
  return true;
}

// Nothing process-wide is installed any more.
void ReleaseFaultGuard() {}

}  // namespace platform
