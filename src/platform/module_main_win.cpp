#include <windows.h>

#include "module_hooks.h"

// The C runtime calls this before it destroys the module's static objects.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH) OnModuleDetach(reserved != nullptr);
  return TRUE;
}
