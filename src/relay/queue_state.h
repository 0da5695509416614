// The callback queue's state, shared by the producers' side (queue.cpp) and
// the pump's side (pump_session.cpp). Internal to the relay.
//
// The queue is an unbounded multi-producer, single-consumer list of blocks of
// slots. A producer claims the next slot by advancing `tail` with one
// compare-and-swap, writes its record into the slot and marks it written; the
// pump reads slots in claim order, so each producer's events keep their
// order. The tail index counts kLap positions per block: position
// kBlockSlots of each lap is never a slot but means "the producer of the
// block's last slot is linking the next block", so every other producer
// waits for the link instead of racing to make one. The pump owns `head`
// and the blocks behind it, and hands spent blocks back to a pool.
//
// The pump sleeps only after telling producers so (`sleeping`); a producer
// looks at that flag after marking its slot written, and both sides use
// sequentially consistent operations there, so either the pump sees the slot
// or the producer sees the pump asleep and wakes it. No system call is made
// while the pump is awake.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "binding/errors.h"
#include "relay/queue.h"
#include "trace/trace.h"

namespace relay::internal {

constexpr size_t kSlotBytes = 256;
// 63 slots and the linking position make a lap of 64, so the index
// arithmetic on every event is shifts and masks, not divisions.
constexpr uint64_t kBlockSlots = 63;
constexpr uint64_t kLap = kBlockSlots + 1;
static_assert((kLap & (kLap - 1)) == 0, "a lap is a power of two");
static_assert(kKeptBlocks == kCapacity / kBlockSlots + 2, "the header's count matches");
// How long an idle pump looks for the next event before it sleeps, per wait
// mode; a backoff pump spins for the first part of its window, then yields.
// A lone event that finds the pump asleep costs a wake-up: tens of
// microseconds on a loaded machine, where a spinning pump takes it in one.
constexpr auto kSpin = std::chrono::microseconds(40);
constexpr auto kBackoffSpin = std::chrono::microseconds(150);
constexpr auto kBackoffWindow = std::chrono::microseconds(250);
// A producer that finds the next block being linked spins this many times,
// then yields: a linker that was preempted needs the processor more than the
// producers waiting for it do.
constexpr int kLinkSpins = 128;
// The pump has caught up once the queue is down to this, and to as much of
// its byte bound: the stall bound starts again and a drop episode ends.
constexpr uint64_t kLowWater = kCapacity - kCapacity / 4;
// Producers waiting for room are woken as soon as the queue is back under its
// bound, but a pump that frees a block at a time wakes them at most once per
// this (a wake-up per block would cost a fast pump a quarter of its rate);
// down at the low mark, at once.
constexpr auto kWakeGap = std::chrono::milliseconds(1);
// The longest record (entry_points.cpp) with its slot: one stall's allowance
// of them fits in the half of the lowest byte limit left for stalls.
static_assert(kStallAllowance * (kSlotBytes + 514) < (size_t{32} << 20) / 2,
              "an allowance fits beside the byte bound");
// Past the bound by more than what racing producers may add: worth a word.
constexpr uint64_t kOverBound = kCapacity + kBlockSlots;

constexpr const char* kPumpWhere = "Java_korvane_api_delphi_ClientAPI_processCallbacks";

struct Slot {
  std::atomic<uint32_t> written{0};
  int32_t id = 0;
  int32_t length = 0;
  Session session = 0;
  uint32_t producer = 0;  // for the trace: who queued it, and when
  uint64_t enqueuedNs = 0;
  uint8_t* spill = nullptr;  // owned; records longer than `bytes` live here
  uint8_t bytes[kSlotBytes - 32 - sizeof(uint8_t*)];
};
static_assert(sizeof(Slot) == kSlotBytes, "a slot is four cache lines");
constexpr int32_t kInlineBytes = static_cast<int32_t>(sizeof(Slot::bytes));

struct Block {
  std::atomic<Block*> next{nullptr};
  Slot slots[kBlockSlots];
};

// Events before a tail or head index.
inline uint64_t Count(uint64_t index) {
  return index / kLap * kBlockSlots + std::min(index % kLap, kBlockSlots);
}

struct Queue {
  // The producers' line.
  alignas(64) std::atomic<uint64_t> tail{0};
  std::atomic<Block*> tailBlock{nullptr};

  // The pump's line: head is written only by the consumer, once per event,
  // and read by others only on slow paths.
  alignas(64) std::atomic<uint64_t> head{0};
  Block* headBlock = nullptr;
  bool overLogged = false;
  std::chrono::steady_clock::time_point lastWake{};  // producers last woken under the bound

  // Written by the pump once per block: producers compare with it for room.
  alignas(64) std::atomic<uint64_t> progress{0};
  std::atomic<int> roomWaiters{0};
  std::atomic<bool> stalled{false};   // producers gave up waiting for this pump
  std::atomic<uint64_t> stallEnd{0};  // while stalled: appended without waiting up to here
  std::atomic<const void*> pumpThread{nullptr};  // the consumer's thread, for InOneLibraryCall
  std::atomic<uint64_t> stalls{0};               // episodes of that, for tests
  std::atomic<uint64_t> roomWaits{0};            // producers that waited, for tests
  std::atomic<uint64_t> roomWaitsCut{0};         // ... and went on at kMaxWaitMs
  std::atomic<int> stallMs{kStallMs};            // the next stall's bound
  std::atomic<bool> dropping{false};             // at the byte limit: logged for this episode
  std::atomic<bool> sleeping{false};

  // Rarely written.
  alignas(64) std::atomic<Session> session{0};
  std::atomic<Session> retired{0};  // the session RetireQueues ended: numbers go on past it
  std::atomic<Session> closing{0};
  std::atomic<uint64_t> stopEpoch{0};
  std::atomic<bool> consumer{false};  // a pump (or CreateQueue) owns the consumer side

  // Slow paths only: a sleeping pump, producers waiting for room, a second
  // pump waiting for the first to leave.
  std::mutex mutex;
  std::condition_variable wake;

  std::mutex poolMutex;  // guards pool and pooled; taken once per block
  Block* pool = nullptr;
  size_t pooled = 0;
  std::atomic<size_t> blocks{0};  // allocated blocks, in use or pooled; more are
                                  // freed whenever the pump runs out of work
  std::atomic<size_t> spills{0};  // live spilled records
  std::atomic<size_t> spillBytes{0};
  std::atomic<size_t> byteLimit{DefaultByteLimit()};
  std::atomic<uint64_t> dropped{0};
  std::atomic<PumpWait> wait{WaitFromEnvironment()};

  Queue() {
    Block* first = NewBlock();
    tailBlock.store(first);
    headBlock = first;
  }
  ~Queue() {
    for (Block* b = headBlock; b != nullptr;) {
      for (Slot& slot : b->slots) delete[] slot.spill;
      Block* next = b->next.load();
      delete b;
      b = next;
    }
    while (pool != nullptr) {
      Block* next = pool->next.load();
      delete pool;
      pool = next;
    }
  }

  Block* NewBlock() {
    Block* b = new Block;
    blocks.fetch_add(1, std::memory_order_relaxed);
    return b;
  }
  Block* TakeBlock() {
    {
      std::lock_guard<std::mutex> lock(poolMutex);
      if (Block* b = pool) {
        pool = b->next.load(std::memory_order_relaxed);
        --pooled;
        b->next.store(nullptr, std::memory_order_relaxed);
        return b;
      }
    }
    return NewBlock();
  }
  void ReturnBlock(Block* b) {
    std::lock_guard<std::mutex> lock(poolMutex);
    b->next.store(pool, std::memory_order_relaxed);
    pool = b;
    ++pooled;
  }
  void TrimPool() {
    Block* extra = nullptr;
    {
      std::lock_guard<std::mutex> lock(poolMutex);
      while (pooled > kKeptBlocks) {
        Block* b = pool;
        pool = b->next.load(std::memory_order_relaxed);
        --pooled;
        b->next.store(extra, std::memory_order_relaxed);
        extra = b;
      }
    }
    while (extra != nullptr) {
      Block* next = extra->next.load(std::memory_order_relaxed);
      delete extra;
      blocks.fetch_sub(1, std::memory_order_relaxed);
      extra = next;
    }
  }

  static size_t DefaultByteLimit() {
    size_t mib = sizeof(void*) == 4 ? 256 : 1024;
    if (const char* text = std::getenv("JAVAWRAPPER_QUEUE_MAX_MB")) {
      char* end = nullptr;
      const unsigned long long asked = std::strtoull(text, &end, 10);
      if (end != text && *end == '\0' && asked > 0 &&
          asked < (size_t{1} << (sizeof(void*) * 8 - 21)))
        mib = std::max<size_t>(32, static_cast<size_t>(asked));
    }
    return mib << 20;
  }
  static PumpWait WaitFromEnvironment() {
    const char* text = std::getenv("JAVAWRAPPER_PUMP_WAIT");
    const std::string mode = text != nullptr ? text : "";
    return mode == "spin"      ? PumpWait::kSpin
           : mode == "backoff" ? PumpWait::kBackoff
                               : PumpWait::kBlock;
  }

  // Whether the queue is at its bound, as producers see it: kCapacity
  // events, or half the byte limit.
  bool Full() const {
    return OverBound(Count(tail.load(std::memory_order_acquire)) -
                     Count(progress.load(std::memory_order_relaxed)));
  }
  bool OverBound(uint64_t waiting) const {
    return waiting >= kCapacity ||
           HeldBytes(waiting) >= byteLimit.load(std::memory_order_relaxed) / 2;
  }
  // The blocks `waiting` events fill, plus the one a producer may be about
  // to link, and the spilled records.
  size_t HeldBytes(uint64_t waiting) const {
    return (static_cast<size_t>(waiting) / kBlockSlots + 2) * sizeof(Block) +
           spillBytes.load(std::memory_order_relaxed);
  }
  // Whether one more event with `spilled` bytes of its own fits under the
  // byte limit; counts and logs it (once per episode) when not. The blocks
  // counted are those the waiting events fill, plus the one a producer may
  // be about to link: racing producers may each pass by one block.
  bool Admit(size_t spilled) {
    const size_t limit = byteLimit.load(std::memory_order_relaxed);
    // Checked twice before a drop: a producer held up while it read the
    // depth may have seen the pump far behind where it is now.
    if (HeldBytes(Depth()) + spilled <= limit || HeldBytes(Depth()) + spilled <= limit) return true;
    dropped.fetch_add(1, std::memory_order_relaxed);
    trace::DroppedInQueue();  // the trace's summary counts it with the pump's drops
    if (!dropping.exchange(true)) {
      binding::ErrorFunnel(" Callback queue at its limit of " + std::to_string(limit >> 20) +
                               " MiB (" + std::to_string(Depth()) +
                               " events waiting): events are dropped until the pump catches up",
                           "TCallback.Create");
    }
    return false;
  }

  uint64_t Depth() const {
    // The head first: the tail read after it is never behind it. Read the
    // other way round, a producer held up between the two reads could see
    // the pump past the tail it read, and the difference wrap to an
    // enormous depth (a drop "at the limit" with a few events waiting).
    const uint64_t h = Count(head.load(std::memory_order_acquire));
    const uint64_t t = Count(tail.load(std::memory_order_acquire));
    return t > h ? t - h : 0;
  }
  bool StopSince(uint64_t epoch) const {
    return stopEpoch.load(std::memory_order_relaxed) != epoch;
  }
  void WakeAll() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      sleeping.store(false, std::memory_order_relaxed);
    }
    wake.notify_all();
  }

  // --- Consumer side: only the owner of `consumer` calls these. ---

  // The slot at the head when it is written; moves on to the next block when
  // the current one is spent. `retired` tells the caller a block was handed
  // back, so it can publish progress outside any lock.
  Slot* Front(bool& retired) {
    uint64_t h = head.load(std::memory_order_relaxed);
    if (h % kLap == kBlockSlots) {
      // The last slot's producer links the next block before writing that
      // slot, so the link is there once the last slot was taken.
      Block* next = headBlock->next.load(std::memory_order_acquire);
      if (next == nullptr) return nullptr;
      Block* spent = headBlock;
      headBlock = next;
      head.store(++h, std::memory_order_relaxed);
      spent->next.store(nullptr, std::memory_order_relaxed);
      ReturnBlock(spent);
      retired = true;
    }
    Slot& slot = headBlock->slots[h % kLap];
    return slot.written.load(std::memory_order_seq_cst) != 0 ? &slot : nullptr;
  }
  // Whether the head slot is written, without moving: safe under `mutex`.
  bool Ready() const {
    const uint64_t h = head.load(std::memory_order_relaxed);
    const Block* b = headBlock;
    uint64_t offset = h % kLap;
    if (offset == kBlockSlots) {
      b = b->next.load(std::memory_order_acquire);
      if (b == nullptr) return false;
      offset = 0;
    }
    return b->slots[offset].written.load(std::memory_order_seq_cst) != 0;
  }
  void Pop(Slot& slot) {
    if (slot.spill != nullptr) {
      delete[] slot.spill;
      slot.spill = nullptr;
      spills.fetch_sub(1, std::memory_order_relaxed);
      spillBytes.fetch_sub(static_cast<size_t>(slot.length), std::memory_order_relaxed);
    }
    slot.written.store(0, std::memory_order_relaxed);
    head.store(head.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  // After a block went back to the pool: producers see the room, and those
  // waiting for it are woken once the queue is back under its bound (at most
  // once per kWakeGap). Once the queue is down to its low mark the pump has
  // caught up: the stall bound starts again from kStallMs and a drop episode
  // ends.
  void PublishProgress() {
    const uint64_t h = head.load(std::memory_order_relaxed);
    progress.store(h, std::memory_order_seq_cst);
    const bool waiters = roomWaiters.load(std::memory_order_seq_cst) > 0;
    if (!waiters && stallMs.load(std::memory_order_relaxed) == kStallMs &&
        !dropping.load(std::memory_order_relaxed))
      return;
    const uint64_t waiting = Count(tail.load(std::memory_order_seq_cst)) - Count(h);
    const bool caughtUp =
        waiting <= kLowWater &&
        HeldBytes(waiting) <= byteLimit.load(std::memory_order_relaxed) / 2 / 4 * 3;
    if (caughtUp) {
      stallMs.store(kStallMs, std::memory_order_relaxed);
      dropping.store(false, std::memory_order_relaxed);
    }
    if (!waiters || OverBound(waiting)) return;
    const auto now = std::chrono::steady_clock::now();
    if (!caughtUp && now - lastWake < kWakeGap) return;
    lastWake = now;
    { std::lock_guard<std::mutex> lock(mutex); }
    wake.notify_all();
  }
  // A new session starts with no stall, the first stall bound, and no drop
  // episode: nothing an earlier session's pump did carries over.
  void ResetEpisodes() {
    stalled.store(false);
    stallMs.store(kStallMs);
    dropping.store(false);
  }
  // The first written slot of the current session, dropping earlier
  // sessions' events on the way; null when none is written yet.
  Slot* FrontOfSession(bool& retired) {
    for (;;) {
      Slot* slot = Front(retired);
      if (slot == nullptr || slot->session == session.load(std::memory_order_relaxed)) return slot;
      Pop(*slot);
    }
  }
};

// The queue, made on first use. It lives until the bridge is unloaded:
// sessions replace each other inside it, so no producer can hold a queue
// that is being freed.
extern std::atomic<Queue*> gQueue;
Queue& Q();

// Set while a pump runs on this thread: its own events never wait for room,
// and a pump nested in it returns at once.
extern thread_local bool tPumpThread;

}  // namespace relay::internal
