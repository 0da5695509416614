#include "binding/report.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
  // is simply made again. One write of the whole line keeps concurrent lines
  // whole in a file opened for appending.
  if (const char* path = std::getenv("JAVAWRAPPER_LOG"); path != nullptr && *path != '\0') {
    if (std::FILE* file = std::fopen(path, "ab")) {
      std::fwrite(buffer, 1, length, file);
      std::fclose(file);
    }
  }
  platform::DebugOutput(buffer);
}

}  // namespace binding
