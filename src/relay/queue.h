// The callback queue: events from the trading library's threads, held until
// the one Java thread inside processCallbacks delivers them.
//
// Producers (any thread) call AddCallback; it copies the record into a slot
// of the queue, so the library may reuse its buffer at once. Slots live in
// blocks that are recycled, so a steady stream allocates nothing; records
// longer than a slot holds inline spill to a heap block of their own.
//
// The queue holds about kCapacity events, or half its byte limit
// (ByteLimit()) when that comes first, before producers wait for room; a
// waiting producer goes on as soon as the queue is back under both, and after
// kMaxWaitMs in one call at the latest (its event is then queued past the
// bound). A producer waits only while a pump is attached, no stop or log-off
// of its session is under way, it is not the pump's own thread, and the pump
// keeps taking events. A pump that takes no event for the stall bound
// (kStallMs at first) may be waiting for the producer itself (a handler
// calling into a library that holds a lock while it calls back): when one and
// the same call into the library by the pump's handler spans the whole stall
// bound, producers append beyond the bound until the pump takes its next
// event; otherwise (the handler is not in a call, or only goes in and out of
// short ones, so it cannot be waiting for one of them there) only
// kStallAllowance events, before they wait out the next stall. Each stall
// before the pump catches up doubles the bound, up to kMaxStallMs, so a pump
// that is only slow (a handler that writes to a database, a GC pause) soon
// holds producers to the bound again, and meanwhile the queue grows by one
// allowance a stall. Nothing is dropped or reordered per producer, and
// nothing waits on a pump that will not come, except past the hard limit on
// the bytes the queue holds (ByteLimit()): an event beyond it is the
// allocation failure it would otherwise become, dropped and counted, with one
// line under "TCallback.Create" per episode. Half the limit is left for the
// stalls: one allowance of the longest records fits in it even at the
// lowest limit accepted, so only a pump stalled past its bound meets it.
// No JNI is done here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace relay {

inline constexpr size_t kCapacity = 65536;
inline constexpr int kStallMs = 10;
inline constexpr int kMaxStallMs = 640;
// The longest a producer waits for room in one AddCallback, in total: past
// it, the event goes in beyond the bound (a library thread held longer risks
// its connection's heartbeat). Longer than kMaxStallMs, so a stuck pump is
// always seen as a stall first.
inline constexpr int kMaxWaitMs = 1000;
// Events producers may append past the bound in one stall before they wait
// again: a quarter of the bound, about 4 MiB.
inline constexpr uint64_t kStallAllowance = kCapacity / 4;
// Blocks of slots the queue keeps for reuse once the pump has caught up:
// enough for a full queue, so a stream at the bound allocates nothing.
inline constexpr size_t kKeptBlocks = kCapacity / 63 + 2;

// One queued event as the pump sees it. The bytes stay valid until the pump
// calls Done(); Data() is null when Length() is 0 or less.
class TCallback {
 public:
  int32_t Id() const { return id_; }
  int32_t Length() const { return length_; }
  const uint8_t* Data() const { return data_; }
  // For the trace: when it was queued (0 when tracing was off then) and by
  // which thread.
  uint64_t EnqueuedNs() const { return enqueuedNs_; }
  uint32_t Producer() const { return producer_; }

 private:
  friend class PumpSession;
  int32_t id_ = 0;
  int32_t length_ = 0;
  const uint8_t* data_ = nullptr;
  uint64_t enqueuedNs_ = 0;
  uint32_t producer_ = 0;
};

// Copies the record into the current session's queue; drops it when no
// initialise has made one yet. Never throws: failures are logged under
// "TCallback.Create" or "AddCallback".
void AddCallback(int32_t id, const void* data, int32_t length) noexcept;
// The bridge's own record of no bytes that ends the session (the forced
// logout when the library host dies): queued at once, past the bound and the
// byte limit, since nothing else tells the front-end its session is gone.
// Never throws.
void AddSessionEnd(int32_t id) noexcept;

// A session of the queue: every initialise starts a new one. Events queued
// for an earlier session are never delivered.
using Session = uint32_t;
Session CurrentSession();

// initialise: a new, empty session replaces the current one. A pump waiting
// moves on to it.
void CreateQueue();

// logoff, before the trading library's log-off: producers of that session
// stop waiting for room, so a library that joins its threads on log-off
// cannot deadlock. The mark belongs to the session given, never to a later
// one, and EndClosing takes it away again.
void BeginClosing(Session session);
void EndClosing(Session session);

// logoff: asks every running pump to return after the event it is
// delivering. A pump that starts later is not affected.
void RequestStop();

// The bridge's own unloading: frees the queue (nobody may use it now).
void FreeQueues();
// The bridge's own unloading while the trading library stays loaded: the
// queue stays, since its threads may still call back, but what it holds is
// dropped and it takes nothing more until a new initialise, so nothing piles
// up for a pump that is gone.
void RetireQueues();

// The pump's side, used by processCallbacks. One pump takes events at a
// time; a second one waits until the first leaves or a stop comes.
class PumpSession {
 public:
  PumpSession();  // a stop requested before this does not apply to it
  ~PumpSession();
  PumpSession(const PumpSession&) = delete;
  PumpSession& operator=(const PumpSession&) = delete;

  bool StopRequested() const;
  uint64_t Depth() const;  // events waiting, for the trace
  // Whether the oldest waiting event is written, so that Next() would
  // return it at once. The pump's own thread only.
  bool Ready() const;
  // The oldest undelivered event, waiting for one the way PumpWaitMode()
  // says when there is none; null once a stop was requested, and at once for
  // a pump nested in another on the same thread. The event
  // stays queued until Done(), so a stop leaves it and everything after it
  // for the next pump, in order.
  const TCallback* Next();
  // The event returned by Next() was delivered (or failed): drop it.
  void Done();

 private:
  void* queue_;  // the queue; it lives until the bridge unloads, past any pump
  uint64_t epoch_;
  bool owner_ = false;    // this pump holds the queue's consumer side
  bool nested_;           // inside messageReceived of a pump on this thread: delivers nothing
  void* slot_ = nullptr;  // the slot of the event Next() returned
  // Looks for the next event without sleeping, as the wait mode says: true
  // when one is ready or a stop came, false when it is time to sleep.
  bool Idle(void* queue) const;
  TCallback current_;
};

// How an idle pump waits for the next event. Chosen by JAVAWRAPPER_PUMP_WAIT
// when the queue is first made ("block", "backoff" or "spin"; anything else
// is block); tests may change it between pumps.
enum class PumpWait {
  kBlock,    // spin 40 us, then sleep: no CPU when idle, a wake-up per lone event
  kBackoff,  // spin 150 us, yield until 250 us, then sleep: a core while events
             // come more often than that, none when idle
  kSpin,     // never sleep: a core for as long as the pump runs
};
PumpWait PumpWaitMode();
void SetPumpWaitMode(PumpWait mode);

// The hard limit on the bytes the queue holds: JAVAWRAPPER_QUEUE_MAX_MB
// (MiB, at least 32) when the queue is first made, else 256 MiB in a 32-bit
// process and 1 GiB in a 64-bit one. Tests may set any limit; returns the
// previous one.
size_t ByteLimit();
size_t SetByteLimit(size_t bytes);
// Events dropped at the limit since the bridge was loaded.
uint64_t Dropped();

// For tests and the benchmark: events waiting in the queue, and heap blocks
// the queue holds (recycled blocks and spilled records).
size_t QueuedCount();
size_t LiveBlocks();
// For tests: whether the current session's producers are marked closing, how
// many times producers gave up waiting for a pump that took nothing, and
// whether they are past the bound for that now; how many times a producer
// waited for room, and how many of those waits ended at kMaxWaitMs.
bool Closing();
uint64_t Stalls();
bool Stalled();
uint64_t RoomWaits();
uint64_t RoomWaitsCut();

}  // namespace relay
