#include "binding/loader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

#include "binding/errors.h"
#include "platform/platform.h"

namespace binding {
namespace {

// All of this state is trivially destructible: the bridge's own unload hook
// may run after the module's static objects are gone.
std::atomic<platform::LibraryHandle> gHandle{nullptr};
std::atomic<int> gUses{0};
std::atomic<bool> gClosing{false};
EntryTable gTable{};

// One LoadAPI or UnloadAPI at a time. A flag polled every millisecond rather
// than a mutex: the exit path must be able to give up after a bound while a
// logoff holds it waiting for a stuck library call, and loads and unloads
// are rare enough that polling costs nothing.
std::atomic<bool> gLoaderBusy{false};

class LoaderLock {
 public:
  // Waits without limit (timeoutMs 0) or up to timeoutMs for the lock.
  explicit LoaderLock(unsigned timeoutMs = 0) {
    for (unsigned waited = 0;; ++waited) {
      bool expected = false;
      if (gLoaderBusy.compare_exchange_strong(expected, true)) {
        held_ = true;
        return;
      }
      if (timeoutMs != 0 && waited >= timeoutMs) return;
      platform::SleepMs(1);
    }
  }
  ~LoaderLock() {
    if (held_) gLoaderBusy.store(false);
  }
  LoaderLock(const LoaderLock&) = delete;
  LoaderLock& operator=(const LoaderLock&) = delete;
  explicit operator bool() const { return held_; }

 private:
  bool held_ = false;
};

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

void ResolveAll(platform::LibraryHandle library) {
#define QR_ENTRY(name, result, params) ResolveEntry(library, gTable.name.fn, #name);
#define QR_AGAIN(name) ResolveEntry(library, gTable.name.fn, #name);
#include "binding/entries.def"
}

}  // namespace

LibraryUse& LibraryUse::operator=(LibraryUse&& other) noexcept {
  if (this != &other) {
    Release();
    held_ = other.held_;
    other.held_ = false;
  }
  return *this;
}

const EntryTable& LibraryUse::operator*() const {
  return gTable;
}

LibraryUse LibraryUse::TryAcquire() {
  LibraryUse use;
  // Announce the use first, then look: an unload sets gClosing before it
  // counts uses, so one of the two always sees the other.
  gUses.fetch_add(1);
  if (gClosing.load() || gHandle.load() == nullptr) {
    gUses.fetch_sub(1);
    return use;
  }
  use.held_ = true;
  return use;
}

void LibraryUse::Release() {
  if (!held_) return;
  held_ = false;
  gUses.fetch_sub(1);
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
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
  auto left = [&] {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return ms > 0 ? static_cast<unsigned>(ms) : 0u;
  };
  for (;;) {
    {
      LoaderLock lock(std::max(left(), 1u));
      if (lock && gHandle.load() == nullptr) {
        platform::LibraryHandle library = platform::LoadLibraryFile(fileName);
        if (library == nullptr) throw EQUOR(kCannotLoadLibrary);
        try {
          ClearEntryTable();
          ResolveAll(library);
        } catch (...) {
          // Nothing was published: no use can exist, so undo directly.
          ClearEntryTable();
          platform::FreeLibraryHandle(library);
          throw;
        }
        gHandle.store(library);  // publishes the filled table to new uses
        return;
      }
    }
    if (left() == 0) throw EQUOR(kLibraryAlreadyLoaded);
    platform::SleepMs(std::min(left(), 100u));
  }
}

namespace {
// With a timeout, the whole unload (the loader lock included) is bounded by
// it: false means the library was left to the ending process.
bool Unload(unsigned timeoutMs) {
  unsigned waited = 0;
  LoaderLock lock(timeoutMs);
  if (!lock) return false;
  platform::LibraryHandle library = gHandle.load();
  if (library == nullptr) return true;
  gClosing.store(true);
  // Uses that began before gClosing finish their call on the loaded library.
  for (; gUses.load() > 0; ++waited) {
    if (timeoutMs != 0 && waited >= timeoutMs) return false;  // stays closing
    platform::SleepMs(1);
  }
  ClearEntryTable();
  platform::FreeLibraryHandle(library);
  gHandle.store(nullptr);
  gClosing.store(false);
  return true;
}
}  // namespace

void UnloadAPI() {
  Unload(0);
}

bool UnloadAPIAtDetach(unsigned timeoutMs) {
  return Unload(timeoutMs);
}

void SnapshotEntryTable(void* out[kEntrySlots]) {
  std::memcpy(out, &gTable, sizeof gTable);
}

}  // namespace binding
