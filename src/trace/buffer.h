// The trace's per-thread buffers and the binary records in them: shared by
// the recording side (trace.cpp) and the writer (writer.cpp), nothing else.
//
// Each thread that records owns one Buffer, a ring of bytes with one
// producer (its thread) and one consumer (the writer): the producer reads
// the consumer's tail and publishes its head with a release store; the
// consumer reads the head with an acquire load and publishes its tail the
// same way. No lock, no allocation after the thread's first record.
// Buffers are linked once into a list that only grows while the module is
// loaded; they go only when the module leaves (Shutdown(false)).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

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

struct DeliveredRecord {
  Header h;
  uint64_t start, end, enqueued, depth;
  int32_t id, length;
  uint32_t producer, unused;
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

struct Buffer {
  Buffer* next = nullptr;  // set before the buffer is published, then fixed
  uint32_t tid = 0;
  size_t capacity = 0;  // a power of two
  unsigned char* data = nullptr;

  alignas(64) std::atomic<uint64_t> head{0};  // bytes written (producer)
  // The producer's counters: written only by the owning thread.
  std::atomic<uint64_t> calls{0};
  std::atomic<uint64_t> deliveries{0};
  std::atomic<uint64_t> dropped{0};

  alignas(64) std::atomic<uint64_t> tail{0};  // bytes read (writer)

  // The Java thread's name, set once by the owner before named is stored.
  std::atomic<int> named{0};  // 0 not yet asked, 1 no name (not a Java thread), 2 named
  char name[64] = {};
};

// Every buffer ever made while the module is loaded, newest first.
extern std::atomic<Buffer*> gBuffers;
// The usable bytes of each ring (a buffer made earlier may hold more).
extern std::atomic<size_t> gLimit;

}  // namespace trace::detail
