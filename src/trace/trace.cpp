// The recording side of the trace and its control (Start, Stop, Shutdown).
// A record is a few stores into the calling thread's own buffer; all
// formatting and all file work belong to the writer (writer.cpp).
#include "trace/trace.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/cpu.h"
#include "platform/platform.h"
#include "trace/buffer.h"
#include "trace/writer.h"

namespace trace {

std::atomic<bool> gOn{false};

namespace detail {
std::atomic<Buffer*> gBuffers{nullptr};
std::atomic<size_t> gLimit{size_t{256} << 10};
std::atomic<uint32_t> gSession{0};
std::atomic<uint64_t> gReleases{0};
std::atomic<uint64_t> gQueueDropped{0};
}  // namespace detail

namespace {

using namespace detail;

constexpr uint64_t kDefaultMaxMb = 256;
constexpr uint64_t kDefaultRingMb = 32;
constexpr uint64_t kDefaultBufferKb = 256;
constexpr uint64_t kDefaultMemoryMb = 64;
// The largest settings taken: 1 TiB, and 1 GiB for a thread's buffer (a
// power of two a 32-bit size holds).
constexpr uint64_t kMostMb = uint64_t{1} << 20, kMostBufferKb = uint64_t{1} << 20;
constexpr int32_t kForcedLogout = 6;
// How long logoff and unload wait for the writer: while it makes progress
// up to kMostBound, and kStallBound after its last progress; at exit and
// under the Windows loader lock kExitBound in all.
constexpr std::chrono::milliseconds kStallBound{2000}, kMostBound{10000}, kExitBound{2000};

// Start, Stop and Shutdown, one at a time; never held while waiting for the
// writer, so no native and no pump waits for the disk.
std::mutex gControl;
std::atomic<Writer*> gWriter{nullptr};  // atomic: read at exit without the lock
uint32_t gSessions = 0;
std::atomic<JavaVM*> gVm{nullptr};   // the JVM of the last initialise, for threads' names
std::atomic<bool> gAllTexts{false};  // JAVAWRAPPER_TRACE_TEXTS=all: no credential hidden

// Trivially destructible, so a thread that recorded pins nothing and runs no
// code of this module when it ends. A buffer freed by Shutdown(false) leaves
// a stale pointer behind: the generation tells it apart.
// One block, so a record looks its thread's state up once.
struct Local {
  Buffer* buffer = nullptr;
  uint32_t generation = 0;
  int secret = 0;            // texts and records
  int secretNumbers = 0;     // numbers too
  uint64_t triedAt = ~0ull;  // gReleases when no buffer could be had
  uint32_t triedIn = 0;      // ... and gSession (a new trace may have a larger cap)
};
thread_local Local tLocal;
std::atomic<uint32_t> gGeneration{1};

// The calling thread ends (its trace slot's hook): its buffer goes to the
// writer, which writes what it holds and frees it for another thread.
void OnThreadEnd(void* buffer) {
  if (tLocal.buffer == buffer) tLocal.buffer = nullptr;
  static_cast<Buffer*>(buffer)->owner.store(kEnded, std::memory_order_release);
}

// The Java name of the calling thread, asked once: a thread the JVM does not
// know (a trading library's own) has none. Called only at a record's start,
// so no JNI critical region is open; a pending exception postpones it.
void LearnName(Buffer& b) {
  JavaVM* vm = gVm.load(std::memory_order_relaxed);
  JNIEnv* env = nullptr;
  if (vm == nullptr || vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_6) != JNI_OK) {
    b.named.store(1, std::memory_order_release);
    return;
  }
  if (env->ExceptionCheck()) return;  // asked again at the next record
  int state = 1;
  jclass thread = env->FindClass("java/lang/Thread");
  if (thread != nullptr) {
    jmethodID current = env->GetStaticMethodID(thread, "currentThread", "()Ljava/lang/Thread;");
    jmethodID getName = env->GetMethodID(thread, "getName", "()Ljava/lang/String;");
    jobject self = current != nullptr && getName != nullptr
                       ? env->CallStaticObjectMethod(thread, current)
                       : nullptr;
    jstring name = self != nullptr && !env->ExceptionCheck()
                       ? static_cast<jstring>(env->CallObjectMethod(self, getName))
                       : nullptr;
    if (name != nullptr && !env->ExceptionCheck()) {
      if (const char* chars = env->GetStringUTFChars(name, nullptr)) {
        std::snprintf(b.name, sizeof b.name, "%s", chars);
        env->ReleaseStringUTFChars(name, chars);
        state = 2;
      }
    }
    if (name != nullptr) env->DeleteLocalRef(name);
    if (self != nullptr) env->DeleteLocalRef(self);
    env->DeleteLocalRef(thread);
  }
  if (env->ExceptionCheck()) env->ExceptionClear();  // ours, not the caller's
  b.named.store(state, std::memory_order_release);
}

// The calling thread's buffer, taken at its first record (from the pool or
// made, within the cap). nullptr when none can be had: then tried again only
// once the writer has freed one, or in the next trace.
Buffer* Adopt(Local& local) {
  const uint64_t releases = gReleases.load(std::memory_order_acquire);
  const uint32_t generation = gGeneration.load(std::memory_order_relaxed);
  const uint32_t session = gSession.load(std::memory_order_relaxed);
  if (local.buffer == nullptr && local.generation == generation && local.triedAt == releases &&
      local.triedIn == session)
    return nullptr;
  local.generation = generation;
  local.buffer = TakeBuffer();
  local.triedAt = local.buffer == nullptr ? releases : ~0ull;
  local.triedIn = session;
  return local.buffer;
}

// The calling thread's buffer; nullptr (and the record counted) when it has
// none.
inline Buffer* Mine(Local& local, bool forRecord = true) {
  Buffer* b = local.buffer;
  if (b == nullptr || local.generation != gGeneration.load(std::memory_order_relaxed)) {
    b = Adopt(local);
    if (b == nullptr) {
      if (forRecord) gUnbuffered.fetch_add(1, std::memory_order_relaxed);
      return nullptr;
    }
  }
  if (b->named.load(std::memory_order_relaxed) == 0) LearnName(*b);
  return b;
}

// Room for a record of `size` bytes (a multiple of 8) in b, contiguous;
// nullptr when the ring has no room. The record becomes visible to the
// writer at Publish.
inline unsigned char* Reserve(Buffer& b, size_t size, uint64_t* newHead) {
  const uint64_t head = b.head.load(std::memory_order_relaxed);
  const uint64_t tail = b.tail.load(std::memory_order_acquire);
  const size_t usable = std::min(b.capacity, gLimit.load(std::memory_order_relaxed));
  const size_t at = static_cast<size_t>(head) & (b.capacity - 1);
  const size_t toEnd = b.capacity - at;
  const size_t pad = size > toEnd ? toEnd : 0;
  if (head + pad + size - tail > usable) return nullptr;
  if (pad != 0) {
    Header h{static_cast<uint32_t>(pad), kPad, 0};
    std::memcpy(b.data + at, &h, sizeof h);
  }
  *newHead = head + pad + size;
  return b.data + (pad != 0 ? 0 : at);
}

inline void Publish(Buffer& b, uint64_t newHead) {
  b.head.store(newHead, std::memory_order_release);
}

void Bump(std::atomic<uint64_t>& counter, uint64_t n = 1) {
  counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// Builds the record in place in the ring (no copy through the stack, whose
// narrow stores a wide copy would stall on). For records that stand alone.
template <typename Record, typename... Fields>
void PutFixed(Buffer* b, Kind kind, uint16_t extra, Fields... fields) {
  if (b == nullptr) return;
  uint64_t next;
  unsigned char* at = Reserve(*b, sizeof(Record), &next);
  if (at == nullptr) {
    Bump(b->dropped);
    return;
  }
  new (at) Record{Header{static_cast<uint32_t>(sizeof(Record)), kind, extra}, fields...};
  Publish(*b, next);
}

// Room for an argument's record of `size` bytes on the stage; nullptr (and
// the call marked to be dropped whole) when the stage is full.
unsigned char* StageRoom(Buffer* b, size_t size) {
  if (b == nullptr) return nullptr;
  if (b->stageSession != gSession.load(std::memory_order_relaxed)) {
    b->staged = 0;  // left by a call of an earlier trace
    b->stageOverflow = false;
    b->stageSession = gSession.load(std::memory_order_relaxed);
  }
  if (b->staged + size > kStage) {
    b->stageOverflow = true;
    return nullptr;
  }
  unsigned char* at = b->stage + b->staged;
  b->staged += size;
  return at;
}

void StageValue(Kind kind, uint16_t extra, int64_t number, double real) {
  unsigned char* at = StageRoom(Mine(tLocal), sizeof(ValueRecord));
  if (at != nullptr) new (at) ValueRecord{Header{sizeof(ValueRecord), kind, extra}, number, real};
}

void PutValue(Kind kind, int64_t number, double real = 0) {
  if (tLocal.secretNumbers > 0) {
    StageValue(kSecret, kind, int64_t{kind == kReal ? 8 : (kind == kFlag ? 1 : 4)}, 0.0);
    return;
  }
  StageValue(kind, 0, number, real);
}

// A header and two byte runs (the second may be empty): on the stage for an
// argument, straight into the ring for a funnel line.
void PutBytes(Kind kind, uint64_t at, uint32_t full, const void* first, size_t firstLength,
              const void* second, size_t secondLength) {
  Buffer* b = Mine(tLocal);
  if (b == nullptr) return;
  const size_t size = Rounded(sizeof(BytesRecord) + firstLength + secondLength);
  unsigned char* where = nullptr;
  uint64_t next = 0;
  if (kind != kFunnel) {
    where = StageRoom(b, size);
  } else if (size <= b->capacity / 2) {  // larger could never fit: counted, not written
    where = Reserve(*b, size, &next);
    if (where == nullptr) Bump(b->dropped);
  } else {
    Bump(b->dropped);
  }
  if (where == nullptr) return;
  BytesRecord r{
      {static_cast<uint32_t>(size), kind, 0}, at, full, static_cast<uint32_t>(firstLength)};
  std::memcpy(where, &r, sizeof r);
  if (firstLength != 0) std::memcpy(where + sizeof r, first, firstLength);
  if (secondLength != 0) std::memcpy(where + sizeof r + firstLength, second, secondLength);
  if (kind == kFunnel) Publish(*b, next);
}

// The records on the stage from `from` to its end.
uint64_t StagedRecords(const Buffer& b, size_t from) {
  uint64_t n = 0;
  for (size_t at = from; at < b.staged; ++n) {
    Header h;
    std::memcpy(&h, b.stage + at, sizeof h);
    at += h.size;
  }
  return n;
}

// A setting in whole units: digits only and above 0, or the default (a sign
// would read as a huge number); past `most` it is `most`, so no shift of it
// overflows and no buffer's size outgrows the address space.
uint64_t EnvNumber(const char* name, uint64_t fallback, uint64_t most = kMostMb) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text < '0' || *text > '9') return fallback;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, 10);  // too large: ULLONG_MAX
  if (end == nullptr || *end != '\0' || v == 0) return fallback;
  return std::min<uint64_t>(v, most);
}

// Takes the open trace out of reach under the lock; the caller finishes it
// outside the lock.
Writer* Detach() {
  gOn.store(false);
  return gWriter.exchange(nullptr);
}

// Waits for the writer within its bounds, then joins it; one that did not
// finish (a destination stuck past even the writer's own waits) is left
// running, its memory with it.
void Finish(Writer* w, const char* trigger) {
  if (w == nullptr) return;
  AskToFinish(w, trigger);
  if (WaitFinished(w, kStallBound, kMostBound)) {
    JoinAndFree(w);
  } else {
    LeaveRunning(w);
  }
}

}  // namespace

uint64_t Now() {
  return platform::CpuTicks() | 1;  // never 0
}

uint32_t ThreadId() {
  thread_local uint32_t id = 0;
  if (id == 0) id = platform::OsThreadId();
  return id;
}

std::string Start(JNIEnv* env) {
  Writer* old;
  {
    std::lock_guard<std::mutex> lock(gControl);
    old = Detach();
  }
  Finish(old, nullptr);  // an initialise without logoff: the earlier trace ends whole
  const char* path = std::getenv("JAVAWRAPPER_TRACE");
  if (path == nullptr || *path == '\0') return {};  // off
  Settings s;
  s.pattern = path;
  const char* mode = std::getenv("JAVAWRAPPER_TRACE_MODE");
  s.ring = mode != nullptr && std::strcmp(mode, "ring") == 0;
  s.ringBytes = EnvNumber("JAVAWRAPPER_TRACE_RING_MB", kDefaultRingMb) << 20;
  s.maxBytes = EnvNumber("JAVAWRAPPER_TRACE_MAX_MB", kDefaultMaxMb) << 20;
  gLimit.store(
      static_cast<size_t>(EnvNumber("JAVAWRAPPER_TRACE_BUFFER_KB", kDefaultBufferKb, kMostBufferKb))
      << 10);
  SetMemoryCap(EnvNumber("JAVAWRAPPER_TRACE_MEMORY_MB", kDefaultMemoryMb) << 20);
  const char* texts = std::getenv("JAVAWRAPPER_TRACE_TEXTS");
  gAllTexts.store(texts != nullptr && std::strcmp(texts, "all") == 0);
  JavaVM* vm = nullptr;
  if (env != nullptr && env->GetJavaVM(&vm) != JNI_OK) vm = nullptr;
  std::lock_guard<std::mutex> lock(gControl);
  if (gWriter != nullptr) return {};  // another initialise won the race: its trace stays
  gVm.store(vm);
  s.vm = vm;
  s.session = ++gSessions;
  gSession.store(s.session);
  SetThreadEndHook(&OnThreadEnd);
  WatchThreadEnds();  // refused: buffers stay with their threads, within the cap
  std::string problem;
  Writer* w = StartWriter(s, &problem);
  if (w == nullptr) return problem;
  gWriter.store(w);
  gOn.store(true);
  return {};
}

void Stop() {
  Writer* w;
  {
    std::lock_guard<std::mutex> lock(gControl);
    w = Detach();
  }
  Finish(w, nullptr);
}

void Shutdown(bool processExiting) {
  if (processExiting) {
    // Other threads may still record (their buffers stay) or be gone with
    // the control lock held: nothing here waits on a lock or frees memory.
    gOn.store(false);
    Writer* w = gWriter.load();
    if (w == nullptr || !platform::ThreadsRunDuringExit()) return;
    AskToFinish(w, "process end");
    WaitFinished(w, kExitBound, kExitBound);
    return;
  }
  Writer* w;
  {
    std::lock_guard<std::mutex> lock(gControl);
    w = Detach();
  }
  Finish(w, "bridge unloaded");
  // No native runs any more: the buffers go, and a thread that recorded
  // before sees a new generation should the module record again.
  // No hook runs after this, so none touches a freed buffer.
  std::lock_guard<std::mutex> lock(gControl);
  detail::ForgetThreadEnds();
  FreeAllBuffers();
  gGeneration.fetch_add(1);
  gVm.store(nullptr);
}

void ShutdownWithoutJoin() {
  gOn.store(false);
  Writer* w = gWriter.exchange(nullptr);
  // The module is unmapped next: no thread's end may call into it.
  detail::ForgetThreadEnds();
  if (w == nullptr) return;
  EndWithoutJoin(w, "bridge unloaded", kExitBound);
}

void ForgetThreadEnds() {
  detail::ForgetThreadEnds();  // no lock: it may run under the Windows loader lock
}

Begun Begin() {
  Begun begun;
  begun.start = Now();
  if (Buffer* b = Mine(tLocal, false)) {  // a call's start is no record
    if (b->stageSession != gSession.load(std::memory_order_relaxed)) StageRoom(b, 0);
    begun.mark = static_cast<uint32_t>(b->staged);
  }
  return begun;
}

void Call(std::string_view where, const Begun& begun, int32_t code) {
  const uint64_t end = Now();
  // Noted first, apart from the records: a failure is counted and a trigger
  // raised even when the call's records cannot be kept.
  NoteResult(where.data(), code);
  Buffer* b = Mine(tLocal);
  if (b == nullptr) {
    gUnbufferedCalls.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  Bump(b->calls);
  // The call's arguments (staged since its Begin) and its record reach the
  // ring as one reservation, or neither does.
  const size_t mark = std::min<size_t>(begun.mark, b->staged);
  const size_t args = b->staged - mark;
  uint64_t next = 0;
  unsigned char* at = nullptr;
  if (!b->stageOverflow) at = Reserve(*b, args + sizeof(CallRecord), &next);
  if (at == nullptr) {
    Bump(b->dropped, StagedRecords(*b, mark) + 1);
    Bump(b->droppedCalls);
  } else {
    std::memcpy(at, b->stage + mark, args);
    new (at + args) CallRecord{Header{static_cast<uint32_t>(sizeof(CallRecord)), kCall, 0},
                               begun.start,
                               end,
                               where.data(),
                               static_cast<uint32_t>(where.size()),
                               code};
    Publish(*b, next);
  }
  b->staged = mark;
  if (mark == 0) b->stageOverflow = false;
}

Taking Taken(int32_t id) {
  Taking taking;
  taking.start = Now();
  taking.session = gSession.load(std::memory_order_relaxed);
  // Raised before Java runs: a handler that logs off closes the trace, and
  // ring mode must still write it under this trigger.
  if (id == kForcedLogout) NoteForcedLogout();  // whether or not a record fits
  if (Buffer* b = Mine(tLocal, false)) Bump(b->eventsTaken);
  return taking;
}

void Delivered(const Taking& taking, int32_t id, int32_t length, uint64_t enqueued,
               uint32_t producer, uint64_t depth, Outcome outcome, std::string_view why) {
  const uint64_t end = Now();
  const uint64_t start = taking.start;
  // Taken in a trace that closed meanwhile (by a logoff in the handler,
  // perhaps followed by an initialise): that trace's summary counted it as
  // cut off, and a later trace never sees it.
  if (taking.session == 0 || !On() || gSession.load(std::memory_order_relaxed) != taking.session)
    return;
  Buffer* b = Mine(tLocal);
  if (b == nullptr) return;
  // Counted apart from the record, so the summary never shows an event Java
  // did not get as delivered, whether or not its bar fits.
  Bump(outcome == Outcome::kDropped ? b->eventsDropped
       : outcome == Outcome::kThrew ? b->handlerThrew
                                    : b->deliveries);
  if (outcome == Outcome::kDelivered) {
    PutFixed<DeliveredRecord>(b, kDelivered, 0, start, end, enqueued, depth, id, length, producer,
                              0u);
    return;
  }
  const size_t n = std::min(why.size(), kWhyCut);
  uint64_t next;
  unsigned char* at = Reserve(*b, Rounded(sizeof(DeliveredRecord) + n), &next);
  if (at == nullptr) {
    Bump(b->dropped);
    return;
  }
  new (at) DeliveredRecord{Header{static_cast<uint32_t>(Rounded(sizeof(DeliveredRecord) + n)),
                                  kDelivered, static_cast<uint16_t>(outcome)},
                           start,
                           end,
                           enqueued,
                           depth,
                           id,
                           length,
                           producer,
                           static_cast<uint32_t>(n)};
  if (n != 0) std::memcpy(at + sizeof(DeliveredRecord), why.data(), n);
  Publish(*b, next);
}

void DroppedInQueue() {
  gQueueDropped.fetch_add(1, std::memory_order_relaxed);
}

void Funnel(std::string_view where, std::string_view message) {
  const size_t w = std::min(where.size(), kFunnelCut);
  const size_t m = std::min(message.size(), kFunnelCut);
  PutBytes(kFunnel, Now(), static_cast<uint32_t>(m), where.data(), w, message.data(), m);
}

void ArgText(const char* text, size_t length) {
  if (tLocal.secret > 0) {
    StageValue(kSecret, kText, static_cast<int64_t>(length), 0.0);
    return;
  }
  PutBytes(kText, 0, static_cast<uint32_t>(length), text, std::min(length, kTextCut), nullptr, 0);
}

void ArgSize(const char*, size_t size) {
  PutValue(kOutSize, static_cast<int64_t>(size));
}

void ArgBytes(const void* bytes, size_t size) {
  if (tLocal.secret > 0) {
    StageValue(kSecret, kBytes, static_cast<int64_t>(size), 0.0);
    return;
  }
  PutBytes(kBytes, 0, static_cast<uint32_t>(size), bytes, size, nullptr, 0);
}

void ArgNumber(int64_t value) {
  PutValue(kNumber, value);
}

void ArgFlag(bool value) {
  PutValue(kFlag, value ? 1 : 0);
}

void ArgReal(double value) {
  PutValue(kReal, 0, value);
}

void ArgNull() {
  StageValue(kNull, 0, 0, 0.0);
}

void ArgCount(size_t count) {
  StageValue(kCount, 0, static_cast<int64_t>(count), 0.0);
}

void ArgElement(size_t index) {
  StageValue(kElement, 0, static_cast<int64_t>(index), 0.0);
}

Secret::Secret(What what)
    : what_(what), active_(what != kCredentials || !gAllTexts.load(std::memory_order_relaxed)) {
  if (!active_) return;
  ++tLocal.secret;
  if (what_ == kNumbersToo) ++tLocal.secretNumbers;
}
Secret::~Secret() {
  if (!active_) return;
  --tLocal.secret;
  if (what_ == kNumbersToo) --tLocal.secretNumbers;
}

}  // namespace trace
