// The trace's per-thread buffers and the binary records in them: shared by
// the recording side (trace.cpp, pool.cpp) and the writer (writer*.cpp),
// nothing else.
//
// Each thread that records owns one Buffer, a ring of bytes with one
// producer (its thread) and one consumer (the writer): the producer reads
// the consumer's tail and publishes its head with a release store; the
// consumer reads the head with an acquire load and publishes its tail the
// same way. No lock, no allocation after the thread takes its buffer.
//
// A native call's arguments are first staged in the buffer's stage (the
// owner's alone) and reach the ring together with the call's record, as one
// reservation: a call is kept or dropped whole, so no call can show another
// call's arguments.
//
// Buffers are linked once into a list that only grows while the module is
// loaded, within the trace's memory cap. A thread's buffer goes back to the
// pool when the thread ends: the thread marks it ended, the writer writes
// what it holds and marks it free, and the next thread to record takes it.
// They are freed only when the module leaves (Shutdown(false)).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace trace::detail {

enum Kind : uint16_t {
  kPad,        // the unused end of the ring before a wrap
  kCall,       // a native call
  kDelivered,  // an event delivered by the pump
  kFunnel,     // a funnel line
  kText,       // an argument: text, cut to kTextCut bytes
  kBytes,      // an argument: an input record, in full
  kNumber,     // an argument: an integer
  kFlag,       // an argument: a boolean
  kReal,       // an argument: a double
  kOutSize,    // an argument: an output array's size
  kSecret,     // an argument written as its length only (extra: its kind)
  kNull,       // an argument: a null Java reference where a text was expected
  kCount,      // an argument: a String[]'s length (its elements follow)
  kElement,    // marks the next argument as element `number` of that String[]
};

constexpr size_t kTextCut = 64;
constexpr size_t kFunnelCut = 1024;

struct Header {
  uint32_t size;  // the whole record, a multiple of 8
  uint16_t kind;
  uint16_t extra;
};

struct CallRecord {
  Header h;
  uint64_t start, end;
  const char* name;  // a static text: the native's exported name or a literal
  uint32_t nameLength;
  int32_t code;
};

// extra: the Outcome (trace.h). An event that did not reach Java, or whose
// handler threw, is followed by `why` bytes of the reason.
struct DeliveredRecord {
  Header h;
  uint64_t start, end, enqueued, depth;
  int32_t id, length;
  uint32_t producer, why;
};

struct ValueRecord {
  Header h;
  int64_t number;  // kNumber, kFlag, kOutSize, kSecret (the length)
  double real;     // kReal
};

// Followed by `stored` bytes (kText, kBytes) or by the where-text and the
// message (kFunnel: stored is the where-text's length, full the message's).
struct BytesRecord {
  Header h;
  uint64_t at;    // kFunnel: when
  uint32_t full;  // the whole length (a text may be cut)
  uint32_t stored;
};

constexpr size_t Rounded(size_t n) {
  return (n + 7) & ~size_t{7};
}

// A buffer's owner: a living thread, a thread that ended (its records not
// yet all written) or nobody (free to take).
enum Owner : int { kOwned, kEnded, kFree };

// The stage for one thread's calls in progress (nested calls stack up).
constexpr size_t kStage = 16 << 10;

struct Buffer {
  Buffer* next = nullptr;  // set before the buffer is published, then fixed
  size_t capacity = 0;     // a power of two
  unsigned char* data = nullptr;
  unsigned char* stage = nullptr;  // kStage bytes after data

  // Who has it. kOwned to kEnded by the owner at its end (release); kEnded
  // to kFree by the writer once it wrote the rest (release, after resetting
  // named); kFree to kOwned by the next owner (acquire).
  std::atomic<int> owner{kOwned};
  std::atomic<uint32_t> tid{0};  // the owner's, set when it takes the buffer

  alignas(64) std::atomic<uint64_t> head{0};  // bytes written (producer)
  // The producer's counters: written only by the owning thread.
  std::atomic<uint64_t> calls{0};
  std::atomic<uint64_t> eventsTaken{0};    // events taken from the queue, outcome or not
  std::atomic<uint64_t> deliveries{0};     // events messageReceived returned from
  std::atomic<uint64_t> eventsDropped{0};  // events Java never got
  std::atomic<uint64_t> handlerThrew{0};   // events whose messageReceived threw
  std::atomic<uint64_t> dropped{0};        // records
  std::atomic<uint64_t> droppedCalls{0};   // calls, with their arguments
  // The owner's alone: the staged bytes, and whether one of them could not
  // be staged (the call then goes whole or not at all: not at all).
  size_t staged = 0;
  bool stageOverflow = false;
  uint32_t stageSession = 0;  // the trace the staged bytes belong to

  alignas(64) std::atomic<uint64_t> tail{0};  // bytes read (writer)

  // The Java thread's name, set once by the owner before named is stored.
  std::atomic<int> named{0};  // 0 not yet asked, 1 no name (not a Java thread), 2 named
  char name[64] = {};
};

// Every buffer ever made while the module is loaded, newest first.
extern std::atomic<Buffer*> gBuffers;
// The usable bytes of each ring (a buffer made earlier may hold more).
extern std::atomic<size_t> gLimit;
// The trace now open (0: none), so a stage left from an earlier one is
// recognised.
extern std::atomic<uint32_t> gSession;

// The pool (pool.cpp). The calling thread's buffer: its own, a free one, or
// a new one within the memory cap; nullptr when none can be had (the record
// is then counted in gUnbuffered).
Buffer* TakeBuffer();
// The writer's, for each ended buffer it has written out: free to take.
void Release(Buffer& b);
// Released buffers so far: a thread that found none retries only after one.
extern std::atomic<uint64_t> gReleases;
// Start: the cap for all buffers together, in bytes; whether threads' ends
// can be seen (false: buffers stay with the threads that took them), each
// end calling the hook with the thread's buffer.
void SetMemoryCap(uint64_t bytes);
void SetThreadEndHook(void (*onEnd)(void*));
bool WatchThreadEnds();
// Shutdown(false): no hook runs after this; then every buffer is freed.
void ForgetThreadEnds();
void FreeAllBuffers();
// Records and calls that found no buffer (the cap reached, or no memory).
extern std::atomic<uint64_t> gUnbuffered, gUnbufferedCalls;
// Events the queue dropped before any pump saw them (DroppedInQueue).
extern std::atomic<uint64_t> gQueueDropped;

// The calling threads' notes of what went wrong (notes.cpp), counted when
// the call ends whether or not its records fit: results other than 0 by
// code, and the triggers of ring mode.
void NoteResult(const char* where, int32_t code);
void NoteForcedLogout();
// For the writer: the failures so far, by code ("other" beyond the table:
// code 0), and the count of triggers with the last one's text.
struct Failures {
  static constexpr int kCodes = 32;
  int32_t code[kCodes] = {};
  uint64_t count[kCodes] = {};
  uint64_t other = 0;
};
void ReadFailures(Failures* out);
// Ring mode's triggers raised so far, by kind (acquire: records published
// before one are seen).
struct Triggers {
  uint64_t calls = 0;   // a 99 or a failing logoff
  uint64_t forced = 0;  // a forced logout taken from the queue
  bool operator==(const Triggers&) const = default;
};
Triggers TriggerCounts();
// What was raised since seen: the last call's trigger, a forced logout, or
// both (a host's end brings its calls' 99 and the forced logout together,
// and the file must name the first as well).
std::string TriggersSince(const Triggers& seen, const Triggers& now);

}  // namespace trace::detail
