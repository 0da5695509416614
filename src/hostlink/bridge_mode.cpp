// Whether the trading library runs in a host process, and which host
// executable serves it.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hostlink/bridge.h"
#include "hostlink/bridge_internal.h"
#include "hostlink/pe_image.h"
#include "platform/host_link.h"
#include "platform/platform.h"

namespace hostlink {
namespace {
std::atomic<bool> gInHost{false};
}  // namespace

namespace detail {

Mode ReadMode() {
  const char* value = std::getenv("JAVAWRAPPER_HOST");
  if (value == nullptr || *value == '\0' || std::strcmp(value, "auto") == 0) return Mode::kAuto;
  if (std::strcmp(value, "always") == 0) return Mode::kAlways;
  if (std::strcmp(value, "never") == 0) return Mode::kNever;
  std::fprintf(stderr, "JavaWrapper: JAVAWRAPPER_HOST=%s is not auto, always or never: auto\n",
               value);
  return Mode::kAuto;
}

// The bitness of the host a library needs: its own image's, where the file
// says (a 32-bit Windows library from a 64-bit bridge), else the bridge's.
int LibraryBits(const std::string& fileName) {
  switch (ReadImageMachine(fileName)) {
    case ImageMachine::kI386:
      return 32;
    case ImageMachine::kAmd64:
      return 64;
    default:
      return kOwnBits;
  }
}

std::string HostExecutable(int bits) {
  // The tests' stand-in hosts, which break the protocol on purpose.
  if (const char* exe = std::getenv("JAVAWRAPPER_TEST_HOST"); exe != nullptr && *exe != '\0')
    return exe;
  std::string dir = platform::ModuleFileName();
  size_t end = dir.size();
  while (end > 0 && !platform::IsDirectoryEnd(dir[end - 1])) --end;
  dir.resize(end);
  return dir + platform::HostFileName(bits);
}

}  // namespace detail

using detail::kOwnBits;
using detail::LibraryBits;
using detail::Mode;
using detail::ReadMode;

bool Wanted(const std::string& fileName) {
  if (gInHost.load()) return false;
  const Mode mode = ReadMode();
  if (mode == Mode::kNever) return false;
  // A library of the bridge's own bitness stays in the process unless asked;
  // one of the other bitness cannot load here at all.
  return mode == Mode::kAlways || LibraryBits(fileName) != kOwnBits;
}

void MarkInHost() {
  gInHost.store(true);
}

}  // namespace hostlink
