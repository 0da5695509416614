// The call trace: every native call, every delivered event, the queue's depth
// and every funnel line, written as Trace Event Format JSON (the array form
// that Perfetto and Chrome's trace viewer open) for a support engineer.
//
// Off unless JAVAWRAPPER_TRACE names a file when initialise runs; then
// records go to a bounded buffer in memory that a writer thread of the bridge
// empties, so no caller ever waits for the disk. A full buffer drops trace
// records (never events, never results) and counts them. With tracing off a
// hot path pays one relaxed load and a branch.
//
// Secrets never reach the file: texts converted inside a Secret scope are
// written as their length only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace trace {

extern std::atomic<bool> gOn;
inline bool On() {
  return gOn.load(std::memory_order_relaxed);
}

uint64_t NowNs();     // the monotonic clock
uint32_t ThreadId();  // a small number per thread, for the timeline's rows

// initialise: opens JAVAWRAPPER_TRACE (closing an earlier trace first), or
// turns tracing off when the variable is unset. JAVAWRAPPER_TRACE_MAX_MB caps
// the file (default 256); JAVAWRAPPER_TRACE_BUFFER sets the buffer's record
// count. An unwritable file leaves tracing off and returns the text of the
// one funnel line the caller writes once the trading library can log it.
std::string Start();
// logoff: writes the summary and closes. The bridge's own unloading uses
// StopAtUnload, which never joins a thread where the system forbids it.
void Stop();
void StopAtUnload();

// Records, each only while On().
void Call(std::string_view where, uint64_t startNs, int32_t code);
void Delivered(int32_t id, int32_t length, uint64_t startNs, uint64_t enqueuedNs, uint32_t producer,
               uint64_t depth);
void Funnel(std::string_view where, std::string_view message);

// Argument summaries, gathered by the conversions during a native call on
// this thread and attached to its Call record.
void ArgText(const char* text, size_t length);
void ArgSize(const char* what, size_t size);

// Texts converted while one lives appear as their length only.
class Secret {
 public:
  Secret();
  ~Secret();
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
};

// For the summary: durations in a histogram of eight buckets per octave, so a
// percentile is exact to within one eighth of an octave.
class Histogram {
 public:
  void Add(uint64_t ns);
  uint64_t Percentile(double fraction) const;  // 0 when empty
  uint64_t Max() const { return max_; }
  uint64_t Count() const { return count_; }

 private:
  static constexpr int kBuckets = 64 * 8;
  uint64_t buckets_[kBuckets] = {};
  uint64_t count_ = 0;
  uint64_t max_ = 0;
};

// A JSON string literal of text, quotes included.
std::string JsonString(std::string_view text);

}  // namespace trace
