// The trace's buffers as a pool within a memory cap: a thread takes a free
// buffer (one whose thread ended and whose records were all written) before
// a new one is made, and no buffer is made past the cap. Made buffers are
// freed only when the module leaves, so a thread still recording never
// touches freed memory.
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "trace/buffer.h"
#include "trace/trace.h"

namespace trace::detail {

std::atomic<uint64_t> gUnbuffered{0}, gUnbufferedCalls{0};

namespace {

std::atomic<uint64_t> gCap{uint64_t{64} << 20};
std::atomic<uint64_t> gMemory{0};  // bytes of all buffers made
std::atomic<uint64_t> gMade{0};    // buffers made
std::atomic<bool> gWatching{false};
void (*gOnThreadEnd)(void*) = nullptr;

size_t PowerOfTwoAtLeast(size_t n) {
  size_t p = 1024;
  while (p < n) p <<= 1;
  return p;
}

void Own(Buffer* b) {
  b->tid.store(platform::OsThreadId(), std::memory_order_relaxed);
  b->staged = 0;
  b->stageOverflow = false;
  if (gWatching.load(std::memory_order_acquire))
    platform::SetThreadPointer(b, platform::ThreadSlot::kTrace);
}

}  // namespace

void SetMemoryCap(uint64_t bytes) {
  gCap.store(bytes, std::memory_order_relaxed);
}

void SetThreadEndHook(void (*onEnd)(void*)) {
  gOnThreadEnd = onEnd;
}

bool WatchThreadEnds() {
  if (gWatching.load()) return true;
  if (gOnThreadEnd == nullptr ||
      !platform::CreateThreadPointer(gOnThreadEnd, platform::ThreadSlot::kTrace))
    return false;
  gWatching.store(true, std::memory_order_release);
  return true;
}

void ForgetThreadEnds() {
  if (!gWatching.exchange(false)) return;
  platform::DeleteThreadPointer(platform::ThreadSlot::kTrace);
}

Buffer* TakeBuffer() {
  for (Buffer* b = gBuffers.load(std::memory_order_acquire); b != nullptr; b = b->next) {
    int expected = kFree;
    if (b->owner.load(std::memory_order_relaxed) == kFree &&
        b->owner.compare_exchange_strong(expected, kOwned, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
      Own(b);
      return b;
    }
  }
  const size_t capacity = PowerOfTwoAtLeast(gLimit.load(std::memory_order_relaxed));
  const uint64_t bytes = capacity + kStage + sizeof(Buffer);
  uint64_t used = gMemory.load(std::memory_order_relaxed);
  do {
    if (used + bytes > gCap.load(std::memory_order_relaxed)) return nullptr;
  } while (!gMemory.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
  auto* b = new (std::nothrow) Buffer;
  unsigned char* data =
      b != nullptr ? new (std::nothrow) unsigned char[capacity + kStage] : nullptr;
  if (data == nullptr) {
    delete b;
    gMemory.fetch_sub(bytes, std::memory_order_relaxed);
    return nullptr;
  }
  // Touched now, so no page is first written (and faulted in) while a call
  // is being recorded.
  std::memset(data, 0, capacity + kStage);
  b->capacity = capacity;
  b->data = data;
  b->stage = data + capacity;
  Own(b);
  gMade.fetch_add(1, std::memory_order_relaxed);
  Buffer* head = gBuffers.load(std::memory_order_relaxed);
  do {
    b->next = head;
  } while (!gBuffers.compare_exchange_weak(head, b, std::memory_order_release,
                                           std::memory_order_relaxed));
  return b;
}

void Release(Buffer& b) {
  b.named.store(0, std::memory_order_relaxed);
  b.owner.store(kFree, std::memory_order_release);
  gReleases.fetch_add(1, std::memory_order_release);
}

void FreeAllBuffers() {
  Buffer* b = gBuffers.exchange(nullptr);
  while (b != nullptr) {
    Buffer* next = b->next;
    delete[] b->data;
    delete b;
    b = next;
  }
  gMemory.store(0);
  gMade.store(0);
}

}  // namespace trace::detail

namespace trace {

Memory MemoryForTests() {
  Memory m;
  m.bytes = detail::gMemory.load();
  m.buffers = detail::gMade.load();
  for (detail::Buffer* b = detail::gBuffers.load(); b != nullptr; b = b->next)
    if (b->owner.load() == detail::kEnded) ++m.ended;
  return m;
}

}  // namespace trace
