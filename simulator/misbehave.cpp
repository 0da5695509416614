#include "misbehave.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace platform {

#if defined(_WIN64)
// The cleanup rides on a small trampoline whose unwind information names an
// unwind handler; the trampoline keeps the cleanup's record at [rsp+32].
struct CleanupRecord {
  void (*cleanup)(void*);
  void* context;
};
}  // namespace platform

extern "C" void JwCallWithCleanup(void (*)(void*), void*, platform::CleanupRecord*);
asm(R"(
    .text
    .globl JwCallWithCleanup
    .def JwCallWithCleanup; .scl 2; .type 32; .endef
    .seh_proc JwCallWithCleanup
JwCallWithCleanup:
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
    .seh_handler JwCleanupHandler, @unwind
    .seh_endproc
)");

extern "C" EXCEPTION_DISPOSITION JwCleanupHandler(EXCEPTION_RECORD* record, void* establisher,
                                                  CONTEXT*, void*) {
  if ((record->ExceptionFlags & EXCEPTION_UNWINDING) != 0) {
    auto* r = *reinterpret_cast<platform::CleanupRecord**>(static_cast<char*>(establisher) + 32);
    r->cleanup(r->context);
  }
  return ExceptionContinueSearch;
}

namespace platform {

void RunWithTerminationHandler(void (*body)(void*), void (*cleanup)(void*), void* context) {
  CleanupRecord record{cleanup, context};
  JwCallWithCleanup(body, context, &record);
  cleanup(context);
}
#elif defined(_WIN32)
// A record on the thread's handler chain: the unwinder calls its handler
// with the unwinding flag and takes the record off the chain itself.
struct CleanupRecord {
  CleanupRecord* next;
  void* handler;
  void (*cleanup)(void*);
  void* context;
};
}  // namespace platform

extern "C" EXCEPTION_DISPOSITION __cdecl JwCleanupHandler(EXCEPTION_RECORD* record,
                                                          void* establisher, CONTEXT*, void*) {
  if ((record->ExceptionFlags & EXCEPTION_UNWINDING) != 0) {
    auto* r = static_cast<platform::CleanupRecord*>(establisher);
    r->cleanup(r->context);
  }
  return ExceptionContinueSearch;
}

namespace platform {

void RunWithTerminationHandler(void (*body)(void*), void (*cleanup)(void*), void* context) {
  CleanupRecord record{nullptr, reinterpret_cast<void*>(&JwCleanupHandler), cleanup, context};
  asm volatile("movl %%fs:0, %0" : "=r"(record.next));
  asm volatile("movl %0, %%fs:0" : : "r"(&record) : "memory");
  body(context);
  asm volatile("movl %0, %%fs:0" : : "r"(record.next) : "memory");
  cleanup(context);
}
#else
void RunWithTerminationHandler(void (*body)(void*), void (*cleanup)(void*), void* context) {
  body(context);
  cleanup(context);
}
#endif

#if defined(_WIN32)
namespace {
constexpr DWORD kTopLevelProbe = 0x2A5E0001;  // a customer code: bit 29 set
volatile LONG gTopLevelSeen = 0;

LONG WINAPI ContinueTheProbe(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode != kTopLevelProbe) return EXCEPTION_CONTINUE_SEARCH;
  gTopLevelSeen = 1;
  return EXCEPTION_CONTINUE_EXECUTION;
}
}  // namespace

bool RaiseToTopLevel() {
  gTopLevelSeen = 0;
  LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(&ContinueTheProbe);
  RaiseException(kTopLevelProbe, 0, 0, nullptr);
  SetUnhandledExceptionFilter(previous);
  return gTopLevelSeen != 0;
}

void RaiseUncaught(uint32_t code) {
  // A C++ throw's arguments: the runtime's magic number, the thrown object
  // and its type description (none here), and on 64-bit the module base.
  const ULONG_PTR thrown[] = {0x19930520, 0, 0, 0};
  if (code == kCxxException) {
    RaiseException(code, EXCEPTION_NONCONTINUABLE, sizeof(void*) == 8 ? 4 : 3, thrown);
  } else {
    RaiseException(code, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  }
  std::abort();  // not reached: a non-continuable exception never comes back here
}

namespace {
// The breakpoint is a real one (int3), raised by the processor: one raised
// by software has no defined place to continue, since the system backs the
// instruction pointer up over an int3 for every breakpoint it dispatches.
constexpr DWORD kNotices[kNoticeCount] = {
    EXCEPTION_BREAKPOINT, EXCEPTION_SINGLE_STEP,
    0x40010006,  // debug-print
    0x4001000A,  // debug-print, wide
    0x406D1388,  // a thread's name
    0xE0A5F001,  // a runtime's own continuable signal, error severity
};

LONG WINAPI ContinueNotices(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  for (DWORD code : kNotices) {
    if (record->ExceptionCode != code) continue;
    if (code == EXCEPTION_BREAKPOINT) {  // on past the one-byte int3
      const auto next = reinterpret_cast<uintptr_t>(record->ExceptionAddress) + 1;
#if defined(_WIN64)
      pointers->ContextRecord->Rip = next;
#else
      pointers->ContextRecord->Eip = static_cast<DWORD>(next);
#endif
    }
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}
}  // namespace

// Each notice with the arguments its sender gives it (the system may answer
// a debug-print or a thread's name itself, without the filter).
int RaiseNotices() {
  static const char text[] = "a notice\n";
  static const wchar_t wide[] = L"a notice\n";
  static const char name[] = "library thread";
  LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(&ContinueNotices);
  int back = 0;
  for (DWORD code : kNotices) {
    if (code == EXCEPTION_BREAKPOINT) {
      asm volatile("int3" ::: "memory");
    } else if (code == 0x40010006) {
      const ULONG_PTR print[] = {sizeof text, reinterpret_cast<ULONG_PTR>(text)};
      RaiseException(code, 0, 2, print);
    } else if (code == 0x4001000A) {
      const ULONG_PTR print[] = {sizeof text, reinterpret_cast<ULONG_PTR>(wide), sizeof text,
                                 reinterpret_cast<ULONG_PTR>(text)};
      RaiseException(code, 0, 4, print);
    } else if (code == 0x406D1388) {
      const ULONG_PTR naming[] = {0x1000, reinterpret_cast<ULONG_PTR>(name),
                                  static_cast<ULONG_PTR>(-1), 0};
      RaiseException(code, 0, 4, naming);
    } else {
      RaiseException(code, 0, 0, nullptr);
    }
    ++back;
  }
  SetUnhandledExceptionFilter(previous);
  return back;
}

void EndThisThread() {
  ExitThread(0);
}
#else
bool RaiseToTopLevel() {
  return true;
}

void RaiseUncaught(uint32_t) {
  std::abort();
}

int RaiseNotices() {
  return kNoticeCount;
}

void EndThisThread() {
  std::abort();
}
#endif

void TrapWithDirtyState() {
#if defined(__i386__) || defined(__x86_64__)
  static const uint32_t mxcsr = kDirtyMxcsr;
  static const uint16_t control = kDirtyX87Control;
  static const float one = 1.0f;
  static const float zero = 0.0f;
  // No clobbers: nothing after the division runs.
  asm volatile(
      "fldcw %0\n\t"
      "fld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\t"
      "ldmxcsr %1\n\t"
      "movss %2, %%xmm0\n\t"
      "std\n\t"
      "divss %3, %%xmm0"
      :
      : "m"(control), "m"(mxcsr), "m"(one), "m"(zero));
#endif
  std::abort();  // not reached where the division traps
}

ProcessorState ReadProcessorState() {
  ProcessorState state{};
#if defined(__i386__) || defined(__x86_64__)
  alignas(16) unsigned char area[512];
#if defined(__x86_64__)
  const uint64_t flags = __builtin_ia32_readeflags_u64();
#else
  const uint32_t flags = __builtin_ia32_readeflags_u32();
#endif
  asm volatile("fxsave %0" : "=m"(area));  // leaves the state as it is, unlike fnstenv
  state.directionFlag = (flags & 0x400) != 0;
  state.x87Control = static_cast<uint16_t>(area[0] | area[1] << 8);
  state.x87Tags = area[4];
  state.mxcsr = static_cast<uint32_t>(area[24] | area[25] << 8 | area[26] << 16 | area[27] << 24);
#endif
  return state;
}

}  // namespace platform
