// The trace's writer: one thread per open trace that takes the per-thread
// buffers' records, formats them as JSON and writes them (or, in ring mode,
// keeps them in memory until a trigger). Used by trace.cpp only.
#pragma once

#include <jni.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace trace::detail {

struct Settings {
  std::string pattern;  // JAVAWRAPPER_TRACE: %p the process id, %n the session
  bool ring = false;
  uint64_t ringBytes = 0;
  uint64_t maxBytes = 0;
  uint32_t session = 0;  // 1 for the process's first trace
  JavaVM* vm = nullptr;
};

class Writer;

// Starts a writer. In "all" mode the file is created first: nullptr and the
// problem's text when it cannot be. In ring mode no file exists until a
// trigger.
Writer* StartWriter(const Settings& settings, std::string* problem);
// Asks the writer to write what is buffered, then the summary, and end.
// trigger: a static text naming why a session ends without its logoff (ring
// mode then writes the ring under that name), or nullptr for a logoff.
// Only atomic stores: safe from any thread at any time, exit included.
void AskToFinish(Writer* writer, const char* trigger);
// Whether the writer finished its last write before the deadline.
bool WaitFinished(Writer* writer, std::chrono::steady_clock::time_point deadline);
// Joins the writer's thread, closes the file and frees the writer.
void JoinAndFree(Writer* writer);
// Where no thread may be joined (the Windows loader lock): the writer writes
// what is buffered and parks, and is ended there, by the deadline or not;
// its file is closed. The writer's memory stays.
void EndWithoutJoin(Writer* writer, const char* trigger,
                    std::chrono::steady_clock::time_point deadline);

}  // namespace trace::detail
