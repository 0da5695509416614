// The library host's side: the trading library loaded by the bridge's rules,
// a mirror thread per calling bridge thread, and the event ring its own
// callback entry points fill. The host trusts the bridge (its parent).
#include "hostlink/host.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "binding/errors.h"
#include "binding/loader.h"
#include "binding/vendor.h"
#include "hostlink/bridge.h"
#include "hostlink/control.h"
#include "hostlink/marshal.h"
#include "hostlink/shared.h"
#include "platform/cpu.h"
#include "platform/fault_guard.h"
#include "platform/host_link.h"
#include "platform/platform.h"
#include "relay/queue.h"

namespace hostlink {
namespace {

Shared* gShared = nullptr;
std::mutex gRingLock;  // one producer writes at a time

// The box a missing entry would show: its name goes back to the bridge,
// which shows the box in its own process.
thread_local std::string tBoxText;
void CaptureBox(const char* text) {
  tBoxText = text;
}

void ReplyText(CallSlot& s, size_t at, const std::string& text) {
  const size_t n = std::min(text.size(), kSlotData - at - 1);
  std::memcpy(s.data + at, text.data(), n);
  s.resultBytes = static_cast<uint32_t>(n);
}

void LoadLibrary(CallSlot& s) {
  // Every load marks the ring first, loaded or not: the bridge counts marks
  // against its loads to tell this session's events from earlier ones'.
  relay::AddCallback(kSessionMark, nullptr, 0);
  const std::string fileName(reinterpret_cast<const char*>(s.data));
  const size_t after = fileName.size() + 1;
  // Opened once first, so a file that does not load is reported by the
  // bridge alone; then the loader's own rules.
  std::string whyNot;
  platform::LibraryHandle probe = platform::LoadLibraryFile(fileName, &whyNot);
  if (probe == nullptr) {
    s.result = binding::kCannotLoadLibrary;
    ReplyText(s, after, whyNot);
    return;
  }
  tBoxText.clear();
  platform::SetMessageSink(&CaptureBox);
  try {
    binding::LoadAPI(fileName);
    s.result = 0;
    s.resultBytes = kNull;
  } catch (const binding::EQUOR& e) {
    s.result = e.Code;
    const std::string prefix = "Can't find ";
    ReplyText(s, after,
              tBoxText.compare(0, prefix.size(), prefix) == 0 ? tBoxText.substr(prefix.size())
                                                              : tBoxText);
  }
  platform::FreeLibraryHandle(probe);
}

void CallEntry(CallSlot& s) {
  binding::LibraryUse qr = binding::LibraryUse::TryAcquire();
  if (!qr) {
    s.result = binding::kLibraryNotLoaded;
    return;
  }
  switch (s.op) {
#define QR_ENTRY(name, result, params)                                                      \
  case binding::kSlot_##name:                                                               \
    Forwarder<binding::kSlot_##name, binding::slots::name::Signature>::Serve(qr->name, &s); \
    break;
#define QR_AGAIN(name)
#include "binding/entries.def"
    default:
      s.fault = kFailed;
  }
}

void Serve(CallSlot& s) {
  s.fault = 0;
  s.resultBytes = kNull;
  try {
    if (s.op == kOpLoad) {
      LoadLibrary(s);
    } else if (s.op == kOpUnload) {
      binding::UnloadAPI();
      s.result = 0;
    } else if (s.op == kOpControlOpen || s.op == kOpControlClose || s.op >= kControlBase) {
      ServeControl(s);
    } else {
      CallEntry(s);
    }
  } catch (const platform::ProcessorFault& f) {
    s.fault = f.code != 0 && f.code != kFailed ? f.code : 1;
  } catch (...) {
    s.fault = kFailed;
  }
}

// The mirror of one bridge thread: the same thread for every call it makes,
// until the bridge thread ends.
void Mirror(int index) {
  CallSlot& s = gShared->slots[index];
  for (;;) {
    uint32_t state = s.state.load(std::memory_order_acquire);
    for (int i = 0; i < 2000 && state != kRequest && state != kExit; ++i) {
      platform::CpuRelax();
      state = s.state.load(std::memory_order_acquire);
    }
    if (state == kRequest) {
      Serve(s);
      Publish(s, kReply);
    } else if (state == kExit) {
      s.state.store(kFree, std::memory_order_release);
      return;
    } else {
      SleepWhile(s, state, 1000);
    }
  }
}

}  // namespace

void ServeControl(CallSlot& s) {
  // The tests' own references to libraries, as their in-process loads hold.
  static std::mutex lock;
  static platform::LibraryHandle opened[kControlTargets] = {};
  std::unique_lock<std::mutex> held(lock);
  static std::string names[kControlTargets];
  if (s.op == kOpControlOpen) {
    // One target a file: loads of one file share one instance anyway.
    const std::string name(reinterpret_cast<const char*>(s.data));
    s.result = -1;
    for (int i = 0; i < kControlTargets && s.result < 0; ++i)
      if (opened[i] != nullptr && names[i] == name) s.result = i;
    for (int i = 0; i < kControlTargets && s.result < 0; ++i) {
      if (opened[i] != nullptr) continue;
      opened[i] = platform::LoadLibraryFile(name);
      if (opened[i] != nullptr) {
        names[i] = name;
        s.result = i;
      }
      break;
    }
    return;
  }
  if (s.op == kOpControlClose) {
    const uint32_t target = Get32(s.data);
    if (target < kControlTargets && opened[target] != nullptr) {
      platform::FreeLibraryHandle(opened[target]);
      opened[target] = nullptr;
    }
    s.result = 0;
    return;
  }
  const int target = (s.op - kControlBase) / kControlStride;
  if (target >= kControlTargets) {
    s.fault = kFailed;
    return;
  }
  platform::LibraryHandle library = opened[target];
  if (library == nullptr) library = binding::detail::gHandle.load();
  held.unlock();  // a control call may wait for the library's own threads
  switch (kControlBase + (s.op - kControlBase) % kControlStride) {
#define HOST_CONTROL(name, result, params, ...)                                       \
  case kControl_##name: {                                                             \
    using Signature = result params;                                                  \
    auto* fn = reinterpret_cast<Signature*>(platform::ResolveSymbol(library, #name)); \
    if (fn == nullptr) {                                                              \
      s.fault = kFailed;                                                              \
      return;                                                                         \
    }                                                                                 \
    Forwarder<kControl_##name, Signature>::Serve(fn, &s);                             \
    return;                                                                           \
  }
#include "hostlink/control.def"
    default:
      s.fault = kFailed;
  }
}

int RunHost(int socket) {
  MarkInHost();
  Hello hello{};
  int memory = -1;
  if (platform::ReceiveFromSocket(socket, &hello, sizeof hello, 10000, &memory) !=
          static_cast<long>(sizeof hello) ||
      hello.magic != kMagic || hello.bytes != kSharedBytes || memory < 0) {
    std::fprintf(stderr, "javawrapper-host: no bridge to serve\n");
    return 2;
  }
  gShared = static_cast<Shared*>(platform::MapSharedMemory(memory, kSharedBytes));
  platform::CloseDescriptor(memory);
  if (gShared == nullptr || gShared->magic != kMagic) return 2;
  for (;;) {
    StartMirror start{};
    const long n = platform::ReceiveFromSocket(socket, &start, sizeof start, -1);
    if (n <= 0) break;  // the bridge has gone: so does the host
    if (n != sizeof start || start.slot < 0 || start.slot >= kSlots) continue;
    try {
      std::thread(&Mirror, start.slot).detach();
    } catch (...) {
      // No thread: the bridge's call waits; it is answered by nobody.
    }
  }
  std::fflush(stderr);
  std::_Exit(0);
  return 0;
}

}  // namespace hostlink

namespace relay {

// The host's callback entry points queue into the event ring.
void AddCallback(int32_t id, const void* data, int32_t length) noexcept {
  using namespace hostlink;
  if (gShared == nullptr || length < 0) return;
  Ring& ring = gShared->ring;
  const uint64_t need = 8 + ((static_cast<uint64_t>(length) + 7) & ~uint64_t{7});
  std::lock_guard<std::mutex> lock(gRingLock);
  uint64_t head = ring.head.load(std::memory_order_relaxed);
  for (;;) {
    const uint64_t tail = ring.tail.load(std::memory_order_acquire);
    const uint64_t room = kRingBytes - (head % kRingBytes);
    const uint64_t pad = room < need ? room : 0;
    if (kRingBytes - (head - tail) >= pad + need) break;
    // Full: the bridge's reader makes room as its queue takes events.
    const uint32_t seq = ring.spaceSeq.load();
    ring.writersWaiting.store(1);
    if (ring.tail.load() == tail) platform::WaitOnWord(&ring.spaceSeq, seq, 50);
    ring.writersWaiting.store(0);
  }
  if (kRingBytes - (head % kRingBytes) < need) {
    const size_t at = static_cast<size_t>(head % kRingBytes);
    const int32_t pad[2] = {kPad, static_cast<int32_t>(kRingBytes - at - 8)};
    std::memcpy(ring.bytes + at, pad, 8);
    head += kRingBytes - at;
  }
  const size_t at = static_cast<size_t>(head % kRingBytes);
  const int32_t header[2] = {id, length};
  std::memcpy(ring.bytes + at, header, 8);
  if (length > 0 && data != nullptr)
    std::memcpy(ring.bytes + at + 8, data, static_cast<size_t>(length));
  ring.head.store(head + need, std::memory_order_release);
  ring.dataSeq.fetch_add(1);
  if (ring.readerWaiting.load() != 0) platform::WakeWord(&ring.dataSeq);
}

// Reached only from the bridge's side (the host never hosts a host); the
// ring has no byte limit to pass.
void AddSessionEnd(int32_t id) noexcept {
  AddCallback(id, nullptr, 0);
}

}  // namespace relay
