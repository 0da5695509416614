// The bridge leaving the process: a trading library still loaded goes with it.
#include "binding/loader.h"
#include "platform/desktop.h"
#include "platform/fault_guard.h"
#include "platform/module_hooks.h"
#include "platform/platform.h"
#include "relay/queue.h"
#include "trace/trace.h"

// The version, as a text a person finds with `strings` in the library.
extern const char kJavaWrapperVersion[];
const char kJavaWrapperVersion[] = "JavaWrapper version " JW_VERSION;

void OnModuleDetach(bool processExiting) {
  // When the whole process ends, the library's threads are gone or going and
  // the system reclaims everything; unloading then could only hang.
  if (processExiting) {
    trace::Shutdown(true);  // what is buffered is written, within a bound
    return;
  }
  // A library that would not unload may still call back: its queue stays.
  if (binding::UnloadAPIAtDetach(5000)) relay::FreeQueues();
  platform::ReleaseFaultGuard();
  platform::desktop::ReleaseDesktop();
  // This hook cannot tell exit from unload on Linux, so the trace's buffers
  // stay (a thread may still record at exit); the writer is joined where
  // that is allowed, and under the Windows loader lock only asked to finish.
  // JNI_OnUnload is the place for trace::Shutdown(false).
  if (platform::CanJoinThreadsDuringUnload()) {
    trace::Shutdown(true);  // ring mode: the ring is written ("process end")
    trace::Stop();
  } else {
    trace::Shutdown(true);
  }
  binding::ReleaseThreadSlots();
}
