// The one connection between the bridge and the trading library: its handle
// and the entry table.
//
// Natives never read a slot without holding a LibraryUse. UnloadAPI waits for
// every use to end before it clears the table and frees the library, and no
// use can start once an unload has begun, so a slot that was cleared is never
// called and a native that passed the guard finishes on a loaded library.
// Taking a use never blocks, so a trading library thread may take one inside a
// callback while the library is being unloaded.
//
// Taking and ending a use are plain stores to a slot of the calling thread's
// own, ordered only by the compiler: no locked instruction on the hot path.
// The rare unload pays for the ordering instead, with an asymmetric fence
// (platform::HeavyFence) between announcing that it closes and looking at the
// slots. Where the system refuses that fence, and in the ThreadSanitizer
// build (which cannot see it), every use takes a full fence instead.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "binding/vendor.h"
#include "platform/platform.h"

#if defined(__SANITIZE_THREAD__)
#define JW_PLAIN_GUARD 1
#else
#define JW_PLAIN_GUARD 0
#endif

namespace binding {

namespace detail {
// One thread's uses of the library: written only by its thread, read by an
// unload. A line of its own, so threads never share one.
struct alignas(64) UseSlot {
  std::atomic<uint32_t> depth{0};
  // Outermost uses ended (every use, in the shared slot): with depth, tells
  // another thread whether one and the same call spanned a while.
  std::atomic<uint32_t> ended{0};
  bool shared = false;          // the fallback slot of threads that could get none
  UseSlot* next = nullptr;      // every slot, for an unload to look at
  UseSlot* nextFree = nullptr;  // slots of threads that ended
  void* owner = nullptr;        // its thread, held while it has the slot
};

extern EntryTable gTable;
extern std::atomic<void*> gHandle;
extern std::atomic<bool> gClosing;
extern std::atomic<bool> gFullFences;  // the system refused the asymmetric fence
extern std::atomic<bool> gSlotsReady;
extern UseSlot gSharedSlot;

UseSlot* RegisterThisThread();  // the slow path: the thread's first use

inline UseSlot* ThisThreadSlot() {
  if (!gSlotsReady.load(std::memory_order_acquire)) return RegisterThisThread();
  void* slot = platform::GetThreadPointer();
  return slot != nullptr ? static_cast<UseSlot*>(slot) : RegisterThisThread();
}

// Announces or ends a use in the thread's slot.
inline void Enter(UseSlot* slot) {
  if (slot->shared) {
    slot->depth.fetch_add(1, std::memory_order_seq_cst);
  } else if (JW_PLAIN_GUARD) {
    slot->depth.store(slot->depth.load(std::memory_order_relaxed) + 1, std::memory_order_seq_cst);
  } else {
    // Release (a plain store on x86, like relaxed): a reader that sees this
    // use begun also sees the end of the one before it (InOneLibraryCall).
    slot->depth.store(slot->depth.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    // The store must be visible before gClosing is read: the unload's heavy
    // fence orders it, or a full fence where the system has none.
    if (gFullFences.load(std::memory_order_relaxed)) {
      std::atomic_thread_fence(std::memory_order_seq_cst);
    } else {
      std::atomic_signal_fence(std::memory_order_seq_cst);
    }
  }
}

inline void Leave(UseSlot* slot) {
  if (slot->shared) {
    slot->ended.fetch_add(1, std::memory_order_seq_cst);
    slot->depth.fetch_sub(1, std::memory_order_seq_cst);
  } else {
    const uint32_t depth = slot->depth.load(std::memory_order_relaxed) - 1;
    // The count first: a reader that sees the use over sees it counted.
    if (depth == 0)
      slot->ended.store(slot->ended.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    // Everything the use did happens before the slot says it is over.
    slot->depth.store(depth, std::memory_order_release);
  }
}

inline bool Open() {
  constexpr auto order = JW_PLAIN_GUARD ? std::memory_order_seq_cst : std::memory_order_relaxed;
  return !gClosing.load(order) && gHandle.load(std::memory_order_acquire) != nullptr;
}
}  // namespace detail

// Holds the library loaded while it lives. Move-only; an empty use (the
// library was not loaded) tests false and grants nothing.
class LibraryUse {
 public:
  LibraryUse() = default;
  ~LibraryUse() { Release(); }
  LibraryUse(LibraryUse&& other) noexcept : slot_(other.slot_) { other.slot_ = nullptr; }
  LibraryUse& operator=(LibraryUse&& other) noexcept;
  LibraryUse(const LibraryUse&) = delete;
  LibraryUse& operator=(const LibraryUse&) = delete;

  explicit operator bool() const { return slot_ != nullptr; }
  // The table, valid for as long as this use is held.
  const EntryTable& operator*() const { return detail::gTable; }
  const EntryTable* operator->() const { return &**this; }

  // Never throws, never blocks: announce the use first, then look, so an
  // unload and a use always see each other. Seam::Between runs between the
  // two steps: tests put an unload there to make the race happen every
  // time; the default seam is empty and costs nothing.
  struct NoSeam {
    static void Between() {}
  };
  template <typename Seam = NoSeam>
  static LibraryUse TryAcquire() {
    LibraryUse use;
    detail::UseSlot* slot = detail::ThisThreadSlot();
    detail::Enter(slot);
    Seam::Between();
    if (detail::Open()) {
      use.slot_ = slot;
    } else {
      detail::Leave(slot);
    }
    return use;
  }

 private:
  void Release() {
    if (slot_ == nullptr) return;
    detail::Leave(slot_);
    slot_ = nullptr;
  }
  detail::UseSlot* slot_ = nullptr;
};

// The loaded guard: a use of the loaded library, or EQUOR 52.
[[nodiscard]] LibraryUse CheckAPILoaded();

// Waits up to about 10 s for an earlier library to be unloaded (then EQUOR
// 54), loads fileName exactly as given (EQUOR 55) and resolves every entry
// (EQUOR 53 after the "Can't find " box, with the library unloaded again).
void LoadAPI(const std::string& fileName);

// Waits for running uses to end, clears the table, frees the library. Does
// nothing when none is loaded. Must not be called while this thread holds a
// LibraryUse: it would wait for itself (logoff releases its use first).
void UnloadAPI();

// Zeroes every slot. Only the loader calls it, and only while no use exists.
void ClearEntryTable();

// True while a library is loaded and not being unloaded.
bool IsAPILoaded();

// The calling thread as InOneLibraryCall knows it: a token that stays readable for
// as long as the bridge is loaded (a thread's slot is reused, never freed).
const void* ThisThreadToken();
// Whether one and the same call to the trading library by the token's thread
// spans a while: Mark at its start, then InOneLibraryCall at its end. The
// queue asks it of its pump over a stall: a handler whose own call into the
// library waits for a lock a library thread holds while it calls back is how
// the pump comes to wait for a producer, and such a call never ends while it
// waits. A handler that only goes in and out of short calls is not waiting.
struct LibraryCallMark {
  uint32_t ended = 0;
  bool inside = false;
};
LibraryCallMark MarkLibraryCall(const void* token);
bool InOneLibraryCall(const void* token, LibraryCallMark since);

// The bridge leaving the process: no thread-end hook of this module may run
// after it. Threads keep their slots; a later load makes a new key.
void ReleaseThreadSlots();

// For tests: a snapshot of the table as raw addresses, in slot order.
void SnapshotEntryTable(void* out[kEntrySlots]);

}  // namespace binding

namespace binding {
// How the bridge's own unloading left the trading library.
enum class Unloaded {
  kGone,           // it has left the process (none was loaded, and none freed was held)
  kHeldElsewhere,  // freed by the bridge (now or at a log-off), but another module kept it
  kLeft,           // a use or the loader lock outlived the deadline: left loaded
};

// UnloadAPI for the bridge's own unloading: gives up (leaving the library to
// the ending process) when the loader lock or a use is not free by the
// deadline, so a thread stuck inside the trading library, or a logoff
// waiting for one, cannot hang the JVM's unloading or exit. Anything but
// kGone means the library's threads may still call the bridge's callbacks.
Unloaded UnloadAPIWithin(std::chrono::milliseconds timeout);
}  // namespace binding
