#include "module_hooks.h"

namespace {
// Runs on dlclose and at process exit. Whether the module's static objects are
// destroyed before or after it is not fixed, so the hook may only touch
// trivially destructible state.
__attribute__((destructor)) void ModuleDestructor() {
  OnModuleDetach(false);
}
}  // namespace
