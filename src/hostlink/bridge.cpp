#include "hostlink/bridge.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "binding/errors.h"
#include "binding/loader.h"
#include "hostlink/bridge_internal.h"
#include "hostlink/control.h"
#include "hostlink/marshal.h"
#include "hostlink/pe_image.h"
#include "hostlink/shared.h"
#include "platform/cpu.h"
#include "platform/fault_guard.h"
#include "platform/host_link.h"
#include "platform/platform.h"
#include "relay/entry_points.h"
#include "relay/queue.h"
#include "trace/trace.h"

namespace hostlink {
namespace {

using Clock = std::chrono::steady_clock;

// One started host. Never freed once published: a thread may still hold a
// pointer to it after it ended (its users count says when the shared memory
// may go). Each keeps the one before it, so every host stays reachable from
// gLatest; one that never started is freed at once.
struct Host {
  Host* previous = nullptr;
  uint32_t generation = 0;
  platform::HostProcess process;
  Shared* shared = nullptr;
  int memory = -1;
  std::atomic<bool> dead{false};
  std::atomic<int> users{0};
  std::atomic<bool> owned[kSlots] = {};  // the bridge's own record of its slots
  std::mutex sendLock;
  // The last slot is shared, one call at a time, by the threads that find
  // every other slot taken (a front-end with more calling threads alive
  // than slots): their calls work, on one mirror between them.
  std::mutex sharedSlotLock;
  bool sharedMirror = false;  // its mirror runs; sharedSlotLock
  std::atomic<bool> sharedSaid{false};
  std::thread reader;
  std::mutex howLock;             // how is written by the reader, read by the calls it ends
  std::string how;                // how it ended
  std::string exe;                // the host's executable
  std::atomic<bool> stop{false};  // the bridge is leaving: the reader ends the host
  // Loads asked of the host, and session marks its ring has shown (the
  // reader's own): events before the latest load's mark were raised for an
  // earlier session and are dropped, as the queue drops what one left.
  std::atomic<uint32_t> loadsAsked{0};
  uint32_t marksSeen = 0;
};

std::mutex gStartLock;  // one start, unload or shutdown at a time
std::atomic<Host*> gHost{nullptr};
Host* gLatest = nullptr;  // the last host started, whose reader is joined next; gStartLock
std::atomic<uint32_t> gGeneration{0};
std::atomic<uint32_t> gEnded{0};
char gHandleMark;

// The calling thread's slot in the host of that generation.
struct ThreadSlot {
  uint32_t generation;
  int index;
};
thread_local ThreadSlot tSlot{0, -1};
thread_local char tText[4096];
thread_local int tControlTarget = 0;  // the library a test's control call goes to

void Say(const std::string& text) {
  std::fprintf(stderr, "JavaWrapper: %s\n", text.c_str());
  std::fflush(stderr);
  if (trace::On()) trace::Funnel("LibraryHost", text);
}

// Holds a host for the length of a use: its memory stays mapped meanwhile.
Host* Acquire() {
  Host* h = gHost.load(std::memory_order_acquire);
  if (h == nullptr) return nullptr;
  h->users.fetch_add(1);
  if (h->dead.load() || gHost.load() != h) {
    h->users.fetch_sub(1);
    return nullptr;
  }
  return h;
}

// seen: how the caller itself found the host ended, for when the reader has
// not recorded it yet.
[[noreturn]] void Lost(Host* h, const std::string& seen = "gone") {
  std::string how;
  {
    std::lock_guard<std::mutex> lock(h->howLock);
    how = h->how.empty() ? seen : h->how;
  }
  throw HostLost(" The library host ended (" + how + ")");
}

// A call that found the host ended before its reader recorded how (the
// reader looks only every few milliseconds, or is held up delivering): the
// process's own end, not yet reaped, says how; once the reader has reaped it,
// its record does.
[[noreturn]] void LostSeenByCaller(Host* h) {
  std::string how = "gone";
  const auto deadline = Clock::now() + std::chrono::seconds(1);
  while (!h->dead.load() && Clock::now() < deadline) {
    if (std::string seen; platform::HostHasEnded(h->process.pid, &seen) && seen != "gone") {
      how = seen;
      break;
    }
    platform::SleepMs(1);
  }
  Lost(h, how);
}

// A host that broke the protocol is treated as dead: it is killed, and the
// reader finds its end as for any other.
void Violation(Host* h, const char* what) {
  {
    // Before the calls see it dead: their failures name the break.
    std::lock_guard<std::mutex> lock(h->howLock);
    if (h->how.empty()) h->how = std::string("it broke the protocol (") + what + ")";
  }
  if (!h->dead.exchange(true)) {
    Say(std::string("the library host broke the protocol (") + what + "): it is ended");
    platform::KillHost(h->process.pid);
  }
}

void WakeAllSlots(Host* h) {
  for (CallSlot& s : h->shared->slots) platform::WakeWord(&s.state);
}

// Delivers every whole record the ring holds; false (the host is treated as
// dead) for a record that breaks its rules.
bool Drain(Host* h, uint64_t* tail) {
  Ring& ring = h->shared->ring;
  const uint64_t head = ring.head.load(std::memory_order_acquire);
  if (head < *tail || head - *tail > kRingBytes) {
    Violation(h, "ring position");
    return false;
  }
  unsigned char record[relay::kLargestEventBytes];
  // Writers waiting for room are woken once a batch of room is free, not at
  // every record: a wake-up is a trip through the system (under Wine, through
  // its server), and a full ring woken per record ran at a few hundred
  // thousand records a second on a loaded machine. The rest is announced when
  // the batch is delivered; a writer also looks again within its wait's bound.
  uint64_t unannounced = 0;
  const auto announce = [&ring, &unannounced] {
    unannounced = 0;
    ring.spaceSeq.fetch_add(1);
    if (ring.writersWaiting.load() != 0) platform::WakeWord(&ring.spaceSeq);
  };
  while (*tail != head) {
    const size_t at = static_cast<size_t>(*tail % kRingBytes);
    const size_t room = kRingBytes - at;
    if (at % 8 != 0 || head - *tail < 8) {
      Violation(h, "ring record position");
      return false;
    }
    int32_t id, length;
    std::memcpy(&id, ring.bytes + at, 4);
    std::memcpy(&length, ring.bytes + at + 4, 4);
    uint64_t used;
    if (id == kPad) {
      used = room;
    } else if (id == kSessionMark) {
      if (length != 0) {
        Violation(h, "session mark length");
        return false;
      }
      used = 8;
      ++h->marksSeen;
    } else {
      const size_t expected = relay::EventBytes(id);
      if (expected == relay::kNoSuchEvent || length < 0 ||
          static_cast<size_t>(length) != expected) {
        Violation(h, "event id or length");
        return false;
      }
      used = 8 + ((static_cast<uint64_t>(length) + 7) & ~uint64_t{7});
      if (used > room) {
        Violation(h, "event past the ring's end");
        return false;
      }
      std::memcpy(record, ring.bytes + at + 8, static_cast<size_t>(length));
    }
    if (used > head - *tail) {
      Violation(h, "event past the ring's head");
      return false;
    }
    *tail += used;
    ring.tail.store(*tail, std::memory_order_release);
    unannounced += used;
    if (unannounced >= kRingBytes / 16) announce();
    const bool current = h->marksSeen == h->loadsAsked.load();
    if (id >= 0 && current) relay::AddCallback(id, length > 0 ? record : nullptr, length);
  }
  if (unannounced != 0) announce();
  return true;
}

// The host's end, seen by its reader: calls in flight end, the ring is
// delivered, one forced logout is queued, the library counts as unloaded.
void Ended(Host* h, uint64_t* tail) {
  // How it ended is known before the calls in flight wake, so each one's
  // failure names it.
  platform::KillHost(h->process.pid);  // one that only closed its socket
  std::string how;
  platform::HostEnded(h->process.pid, true, &how);
  {
    std::lock_guard<std::mutex> lock(h->howLock);
    if (h->how.empty()) h->how = how;  // a protocol break's reason stays
  }
  h->dead.store(true);
  WakeAllSlots(h);
  const bool leaving = h->stop.load();
  if (!leaving) {
    Say("the library host (pid " + std::to_string(h->process.pid) + ") ended: " + how);
    const bool loaded = binding::IsAPILoaded();
    Drain(h, tail);
    if (loaded) {
      relay::AddSessionEnd(6);
      binding::UnloadAPIWithin(std::chrono::seconds(10));
    }
  }
  Host* expected = h;
  gHost.compare_exchange_strong(expected, nullptr);
  // Every call that held the host has ended before its memory goes.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (h->users.load() != 0 && Clock::now() < deadline) platform::SleepMs(1);
  if (h->users.load() == 0) {
    platform::UnmapSharedMemory(h->shared, kSharedBytes);
    h->shared = nullptr;
  }
  platform::CloseDescriptor(h->process.socket);
  platform::CloseDescriptor(h->memory);
  gEnded.fetch_add(1);
}

// The reader: starts the host (from this thread, which outlives it: the
// host's parent-death signal follows the thread that started it), then
// delivers its events until it ends.
struct Start {
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  std::string whyNot;  // empty: the host runs
};

void Reader(Host* h, std::string exe, Start* start) {
  std::string whyNot;
  if (platform::SpawnHost(exe, &h->process, &whyNot)) {
    const Hello hello{kMagic, static_cast<uint32_t>(kSharedBytes)};
    if (!platform::SendOnSocket(h->process.socket, &hello, sizeof hello, h->memory)) {
      whyNot = "the library host took no shared memory";
      platform::KillHost(h->process.pid);
      std::string how;
      platform::HostEnded(h->process.pid, true, &how);
      platform::CloseDescriptor(h->process.socket);
    }
  }
  const bool running = whyNot.empty();
  {
    // Notified under the lock: the starter may destroy start as soon as it
    // holds the lock again, so nothing here touches start after the unlock.
    std::lock_guard<std::mutex> lock(start->lock);
    start->whyNot = whyNot;
    start->finished = true;
    start->done.notify_all();
  }
  if (!running) return;

  Ring& ring = h->shared->ring;
  uint64_t tail = 0;
  for (;;) {
    if (h->stop.load() || h->dead.load()) break;
    if (!Drain(h, &tail)) break;
    const uint32_t seq = ring.dataSeq.load();
    ring.readerWaiting.store(1);
    if (ring.head.load(std::memory_order_acquire) == tail)
      platform::WaitOnWord(&ring.dataSeq, seq, 20);
    ring.readerWaiting.store(0);
    // The host's end closes its socket; a message from it is a violation.
    char byte;
    const long n = platform::ReceiveFromSocket(h->process.socket, &byte, 1, 0);
    if (n == 0) break;
    if (n > 0) {
      Violation(h, "a message on the socket");
      break;
    }
  }
  Ended(h, &tail);
}

}  // namespace

void Publish(CallSlot& slot, uint32_t state) {
  slot.state.store(state, std::memory_order_seq_cst);
  if (slot.sleepers.load(std::memory_order_seq_cst) != 0) platform::WakeWord(&slot.state);
}

void SleepWhile(CallSlot& slot, uint32_t state, unsigned timeoutMs) {
  slot.sleepers.fetch_add(1, std::memory_order_seq_cst);
  if (slot.state.load(std::memory_order_seq_cst) == state)
    platform::WaitOnWord(&slot.state, state, timeoutMs);
  slot.sleepers.fetch_sub(1, std::memory_order_seq_cst);
}

namespace {
constexpr int kSharedSlot = kSlots - 1;

// Takes the shared slot for one call (its lock held until the call ends),
// starting its mirror on first use. False: the host could not be told.
bool TakeSharedSlot(Host* h) {
  h->sharedSlotLock.lock();
  if (!h->sharedMirror) {
    uint32_t free = kFree;
    const StartMirror start{kSharedSlot};
    bool sent = h->shared->slots[kSharedSlot].state.compare_exchange_strong(free, kIdle);
    if (sent) {
      std::lock_guard<std::mutex> lock(h->sendLock);
      sent = platform::SendOnSocket(h->process.socket, &start, sizeof start);
    }
    if (!sent) {
      h->sharedSlotLock.unlock();
      return false;
    }
    h->sharedMirror = true;
  }
  if (!h->sharedSaid.exchange(true)) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "more than %d threads call the library at once: the others share one host "
                  "thread, one call at a time",
                  kSharedSlot);
    Say(text);
  }
  return true;
}
}  // namespace

ActiveCall::ActiveCall() : host_(nullptr), slot_(nullptr) {
  Host* h = Acquire();
  if (h == nullptr) {
    // One that has ended but is not yet cleared away names how.
    if (Host* ended = gHost.load(); ended != nullptr && ended->dead.load()) Lost(ended);
    throw HostLost(" The library host is not running");
  }
  host_ = h;
  // A thread on the shared slot looks for one of its own at every call: one
  // frees when a calling thread ends.
  if (tSlot.generation != h->generation || tSlot.index < 0 || tSlot.index == kSharedSlot) {
    // The thread's first call to this host: a free slot and a mirror for it.
    int found = -1;
    for (int i = 0; i < kSharedSlot && found < 0; ++i) {
      bool expected = false;
      if (h->shared->slots[i].state.load() != kFree) continue;
      if (!h->owned[i].compare_exchange_strong(expected, true)) continue;
      uint32_t free = kFree;
      if (h->shared->slots[i].state.compare_exchange_strong(free, kIdle)) {
        found = i;
      } else {
        h->owned[i].store(false);
      }
    }
    if (found < 0) {
      if (!TakeSharedSlot(h)) {
        h->users.fetch_sub(1);
        LostSeenByCaller(h);
      }
      tSlot = {h->generation, kSharedSlot};
      shared_ = true;
      slot_ = &h->shared->slots[kSharedSlot];
      return;
    }
    const StartMirror start{found};
    bool sent;
    {
      std::lock_guard<std::mutex> lock(h->sendLock);
      sent = platform::SendOnSocket(h->process.socket, &start, sizeof start);
    }
    if (!sent) {
      h->owned[found].store(false);
      h->users.fetch_sub(1);
      LostSeenByCaller(h);
    }
    tSlot = {h->generation, found};
    const uintptr_t token =
        (static_cast<uintptr_t>(h->generation) << 8) | static_cast<uintptr_t>(found);
    platform::SetThreadEndHook(
        [](void* value) {
          const auto token = reinterpret_cast<uintptr_t>(value);
          Host* h = Acquire();
          if (h == nullptr) return;
          const int index = static_cast<int>(token & 0xFF);
          if ((h->generation & 0xFFFFFFu) == ((token >> 8) & 0xFFFFFFu) && index < kSlots) {
            h->shared->slots[index].state.store(kExit, std::memory_order_release);
            platform::WakeWord(&h->shared->slots[index].state);
            h->owned[index].store(false);
          }
          h->users.fetch_sub(1);
        },
        reinterpret_cast<void*>(token));
  }
  slot_ = &h->shared->slots[tSlot.index];
}

ActiveCall::~ActiveCall() {
  Host* h = static_cast<Host*>(host_);
  if (shared_) h->sharedSlotLock.unlock();
  h->users.fetch_sub(1);
}

int32_t ActiveCall::Transact(int32_t op, size_t used, const char** text) {
  Host* h = static_cast<Host*>(host_);
  CallSlot& s = *slot_;
  s.op = op >= kControlBase ? op + tControlTarget * kControlStride : op;
  s.fault = 0;
  s.resultBytes = 0;
  Publish(s, kRequest);
  // Spin briefly (a quick call answers within microseconds), then sleep on
  // the word; the reader wakes every slot when the host ends.
  uint32_t state = kRequest;
  for (int i = 0; i < 2000; ++i) {
    state = s.state.load(std::memory_order_acquire);
    if (state != kRequest) break;
    platform::CpuRelax();
  }
  while (state == kRequest) {
    // The reader marks the host dead, unless the reader is the caller (a
    // funnel line from its delivery) or is itself held up: then the
    // process's own end says so.
    if (h->dead.load()) Lost(h);
    if (std::string how; platform::HostHasEnded(h->process.pid, &how)) LostSeenByCaller(h);
    SleepWhile(s, kRequest, 50);
    state = s.state.load(std::memory_order_acquire);
  }
  if (h->dead.load()) Lost(h);
  if (state != kReply) {
    Violation(h, "call slot state");
    Lost(h);
  }
  const int32_t result = s.result;
  const uint32_t fault = s.fault;
  const uint32_t textBytes = s.resultBytes;
  if (text != nullptr) {
    *text = nullptr;
    if (textBytes != kNull) {
      if (textBytes >= kSlotData - used) {
        Violation(h, "result text length");
        Lost(h);
      }
      const size_t n = std::min<size_t>(textBytes, sizeof tText - 1);
      std::memcpy(tText, s.data + used, n);
      tText[n] = '\0';
      *text = tText;
    }
  }
  s.state.store(kIdle, std::memory_order_release);
  if (fault == kFailed) throw std::runtime_error(" The library host's call failed");
  if (fault != 0) throw platform::ProcessorFault(fault);
  return result;
}

namespace detail {
void SetControlTarget(int target) {
  tControlTarget = target;
}

bool EnsureHost(const std::string& fileName, std::string* whyNot) {
  std::lock_guard<std::mutex> lock(gStartLock);
  const std::string exe = HostExecutable(LibraryBits(fileName));
  if (Host* h = gHost.load(); h != nullptr && !h->dead.load()) {
    if (h->exe == exe) return true;
    *whyNot = "a library host of the other bitness runs (" + h->exe + ")";
    return false;
  }
  // The previous host's reader has ended it, or is about to.
  if (gLatest != nullptr && gLatest->reader.joinable()) gLatest->reader.join();
  Host* h = new (std::nothrow) Host;
  if (h == nullptr) {
    *whyNot = "out of memory";
    return false;
  }
  h->generation = gGeneration.fetch_add(1) + 1;
  uint32_t wakeWords[kWakeWords];
  for (int i = 0; i < kWakeWords; ++i) wakeWords[i] = WakeWordOffset(i);
  h->shared = static_cast<Shared*>(
      platform::CreateSharedMemory(kSharedBytes, &h->memory, wakeWords, kWakeWords));
  if (h->shared == nullptr) {
    *whyNot = "no shared memory for the library host";
    delete h;
    return false;
  }
  h->shared->magic = kMagic;
  h->shared->version = 1;
  h->exe = exe;
  Start start;
  try {
    h->reader = std::thread(&Reader, h, exe, &start);
  } catch (...) {
    *whyNot = "no thread for the library host's reader";
    platform::UnmapSharedMemory(h->shared, kSharedBytes);
    platform::CloseDescriptor(h->memory);
    delete h;
    return false;
  }
  std::unique_lock<std::mutex> wait(start.lock);
  start.done.wait(wait, [&] { return start.finished; });
  if (!start.whyNot.empty()) {
    *whyNot = start.whyNot;
    wait.unlock();
    h->reader.join();
    platform::UnmapSharedMemory(h->shared, kSharedBytes);
    platform::CloseDescriptor(h->memory);
    delete h;
    return false;
  }
  h->previous = gLatest;
  gLatest = h;
  gHost.store(h, std::memory_order_release);
  Say(std::string("library host mode ") +
      (detail::ReadMode() == detail::Mode::kAlways ? "always" : "auto") + ": " + exe + " pid " +
      std::to_string(h->process.pid));
  return true;
}
}  // namespace detail

int32_t Load(const std::string& fileName, std::string* detail) {
  std::string whyNot;
  if (!detail::EnsureHost(fileName, &whyNot)) {
    *detail = "the library host did not start: " + whyNot;
    return binding::kCannotLoadLibrary;
  }
  ActiveCall call;
  if (fileName.size() >= kSlotData) {
    *detail = "file name too long";
    return binding::kCannotLoadLibrary;
  }
  std::memcpy(call.Slot()->data, fileName.c_str(), fileName.size() + 1);
  const char* text = nullptr;
  // Counted before the host can write this load's mark.
  if (Host* h = gHost.load()) h->loadsAsked.fetch_add(1);
  const int32_t code = call.Transact(kOpLoad, fileName.size() + 1, &text);
  if (code != 0) {
    *detail = text != nullptr ? text : "";
    if (code != binding::kFunctionNotFound && code != binding::kCannotLoadLibrary) {
      *detail = "the library host answered " + std::to_string(code);
      return binding::kCannotLoadLibrary;
    }
    return code;
  }
  gForwarding.store(true);
  return 0;
}

void Unload() {
  gForwarding.store(false);
  Host* h = Acquire();
  if (h == nullptr) return;
  h->users.fetch_sub(1);
  try {
    ActiveCall call;
    call.Transact(kOpUnload, 0, nullptr);
  } catch (...) {
    // A host that died meanwhile has freed it.
  }
}

void* HostHandle() {
  return &gHandleMark;
}

void Shutdown() {
  std::lock_guard<std::mutex> lock(gStartLock);
  // The bridge may be unmapped next: no thread that ends later may run its
  // hook, nor may the reader outlive this.
  platform::ForgetThreadEndHooks();
  Host* h = gLatest;
  if (h == nullptr || !h->reader.joinable()) return;
  h->stop.store(true);
  if (!h->dead.load()) platform::KillHost(h->process.pid);
  h->reader.join();
}

int HostPid() {
  Host* h = gHost.load();
  return h != nullptr ? h->process.pid : -1;
}

uint32_t HostsEnded() {
  return gEnded.load();
}

int CallsInFlight() {
  Host* h = Acquire();
  if (h == nullptr) return 0;
  int n = 0;
  for (const CallSlot& s : h->shared->slots) n += s.state.load() == kRequest;
  h->users.fetch_sub(1);
  return n;
}

}  // namespace hostlink
