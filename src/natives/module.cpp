// The bridge leaving the process: a trading library still loaded goes with it
// when the bridge is unloaded (or keeps the bridge mapped while another
// module holds it), and nothing is touched when the process ends.
#include <jni.h>

#include <chrono>

#include "binding/loader.h"
#include "hostlink/bridge.h"
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
// Who is taking the bridge out of the process.
enum class By {
  kJvm,     // the JVM's unload hook: the bridge is still mapped and may stay
  kSystem,  // the system unmapping it under a host's FreeLibrary: it goes
};

// Gives back everything the bridge holds: the trading library (after the
// running uses end, within the bound), the queue, the guard's and the
// desktop's resources, the trace and the thread slots. Runs twice when a JVM
// unloads the bridge (its unload hook, then the system's unmapping): the
// second run finds nothing left and returns at once.
void TearDown(By by) {
  const binding::Unloaded library = binding::UnloadAPIWithin(std::chrono::seconds(5));
  const bool gone = library == binding::Unloaded::kGone;
  hostlink::Shutdown();  // the host ends; its reader no longer queues
  if (gone) {
    relay::FreeQueues();
  } else {
    // Another module holds the library, or a thread is still inside it: its
    // threads may call the bridge's callbacks at any time from now on. The
    // queue stays and drops what comes; the bridge stays mapped under
    // them, since the JVM's close would otherwise unmap the code they call.
    // A host's FreeLibrary is past the point where that can be refused.
    relay::RetireQueues();
    if (by == By::kJvm) platform::PinThisModule();
  }
  platform::ReleaseFaultGuard();
  platform::desktop::ReleaseDesktop();
  if (by == By::kSystem && !platform::CanJoinThreadsDuringUnload()) {
    trace::ShutdownWithoutJoin();  // the writer ended where it parks
  } else if (gone) {
    trace::Shutdown(false);  // closed, its writer joined, its buffers freed
  } else {
    // A library thread may still record: its buffer stays; what is buffered
    // is written within a bound.
    trace::Shutdown(true);
  }
  trace::ForgetThreadEnds();  // the module may be unmapped next
  binding::ReleaseThreadSlots();
}
}  // namespace

// The JVM unloads the bridge with the class loader that loaded it, on a
// thread of its own and outside the system's loader lock, so threads may be
// joined here. No thread is inside a native of that class by then.
extern "C" JNIEXPORT void JNICALL JNI_OnUnload(JavaVM*, void*) {
  TearDown(By::kJvm);
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
  TearDown(By::kSystem);
}
