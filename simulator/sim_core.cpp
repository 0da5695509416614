#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "misbehave.h"
#include "platform/module_hooks.h"
#include "platform/platform.h"
#include "simulator/control.h"
#include "simulator/market.h"
#include "simulator/sim.h"

namespace sim {
namespace {

constexpr size_t kJournalCapacity = 200000;

struct CallRecord {
  std::string entry;
  std::vector<Arg> args;
};

struct Registration {
  ProcKind kind;
  void* proc;
};

struct Worker {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> done;
};

// The simulator's state lives on the heap and is never destroyed: entry
// points may still run on foreign threads while the process exits.
struct State {
  std::mutex mutex;  // journal, results, outputs, texts, registrations
  std::vector<CallRecord> journal;
  std::atomic<bool> journalOn{true};
  std::atomic<bool> anyForced{false};
  std::unordered_map<std::string, int32_t> forced;
  std::unordered_map<std::string, std::string> outputs;
  std::atomic<bool> anyOutputs{false};  // lets the hot path skip the lock
  std::atomic<bool> anyFault{false};
  std::unordered_map<std::string, int32_t> faults;
  std::map<int32_t, const std::string*> errorTexts;
  // Every text ever returned stays here: a caller may still hold one.
  std::vector<std::unique_ptr<std::string>> textStore;
  std::map<int32_t, Registration> registrations;
  std::condition_variable faultChanged;  // releases entries held by kind 3
  // The lock kind 5 holds for the call, released only by its termination
  // handler; a spin lock, as libraries keep, so that a wait for it has a bound.
  std::atomic<bool> guardedLock{false};

  // Bursts fired on the caller's thread by the next call of an entry.
  struct Burst {
    int32_t id, len, count;
  };
  std::atomic<bool> anyBurst{false};
  std::unordered_map<std::string, Burst> bursts;
  // Records the next call of an entry passes to a procedure (simFireRecords).
  struct Records {
    int32_t id;
    std::vector<const void*> pointers;
  };
  std::unordered_map<std::string, Records> recordBursts;
  // The lock a library holds while it calls back and its entries need:
  // entries wait for it only while simFireLocked has it armed.
  std::mutex libraryLock;
  std::atomic<bool> lockArmed{false};

  std::mutex threadMutex;
  std::condition_variable threadsIdle;
  std::list<Worker> workers;
  std::atomic<int> live{0};
  std::atomic<bool> stopping{false};
};

State& S() {
  static State* state = new State;
  return *state;
}

void Reap(State& s) {  // threadMutex held
  for (auto it = s.workers.begin(); it != s.workers.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = s.workers.erase(it);
    } else {
      ++it;
    }
  }
}

void WaitForThreads(bool join, unsigned timeoutMs) {
  State& s = S();
  s.stopping.store(true);
  std::unique_lock<std::mutex> lock(s.threadMutex);
  const auto self = std::this_thread::get_id();
  auto othersLive = [&] {
    int selfLive = 0;
    for (auto& w : s.workers)
      if (w.thread.get_id() == self && !w.done->load()) selfLive = 1;
    return s.live.load() > selfLive;
  };
  if (timeoutMs == 0) {
    s.threadsIdle.wait(lock, [&] { return !othersLive(); });
  } else {
    s.threadsIdle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return !othersLive(); });
  }
  for (auto& w : s.workers) {
    if (w.thread.get_id() == self) {
      w.thread.detach();  // a thread cannot join itself; it ends on its own
    } else if (join && w.done->load()) {
      w.thread.join();
    } else {
      w.thread.detach();
    }
  }
  s.workers.clear();
  s.stopping.store(false);
}

}  // namespace

Arg Int(int32_t value) {
  Arg a{Arg::kInt, false, std::string(4, '\0')};
  for (int i = 0; i < 4; ++i)
    a.bytes[i] = static_cast<char>((static_cast<uint32_t>(value) >> (8 * i)) & 0xFF);
  return a;
}

Arg Text(const char* text) {
  if (text == nullptr) return Arg{Arg::kText, true, {}};
  return Arg{Arg::kText, false, std::string(text)};
}

Arg Record(const void* record, size_t size) {
  if (record == nullptr) return Arg{Arg::kRecord, true, {}};
  return Arg{Arg::kRecord, false, std::string(static_cast<const char*>(record), size)};
}

Arg Out(const void* buffer) {
  return Arg{Arg::kOut, buffer == nullptr, {}};
}

namespace {
// The volatile pointers keep the compiler from seeing (and removing) the
// deliberate fault.
int* volatile gNowhere = nullptr;
volatile int gZero = 0;
volatile int gSeven = 7;  // a constant numerator would let the compiler avoid the division

// Kind 7: each frame keeps a kilobyte live until the stack is gone. The
// volatile condition keeps the compiler from seeing an endless recursion.
volatile bool gNoBottom = true;
int Overflow(int depth) {
  volatile char frame[1024];
  frame[depth & 1023] = static_cast<char>(depth);
  if (gNoBottom) return Overflow(depth + 1) + frame[depth & 1023];
  return frame[0];
}

// Kind 11: the unwind handler of a frame below the overflow needs 12 KiB of
// stack of its own, as a library's cleanup may.
void CleanUpWithRoom(void*) {
  volatile char room[12 * 1024];
  for (size_t i = 0; i < sizeof room; i += 64) room[i] = static_cast<char>(i);
}

bool TakeGuardedLock(std::atomic<bool>& lock) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (lock.exchange(true)) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::yield();
  }
  return true;
}

// Does what simFault asked of the entry: the answer the call must give
// instead of doing its work, or kGoOn.
constexpr int32_t kGoOn = -1;
constexpr int32_t kProbeAnswer = 7;
constexpr int32_t kLockStillHeld = 8;
constexpr int32_t kNoticesBack = 10;
int32_t FaultIfAsked(State& s, const char* entry) {
  if (!s.anyFault.load()) return kGoOn;
  int32_t kind = 0;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (auto it = s.faults.find(entry); it != s.faults.end()) kind = it->second;
  }
  if (kind == 1) *gNowhere = 1;
  if (kind == 2) gZero = gSeven / gZero;
  // A fault the library expects and handles itself, as a probe of an address.
  if (kind == 4 && platform::ProbeUnreadable(reinterpret_cast<const void*>(16), 4))
    return kProbeAnswer;
  if (kind == 3) {  // a call that does not return until released
    std::unique_lock<std::mutex> lock(s.mutex);
    s.faultChanged.wait(lock, [&] {
      auto it = s.faults.find(entry);
      return it == s.faults.end() || it->second != 3;
    });
  }
  if (kind == 5) {
    if (!TakeGuardedLock(s.guardedLock)) return kLockStillHeld;
    platform::RunWithTerminationHandler(
        [](void*) { *gNowhere = 1; },
        [](void* lock) { static_cast<std::atomic<bool>*>(lock)->store(false); }, &s.guardedLock);
  }
  if (kind == 6) platform::TrapWithDirtyState();
  if (kind == 7) return Overflow(0);
  if (kind == 8) platform::RaiseUncaught(platform::kCxxException);
  if (kind == 9) platform::RaiseUncaught(platform::kOtherRuntimeException);
  if (kind == 10) return platform::RaiseNotices() == platform::kNoticeCount ? kNoticesBack : kGoOn;
  if (kind == 11)
    platform::RunWithTerminationHandler([](void*) { Overflow(0); }, &CleanUpWithRoom, nullptr);
  if (kind == 12) platform::EndThisThread();
  return kGoOn;
}

// Fires count records of the simFireStream form (thread number `thread`)
// through the procedure registered for id, on this thread.
void FireSequence(int32_t id, size_t size, uint32_t thread, int32_t count) {
  std::string record(size, '\0');
  for (int32_t n = 0; n < count && !Stopping(); ++n) {
    for (int i = 0; i < 4; ++i) {
      record[i] = static_cast<char>((thread >> (8 * i)) & 0xFF);
      record[4 + i] = static_cast<char>((static_cast<uint32_t>(n) >> (8 * i)) & 0xFF);
    }
    Deliver(id, record.data(), record.size());
  }
}

void BurstIfAsked(State& s, const char* entry) {
  if (!s.anyBurst.load()) return;
  State::Burst burst{};
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.bursts.find(entry);
    if (it == s.bursts.end()) return;
    burst = it->second;
    s.bursts.erase(it);
    s.anyBurst.store(!s.bursts.empty() || !s.recordBursts.empty());
  }
  FireSequence(burst.id, static_cast<size_t>(burst.len < 8 ? 8 : burst.len), 0, burst.count);
}

// Passes each pointer unchanged to the procedure registered for id.
void FireRecords(int32_t id, const std::vector<const void*>& pointers) {
  Registration r{};
  {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.registrations.find(id);
    if (it == s.registrations.end() || it->second.kind != ProcKind::kRecord) return;
    r = it->second;
  }
  for (const void* record : pointers) reinterpret_cast<QRRecordProc>(r.proc)(record);
}

void RecordsIfAsked(State& s, const char* entry) {
  if (!s.anyBurst.load()) return;
  State::Records records;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.recordBursts.find(entry);
    if (it == s.recordBursts.end()) return;
    records = std::move(it->second);
    s.recordBursts.erase(it);
    s.anyBurst.store(!s.bursts.empty() || !s.recordBursts.empty());
  }
  FireRecords(records.id, records.pointers);
}
}  // namespace

int32_t Call(const char* entry, std::initializer_list<Arg> args,
             const std::function<int32_t()>& body) {
  State& s = S();
  if (s.lockArmed.load()) {
    std::lock_guard<std::mutex> wait(s.libraryLock);
  }
  if (const int32_t answer = FaultIfAsked(s, entry); answer != kGoOn) return answer;
  BurstIfAsked(s, entry);
  RecordsIfAsked(s, entry);
  try {
    if (s.journalOn.load()) {
      std::lock_guard<std::mutex> lock(s.mutex);
      if (s.journal.size() < kJournalCapacity) s.journal.push_back(CallRecord{entry, args});
    }
    int32_t result = body ? body() : 0;
    if (s.anyForced.load()) {
      std::lock_guard<std::mutex> lock(s.mutex);
      if (auto it = s.forced.find(entry); it != s.forced.end()) result = it->second;
    }
    return result;
  } catch (...) {
    return 99;  // nothing may unwind into the caller of a C entry
  }
}

void FillOutput(const char* entry, void* buffer, size_t size) {
  if (buffer == nullptr) return;
  auto* out = static_cast<unsigned char*>(buffer);
  State& s = S();
  if (s.anyOutputs.load()) {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (auto it = s.outputs.find(entry); it != s.outputs.end()) {
      const size_t n = std::min(size, it->second.size());
      std::memcpy(out, it->second.data(), n);
      std::memset(out + n, 0, size - n);
      return;
    }
  }
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<unsigned char>((i * 7 + 1) & 0xFF);
}

void FillCount(const char* entry, int32_t* count, int32_t fallback) {
  if (count == nullptr) return;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.outputs.find(entry);
  if (it == s.outputs.end() || it->second.size() < 4) {
    *count = fallback;
    return;
  }
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(it->second[i]);
  *count = static_cast<int32_t>(value);
}

void FillNumber(const char* entry, char* buffer, const char* fallback) {
  if (buffer == nullptr) return;
  constexpr size_t kSize = 21;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::string text = fallback;
  if (auto it = s.outputs.find(entry); it != s.outputs.end()) text = it->second;
  // A configured text of 21 bytes or more fills the buffer with no zero byte.
  std::memset(buffer, 0, kSize);
  std::memcpy(buffer, text.data(), std::min(kSize, text.size()));
}

const char* ErrorText(int32_t code) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.errorTexts.find(code);
  if (it == s.errorTexts.end()) {
    s.textStore.push_back(std::make_unique<std::string>(
        code == 99 ? "Internal simulator failure" : "Simulator result " + std::to_string(code)));
    it = s.errorTexts.emplace(code, s.textStore.back().get()).first;
  }
  return it->second->c_str();
}

int32_t Register(int32_t id, ProcKind kind, void* proc) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.registrations[id] = Registration{kind, proc};
  return 0;
}

void ClearRegistrations() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.registrations.clear();
}

bool Deliver(int32_t id, const void* bytes, size_t length) {
  Registration r{};
  {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.registrations.find(id);
    if (it == s.registrations.end()) return false;
    r = it->second;
  }
  static const unsigned char kEmpty[1] = {0};
  switch (r.kind) {
    case ProcKind::kRecord:
      reinterpret_cast<QRRecordProc>(r.proc)(length > 0 ? bytes : kEmpty);
      break;
    case ProcKind::kSignal:
      reinterpret_cast<QRSignalProc>(r.proc)();
      break;
    case ProcKind::kMessage: {
      const std::string id(static_cast<const char*>(bytes), length);
      reinterpret_cast<QRMessageProc>(r.proc)(id.c_str());
      break;
    }
  }
  return true;
}

void StartThread(std::function<void()> work) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.threadMutex);
  Reap(s);
  auto done = std::make_shared<std::atomic<bool>>(false);
  s.live.fetch_add(1);
  s.workers.push_back(Worker{std::thread([work = std::move(work), done, &s] {
                               try {
                                 work();
                               } catch (...) {
                               }
                               std::lock_guard<std::mutex> lock(s.threadMutex);
                               done->store(true);
                               s.live.fetch_sub(1);
                               s.threadsIdle.notify_all();
                             }),
                             done});
}

bool Stopping() {
  return S().stopping.load();
}

void StopThreads() {
  WaitForThreads(true, 0);
}

}  // namespace sim

using namespace sim;

void OnModuleDetach(bool processExiting) {
  // At process exit the threads are already gone; on Windows a join here
  // would deadlock on the loader lock, so finished threads are detached.
  if (processExiting) return;
  WaitForThreads(platform::CanJoinThreadsDuringUnload(), 5000);
}

extern "C" {

QR_EXPORT void simMarket(int32_t on) {
  market::SetOn(on != 0);
}
QR_EXPORT void simMarketStep(void) {
  market::MatchNow();
}
QR_EXPORT void simSetBook(const char* exchange, const char* commodity, const char* contract,
                          double bid, double ask) {
  market::SetBook(exchange, commodity, contract, bid, ask);
}

QR_EXPORT void simReset(void) {
  StopThreads();
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.forced.clear();
  s.anyForced.store(false);
  s.outputs.clear();
  s.anyOutputs.store(false);
  s.faults.clear();
  s.anyFault.store(false);
  s.recordBursts.clear();
  s.journal.clear();
  s.journalOn.store(true);
  s.errorTexts.clear();  // the texts themselves stay allocated: callers may hold them
}

QR_EXPORT void simForceResult(const char* entry, int32_t code) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.forced[entry] = code;
  s.anyForced.store(true);
}

QR_EXPORT void simClearResult(const char* entry) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.forced.erase(entry);
  s.anyForced.store(!s.forced.empty());
}

QR_EXPORT void simFault(const char* entry, int32_t kind) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (kind == 0) {
    s.faults.erase(entry);
  } else {
    s.faults[entry] = kind;
  }
  s.anyFault.store(!s.faults.empty());
  s.faultChanged.notify_all();
}

QR_EXPORT void simBurst(const char* entry, int32_t id, int32_t len, int32_t count) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.bursts[entry] = State::Burst{id, len, count};
  s.anyBurst.store(true);
}

QR_EXPORT int32_t simFireRecords(const char* entry, int32_t id, const void* const* records,
                                 int32_t count) {
  if (!simIsRegistered(id)) return -1;
  std::vector<const void*> pointers(records, records + (count > 0 ? count : 0));
  State& s = S();
  if (entry != nullptr) {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.recordBursts[entry] = State::Records{id, std::move(pointers)};
    s.anyBurst.store(true);
    return 0;
  }
  auto returned = std::make_shared<platform::AutoResetEvent>();
  StartThread([id, pointers, returned] {
    FireRecords(id, pointers);
    returned->Set();
  });
  returned->Wait();
  return 0;
}

QR_EXPORT int32_t simFireLocked(int32_t id, int32_t len, int32_t count) {
  if (!simIsRegistered(id)) return -1;
  State& s = S();
  const size_t size = static_cast<size_t>(len < 8 ? 8 : len);
  // The lock is taken before this returns, so any entry called after it waits.
  auto holding = std::make_shared<platform::AutoResetEvent>();
  s.lockArmed.store(true);
  StartThread([&s, id, size, count, holding] {
    std::lock_guard<std::mutex> lock(s.libraryLock);
    holding->Set();
    FireSequence(id, size, 0, count);
    s.lockArmed.store(false);
  });
  holding->Wait();
  return 0;
}

QR_EXPORT void simSetOutput(const char* entry, const void* bytes, int32_t len) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.outputs[entry] = std::string(static_cast<const char*>(bytes), len > 0 ? len : 0);
  s.anyOutputs.store(true);
}

QR_EXPORT void simSetErrorText(int32_t code, const char* text) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.textStore.push_back(std::make_unique<std::string>(text));
  s.errorTexts[code] = s.textStore.back().get();
}

QR_EXPORT void simJournalEnable(int32_t on) {
  S().journalOn.store(on != 0);
}

QR_EXPORT void simJournalClear(void) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.journal.clear();
}

QR_EXPORT int32_t simJournalSize(void) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  return static_cast<int32_t>(s.journal.size());
}

namespace {
int32_t CopyOut(const std::string& bytes, void* out, int32_t cap) {
  if (out != nullptr && cap > 0)
    std::memcpy(out, bytes.data(), std::min<size_t>(bytes.size(), static_cast<size_t>(cap)));
  return static_cast<int32_t>(bytes.size());
}
}  // namespace

QR_EXPORT int32_t simJournalName(int32_t call, char* out, int32_t cap) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (call < 0 || static_cast<size_t>(call) >= s.journal.size()) return -1;
  const std::string& name = s.journal[call].entry;
  if (out != nullptr && cap > 0) {
    const size_t n = std::min<size_t>(name.size(), static_cast<size_t>(cap) - 1);
    std::memcpy(out, name.data(), n);
    out[n] = '\0';
  }
  return static_cast<int32_t>(name.size());
}

QR_EXPORT int32_t simJournalArgCount(int32_t call) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (call < 0 || static_cast<size_t>(call) >= s.journal.size()) return -1;
  return static_cast<int32_t>(s.journal[call].args.size());
}

QR_EXPORT int32_t simJournalArg(int32_t call, int32_t arg, void* out, int32_t cap) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (call < 0 || static_cast<size_t>(call) >= s.journal.size()) return -2;
  const auto& args = s.journal[call].args;
  if (arg < 0 || static_cast<size_t>(arg) >= args.size()) return -2;
  if (args[arg].null) return -1;
  return CopyOut(args[arg].bytes, out, cap);
}

QR_EXPORT int32_t simJournalFind(const char* entry, int32_t from) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (size_t i = from < 0 ? 0 : static_cast<size_t>(from); i < s.journal.size(); ++i)
    if (s.journal[i].entry == entry) return static_cast<int32_t>(i);
  return -1;
}

QR_EXPORT int32_t simRegisteredCount(void) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  return static_cast<int32_t>(s.registrations.size());
}

QR_EXPORT int32_t simIsRegistered(int32_t id) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.registrations.count(id) != 0 ? 1 : 0;
}

QR_EXPORT int32_t simFireAsync(int32_t id, const void* bytes, int32_t len) {
  if (!simIsRegistered(id)) return -1;
  std::string copy(static_cast<const char*>(bytes), bytes != nullptr && len > 0 ? len : 0);
  StartThread([id, copy] { Deliver(id, copy.data(), copy.size()); });
  return 0;
}

QR_EXPORT int32_t simFire(int32_t id, const void* bytes, int32_t len) {
  if (!simIsRegistered(id)) return -1;
  std::string copy(static_cast<const char*>(bytes), bytes != nullptr && len > 0 ? len : 0);
  // Shared: the thread may still be inside Set() when the wait returns.
  auto delivered = std::make_shared<platform::AutoResetEvent>();
  StartThread([id, copy, delivered] {
    Deliver(id, copy.data(), copy.size());
    delivered->Set();
  });
  delivered->Wait();
  return 0;
}

QR_EXPORT int32_t simFireStream(int32_t id, int32_t len, int32_t threads, int32_t count) {
  if (!simIsRegistered(id)) return -1;
  const size_t size = static_cast<size_t>(len < 8 ? 8 : len);
  for (int32_t t = 0; t < threads; ++t)
    StartThread([id, size, t, count] { FireSequence(id, size, static_cast<uint32_t>(t), count); });
  return 0;
}

QR_EXPORT int32_t simFirePaced(int32_t id, int32_t len, int32_t rate, int32_t count) {
  if (!simIsRegistered(id) || rate <= 0) return -1;
  const size_t size = static_cast<size_t>(len < 16 ? 16 : len);
  StartThread([id, size, rate, count] {
    using Clock = std::chrono::steady_clock;
    std::string record(size, '\0');
    const auto period = std::chrono::nanoseconds(1000000000LL / rate);
    auto next = Clock::now();
    for (int32_t n = 0; n < count && !Stopping(); ++n) {
      next += period;
      std::this_thread::sleep_until(next);
      const auto now = static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
              .count());
      for (int i = 0; i < 8; ++i) {
        record[i] = static_cast<char>((static_cast<uint64_t>(n) >> (8 * i)) & 0xFF);
        record[8 + i] = static_cast<char>((now >> (8 * i)) & 0xFF);
      }
      Deliver(id, record.data(), record.size());
    }
  });
  return 0;
}

QR_EXPORT void simWaitIdle(void) {
  State& s = S();
  std::unique_lock<std::mutex> lock(s.threadMutex);
  s.threadsIdle.wait(lock, [&] { return s.live.load() == 0; });
  Reap(s);
}

QR_EXPORT int32_t simWaitIdleFor(int32_t ms) {
  State& s = S();
  std::unique_lock<std::mutex> lock(s.threadMutex);
  if (!s.threadsIdle.wait_for(lock, std::chrono::milliseconds(ms),
                              [&] { return s.live.load() == 0; }))
    return 0;
  Reap(s);
  return 1;
}

}  // extern "C"
