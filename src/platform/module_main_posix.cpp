#include "module_hooks.h"

namespace {
// Runs on dlclose and at process exit alike, and cannot tell them apart. A
// JVM calls JNI_OnUnload before it closes the library, which tears the bridge
// down; so this treats every call as the process ending and touches nothing
// that the trading library's threads may still use. Whether the module's
// static objects are destroyed before or after it is not fixed, so the hook
// may only touch trivially destructible state.
__attribute__((destructor)) void ModuleDestructor() {
  OnModuleDetach(true);
}
}  // namespace
