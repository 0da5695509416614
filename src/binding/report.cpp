#include "binding/report.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/platform.h"

namespace binding {

void Report(std::initializer_list<std::string_view> parts) noexcept {
  constexpr std::string_view kPrefix = "JavaWrapper: ";
  char buffer[1024];
  size_t length = 0;
  auto append = [&](std::string_view part) {
    const size_t room = sizeof buffer - 2 - length;  // the newline and the null stay
    const size_t n = part.size() < room ? part.size() : room;
    std::memcpy(buffer + length, part.data(), n);
    length += n;
  };
  append(kPrefix);
  for (std::string_view part : parts) append(part);
  buffer[length++] = '\n';
  buffer[length] = '\0';
  std::fputs(buffer, stderr);
  std::fflush(stderr);
  // Opened per line: lines are rare, and a file removed or rotated meanwhile
  // is simply made again. One write of the whole line on a handle for
  // appending only keeps concurrent lines whole and every one of them.
  // The lock orders this process's own lines: Wine places an append-only
  // write at the end in two steps too.
  if (const char* path = std::getenv("JAVAWRAPPER_LOG"); path != nullptr && *path != '\0') {
    static std::atomic_flag busy = ATOMIC_FLAG_INIT;
    while (busy.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    platform::AppendToFile(path, buffer, length);
    busy.clear(std::memory_order_release);
  }
  platform::DebugOutput(buffer);
}

}  // namespace binding
