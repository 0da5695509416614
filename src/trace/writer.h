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
// Waits for the writer to finish: up to `most` while it makes progress, and
// `stalled` after its last progress. Past either it is told to give up
// (it counts what it did not write, in the summary when the file still
// takes it, on standard error otherwise) and given a little longer. False
// when it did not finish even then (noted on standard error).
bool WaitFinished(Writer* writer, std::chrono::milliseconds stalled,
                  std::chrono::milliseconds most);
// Joins the writer's thread, closes the file and frees the writer.
void JoinAndFree(Writer* writer);
// A writer that did not finish: its thread is left to end on its own, and
// its memory with it.
void LeaveRunning(Writer* writer);
// Where no thread may be joined (the Windows loader lock): the writer
// finishes as WaitFinished says, parks, and is ended there, only once it
// parked (never where it might hold a C runtime or heap lock); its file is
// closed. The writer's memory stays.
void EndWithoutJoin(Writer* writer, const char* trigger, std::chrono::milliseconds bound);

}  // namespace trace::detail
