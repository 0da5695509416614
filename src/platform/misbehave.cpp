#include "platform/misbehave.h"

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
#else
bool RaiseToTopLevel() {
  return true;
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
