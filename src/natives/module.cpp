// The bridge leaving the process: a trading library still loaded goes with it
// when the bridge is unloaded, and nothing is touched when the process ends.
#include <jni.h>

#include <chrono>

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

namespace {
// Gives back everything the bridge holds: the trading library (after the
// running uses end, within the bound), the queue, the guard's and the
// desktop's resources, the trace and the thread slots. Runs twice when a JVM
// unloads the bridge (its unload hook, then the system's unmapping): the
// second run finds nothing left and returns at once.
void TearDown(bool canJoinThreads) {
  // A library that would not unload may still call back: its queue stays.
  const bool unloaded = binding::UnloadAPIWithin(std::chrono::seconds(5));
  if (unloaded) relay::FreeQueues();
  platform::ReleaseFaultGuard();
  platform::desktop::ReleaseDesktop();
  if (!canJoinThreads) {
    trace::ShutdownWithoutJoin();  // the writer ended where it parks
  } else if (unloaded) {
    trace::Shutdown(false);  // closed, its writer joined, its buffers freed
  } else {
    // A library thread may still record: its buffer stays; what is buffered
    // is written within a bound.
    trace::Shutdown(true);
  }
  binding::ReleaseThreadSlots();
}
}  // namespace

// The JVM unloads the bridge with the class loader that loaded it, on a
// thread of its own and outside the system's loader lock, so threads may be
// joined here. No thread is inside a native of that class by then.
extern "C" JNIEXPORT void JNICALL JNI_OnUnload(JavaVM*, void*) {
  TearDown(true);
}

void OnModuleDetach(bool processExiting) {
  // When the whole process ends, the library's threads may still be calling
  // back and the system reclaims everything: freeing the queue or unloading
  // the library under them could only crash or hang the exit. Only the
  // trace's buffered records are written, within a bound, into memory that
  // stays.
  if (processExiting) {
    trace::Shutdown(true);
    return;
  }
  // Unmapped without the JVM's unload hook (a host that is not a JVM): under
  // the Windows loader lock, where no thread may be joined.
  TearDown(platform::CanJoinThreadsDuringUnload());
}
