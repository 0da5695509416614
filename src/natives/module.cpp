// The bridge leaving the process: a trading library still loaded goes with it.
#include "binding/loader.h"
#include "platform/module_hooks.h"

void OnModuleDetach(bool processExiting) {
  // When the whole process ends, the library's threads are gone or going and
  // the system reclaims everything; unloading then could only hang.
  if (!processExiting) binding::UnloadAPIAtDetach(5000);
}
