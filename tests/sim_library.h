// The simulator, loaded by file name as the bridge loads it, with its control
// surface resolved. Loading the same file again (as LoadAPI does) shares the
// one instance, so the test sees what the bridge does to it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace testing_support {

class SimLibrary {
 public:
  // The directory of the test program, with its trailing separator.
  static std::string Directory();
  // file in the program's directory, or in variants/<variant>/ when given.
  static std::string Path(const char* file = "QUORAPI.DLL", const char* variant = nullptr);

  // The market is off: entries answer with set outputs or the fixed pattern.
  explicit SimLibrary(const std::string& path = Path());
  ~SimLibrary();
  SimLibrary(const SimLibrary&) = delete;
  SimLibrary& operator=(const SimLibrary&) = delete;

  void* Symbol(const char* name) const;  // any export, or nullptr (always in host mode)
  // JAVAWRAPPER_HOST=always: the simulator is the library host's instance.
  static bool InHost();

  void Reset() { reset_(); }
  void ForceResult(const char* entry, int32_t code) { forceResult_(entry, code); }
  void ClearResult(const char* entry) { clearResult_(entry); }
  void SetOutput(const char* entry, const std::string& bytes) {
    setOutput_(entry, bytes.data(), static_cast<int32_t>(bytes.size()));
  }
  void SetErrorText(int32_t code, const char* text) { setErrorText_(code, text); }
  void Fault(const char* entry, int32_t kind) { fault_(entry, kind); }
  void Market(bool on) { market_(on ? 1 : 0); }
  void Journal(bool on) { journalEnable_(on ? 1 : 0); }
  int32_t Fire(int32_t id, const std::string& bytes) {
    return fire_(id, bytes.data(), static_cast<int32_t>(bytes.size()));
  }
  int32_t FireAsync(int32_t id, const std::string& bytes) {
    return fireAsync_(id, bytes.data(), static_cast<int32_t>(bytes.size()));
  }
  int32_t FireStream(int32_t id, int32_t len, int32_t threads, int32_t count) {
    return fireStream_(id, len, threads, count);
  }
  void Burst(const char* entry, int32_t id, int32_t len, int32_t count) {
    burst_(entry, id, len, count);
  }
  int32_t FireLocked(int32_t id, int32_t len, int32_t count) { return fireLocked_(id, len, count); }
  // The pointers, unchanged, from a simulator thread (entry null) or during
  // the next call of entry on its caller's thread.
  int32_t FireRecords(const char* entry, int32_t id, const std::vector<const void*>& records) {
    return fireRecords_(entry, id, records.data(), static_cast<int32_t>(records.size()));
  }
  // Every simulator thread has finished; a failure names the wait after a minute.
  void WaitIdle() {
    if (waitIdleFor_(60000) == 0) ADD_FAILURE() << "the simulator's threads still ran after 60 s";
  }
  int32_t RegisteredCount() { return registeredCount_(); }

  // The journal.
  void ClearJournal() { journalClear_(); }
  std::vector<std::string> Calls();  // entry names in call order
  int32_t Find(const char* entry, int32_t from = 0) { return journalFind_(entry, from); }
  int32_t CountCalls(const char* entry);
  std::string Arg(int32_t call, int32_t arg);  // "<null>" for a null pointer
  bool ArgIsNull(int32_t call, int32_t arg);
  // The text of every qrLogString call (the error funnel's lines), in order.
  std::vector<std::string> Logged();
  int32_t IntArg(int32_t call, int32_t arg);

 private:
  platform::LibraryHandle handle_;
  void (*reset_)();
  void (*forceResult_)(const char*, int32_t);
  void (*clearResult_)(const char*);
  void (*setOutput_)(const char*, const void*, int32_t);
  void (*setErrorText_)(int32_t, const char*);
  void (*fault_)(const char*, int32_t);
  void (*market_)(int32_t);
  void (*journalEnable_)(int32_t);
  int32_t (*fire_)(int32_t, const void*, int32_t);
  int32_t (*fireAsync_)(int32_t, const void*, int32_t);
  int32_t (*fireStream_)(int32_t, int32_t, int32_t, int32_t);
  void (*burst_)(const char*, int32_t, int32_t, int32_t);
  int32_t (*fireLocked_)(int32_t, int32_t, int32_t);
  int32_t (*fireRecords_)(const char*, int32_t, const void* const*, int32_t);
  int32_t (*waitIdleFor_)(int32_t);
  int32_t (*registeredCount_)();
  void (*journalClear_)();
  int32_t (*journalSize_)();
  int32_t (*journalName_)(int32_t, char*, int32_t);
  int32_t (*journalArg_)(int32_t, int32_t, void*, int32_t);
  int32_t (*journalFind_)(const char*, int32_t);
};

// Captures what the "Can't find " box would show, for the life of the object.
class MessageCapture {
 public:
  MessageCapture();
  ~MessageCapture();
  static std::vector<std::string> Texts();

 private:
  platform::MessageSink previous_ = nullptr;
};

}  // namespace testing_support
