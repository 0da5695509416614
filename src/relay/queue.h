// The callback queue: events from the trading library's threads, held until
// the one Java thread inside processCallbacks delivers them.
//
// Producers (any thread) call AddCallback; it copies the record, so the
// library may reuse its buffer at once. The queue holds at most kCapacity
// events; a producer that finds it full waits for the pump, but only while a
// pump is running and neither a stop nor a log-off is under way, so nothing
// is ever dropped and nothing can deadlock on a pump that will not come.
// No JNI is done here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

namespace relay {

inline constexpr size_t kCapacity = 65536;

// One queued event; owns a copy of its record.
class TCallback {
 public:
  TCallback(int32_t id, const void* data, int32_t length);
  int32_t Id() const { return id_; }
  int32_t Length() const { return length_; }
  const uint8_t* Data() const { return data_.get(); }

 private:
  int32_t id_;
  int32_t length_;
  std::unique_ptr<uint8_t[]> data_;
};

class CallbackQueue;

// Copies the record into the current queue; drops it when no initialise has
// made a queue yet. Never throws: failures are logged under "AddCallback".
void AddCallback(int32_t id, const void* data, int32_t length) noexcept;

// initialise: a new, empty queue replaces the current one. A pump waiting on
// the old queue moves to the new one; its undelivered events are never
// delivered.
void CreateQueue();

// logoff, before the trading library's log-off: producers stop waiting for
// room, so a library that joins its threads on log-off cannot deadlock.
void BeginClosing();

// logoff: asks the pump to return after the event it is delivering.
void RequestStop();

// The bridge's own unloading: frees the queues (nobody may use them now).
void FreeQueues();

// The pump's side, used by processCallbacks.
class PumpSession {
 public:
  PumpSession();  // clears the stop request and registers the pump
  ~PumpSession();
  PumpSession(const PumpSession&) = delete;
  PumpSession& operator=(const PumpSession&) = delete;

  bool StopRequested() const;
  // Waits for events (or a stop) and returns them in arrival order, leaving
  // the queue empty. Empty when a stop was requested.
  std::deque<TCallback> Wait();
  // Takes what arrived meanwhile without waiting: one wake-up drains all.
  std::deque<TCallback> TakeMore();
  // Puts events taken but not delivered back at the front, in order.
  void GiveBack(std::deque<TCallback> events);

 private:
  std::shared_ptr<CallbackQueue> queue_;
  bool Attach();  // follows the current queue; false when there is none
};

// For tests: events waiting in the current queue.
size_t QueuedCount();

}  // namespace relay
