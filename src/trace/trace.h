// The call trace, a flight recorder: every native call with its arguments,
// every delivered event, the queue's depth and every funnel line, written as
// Trace Event Format JSON (the array form that Perfetto, Chrome's trace
// viewer and DevTools open) for a support engineer.
//
// Off unless JAVAWRAPPER_TRACE names a file when initialise runs. Recording
// is cheap enough to leave on: each thread writes fixed binary records into
// a buffer of its own (no lock shared with another thread, no allocation,
// no formatting), and the trace's writer thread turns them into JSON. A full
// buffer drops that thread's records (never events, never results) and
// counts them; a call goes with its arguments or not at all. A thread's
// buffer goes back to a pool when the thread ends, and all buffers together
// stay within a cap (JAVAWRAPPER_TRACE_MEMORY_MB). With tracing off a hot
// path pays one relaxed load and a branch.
//
// Two modes (JAVAWRAPPER_TRACE_MODE): "all" (the default) writes everything
// as it comes; "ring" keeps the last records in memory and writes them only
// when something goes wrong (a native returning 99, a forced logout event, a
// failing logoff, the process ending inside a session), naming the trigger.
//
// Secrets never reach the file: texts recorded inside a Secret scope are
// written as their length only; texts that may be credentials too, unless
// JAVAWRAPPER_TRACE_TEXTS=all.
#pragma once

#include <jni.h>

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

// The trace's clock: processor ticks where reading them is cheap, converted
// to time by the writer. Never 0, so callers may use 0 for "not traced".
uint64_t Now();
// The operating system's id of the calling thread (the `nid` jstack shows).
uint32_t ThreadId();

// initialise: opens a new trace (closing an earlier one first), or turns
// tracing off when JAVAWRAPPER_TRACE is unset. env names the calling Java
// thread's JVM, from which threads' names are learned (null: no names). An
// unwritable file leaves tracing off and returns the text of the one funnel
// line the caller writes once the trading library can log it.
std::string Start(JNIEnv* env);
// logoff: the writer writes what is buffered and the summary, and the file
// is closed. Other threads never wait for the disk meanwhile, and the
// caller waits only within a bound: a destination that stalls makes the
// writer give up, counting what it did not write (in the file's summary
// when that can still be written, on standard error otherwise).
void Stop();

// The bridge leaving the process. processExiting false (the module is being
// unloaded: JNI_OnUnload, after the trading library is gone and no native
// can run): the open trace is closed, its writer joined, the buffers freed.
// Never call it under the Windows loader lock. processExiting true (exit
// with other threads possibly still running): the writer is asked to write
// what is buffered and is waited for until a deadline; nothing is joined or
// freed, so threads still recording touch only memory that stays.
void Shutdown(bool processExiting);
// The module unmapped where no thread may be joined (a host's FreeLibrary,
// under the Windows loader lock): the writer writes what is buffered within a
// bound (giving up on a stalled destination) and is ended only once it parked,
// never where it could hold a C runtime or heap lock; the file is closed,
// nothing else freed, and no thread's end calls into the module after.
void ShutdownWithoutJoin();
// The module leaving while it stays loaded or not (both unload paths, not
// the process's exit): no thread's end calls into it from now on; buffers
// already taken stay with their threads.
void ForgetThreadEnds();

// Records, each only while On(). A native call: Begin at its start, then
// its arguments, then Call at its end, on the same thread; where is the
// native's exported name (a static text ending in a zero byte). The result
// counts as a failure (and 99 or a failing logoff as a trigger) even when
// the call's records do not fit.
struct Begun {
  uint64_t start = 0;
  uint32_t mark = 0;  // where this call's arguments begin on the stage
};
Begun Begin();
void Call(std::string_view where, const Begun& begun, int32_t code);
// An event the pump took from the queue, before Java gets it (only while
// On()): counted as taken by the open trace, so one whose handler is still
// running when that trace closes (a logoff from inside messageReceived) is
// in its summary as cut off; a forced logout raises ring mode's trigger here,
// before any handler can close the trace. Taking::session 0: not traced.
struct Taking {
  uint64_t start = 0;
  uint32_t session = 0;
};
Taking Taken(int32_t id);
// What became of it: delivered (messageReceived returned), dropped before
// Java got it (a buffer too short, none given) or delivered to a handler
// that threw; why says what went wrong (cut to kWhyCut bytes). Counted even
// when the record does not fit, but only by the trace it was taken in: once
// that trace has closed, it is nobody's (its file says it was cut off), and
// never the next trace's.
enum class Outcome : uint16_t { kDelivered, kDropped, kThrew };
constexpr size_t kWhyCut = 512;
void Delivered(const Taking& taking, int32_t id, int32_t length, uint64_t enqueued,
               uint32_t producer, uint64_t depth, Outcome outcome = Outcome::kDelivered,
               std::string_view why = {});
// An event the queue could not hold (its hard byte limit, or no memory for
// its record): dropped before the pump ever saw it, counted in the summary's
// events_dropped with those the pump dropped. Any thread, any time.
void DroppedInQueue();
void Funnel(std::string_view where, std::string_view message);

// Arguments, recorded by the conversions during a native call on this thread
// and attached to its Call record, in the order they are recorded. The file
// names each by the native's Java parameter of its type, the first not yet
// named, in declaration order: a native records every parameter it reads
// (a null text too), those of one type in the order Java declares them.
void ArgText(const char* text, size_t length);
void ArgSize(const char* what, size_t size);    // an output array's size
void ArgBytes(const void* bytes, size_t size);  // an input record, in full
void ArgNumber(int64_t value);                  // ints, bytes, chars
void ArgFlag(bool value);
void ArgReal(double value);
void ArgNull();                 // a null where a text was expected
void ArgCount(size_t count);    // a String[]'s length, before its elements
void ArgElement(size_t index);  // the next text is element `index` of it
// A native's plain arguments (jint, jboolean, jbyte, jdouble, ...).
inline void Arg(int32_t v) {
  ArgNumber(v);
}
inline void Arg(int64_t v) {
  ArgNumber(v);
}
inline void Arg(signed char v) {
  ArgNumber(v);
}
inline void Arg(unsigned char v) {  // jboolean
  ArgFlag(v != 0);
}
inline void Arg(bool v) {
  ArgFlag(v);
}
inline void Arg(double v) {
  ArgReal(v);
}
template <typename... T>
void Numbers(T... values) {
  if (On()) (Arg(values), ...);
}

// Texts and records recorded while one lives appear as their length only;
// numbers too when it is made with kNumbersToo (a code that is a secret).
// kCredentials: texts that may be credentials (a licence key, a certificate
// name), hidden unless JAVAWRAPPER_TRACE_TEXTS=all.
class Secret {
 public:
  enum What { kTexts, kNumbersToo, kCredentials };
  explicit Secret(What what = kTexts);
  ~Secret();
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;

 private:
  What what_;
  bool active_;
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

// A JSON string literal of text, quotes included; with `most`, at most that
// many bytes of literal, cut after escaping (never inside an escape), a cut
// text ending in "...".
std::string JsonString(std::string_view text, size_t most = ~size_t{0});

// For tests: runs on the writer's thread before each write to the file, as a
// disk or a pipe that is slow to take it would hold the writer. Null: none.
void SetBeforeWriteForTests(void (*hook)());
// For tests: runs on the writer's thread before each pass over the buffers,
// as a writer that gets no processor time would wait. Null: none.
void SetBeforePassForTests(void (*hook)());
// For tests: the buffers made (within the cap), their bytes, and how many
// belong to threads that ended and wait for the writer.
struct Memory {
  uint64_t buffers = 0, bytes = 0, ended = 0;
};
Memory MemoryForTests();

}  // namespace trace
