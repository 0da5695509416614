// What the bridge's side of the library host shares between its own files.
#pragma once

#include <string>

namespace hostlink::detail {

enum class Mode { kAuto, kAlways, kNever };
// JAVAWRAPPER_HOST as read now (a value it does not know is auto, said once
// per reading on standard error).
Mode ReadMode();
inline constexpr int kOwnBits = sizeof(void*) * 8;
// The bitness of the host a library needs: its own image's, where the file
// says (a 32-bit Windows library from a 64-bit bridge), else the bridge's.
int LibraryBits(const std::string& fileName);
// The host executable for a library of bits, beside the bridge.
std::string HostExecutable(int bits);

// The running host, or a new one; false with *whyNot when none starts.
bool EnsureHost(const std::string& fileName, std::string* whyNot);
// The library the calling thread's next control call goes to.
void SetControlTarget(int target);

}  // namespace hostlink::detail
