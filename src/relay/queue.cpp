#include "relay/queue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>

#include "binding/errors.h"
#include "binding/loader.h"
#include "platform/cpu.h"
#include "relay/queue_state.h"
#include "trace/trace.h"

namespace relay {
namespace internal {

std::atomic<Queue*> gQueue{nullptr};

Queue& Q() {
  if (Queue* q = gQueue.load(std::memory_order_acquire)) return *q;
  Queue* fresh = new Queue;
  Queue* expected = nullptr;
  if (gQueue.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;
  return *expected;
}

thread_local bool tPumpThread = false;

}  // namespace internal

using namespace internal;

namespace {

// Waits while the queue is at its bound, as long as waiting is safe: a pump
// is attached and moving, the session is neither closing nor replaced and no
// stop came; and kMaxWaitMs at most in all (the event then goes in past the
// bound). After the stall bound without the pump taking an event it gives
// up: the queue is stalled until the pump takes its next event. When one and
// the same call into the library by the pump's handler spans that stall (it
// may be waiting for a producer there) producers append without waiting;
// otherwise kStallAllowance events, and then wait again for the next stall's
// bound (each one twice the last): a pump that is only slow holds the queue
// within a few allowances of its bound, and one that waits for a producer
// still gets every event after a single stall.
void WaitForRoom(Queue& q, Session session) {
  if (tPumpThread) return;  // the pump makes room only by returning to its loop
  using Clock = std::chrono::steady_clock;
  // A wake-up the pump saved (kWakeGap) costs a waiter this much at most.
  constexpr auto kPoll = std::chrono::milliseconds(10);
  const uint64_t epoch = q.stopEpoch.load();
  auto allowed = [&] { return q.stalled.load() && Count(q.tail.load()) < q.stallEnd.load(); };
  auto mayWait = [&] {
    return q.consumer.load() && !allowed() && q.closing.load() != session &&
           q.session.load() == session && !q.StopSince(epoch);
  };
  std::unique_lock<std::mutex> lock(q.mutex);
  q.roomWaiters.fetch_add(1, std::memory_order_seq_cst);
  const Clock::time_point start = Clock::now();
  const Clock::time_point giveUp = start + std::chrono::milliseconds(kMaxWaitMs);
  const auto bound = std::chrono::milliseconds(q.stallMs.load());
  Clock::time_point deadline = start + bound;
  uint64_t taken = q.head.load();
  binding::LibraryCallMark mark = binding::MarkLibraryCall(q.pumpThread.load());
  bool waited = false;
  while (q.Full() && mayWait()) {
    if (!waited) q.roomWaits.fetch_add(1);
    waited = true;
    const Clock::time_point now = Clock::now();
    if (now >= giveUp) {  // the pump moves, only too slowly for this library thread
      q.roomWaitsCut.fetch_add(1);
      break;
    }
    if (now >= deadline) {
      const uint64_t moved = q.head.load();
      const void* pump = q.pumpThread.load();
      const binding::LibraryCallMark current = binding::MarkLibraryCall(pump);
      if (moved == taken && !mark.inside && current.inside && now + bound <= giveUp) {
        // The handler went into a call during this bound (a lock taken
        // against it after this wait began): whether that one call spans a
        // whole bound of its own decides, one bound later.
        mark = current;
        deadline = now + bound;
      } else if (moved == taken) {
        if (!allowed()) {  // the first producer to give up starts the stall's allowance
          // A pump that waits for a library thread does so from inside a
          // call into the library that does not end: while one call of its
          // handler spans the stall, producers go on until the pump moves.
          // Otherwise the pump is only slow (or stuck): one allowance.
          q.stallEnd.store(binding::InOneLibraryCall(pump, mark)
                               ? std::numeric_limits<uint64_t>::max()
                               : Count(q.tail.load()) + kStallAllowance);
          q.stalled.store(true);
          q.stalls.fetch_add(1);
          q.stallMs.store(std::min(2 * q.stallMs.load(), kMaxStallMs));
          q.wake.notify_all();  // the other waiting producers use the allowance too
        }
        break;
      } else {
        taken = moved;
        mark = current;
        deadline = now + bound;
      }
    }
    q.wake.wait_until(lock, std::min({deadline, giveUp, now + kPoll}));
  }
  q.roomWaiters.fetch_sub(1, std::memory_order_seq_cst);
}

void Push(Queue& q, Session session, int32_t id, const void* data, int32_t length, uint8_t* spill) {
  uint64_t tail = q.tail.load(std::memory_order_acquire);
  Block* block = q.tailBlock.load(std::memory_order_acquire);
  Block* spare = nullptr;  // the next block, made before claiming the last slot
  int spins = 0;
  for (;;) {
    const uint64_t offset = tail % kLap;
    if (offset == kBlockSlots) {  // the next block is being linked
      if (++spins <= kLinkSpins) {
        platform::CpuRelax();
      } else {
        std::this_thread::yield();
      }
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

// Takes the consumer side when no pump holds it and drops every waiting
// event of an earlier session; false when a pump holds it.
bool DropEarlierSessions(Queue& q) {
  bool expected = false;
  if (!q.consumer.compare_exchange_strong(expected, true)) return false;
  q.overLogged = false;
  bool retired = false;
  q.FrontOfSession(retired);
  if (retired) q.PublishProgress();
  q.consumer.store(false);
  return true;
}

}  // namespace

void AddCallback(int32_t id, const void* data, int32_t length) noexcept {
  binding::CaptureAll("AddCallback", [&] {
    Queue* q = gQueue.load(std::memory_order_acquire);
    if (q == nullptr) return;  // no initialise yet: dropped without a word
    const Session session = q->session.load(std::memory_order_acquire);
    if (session == 0) return;
    bool full = q->Full();
    if (full) {
      WaitForRoom(*q, session);
      full = q->Full();
    }
    const size_t spilled = length > kInlineBytes ? static_cast<size_t>(length) : 0;
    if ((full || spilled > 0) && !q->Admit(spilled)) return;  // counted and logged
    uint8_t* spill = nullptr;
    if (spilled > 0) {
      bool made = false;
      binding::CaptureAll("TCallback.Create", [&] {
        spill = new uint8_t[static_cast<size_t>(length)];
        std::memcpy(spill, data, static_cast<size_t>(length));
        made = true;
      });
      if (!made) {  // the copy failed and was logged; there is nothing to deliver
        trace::DroppedInQueue();
        return;
      }
      q->spills.fetch_add(1, std::memory_order_relaxed);
      q->spillBytes.fetch_add(spilled, std::memory_order_relaxed);
    }
    try {
      Push(*q, session, id, data, length, spill);
    } catch (...) {  // no memory for a block: the event is lost, and counted
      trace::DroppedInQueue();
      if (spill != nullptr) {
        delete[] spill;
        q->spills.fetch_sub(1, std::memory_order_relaxed);
        q->spillBytes.fetch_sub(spilled, std::memory_order_relaxed);
      }
      throw;
    }
  });
}

void AddSessionEnd(int32_t id) noexcept {
  binding::CaptureAll("AddCallback", [&] {
    Queue* q = gQueue.load(std::memory_order_acquire);
    if (q == nullptr) return;
    const Session session = q->session.load(std::memory_order_acquire);
    if (session == 0) return;
    Push(*q, session, id, nullptr, 0, nullptr);  // one slot: no wait, no limit
  });
}

Session CurrentSession() {
  Queue* q = gQueue.load(std::memory_order_acquire);
  return q != nullptr ? q->session.load() : 0;
}

void CreateQueue() {
  Queue& q = Q();
  Session next = std::max(q.session.load(), q.retired.load()) + 1;
  if (next == 0) next = 1;  // 0 is "no session"
  q.session.store(next);
  q.ResetEpisodes();
  // With no pump attached, drop the earlier session's events now rather
  // than keep them until a pump comes.
  DropEarlierSessions(q);
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

void RetireQueues() {
  Queue* q = gQueue.load();
  if (q == nullptr) return;
  q->retired.store(q->session.load());
  q->session.store(0);  // producers drop from now on, and stop waiting for room
  q->WakeAll();
  // What waits will never be delivered (no slot is of session 0): it goes
  // now, and the pool with it, unless a pump is still attached (then the
  // process is ending under it).
  if (DropEarlierSessions(*q)) q->TrimPool();
}

size_t QueuedCount() {
  Queue* q = gQueue.load(std::memory_order_acquire);
  return q != nullptr ? static_cast<size_t>(q->Depth()) : 0;
}

uint64_t Stalls() {
  Queue* q = gQueue.load(std::memory_order_acquire);
  return q != nullptr ? q->stalls.load() : 0;
}

bool Stalled() {
  Queue* q = gQueue.load(std::memory_order_acquire);
  return q != nullptr && q->stalled.load();
}

uint64_t RoomWaits() {
  Queue* q = gQueue.load(std::memory_order_acquire);
  return q != nullptr ? q->roomWaits.load() : 0;
}

uint64_t RoomWaitsCut() {
  Queue* q = gQueue.load(std::memory_order_acquire);
  return q != nullptr ? q->roomWaitsCut.load() : 0;
}

PumpWait PumpWaitMode() {
  return Q().wait.load();
}

void SetPumpWaitMode(PumpWait mode) {
  Q().wait.store(mode);
}

size_t ByteLimit() {
  return Q().byteLimit.load();
}

size_t SetByteLimit(size_t bytes) {
  return Q().byteLimit.exchange(bytes);
}

uint64_t Dropped() {
  Queue* q = gQueue.load(std::memory_order_acquire);
  return q != nullptr ? q->dropped.load() : 0;
}

size_t LiveBlocks() {
  Queue* q = gQueue.load(std::memory_order_acquire);
  return q != nullptr ? q->blocks.load() + q->spills.load() : 0;
}

}  // namespace relay
