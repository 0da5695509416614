// The simulator's internals shared by its entry files: the journal, forced
// results and outputs, callback registrations and the simulator's threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

#include "binding/vendor.h"

namespace sim {

// One argument as the journal keeps it.
struct Arg {
  enum Kind : char { kInt = 'i', kText = 's', kRecord = 'r', kOut = 'o' } kind;
  bool null = false;
  std::string bytes;
};
Arg Int(int32_t value);
Arg Text(const char* text);
Arg Record(const void* record, size_t size);
Arg Out(const void* buffer);

// Journals the call, runs body (which does the entry's work and gives its
// natural result) and returns the forced result instead when one is set. No
// exception leaves it: a failure inside body answers 99.
int32_t Call(const char* entry, std::initializer_list<Arg> args,
             const std::function<int32_t()>& body = {});

// Writes the entry's configured output (simSetOutput) or the fixed pattern.
void FillOutput(const char* entry, void* buffer, size_t size);
// Writes the configured count (first four bytes of the output) or fallback.
void FillCount(const char* entry, int32_t* count, int32_t fallback);
// Writes the configured 21-byte numeric text or fallback, null-terminated.
void FillNumber(const char* entry, char* buffer, const char* fallback);

const char* ErrorText(int32_t code);

// Appends one line of qrLogString to the simulator's log (simLogTo).
void WriteLog(const char* text);

enum class ProcKind { kRecord, kSignal, kMessage };
int32_t Register(int32_t id, ProcKind kind, void* proc);
void ClearRegistrations();
// Calls the procedure registered for id on this thread; false if none.
bool Deliver(int32_t id, const void* bytes, size_t length);

// Runs work on a new simulator thread. Threads are stopped (Stopping() turns
// true) and joined on log-off, on simReset and when the library unloads.
void StartThread(std::function<void()> work);
bool Stopping();
void StopThreads();

}  // namespace sim
