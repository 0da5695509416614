// For tests: the library's control exports (the simulator's) called in the
// library host, so a test sees and steers the instance the bridge uses, as it
// does in-process by loading the same file. Marshalled like the entries.
#pragma once

#include <cstdint>
#include <iterator>
#include <string>

#include "hostlink/marshal.h"

struct JNIEnv_;
typedef JNIEnv_ JNIEnv;

namespace hostlink {

inline constexpr int kControlBase = 1000;
// A control call's op: kControlBase + target * kControlStride + its index.
inline constexpr int kControlStride = 100;
inline constexpr int kControlTargets = 4;
enum ControlIndex : int {
  kControlFirst = kControlBase - 1,
#define HOST_CONTROL(name, result, params, ...) kControl_##name,
#include "hostlink/control.def"
  kControlEnd
};

#define HOST_CONTROL(name, result, params, ...)                                   \
  template <>                                                                     \
  struct Records<kControl_##name> {                                               \
    static constexpr RecordSpec list[] = {__VA_OPT__(__VA_ARGS__, ) RecordIn(0)}; \
    static constexpr int count = static_cast<int>(std::size(list)) - 1;           \
  };
#include "hostlink/control.def"

// Opens the file in the host (starting one when none runs), as a test loads
// the simulator: a target for control calls, or -1. Close drops that
// reference.
int ControlOpen(const std::string& fileName);
void ControlClose(int target);
// The forwarding function of the named control export in the target,
// callable like it; nullptr for a name not in control.def. It never throws:
// a host that cannot answer gives -1 and a line on standard error.
void* ControlFunction(const char* name, int target);

// The tests' natives for the control calls, on javawrapper.HostControl when
// that class exists (hostlink/jni_control.cpp).
void RegisterTestControl(JNIEnv* env);

// The host's side.
void ServeControl(CallSlot& slot);

}  // namespace hostlink
