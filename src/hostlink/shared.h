// The memory the bridge shares with its library host: one call slot per
// calling thread and the event ring. The bridge makes it and hands it to its
// own host only. Everything the host writes here is checked by the bridge
// before it is used (hostlink/bridge.cpp); the host trusts the bridge.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace hostlink {

inline constexpr uint32_t kMagic = 0x4A574831;  // "JWH1"
inline constexpr int kSlots = 128;
// The bytes of one call's arguments, buffers and result text; a call whose
// buffers do not fit fails with 99 (only a report bigger than this can).
inline constexpr size_t kSlotData = 192 * 1024;
inline constexpr size_t kRingBytes = 4 * 1024 * 1024;

// A call slot's word, the only thing both sides write, and the futex both
// wait on.
enum SlotState : uint32_t {
  kFree = 0,     // no bridge thread owns the slot
  kIdle = 1,     // owned; its mirror thread waits for a request
  kRequest = 2,  // the bridge posted a call
  kReply = 3,    // the host finished it
  kExit = 4,     // the owning bridge thread ended: the mirror ends, frees it
};

// Calls other than entries (ops at or above kSlotCount of the entry table).
enum SpecialOp : int32_t {
  kOpLoad = -1,          // data: the file name; result 0, 53 (data: entry), 55 (data: reason)
  kOpUnload = -2,        // frees the library
  kOpControlOpen = -3,   // a test opens the library (data: the file name) for control calls
  kOpControlClose = -4,  // and drops it; control calls are ops from kControlBase on
};

inline constexpr uint32_t kFailed = 0xFFFFFFFFu;  // an exception other than a fault

struct alignas(64) CallSlot {
  std::atomic<uint32_t> state;
  std::atomic<uint32_t> sleepers;  // threads asleep on state: a change wakes them
  alignas(64) int32_t op;          // entry slot index or SpecialOp; written by the bridge
  int32_t result;                  // written by the host
  uint32_t resultBytes;            // the result text's length, for entries that return text
  uint32_t fault;  // nonzero: the host's guard ended the call (the code), or kFailed
  alignas(64) unsigned char data[kSlotData];
};

// Events, in order, as [int32 id][int32 length][bytes, padded to 8]. A
// record that would not fit before the end is preceded by a pad record (id
// kPad) that fills the rest. head and tail count bytes ever written/read.
inline constexpr int32_t kPad = -1;
// Written (length 0) by the host as it starts each load of the library: what
// precedes the latest one was raised for an earlier session.
inline constexpr int32_t kSessionMark = -2;
struct Ring {
  alignas(64) std::atomic<uint64_t> head;      // host: bytes published
  alignas(64) std::atomic<uint64_t> tail;      // bridge: bytes consumed
  alignas(64) std::atomic<uint32_t> dataSeq;   // futex: bumped at every publish
  std::atomic<uint32_t> readerWaiting;         // the bridge's reader sleeps on dataSeq
  alignas(64) std::atomic<uint32_t> spaceSeq;  // futex: bumped by the reader
  std::atomic<uint32_t> writersWaiting;
  alignas(64) unsigned char bytes[kRingBytes];
};

struct Shared {
  uint32_t magic;
  uint32_t version;
  Ring ring;
  CallSlot slots[kSlots];
};

inline constexpr size_t kSharedBytes = (sizeof(Shared) + 4095) & ~size_t{4095};

// A 32-bit host serves a 64-bit bridge: the layout is the same for both
// bitnesses (fixed-width fields only, no pointer or size_t), held here.
static_assert(sizeof(std::atomic<uint32_t>) == 4 && sizeof(std::atomic<uint64_t>) == 8);
static_assert(std::atomic<uint32_t>::is_always_lock_free &&
              std::atomic<uint64_t>::is_always_lock_free);
static_assert(sizeof(CallSlot) == 128 + kSlotData);
static_assert(offsetof(CallSlot, state) == 0 && offsetof(CallSlot, sleepers) == 4);
static_assert(offsetof(CallSlot, op) == 64 && offsetof(CallSlot, result) == 68);
static_assert(offsetof(CallSlot, resultBytes) == 72 && offsetof(CallSlot, fault) == 76);
static_assert(offsetof(CallSlot, data) == 128);
static_assert(sizeof(Ring) == 256 + kRingBytes);
static_assert(offsetof(Ring, head) == 0 && offsetof(Ring, tail) == 64);
static_assert(offsetof(Ring, dataSeq) == 128 && offsetof(Ring, readerWaiting) == 132);
static_assert(offsetof(Ring, spaceSeq) == 192 && offsetof(Ring, writersWaiting) == 196);
static_assert(offsetof(Ring, bytes) == 256);
static_assert(offsetof(Shared, magic) == 0 && offsetof(Shared, version) == 4);
static_assert(offsetof(Shared, ring) == 64 && offsetof(Shared, slots) == 64 + sizeof(Ring));
static_assert(sizeof(Shared) == 64 + sizeof(Ring) + kSlots * sizeof(CallSlot));

// The words either side sleeps on (WaitOnWord), as offsets, ascending: the
// ring's two sequences, then each slot's state.
inline constexpr int kWakeWords = 2 + kSlots;
inline constexpr uint32_t WakeWordOffset(int i) {
  return i == 0   ? uint32_t{offsetof(Shared, ring) + offsetof(Ring, dataSeq)}
         : i == 1 ? uint32_t{offsetof(Shared, ring) + offsetof(Ring, spaceSeq)}
                  : static_cast<uint32_t>(offsetof(Shared, slots) + (i - 2) * sizeof(CallSlot) +
                                          offsetof(CallSlot, state));
}

// The socket's messages, bridge to host.
struct Hello {
  uint32_t magic;
  uint32_t bytes;  // the shared memory's size; its descriptor comes with this
};
struct StartMirror {
  int32_t slot;
};
static_assert(sizeof(Hello) == 8 && sizeof(StartMirror) == 4);

}  // namespace hostlink
