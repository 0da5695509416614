#include "binding/loader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "binding/errors.h"
#include "binding/report.h"
#include "hostlink/bridge.h"
#include "platform/platform.h"
#include "trace/trace.h"

namespace binding {

// All of this state is trivially destructible: the bridge's own unload hook
// may run after the module's static objects are gone.
namespace detail {
EntryTable gTable{};
std::atomic<void*> gHandle{nullptr};
std::atomic<bool> gClosing{false};
std::atomic<bool> gFullFences{JW_PLAIN_GUARD != 0};
std::atomic<bool> gSlotsReady{false};
UseSlot gSharedSlot{.shared = true};
}  // namespace detail

using detail::gClosing;
using detail::gHandle;
using detail::gTable;
using detail::UseSlot;

namespace {
using Clock = std::chrono::steady_clock;

// Milliseconds from now until deadline, never negative.
unsigned MsLeft(Clock::time_point deadline) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return ms > 0 ? static_cast<unsigned>(ms) : 0u;
}

// A lock on a flag, polled every millisecond rather than a mutex: it can be
// given up at a deadline, and it is trivially destructible, so the module's
// unload hook may take it after static objects are gone. Loads, unloads and
// a thread's first use are rare enough that polling costs nothing. The bound
// is read off the monotonic clock, never counted in sleeps: a sleep of one
// millisecond lasts a whole timer tick on some systems.
class FlagLock {
 public:
  // Waits without limit (no deadline) or until the deadline.
  explicit FlagLock(std::atomic<bool>& flag, const Clock::time_point* deadline = nullptr)
      : flag_(flag) {
    for (;;) {
      bool expected = false;
      if (flag_.compare_exchange_strong(expected, true)) {
        held_ = true;
        return;
      }
      if (deadline != nullptr && Clock::now() >= *deadline) return;
      platform::SleepMs(1);
    }
  }
  ~FlagLock() {
    if (held_) flag_.store(false);
  }
  FlagLock(const FlagLock&) = delete;
  FlagLock& operator=(const FlagLock&) = delete;
  explicit operator bool() const { return held_; }

 private:
  std::atomic<bool>& flag_;
  bool held_ = false;
};

// Every thread slot ever made, for unloads to look at; slots of threads that
// ended wait in gFreeSlots for the next new thread. Never freed: a thread may
// still hold a pointer to its slot while the module leaves.
std::atomic<bool> gRegistryBusy{false};  // guards the lists; held briefly
UseSlot* gSlots = nullptr;
UseSlot* gFreeSlots = nullptr;
bool gNoThreadPointer = false;  // the system gave no key: every thread shares
bool gFencePrepared = false;

// A thread that ends gives its slot back; it holds no use by then. Freeing
// the key (Windows runs this for every live thread then) may find a thread
// still inside a call that an unload gave up on: its slot stays its own, or
// the next thread to register would share its count.
// The registry lock held.
void FreeSlot(UseSlot* s) {
  platform::ForgetThread(s->owner);
  s->owner = nullptr;
  s->nextFree = gFreeSlots;
  gFreeSlots = s;
}

void OnThreadExit(void* slot) {
  FlagLock lock(gRegistryBusy);
  auto* s = static_cast<UseSlot*>(slot);
  if (s->depth.load(std::memory_order_acquire) != 0) return;
  FreeSlot(s);
}

// Whether any thread holds a use; the registry lock held. A thread that
// ended inside a call without its exit hook (a library ended it, or the
// system did after an overflow it could not handle) holds its uses for
// good: its slot is taken back, so no unload waits for it for ever.
bool AnyUse() {
  if (detail::gSharedSlot.depth.load() != 0) return true;
  bool any = false;
  for (UseSlot* s = gSlots; s != nullptr; s = s->next) {
    if (s->depth.load(std::memory_order_acquire) == 0) continue;
    if (platform::ThreadEnded(s->owner)) {
      s->depth.store(0);
      FreeSlot(s);
      continue;
    }
    any = true;
  }
  return any;
}
}  // namespace

namespace detail {
UseSlot* RegisterThisThread() {
  FlagLock lock(gRegistryBusy);
  if (gNoThreadPointer) return &gSharedSlot;
  if (!gSlotsReady.load()) {
    if (!platform::CreateThreadPointer(&OnThreadExit)) {
      gNoThreadPointer = true;
      return &gSharedSlot;
    }
    gSlotsReady.store(true, std::memory_order_release);
  }
  if (void* mine = platform::GetThreadPointer()) return static_cast<UseSlot*>(mine);
  UseSlot* slot = gFreeSlots;
  if (slot != nullptr) {
    gFreeSlots = slot->nextFree;
  } else {
    slot = new (std::nothrow) UseSlot;
    if (slot == nullptr) return &gSharedSlot;  // this call shares; the next tries again
    slot->next = gSlots;
    gSlots = slot;
  }
  slot->owner = platform::OpenThisThread();
  platform::SetThreadPointer(slot);
  return slot;
}
}  // namespace detail

namespace {
// One LoadAPI or UnloadAPI at a time: gLoaderBusy, taken with FlagLock (the
// exit path must be able to give up after a bound while a logoff holds it
// waiting for a stuck library call).
std::atomic<bool> gLoaderBusy{false};

// Set once a free (a log-off's too) left the library loaded by another
// module: it still holds the bridge's callbacks and may call them whenever
// it likes, so every later unload of the bridge answers kHeldElsewhere.
std::atomic<bool> gFreedWhileHeld{false};

// The first load asks the system for the asymmetric fence; true when it
// refused (then every use takes a full fence, and the caller says so once).
bool PrepareFence() {
  if (gFencePrepared || detail::gFullFences.load()) return false;
  gFencePrepared = true;
  if (platform::PrepareHeavyFence()) return false;
  detail::gFullFences.store(true);
  return true;
}

// Stores the address of name into the slot, or shows the box and raises 53.
template <typename Slot>
void ResolveEntry(platform::LibraryHandle library, Slot& slot, const char* name) {
  slot = reinterpret_cast<Slot>(platform::ResolveSymbol(library, name));
  if (slot == nullptr) {
    const std::string text = std::string("Can't find ") + name;
    platform::ShowErrorBox(text.c_str());
    throw EQUOR(kFunctionNotFound);
  }
}

// A 55 says only "Cannot load library"; the file tried and the system's
// reason go where a person finds them with no trading library to log
// through: one line on standard error, and the trace when it is on.
void ReportLoadFailure(const std::string& fileName, const std::string& whyNot) {
  std::string text = "Cannot load ";
  text.append(fileName).append(": ").append(whyNot);
  Report(text);
  if (trace::On()) trace::Funnel("LoadAPI", text);
}

void ResolveAll(platform::LibraryHandle library) {
#define QR_ENTRY(name, result, params) ResolveEntry(library, gTable.name.fn, #name);
#define QR_AGAIN(name) ResolveEntry(library, gTable.name.fn, #name);
#include "binding/entries.def"
}

// Never called: a library in the host leaves no address in a slot, and a
// slot forwards while it is loaded there (hostlink/marshal.h).
void UnreachableEntry() {}

// The library loaded in its host process: the bridge decides 53 and 55 from
// the host's answer, and shows the box or the line itself, in this process.
platform::LibraryHandle LoadInHost(const std::string& fileName) {
  std::string detail;
  const int32_t code = hostlink::Load(fileName, &detail);
  if (code == kCannotLoadLibrary) {
    ReportLoadFailure(fileName, detail);
    throw EQUOR(kCannotLoadLibrary);
  }
  if (code == kFunctionNotFound) {
    const std::string text = "Can't find " + detail;
    platform::ShowErrorBox(text.c_str());
    throw EQUOR(kFunctionNotFound);
  }
  ClearEntryTable();
#define QR_ENTRY(name, result, params) \
  gTable.name.fn =                     \
      reinterpret_cast<decltype(gTable.name.fn)>(reinterpret_cast<void*>(&UnreachableEntry));
#define QR_AGAIN(name)
#include "binding/entries.def"
  return hostlink::HostHandle();
}

}  // namespace

namespace {
// The last step of every unload, with no use left: the table cleared and the
// library freed. A free that leaves it held by another module is remembered.
bool FreeClosedLibrary(platform::LibraryHandle library) {
  ClearEntryTable();
  bool gone = true;
  if (library == hostlink::HostHandle()) {
    hostlink::Unload();
  } else {
    gone = platform::FreeLibraryHandle(library);
  }
  if (!gone) gFreedWhileHeld.store(true);
  gHandle.store(nullptr);
  gClosing.store(false);
  return gone;
}

// A bridge unloading itself gives up on a call stuck in the library and
// leaves the library closing (no new use is granted; the bridge stays mapped
// and loads again): once that call has ended, the next load frees it
// instead of refusing with 54 for as long as the process lives. Under the
// loader lock.
void FinishUnloadLeftClosing() {
  platform::LibraryHandle library = gHandle.load();
  if (library == nullptr || !gClosing.load()) return;
  {
    FlagLock registry(gRegistryBusy);
    if (AnyUse()) return;  // still inside: the load waits within its bound
  }
  FreeClosedLibrary(library);
}
}  // namespace

LibraryUse& LibraryUse::operator=(LibraryUse&& other) noexcept {
  if (this != &other) {
    Release();
    slot_ = other.slot_;
    other.slot_ = nullptr;
  }
  return *this;
}

LibraryUse CheckAPILoaded() {
  LibraryUse use = LibraryUse::TryAcquire();
  if (!use) throw EQUOR(kLibraryNotLoaded);
  return use;
}

bool IsAPILoaded() {
  return !gClosing.load() && gHandle.load() != nullptr;
}

void ClearEntryTable() {
  std::memset(static_cast<void*>(&gTable), 0, sizeof gTable);
}

void LoadAPI(const std::string& fileName) {
  // An earlier library gets about ten seconds to go, and no longer: the wait
  // for the loader lock counts too, so an unload stuck behind a library call
  // cannot hold an initialise beyond the bound. Looked at every 100 ms.
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
  bool announced = false;
  // A front-end meets this wait by calling initialise again without logoff;
  // it is said once, as it begins, where a person looks: the thread seems
  // frozen meanwhile.
  auto announce = [&announced] {
    if (announced) return;
    announced = true;
    Report(
        "initialise waits up to 10 s for the library loaded earlier to be unloaded "
        "(call logoff first); it gives 54 if that library is still loaded then");
  };
  for (;;) {
    if (gLoaderBusy.load()) announce();  // an unload (or another load) holds the loader
    {
      FlagLock lock(gLoaderBusy, &deadline);
      if (lock) FinishUnloadLeftClosing();
      if (lock && gHandle.load() == nullptr && hostlink::Wanted(fileName)) {
        platform::LibraryHandle library = LoadInHost(fileName);
        const bool refused = PrepareFence();
        gHandle.store(library);
        if (refused) {
          ErrorFunnel(
              " The system refuses the asymmetric fence: the unload guard takes full "
              "fences instead",
              "LoadAPI");
        }
        return;
      }
      if (lock && gHandle.load() == nullptr) {
        std::string whyNot;
        platform::LibraryHandle library = platform::LoadLibraryFile(fileName, &whyNot);
        if (library == nullptr) {
          ReportLoadFailure(fileName, whyNot);
          throw EQUOR(kCannotLoadLibrary);
        }
        try {
          ClearEntryTable();
          ResolveAll(library);
        } catch (...) {
          // Nothing was published: no use can exist, so undo directly.
          ClearEntryTable();
          platform::FreeLibraryHandle(library);
          throw;
        }
        const bool refused = PrepareFence();
        gHandle.store(library);  // publishes the filled table to new uses
        if (refused) {
          ErrorFunnel(
              " The system refuses the asymmetric fence: the unload guard takes full "
              "fences instead",
              "LoadAPI");
        }
        return;
      }
    }
    const unsigned left = MsLeft(deadline);
    if (left == 0) throw EQUOR(kLibraryAlreadyLoaded);
    announce();
    platform::SleepMs(std::min(left, 100u));
  }
}

namespace {
// With a deadline, the whole unload (the loader lock included) is bounded by
// it: kLeft means the library was left to the ending process.
Unloaded Unload(const Clock::time_point* deadline) {
  FlagLock lock(gLoaderBusy, deadline);
  if (!lock) return Unloaded::kLeft;
  platform::LibraryHandle library = gHandle.load();
  if (library == nullptr)
    return gFreedWhileHeld.load() ? Unloaded::kHeldElsewhere : Unloaded::kGone;
  gClosing.store(true);
  // Every use that announced itself before gClosing is visible after the
  // fence, and every later one sees gClosing. Those seen finish their call
  // on the loaded library.
  if (!detail::gFullFences.load()) platform::HeavyFence();
  for (;;) {
    {
      FlagLock registry(gRegistryBusy);
      if (!AnyUse()) break;
    }
    if (deadline != nullptr && Clock::now() >= *deadline) return Unloaded::kLeft;  // stays closing
    platform::SleepMs(1);
  }
  return FreeClosedLibrary(library) ? Unloaded::kGone : Unloaded::kHeldElsewhere;
}
}  // namespace

void UnloadAPI() {
  Unload(nullptr);
}

const void* ThisThreadToken() {
  return detail::ThisThreadSlot();
}

// The mark reads the count before the depth and the end reads them the other
// way round: a use that ended between the two readings, even one followed by
// another, always shows in the count (its end is counted before its depth
// falls, and a later use's depth is published with release).
LibraryCallMark MarkLibraryCall(const void* token) {
  LibraryCallMark mark;
  if (token == nullptr) return mark;
  const auto* slot = static_cast<const UseSlot*>(token);
  mark.ended = slot->ended.load(std::memory_order_acquire);
  mark.inside = slot->depth.load(std::memory_order_acquire) != 0;
  return mark;
}

bool InOneLibraryCall(const void* token, LibraryCallMark since) {
  if (token == nullptr || !since.inside) return false;
  const auto* slot = static_cast<const UseSlot*>(token);
  return slot->depth.load(std::memory_order_acquire) != 0 &&
         slot->ended.load(std::memory_order_acquire) == since.ended;
}

Unloaded UnloadAPIWithin(std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  return Unload(&deadline);
}

void ReleaseThreadSlots() {
  {
    FlagLock registry(gRegistryBusy);
    if (!detail::gSlotsReady.load()) return;
    detail::gSlotsReady.store(false);
  }
  // Outside the registry lock: freeing the key runs the thread-end hook,
  // which takes that lock, for every thread that still has a slot (Windows
  // does so synchronously, on this thread, under the loader lock).
  platform::DeleteThreadPointer();
}

void SnapshotEntryTable(void* out[kEntrySlots]) {
  std::memcpy(out, &gTable, sizeof gTable);
}

}  // namespace binding
