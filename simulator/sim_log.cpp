// The simulator's log: every qrLogString line, written where a real trading
// library writes its log file, so a front-end team sees the bridge's funnel
// lines in it. Standard error until simLogTo names a file.
#include <cstdio>
#include <mutex>
#include <string>

#include "simulator/control.h"
#include "simulator/sim.h"

namespace {

std::mutex& LogLock() {
  static std::mutex* lock = new std::mutex;  // kept: a line may come during exit
  return *lock;
}
std::string& LogPath() {
  static std::string* path = new std::string;
  return *path;
}

}  // namespace

namespace sim {

void WriteLog(const char* text) {
  if (text == nullptr) return;
  std::lock_guard<std::mutex> lock(LogLock());
  const std::string& path = LogPath();
  if (path.empty()) {
    std::fprintf(stderr, "simulator log: %s\n", text);
    std::fflush(stderr);
    return;
  }
  // Opened per line, so the file is whole whenever a test reads it.
  if (std::FILE* file = std::fopen(path.c_str(), "ab")) {
    std::fprintf(file, "%s\n", text);
    std::fclose(file);
  }
}

}  // namespace sim

extern "C" QR_EXPORT void simLogTo(const char* path) {
  std::lock_guard<std::mutex> lock(LogLock());
  LogPath() = path != nullptr ? path : "";
}
