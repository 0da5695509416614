#include "relay/queue.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include "binding/errors.h"
#include "platform/platform.h"

namespace relay {

TCallback::TCallback(int32_t id, const void* data, int32_t length) : id_(id), length_(length) {
  if (length > 0) {
    data_.reset(new uint8_t[static_cast<size_t>(length)]);
    std::memcpy(data_.get(), data, static_cast<size_t>(length));
  }
}

class CallbackQueue {
 public:
  std::mutex mutex;                 // guards everything below
  std::condition_variable hasRoom;  // producers waiting for the pump
  std::deque<TCallback> events;
  int pumps = 0;         // pumps attached to this queue
  bool closing = false;  // log-off under way: producers never wait
  bool replaced = false;
  platform::AutoResetEvent callbackEvent;  // signalled per append, stop and replacement
};

namespace {

// Process-wide state. The holder is never destroyed by static destruction: a
// trading library thread may still be queuing while the process exits.
struct Global {
  std::mutex mutex;  // guards current; never held while waiting for anything
  std::condition_variable queueMade;
  std::shared_ptr<CallbackQueue> current;
  std::atomic<bool> stopRequested{false};
};
Global& G() {
  static Global* global = new Global;
  return *global;
}

std::shared_ptr<CallbackQueue> Current() {
  Global& g = G();
  std::lock_guard<std::mutex> lock(g.mutex);
  return g.current;
}

bool ProducersMayWait(const CallbackQueue& q) {
  return q.pumps > 0 && !q.closing && !q.replaced && !G().stopRequested.load();
}

}  // namespace

void AddCallback(int32_t id, const void* data, int32_t length) noexcept {
  binding::CaptureAll("AddCallback", [&] {
    std::shared_ptr<CallbackQueue> q = Current();
    if (!q) return;  // no initialise yet: dropped without a word
    std::unique_ptr<TCallback> event;
    binding::CaptureAll("TCallback.Create", [&] { event.reset(new TCallback(id, data, length)); });
    if (!event) return;  // the copy failed and was logged; there is nothing to deliver
    bool wasEmpty;
    {
      std::unique_lock<std::mutex> lock(q->mutex);
      q->hasRoom.wait(lock, [&] { return q->events.size() < kCapacity || !ProducersMayWait(*q); });
      wasEmpty = q->events.empty();
      q->events.push_back(std::move(*event));
    }
    // Only the append that makes the list non-empty needs to wake the pump:
    // a pump that is draining takes later appends in the same drain.
    if (wasEmpty) q->callbackEvent.Set();
  });
}

void CreateQueue() {
  auto fresh = std::make_shared<CallbackQueue>();
  std::shared_ptr<CallbackQueue> old;
  Global& g = G();
  {
    std::lock_guard<std::mutex> lock(g.mutex);
    old = std::move(g.current);
    g.current = fresh;
  }
  g.queueMade.notify_all();
  if (old) {
    {
      std::lock_guard<std::mutex> lock(old->mutex);
      old->replaced = true;
    }
    old->hasRoom.notify_all();
    old->callbackEvent.Set();  // a pump waiting there moves on
  }
}

void BeginClosing() {
  if (std::shared_ptr<CallbackQueue> q = Current()) {
    {
      std::lock_guard<std::mutex> lock(q->mutex);
      q->closing = true;
    }
    q->hasRoom.notify_all();
  }
}

void RequestStop() {
  Global& g = G();
  g.stopRequested.store(true);
  {
    std::lock_guard<std::mutex> lock(g.mutex);  // pairs with the wait for a first queue
  }
  g.queueMade.notify_all();
  if (std::shared_ptr<CallbackQueue> q = Current()) {
    { std::lock_guard<std::mutex> lock(q->mutex); }
    q->hasRoom.notify_all();
    q->callbackEvent.Set();
  }
}

void FreeQueues() {
  Global& g = G();
  std::lock_guard<std::mutex> lock(g.mutex);
  g.current.reset();
}

size_t QueuedCount() {
  std::shared_ptr<CallbackQueue> q = Current();
  if (!q) return 0;
  std::lock_guard<std::mutex> lock(q->mutex);
  return q->events.size();
}

PumpSession::PumpSession() {
  G().stopRequested.store(false);
}

PumpSession::~PumpSession() {
  if (queue_) {
    {
      std::lock_guard<std::mutex> lock(queue_->mutex);
      --queue_->pumps;
    }
    queue_->hasRoom.notify_all();  // producers stop waiting for a pump that left
  }
}

bool PumpSession::StopRequested() const {
  return G().stopRequested.load();
}

bool PumpSession::Attach() {
  Global& g = G();
  std::shared_ptr<CallbackQueue> target;
  {
    // Before the first initialise there is nothing to wait on: block (not
    // spin) until a queue exists or a stop is requested.
    std::unique_lock<std::mutex> lock(g.mutex);
    g.queueMade.wait(lock, [&] { return g.current != nullptr || g.stopRequested.load(); });
    target = g.current;
  }
  if (target == queue_) return queue_ != nullptr;
  if (queue_) {
    {
      std::lock_guard<std::mutex> lock(queue_->mutex);
      --queue_->pumps;
    }
    queue_->hasRoom.notify_all();
  }
  queue_ = std::move(target);
  if (queue_) {
    std::lock_guard<std::mutex> lock(queue_->mutex);
    ++queue_->pumps;
  }
  return queue_ != nullptr;
}

std::deque<TCallback> PumpSession::Wait() {
  while (!StopRequested()) {
    if (!Attach()) continue;
    queue_->callbackEvent.Wait();
    if (StopRequested()) break;
    std::deque<TCallback> events = TakeMore();
    if (!events.empty()) return events;
    // A replacement or a stale signal: look again, on the current queue.
  }
  return {};
}

std::deque<TCallback> PumpSession::TakeMore() {
  std::deque<TCallback> events;
  if (!queue_) return events;
  {
    std::lock_guard<std::mutex> lock(queue_->mutex);
    if (queue_->replaced) return events;  // its events are never delivered
    events.swap(queue_->events);
  }
  queue_->hasRoom.notify_all();
  return events;
}

void PumpSession::GiveBack(std::deque<TCallback> events) {
  if (!queue_ || events.empty()) return;
  std::lock_guard<std::mutex> lock(queue_->mutex);
  if (queue_->replaced) return;
  for (auto it = events.rbegin(); it != events.rend(); ++it)
    queue_->events.push_front(std::move(*it));
}

}  // namespace relay
