// The pump's side of the callback queue: one pump at a time takes events in
// claim order, and an idle pump waits as the wait mode says.
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "binding/errors.h"
#include "binding/loader.h"
#include "platform/cpu.h"
#include "relay/queue.h"
#include "relay/queue_state.h"

namespace relay {

using namespace internal;

PumpSession::PumpSession() : queue_(&Q()), epoch_(Q().stopEpoch.load()), nested_(tPumpThread) {
  tPumpThread = true;
}

PumpSession::~PumpSession() {
  tPumpThread = nested_;
  if (!owner_) return;
  Queue& q = *static_cast<Queue*>(queue_);
  q.TrimPool();  // what an overflow took beyond a full queue goes back now
  q.consumer.store(false);
  q.WakeAll();  // a second pump may take over; producers stop waiting for this one
}

uint64_t PumpSession::Depth() const {
  return static_cast<const Queue*>(queue_)->Depth();
}

bool PumpSession::Ready() const {
  return static_cast<const Queue*>(queue_)->Ready();
}

bool PumpSession::StopRequested() const {
  return static_cast<const Queue*>(queue_)->StopSince(epoch_);
}

const TCallback* PumpSession::Next() {
  Queue& q = *static_cast<Queue*>(queue_);
  // A pump called from inside messageReceived would wait for the pump it is
  // nested in: it returns, and the outer pump goes on.
  if (nested_) return nullptr;
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
      q.pumpThread.store(binding::ThisThreadToken());
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
      // The pump moves again: producers wait for room from here on.
      if (q.stalled.load(std::memory_order_relaxed)) q.stalled.store(false);
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
    // Nothing written yet: look again for a while as the wait mode says (a
    // busy producer is usually a few hundred nanoseconds away), then sleep
    // until a producer or a stop wakes this pump.
    if (Idle(&q)) continue;
    q.TrimPool();
    std::unique_lock<std::mutex> lock(q.mutex);
    q.sleeping.store(true, std::memory_order_seq_cst);
    q.wake.wait(lock, [&] {
      return q.Ready() || q.StopSince(epoch_) || !q.sleeping.load(std::memory_order_relaxed);
    });
    q.sleeping.store(false, std::memory_order_relaxed);
  }
}

bool PumpSession::Idle(void* queue) const {
  Queue& q = *static_cast<Queue*>(queue);
  const PumpWait mode = q.wait.load(std::memory_order_relaxed);
  const auto start = std::chrono::steady_clock::now();
  const auto window = mode == PumpWait::kBackoff ? kBackoffWindow : kSpin;
  bool trimmed = false;
  for (;;) {
    for (int i = 0; i < 32; ++i) {
      if (q.Ready()) return true;
      platform::CpuRelax();
    }
    if (q.StopSince(epoch_)) return true;
    const auto waited = std::chrono::steady_clock::now() - start;
    if (mode == PumpWait::kSpin) {
      if (!trimmed && waited > kBackoffWindow) {  // idle a while: give back what an overflow took
        q.TrimPool();
        trimmed = true;
      }
      continue;
    }
    if (waited >= window) return false;
    if (mode == PumpWait::kBackoff && waited >= kBackoffSpin) std::this_thread::yield();
  }
}

void PumpSession::Done() {
  if (slot_ == nullptr) return;
  static_cast<Queue*>(queue_)->Pop(*static_cast<Slot*>(slot_));
  slot_ = nullptr;
}

}  // namespace relay
