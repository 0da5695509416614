// Benchmark-only: a trading library whose entries do almost nothing, so a
// benchmark row is the bridge (or a floor) plus a near-empty entry. Built as
// bin/standin/QUORAPI.DLL from the same entry list as the bridge; never
// shipped, never used by a test of behaviour.
//
// Every entry returns 0 and touches nothing, except those a row measures:
// qrGetExchange writes a fixed 33-byte pattern, and the order and fill
// registrations keep their callback. The control exports carry the
// simulator's names, so the benchmark drives either library the same way.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>

#include "binding/vendor.h"

namespace {

template <typename T>
T Zero() {
  if constexpr (!std::is_void_v<T>) return T{};
}

std::atomic<QRRecordProc> gOrderProc{nullptr};  // id 5
std::atomic<QRRecordProc> gFillProc{nullptr};   // id 9

std::mutex gThreadsMutex;
std::list<std::thread> gThreads;

QRRecordProc ProcFor(int32_t id) {
  return id == 5 ? gOrderProc.load() : id == 9 ? gFillProc.load() : nullptr;
}

// Records of the simulator's stream form: bytes 0-3 the thread number, 4-7
// the sequence number, little-endian.
void FillRecord(unsigned char* record, uint32_t thread, uint32_t n) {
  std::memcpy(record, &thread, 4);
  std::memcpy(record + 4, &n, 4);
}

}  // namespace

// The entries a row measures, or that the benchmark needs to keep; the rest
// are made below from the entry list. A name listed here must also be listed
// as skipped there.
extern "C" {
QR_EXPORT int32_t QR_CALL qrGetExchange(int32_t, void* record) {
  std::memset(record, 0x5A, 33);
  return 0;
}
QR_EXPORT int32_t QR_CALL qrRegisterOrderCallback(int32_t, QRRecordProc proc) {
  gOrderProc.store(proc);
  return 0;
}
QR_EXPORT int32_t QR_CALL qrRegisterFillCallback(int32_t, QRRecordProc proc) {
  gFillProc.store(proc);
  return 0;
}
}  // extern "C"

// Every other entry: returns 0 (or nothing, or null) and reads nothing. The
// preprocessor leaves out the names defined above.
#define STANDIN_SKIP_qrGetExchange ~, 1
#define STANDIN_SKIP_qrRegisterOrderCallback ~, 1
#define STANDIN_SKIP_qrRegisterFillCallback ~, 1
#define STANDIN_SECOND(a, b, ...) b
#define STANDIN_PICK(...) STANDIN_SECOND(__VA_ARGS__, 0, ~)
#define STANDIN_CAT(a, b) STANDIN_CAT_(a, b)
#define STANDIN_CAT_(a, b) a##b
#define STANDIN_EMIT_1(name, result, params)
#define STANDIN_EMIT_0(name, result, params) \
  QR_EXPORT result QR_CALL name params {     \
    return Zero<result>();                   \
  }
#define QR_ENTRY(name, result, params) \
  STANDIN_CAT(STANDIN_EMIT_, STANDIN_PICK(STANDIN_SKIP_##name))(name, result, params)
#define QR_AGAIN(name)
extern "C" {
#include "binding/entries.def"
}

extern "C" {
QR_EXPORT void simMarket(int32_t) {}
QR_EXPORT void simJournalEnable(int32_t) {}

// count events of id from each of threads threads, as fast as they go.
QR_EXPORT int32_t simFireStream(int32_t id, int32_t len, int32_t threads, int32_t count) {
  QRRecordProc proc = ProcFor(id);
  if (proc == nullptr || len < 8 || len > 512) return -1;
  std::lock_guard<std::mutex> lock(gThreadsMutex);
  for (int32_t t = 0; t < threads; ++t) {
    gThreads.emplace_back([proc, t, count] {
      unsigned char record[512] = {};
      for (int32_t n = 0; n < count; ++n) {
        FillRecord(record, static_cast<uint32_t>(t), static_cast<uint32_t>(n));
        proc(record);
      }
    });
  }
  return 0;
}

// count events of id from one thread at rate per second; bytes 8-15 hold
// the monotonic clock in nanoseconds at the moment of firing.
QR_EXPORT int32_t simFirePaced(int32_t id, int32_t len, int32_t rate, int32_t count) {
  QRRecordProc proc = ProcFor(id);
  if (proc == nullptr || len < 16 || len > 512 || rate <= 0) return -1;
  std::lock_guard<std::mutex> lock(gThreadsMutex);
  gThreads.emplace_back([proc, rate, count] {
    using Clock = std::chrono::steady_clock;
    unsigned char record[512] = {};
    const auto period = std::chrono::nanoseconds(1000000000LL / rate);
    auto next = Clock::now();
    for (int32_t n = 0; n < count; ++n) {
      next += period;
      std::this_thread::sleep_until(next);
      const auto now = static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
              .count());
      const uint64_t sequence = static_cast<uint64_t>(n);
      std::memcpy(record, &sequence, 8);
      std::memcpy(record + 8, &now, 8);
      proc(record);
    }
  });
  return 0;
}

QR_EXPORT void simWaitIdle(void) {
  std::lock_guard<std::mutex> lock(gThreadsMutex);
  for (std::thread& t : gThreads) t.join();
  gThreads.clear();
}
}  // extern "C"
