// A test's control calls into the library the host loaded: the simulator's
// control surface reached through the host, as the tests reach it in-process.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <type_traits>

#include "hostlink/bridge_internal.h"
#include "hostlink/control.h"
#include "hostlink/marshal.h"
#include "hostlink/shared.h"

namespace hostlink {

namespace {
template <int Target, int Slot, typename Signature>
struct ControlCaller;
template <int Target, int Slot, typename R, typename... A>
struct ControlCaller<Target, Slot, R(A...)> {
  // A test's call: a host that cannot answer is reported, never thrown.
  static R Call(A... args) {
    detail::SetControlTarget(Target);
    try {
      return Forwarder<Slot, R(A...)>::Call(args...);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "JavaWrapper: control call failed:%s\n", e.what());
      if constexpr (!std::is_void_v<R>) return R{-1};
    }
  }
};
}  // namespace

int ControlOpen(const std::string& fileName) {
  std::string whyNot;
  if (!detail::EnsureHost(fileName, &whyNot) || fileName.size() >= kSlotData) return -1;
  try {
    ActiveCall call;
    std::memcpy(call.Slot()->data, fileName.c_str(), fileName.size() + 1);
    const int32_t target = call.Transact(kOpControlOpen, fileName.size() + 1, nullptr);
    return target >= 0 && target < kControlTargets ? target : -1;
  } catch (const std::exception&) {
    return -1;
  }
}

void ControlClose(int target) {
  try {
    ActiveCall call;
    Put32(call.Slot()->data, static_cast<uint32_t>(target));
    call.Transact(kOpControlClose, 4, nullptr);
  } catch (const std::exception&) {
    // No host: nothing is open.
  }
}

namespace {
template <int Target>
void* ControlFunctionOf(const char* name) {
#define HOST_CONTROL(fn, result, params, ...)                                 \
  if (std::strcmp(name, #fn) == 0) {                                          \
    using Signature = result params;                                          \
    Signature* call = &ControlCaller<Target, kControl_##fn, Signature>::Call; \
    return reinterpret_cast<void*>(call);                                     \
  }
#include "hostlink/control.def"
  return nullptr;
}
}  // namespace

void* ControlFunction(const char* name, int target) {
  switch (target) {
    case 0:
      return ControlFunctionOf<0>(name);
    case 1:
      return ControlFunctionOf<1>(name);
    case 2:
      return ControlFunctionOf<2>(name);
    case 3:
      return ControlFunctionOf<3>(name);
    default:
      return nullptr;
  }
}

}  // namespace hostlink
