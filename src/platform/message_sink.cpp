// The "Error" box's sink, the same on every system; only the default sink
// (DefaultErrorBox) is the system's own.
#include <mutex>

#include "platform/platform.h"

namespace platform {
namespace {
std::mutex gSinkMutex;
MessageSink gSink = &DefaultErrorBox;
}  // namespace

void ShowErrorBox(const char* text) {
  MessageSink sink;
  {
    std::lock_guard<std::mutex> lock(gSinkMutex);
    sink = gSink;
  }
  sink(text);
}

MessageSink SetMessageSink(MessageSink sink) {
  std::lock_guard<std::mutex> lock(gSinkMutex);
  MessageSink previous = gSink;
  gSink = sink != nullptr ? sink : &DefaultErrorBox;
  return previous;
}

}  // namespace platform
