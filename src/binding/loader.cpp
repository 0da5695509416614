#include "binding/loader.h"

#include <atomic>
#include <cstring>
#include <mutex>

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
std::mutex gLoaderMutex;  // one LoadAPI or UnloadAPI at a time

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
  // The handle is examined at most 100 times, 100 ms apart; an unload on
  // another thread (a logoff in progress) lets the load go ahead at once.
  for (int counter = 100;;) {
    {
      std::lock_guard<std::mutex> lock(gLoaderMutex);
      if (gHandle.load() == nullptr) {
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
    platform::SleepMs(100);
    if (--counter == 0) throw EQUOR(kLibraryAlreadyLoaded);
  }
}

namespace {
bool Unload(unsigned timeoutMs) {
  std::lock_guard<std::mutex> lock(gLoaderMutex);
  platform::LibraryHandle library = gHandle.load();
  if (library == nullptr) return true;
  gClosing.store(true);
  // Uses that began before gClosing finish their call on the loaded library.
  for (unsigned waited = 0; gUses.load() > 0; ++waited) {
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

void UnloadAPIAtDetach(unsigned timeoutMs) {
  Unload(timeoutMs);
}

void SnapshotEntryTable(void* out[kEntrySlots]) {
  std::memcpy(out, &gTable, sizeof gTable);
}

}  // namespace binding
