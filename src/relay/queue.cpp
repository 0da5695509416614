#include "relay/queue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "binding/errors.h"
#include "platform/cpu.h"
#include "trace/trace.h"

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
namespace relay {
namespace {

constexpr size_t kSlotBytes = 256;
// 63 slots and the linking position make a lap of 64, so the index
// arithmetic on every event is shifts and masks, not divisions.
constexpr uint64_t kBlockSlots = 63;
constexpr uint64_t kLap = kBlockSlots + 1;
static_assert((kLap & (kLap - 1)) == 0, "a lap is a power of two");
static_assert(kKeptBlocks == kCapacity / kBlockSlots + 2, "the header's count matches");
// The pump spins this long for the next event before it sleeps.
constexpr auto kSpin = std::chrono::microseconds(40);
// Producers that waited for room go on when the queue is down to this: a
// full queue then wakes them once per many blocks, not once per block.
constexpr uint64_t kLowWater = kCapacity - kCapacity / 4;
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
uint64_t Count(uint64_t index) {
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

  // Written by the pump once per block: producers compare with it for room.
  alignas(64) std::atomic<uint64_t> progress{0};
  std::atomic<int> roomWaiters{0};
  std::atomic<bool> stalled{false};  // producers gave up waiting for this pump
  std::atomic<uint64_t> stalls{0};   // episodes of that, for tests
  std::atomic<bool> sleeping{false};

  // Rarely written.
  alignas(64) std::atomic<Session> session{0};
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

  uint64_t Depth() const {
    return Count(tail.load(std::memory_order_relaxed)) -
           Count(head.load(std::memory_order_relaxed));
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
    }
    slot.written.store(0, std::memory_order_relaxed);
    head.store(head.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  // After a block went back to the pool: producers see the room, a stall
  // ends, and waiting producers are woken once the queue is down to its low
  // mark.
  void PublishProgress() {
    const uint64_t h = head.load(std::memory_order_relaxed);
    progress.store(h, std::memory_order_seq_cst);
    if (stalled.load(std::memory_order_relaxed)) stalled.store(false, std::memory_order_relaxed);
    if (roomWaiters.load(std::memory_order_seq_cst) > 0 &&
        Count(tail.load(std::memory_order_seq_cst)) - Count(h) <= kLowWater) {
      { std::lock_guard<std::mutex> lock(mutex); }
      wake.notify_all();
    }
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

std::atomic<Queue*> gQueue{nullptr};

// The queue, made on first use. It lives until the bridge is unloaded:
// sessions replace each other inside it, so no producer can hold a queue
// that is being freed.
Queue& Q() {
  if (Queue* q = gQueue.load(std::memory_order_acquire)) return *q;
  Queue* fresh = new Queue;
  Queue* expected = nullptr;
  if (gQueue.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;
  return *expected;
}

thread_local bool tPumpThread = false;

// Waits while the queue is at its bound (and then until it is down to its
// low mark), as long as waiting is safe: a pump
// is attached and moving, the session is neither closing nor replaced and no
// stop came. After kStallMs without the pump taking an event it gives up and
// marks the queue stalled, so the next producers append at once.
void WaitForRoom(Queue& q, Session session) {
  if (tPumpThread) return;  // the pump makes room only by returning to its loop
  const uint64_t epoch = q.stopEpoch.load();
  auto mayWait = [&] {
    return q.consumer.load() && !q.stalled.load() && q.closing.load() != session &&
           q.session.load() == session && !q.StopSince(epoch);
  };
  auto full = [&] { return Count(q.tail.load()) - Count(q.progress.load()) > kLowWater; };
  std::unique_lock<std::mutex> lock(q.mutex);
  q.roomWaiters.fetch_add(1, std::memory_order_seq_cst);
  uint64_t taken = q.head.load();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStallMs);
  while (full() && mayWait()) {
    if (q.wake.wait_until(lock, deadline) != std::cv_status::timeout) continue;
    const uint64_t now = q.head.load();
    if (now == taken) {
      if (!q.stalled.exchange(true)) q.stalls.fetch_add(1);
      break;
    }
    taken = now;
    deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStallMs);
  }
  q.roomWaiters.fetch_sub(1, std::memory_order_seq_cst);
}

void Push(Queue& q, Session session, int32_t id, const void* data, int32_t length, uint8_t* spill) {
  uint64_t tail = q.tail.load(std::memory_order_acquire);
  if (Count(tail) - Count(q.progress.load(std::memory_order_relaxed)) >= kCapacity) {
    WaitForRoom(q, session);
    tail = q.tail.load(std::memory_order_acquire);
  }
  Block* block = q.tailBlock.load(std::memory_order_acquire);
  Block* spare = nullptr;  // the next block, made before claiming the last slot
  for (;;) {
    const uint64_t offset = tail % kLap;
    if (offset == kBlockSlots) {  // the next block is being linked
      platform::CpuRelax();
      tail = q.tail.load(std::memory_order_acquire);
      block = q.tailBlock.load(std::memory_order_acquire);
      continue;
    }
    if (offset + 1 == kBlockSlots && spare == nullptr) spare = q.TakeBlock();  // may throw
    if (q.tail.compare_exchange_weak(tail, tail + 1, std::memory_order_seq_cst,
                                     std::memory_order_acquire)) {
      if (offset + 1 == kBlockSlots) {
        q.tailBlock.store(spare, std::memory_order_release);
        q.tail.store(tail + 2, std::memory_order_release);
        block->next.store(spare, std::memory_order_release);
        spare = nullptr;
      }
      Slot& slot = block->slots[offset];
      slot.id = id;
      slot.length = length;
      slot.session = session;
      slot.spill = spill;
      if (trace::On()) {
        slot.enqueuedNs = trace::Now();
        slot.producer = trace::ThreadId();
      } else {
        slot.enqueuedNs = 0;
      }
      if (length > 0 && spill == nullptr)
        std::memcpy(slot.bytes, data, static_cast<size_t>(length));
      slot.written.store(1, std::memory_order_seq_cst);
      if (spare != nullptr) q.ReturnBlock(spare);
      if (q.sleeping.load(std::memory_order_seq_cst)) q.WakeAll();
      return;
    }
    block = q.tailBlock.load(std::memory_order_acquire);
  }
}

}  // namespace

void AddCallback(int32_t id, const void* data, int32_t length) noexcept {
  binding::CaptureAll("AddCallback", [&] {
    Queue* q = gQueue.load(std::memory_order_acquire);
    if (q == nullptr) return;  // no initialise yet: dropped without a word
    const Session session = q->session.load(std::memory_order_acquire);
    if (session == 0) return;
    uint8_t* spill = nullptr;
    if (length > kInlineBytes) {
      bool made = false;
      binding::CaptureAll("TCallback.Create", [&] {
        spill = new uint8_t[static_cast<size_t>(length)];
        std::memcpy(spill, data, static_cast<size_t>(length));
        made = true;
      });
      if (!made) return;  // the copy failed and was logged; there is nothing to deliver
      q->spills.fetch_add(1, std::memory_order_relaxed);
    }
    try {
      Push(*q, session, id, data, length, spill);
    } catch (...) {
      if (spill != nullptr) {
        delete[] spill;
        q->spills.fetch_sub(1, std::memory_order_relaxed);
      }
      throw;
    }
  });
}

Session CurrentSession() {
  Queue* q = gQueue.load(std::memory_order_acquire);
  return q != nullptr ? q->session.load() : 0;
}

void CreateQueue() {
  Queue& q = Q();
  Session next = q.session.load() + 1;
  if (next == 0) next = 1;  // 0 is "no session"
  q.session.store(next);
  // With no pump attached, drop the earlier session's events now rather
  // than keep them until a pump comes.
  bool expected = false;
  if (q.consumer.compare_exchange_strong(expected, true)) {
    bool retired = false;
    q.FrontOfSession(retired);
    if (retired) q.PublishProgress();
    q.consumer.store(false);
  }
  q.WakeAll();
}

void BeginClosing(Session session) {
  if (session == 0) return;
  Queue& q = Q();
  q.closing.store(session);
  q.WakeAll();  // producers waiting for room stop waiting
}

void EndClosing(Session session) {
  if (session == 0) return;
  Session expected = session;
  Q().closing.compare_exchange_strong(expected, 0);
}

bool Closing() {
  Queue* q = gQueue.load(std::memory_order_acquire);
  return q != nullptr && q->session.load() != 0 && q->closing.load() == q->session.load();
}

void RequestStop() {
  Queue& q = Q();
  q.stopEpoch.fetch_add(1);
  q.WakeAll();
}

void FreeQueues() {
  // A pump still inside processCallbacks (the process is ending under it)
  // keeps the queue: freeing it could only crash that thread.
  Queue* q = gQueue.load();
  if (q == nullptr || q->consumer.load()) return;
  delete gQueue.exchange(nullptr);
}

size_t QueuedCount() {
  Queue* q = gQueue.load(std::memory_order_acquire);
  return q != nullptr ? static_cast<size_t>(q->Depth()) : 0;
}

uint64_t Stalls() {
  Queue* q = gQueue.load(std::memory_order_acquire);
  return q != nullptr ? q->stalls.load() : 0;
}

size_t LiveBlocks() {
  Queue* q = gQueue.load(std::memory_order_acquire);
  return q != nullptr ? q->blocks.load() + q->spills.load() : 0;
}

PumpSession::PumpSession()
    : queue_(&Q()), epoch_(Q().stopEpoch.load()), wasPumpThread_(tPumpThread) {
  tPumpThread = true;
}

PumpSession::~PumpSession() {
  tPumpThread = wasPumpThread_;
  if (!owner_) return;
  Queue& q = *static_cast<Queue*>(queue_);
  q.TrimPool();  // what an overflow took beyond a full queue goes back now
  q.consumer.store(false);
  q.WakeAll();  // a second pump may take over; producers stop waiting for this one
}

uint64_t PumpSession::Depth() const {
  return static_cast<const Queue*>(queue_)->Depth();
}

bool PumpSession::StopRequested() const {
  return static_cast<const Queue*>(queue_)->StopSince(epoch_);
}

const TCallback* PumpSession::Next() {
  Queue& q = *static_cast<Queue*>(queue_);
  for (;;) {
    if (q.StopSince(epoch_)) return nullptr;
    if (!owner_) {
      bool expected = false;
      owner_ = q.consumer.compare_exchange_strong(expected, true);
      if (!owner_) {  // another pump is running: wait for it to leave, or for a stop
        std::unique_lock<std::mutex> lock(q.mutex);
        q.wake.wait(lock, [&] { return !q.consumer.load() || q.StopSince(epoch_); });
        continue;
      }
      q.WakeAll();  // producers may wait for room from now on
    }
    bool retired = false;
    Slot* slot = q.FrontOfSession(retired);
    if (retired) {
      q.PublishProgress();
      const uint64_t depth = q.Depth();
      if (depth > kOverBound && !q.overLogged) {
        q.overLogged = true;
        binding::ErrorFunnel(" Callback queue past its bound of " + std::to_string(kCapacity) +
                                 ": " + std::to_string(depth) + " events waiting",
                             kPumpWhere);
      } else if (depth <= kCapacity) {
        q.overLogged = false;
      }
    }
    if (slot != nullptr) {
      slot_ = slot;
      current_.id_ = slot->id;
      current_.enqueuedNs_ = slot->enqueuedNs;
      current_.producer_ = slot->producer;
      current_.length_ = slot->length;
      current_.data_ = slot->length <= 0        ? nullptr
                       : slot->spill != nullptr ? slot->spill
                                                : slot->bytes;
      return &current_;
    }
    // Nothing written yet: spin briefly (a busy producer is usually a few
    // hundred nanoseconds away), then sleep until a producer or a stop wakes
    // this pump.
    const auto until = std::chrono::steady_clock::now() + kSpin;
    bool ready = false;
    while (!ready && !q.StopSince(epoch_) && std::chrono::steady_clock::now() < until) {
      for (int i = 0; i < 32 && !(ready = q.Ready()); ++i) platform::CpuRelax();
    }
    if (ready || q.StopSince(epoch_)) continue;
    q.TrimPool();
    std::unique_lock<std::mutex> lock(q.mutex);
    q.sleeping.store(true, std::memory_order_seq_cst);
    q.wake.wait(lock, [&] {
      return q.Ready() || q.StopSince(epoch_) || !q.sleeping.load(std::memory_order_relaxed);
    });
    q.sleeping.store(false, std::memory_order_relaxed);
  }
}

void PumpSession::Done() {
  if (slot_ == nullptr) return;
  static_cast<Queue*>(queue_)->Pop(*static_cast<Slot*>(slot_));
  slot_ = nullptr;
}

}  // namespace relay
