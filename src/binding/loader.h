// The one connection between the bridge and the trading library: its handle
// and the entry table.
//
// Natives never read a slot without holding a LibraryUse. UnloadAPI waits for
// every use to end before it clears the table and frees the library, and no
// use can start once an unload has begun, so a slot that was cleared is never
// called and a native that passed the guard finishes on a loaded library.
// Taking a use never blocks, so a trading library thread may take one inside a
// callback while the library is being unloaded.
#pragma once

#include <string>

#include "binding/vendor.h"

namespace binding {

// Holds the library loaded while it lives. Move-only; an empty use (the
// library was not loaded) tests false and grants nothing.
class LibraryUse {
 public:
  LibraryUse() = default;
  ~LibraryUse() { Release(); }
  LibraryUse(LibraryUse&& other) noexcept : held_(other.held_) { other.held_ = false; }
  LibraryUse& operator=(LibraryUse&& other) noexcept;
  LibraryUse(const LibraryUse&) = delete;
  LibraryUse& operator=(const LibraryUse&) = delete;

  explicit operator bool() const { return held_; }
  // The table, valid for as long as this use is held.
  const EntryTable& operator*() const;
  const EntryTable* operator->() const { return &**this; }

  static LibraryUse TryAcquire();  // never throws, never blocks

 private:
  void Release();
  bool held_ = false;
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

// For tests: a snapshot of the table as raw addresses, in slot order.
void SnapshotEntryTable(void* out[kEntrySlots]);

}  // namespace binding

namespace binding {
// UnloadAPI for the bridge's own unloading: gives up (leaving the library to
// the ending process, and answering false) when the loader lock or a use is
// not free within the timeout, so a thread stuck inside the trading library,
// or a logoff waiting for one, cannot hang the JVM's exit.
bool UnloadAPIAtDetach(unsigned timeoutMs);
}  // namespace binding
