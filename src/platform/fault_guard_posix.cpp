#include <cstdio>

#include "platform/fault_guard.h"

namespace platform {

ProcessorFault::ProcessorFault(uint32_t code)
    : std::runtime_error([code] {
        char text[64];
        std::snprintf(text, sizeof text, "Processor exception %08X in the trading library", code);
        return std::string(text);
      }()),
      code(code) {}

// The JVM owns the fault signals on Linux: a guarded call only calls through.
bool RunGuarded(void (*thunk)(void*), void* context, uint32_t*) {
  thunk(context);
  return true;
}

bool CatchesProcessorFaults() {
  return false;
}

void ReleaseFaultGuard() {}

}  // namespace platform
