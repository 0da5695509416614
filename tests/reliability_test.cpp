// The bridge under load and under races: millions of events, many sessions,
// natives racing an unload. Counts shrink under the sanitizers, which run the
// same tests much slower.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "natives_support.h"
#include "relay/queue.h"

DECLARE_NATIVE(jint, getExchange, jint, jbyteArray);

using testing_support::BridgeTest;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Resident bytes and open files of this process, where /proc tells them.
bool HaveProc() {
  return std::filesystem::exists("/proc/self/statm");
}
long ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * 4096;
}
// The process's open handles (Windows) or file descriptors (Linux). Under
// Wine /proc describes the emulator, not the program: the system's own
// count is read instead.
long OpenHandles() {
#if defined(_WIN32)
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0)
    return static_cast<long>(count);
  // Wine answers 0: the handle table is walked instead, a handle value being
  // a multiple of 4.
  DWORD flags = 0;
  for (uintptr_t value = 4; value < (1u << 18); value += 4)
    count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
  return static_cast<long>(count);
#else
  long n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++n;
  return n;
#endif
}

std::atomic<int> gSeen{0};  // events the racing pump delivered this cycle

class Reliability : public BridgeTest {
 protected:
  void SetUp() override { sim_.Journal(false); }
  void TearDown() override {
    BridgeTest::TearDown();
    sim_.Journal(true);
  }
};

struct StreamCheck {
  fake::FakeJni* jni;
  jbyteArray buffer;
  int64_t total;
  bool slowStart;  // the pump lags at first, so the bounded queue fills completely
  int32_t id;      // 5 (27 bytes, kept inline) or 14 (394 bytes, spilled)
  std::vector<int32_t> next = std::vector<int32_t>(8, 0);
  int64_t seen = 0, outOfOrder = 0;
};

// One stream of events from eight simulator threads through the queue and
// the pump; returns the events per second. Every thread's sequence must
// arrive complete and in order.
double Stream(fake::FakeJni& jni, jobject self, testing_support::SimLibrary& sim, int32_t perThread,
              bool slowStart = false, int32_t id = 5) {
  StreamCheck check{&jni, jni.NewByteArray(514), 8LL * perThread, slowStart, id};
  jni.lastBuffer = check.buffer;
  jni.OnMessage(
      [](fake::FakeJni& j, const fake::FakeJni::Message& m, void* context) {
        auto* c = static_cast<StreamCheck*>(context);
        const std::vector<uint8_t>& b = j.Bytes(c->buffer);
        const int32_t thread = b[0] | b[1] << 8;
        const int32_t sequence = b[4] | b[5] << 8 | b[6] << 16 | b[7] << 24;
        if (m.id != c->id || thread >= 8 || sequence != c->next[thread]) {
          ++c->outOfOrder;
        } else {
          ++c->next[thread];
        }
        if (++c->seen == c->total) relay::RequestStop();
        // Slow, but never so slow that producers stop waiting for it.
        if (c->slowStart && c->seen <= 40)
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
      },
      &check);
  const uint64_t dropped = relay::Dropped();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(sim.FireStream(id, id == 14 ? 394 : 27, 8, perThread), 0);
  testing_support::BoundedThread pump(
      [&] { Java_korvane_api_delphi_ClientAPI_processCallbacks(jni.env(), self, check.buffer); });
  if (!pump.Finished(std::chrono::seconds(300), "the delivery of every event")) {
    relay::RequestStop();  // let the pump go before `check` leaves this frame
    pump.Finished(std::chrono::seconds(10), "the pump's return after a stop");
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  sim.WaitIdle();
  EXPECT_EQ(relay::Dropped(), dropped) << "events dropped at the queue's byte limit";
  EXPECT_EQ(check.seen, check.total);
  EXPECT_EQ(check.outOfOrder, 0);
  for (int32_t n : check.next) EXPECT_EQ(n, perThread);
  return check.total / seconds;
}

TEST_F(Reliability, EightProducersNothingLostNothingDuplicatedOrderKept) {
  const int32_t perThread = kSanitized ? 20000 : 1250000;  // 10 million events a pass
  ASSERT_EQ(Initialise(), 0);
  jni_.SetRecording(false);
  // The warm-up lets the queue fill to its bound; then records kept inline
  // and records long enough to spill to the heap. Whatever the relay holds
  // afterwards is its recycled blocks: a record or block lost even once in a
  // thousand events would be thousands more.
  Stream(jni_, self_, sim_, perThread, true);
  const double rate = Stream(jni_, self_, sim_, perThread);
  EXPECT_LE(relay::LiveBlocks(), relay::kKeptBlocks + 2);
  Stream(jni_, self_, sim_, perThread / 10, false, 14);
  EXPECT_LE(relay::LiveBlocks(), relay::kKeptBlocks + 2);
  EXPECT_EQ(relay::QueuedCount(), 0u);  // nothing duplicated or left over
  EXPECT_TRUE(jni_.violations().empty());
  std::printf("[ relay   ] %d events from 8 threads: %.0f events/s, %zu blocks held after\n",
              8 * perThread, rate, relay::LiveBlocks());
}

TEST_F(Reliability, AThousandSessionsLeaveFilesAndMemoryFlat) {
  jni_.SetRecording(false);
  const int cycles = kSanitized ? 100 : 1000;
  // The strings are made once: the fake JNIEnv keeps every object it makes.
  jstring dir = jni_.NewString(testing_support::SimLibrary::Directory());
  jstring empty = jni_.NewString("");
  auto cycle = [&] {
    ASSERT_EQ(Java_korvane_api_delphi_ClientAPI_initialise(jni_.env(), self_, dir, empty, false,
                                                           false, true, empty, 0, empty, empty),
              0);
    ASSERT_EQ(Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_), 0);
  };
  for (int i = 0; i < 200; ++i) cycle();  // warm-up: the allocator settles
  // A leak grows with the sessions: a handle, a file or a kilobyte or more
  // per session shows in both halves of the run, in proportion. Other tests'
  // threads ending, the emulator's own files and the allocator move the
  // counts by a constant at most once, so no single reading is compared for
  // equality, and a half is a leak only at half a handle or 512 bytes per
  // session.
  const int half = cycles / 2;
  struct Reading {
    long handles, resident;
  };
  auto read = [] { return Reading{OpenHandles(), HaveProc() ? ResidentBytes() : 0}; };
  const Reading start = read();
  for (int i = 0; i < half; ++i) cycle();
  const Reading middle = read();
  for (int i = 0; i < half; ++i) cycle();
  const Reading end = read();
  std::printf("[ cycles  ] %d sessions: open handles %ld -> %ld -> %ld, resident %+ld, %+ld KiB\n",
              2 * half, start.handles, middle.handles, end.handles,
              (middle.resident - start.resident) / 1024, (end.resident - middle.resident) / 1024);
  const long handleBound = half / 2;
  EXPECT_FALSE(middle.handles - start.handles >= handleBound &&
               end.handles - middle.handles >= handleBound)
      << "open handles grew with the sessions in both halves: " << middle.handles - start.handles
      << ", then " << end.handles - middle.handles << " in " << half << " sessions each";
  if (HaveProc() && !kSanitized) {
    const long residentBound = 512L * half;
    EXPECT_FALSE(middle.resident - start.resident >= residentBound &&
                 end.resident - middle.resident >= residentBound)
        << "resident memory grew with the sessions in both halves: "
        << (middle.resident - start.resident) / 1024 << " KiB, then "
        << (end.resident - middle.resident) / 1024 << " KiB in " << half << " sessions each";
  }
}

// Natives on four threads race sessions that start and end under them, with
// the library's threads firing events and, in some cycles, logoff called from
// inside messageReceived. Every native answers 0 or 52; nothing hangs.
TEST_F(Reliability, NativesRacingSessionsAnswer0Or52AndNothingHangs) {
  const int cycles = kSanitized ? 40 : 300;
  std::atomic<bool> stop{false};
  std::atomic<int> unexpected{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&] {
      fake::FakeJni jni;
      jni.SetRecording(false);
      jobject self = jni.NewObject();
      jbyteArray record = jni.NewByteArray(33);
      while (!stop.load()) {
        const jint a = Java_korvane_api_delphi_ClientAPI_purge(jni.env(), self, nullptr, nullptr);
        const jint b = Java_korvane_api_delphi_ClientAPI_getExchange(jni.env(), self, 1, record);
        if ((a != 0 && a != 52) || (b != 0 && b != 52)) unexpected.fetch_add(1);
      }
    });
  }
  for (int cycle = 0; cycle < cycles; ++cycle) {
    ASSERT_EQ(Initialise(), 0);
    const bool fromInside = cycle % 4 == 0;
    gSeen = 0;
    testing_support::BoundedThread pump([inside = fromInside]() mutable {
      fake::FakeJni jni;
      jni.SetRecording(false);
      jobject self = jni.NewObject();
      jbyteArray buffer = jni.NewByteArray(514);
      jni.lastBuffer = buffer;
      jni.OnMessage(
          [](fake::FakeJni& j, const fake::FakeJni::Message&, void* inside) {
            if (++gSeen == 20 && *static_cast<bool*>(inside))
              Java_korvane_api_delphi_ClientAPI_logoff(j.env(), nullptr);
          },
          &inside);
      Java_korvane_api_delphi_ClientAPI_processCallbacks(jni.env(), self, buffer);
    });
    ASSERT_EQ(sim_.FireStream(5, 27, 2, 200), 0);
    if (!fromInside) {
      // A logoff before the pump starts would not stop it (it clears the
      // request as it starts): wait until it is delivering.
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (gSeen.load() == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
      ASSERT_NE(gSeen.load(), 0) << "no event delivered within 30 s in cycle " << cycle;
      Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_);
    }
    ASSERT_TRUE(pump.Finished(std::chrono::seconds(30),
                              "the pump's return in cycle " + std::to_string(cycle)));
    Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_);  // if the pump's came first
  }
  stop.store(true);
  for (auto& c : callers) c.join();
  EXPECT_EQ(unexpected.load(), 0);
}

// A library that answers a request with events on the caller's own thread,
// or that calls back holding a lock its entries need, meets a native called
// from inside messageReceived, with a burst far past the queue's bound: both
// complete within seconds, every event in order.
struct BurstCheck {
  jbyteArray buffer, exchange;
  int32_t next = 0;
  int64_t outOfOrder = 0;
  jint nativeCode = -1;
  int32_t total;
};

// Returns how many times producers gave up waiting for the pump.
uint64_t RunBurst(fake::FakeJni& jni, jobject self, testing_support::SimLibrary& sim, bool locked) {
  const uint64_t stalls = relay::Stalls();
  BurstCheck check{jni.NewByteArray(514),       jni.NewByteArray(33), 0, 0, -1,
                   kSanitized ? 100000 : 300000};
  jni.lastBuffer = check.buffer;
  jni.SetRecording(false);
  jni.OnMessage(
      [](fake::FakeJni& j, const fake::FakeJni::Message& m, void* context) {
        auto* c = static_cast<BurstCheck*>(context);
        if (c->nativeCode == -1)  // the first event: a native that meets the library
          c->nativeCode =
              Java_korvane_api_delphi_ClientAPI_getExchange(j.env(), nullptr, 1, c->exchange);
        if (m.id != 5) return;
        const std::vector<uint8_t>& b = j.Bytes(c->buffer);
        if ((b[4] | b[5] << 8 | b[6] << 16 | b[7] << 24) != c->next++) ++c->outOfOrder;
        if (c->next == c->total) relay::RequestStop();
      },
      &check);
  if (locked) {
    EXPECT_EQ(sim.FireLocked(5, 27, check.total), 0);
  } else {
    sim.Burst("qrGetExchange", 5, 27, check.total);
    relay::AddCallback(7, nullptr, 0);
  }
  testing_support::BoundedThread pump(
      [&] { Java_korvane_api_delphi_ClientAPI_processCallbacks(jni.env(), self, check.buffer); });
  if (!pump.Finished(std::chrono::seconds(60), "the burst's delivery")) {
    relay::RequestStop();  // let the pump go before `check` leaves this frame
    pump.Finished(std::chrono::seconds(10), "the pump's return after a stop");
  }
  sim.WaitIdle();
  EXPECT_EQ(check.nativeCode, 0);
  EXPECT_EQ(check.next, check.total);
  EXPECT_EQ(check.outOfOrder, 0);
  return relay::Stalls() - stalls;
}

TEST_F(Reliability, ABurstOnThePumpsOwnThreadNeverWaitsForItself) {
  ASSERT_EQ(Initialise(), 0);
  EXPECT_EQ(RunBurst(jni_, self_, sim_, false), 0u);  // not even the stall bound
}

// The initialise gives it a fresh session: no stall, stall bound or log
// line of an earlier test carries over.
TEST_F(Reliability, ABurstUnderTheLibrarysLockCostsOneStallNotAHang) {
  ASSERT_EQ(Initialise(), 0);
  sim_.Journal(true);
  EXPECT_EQ(RunBurst(jni_, self_, sim_, true), 1u);
  // The pump said once that it fell behind; the producers never did.
  const auto lines = Logged();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("events waiting"), std::string::npos);
  EXPECT_NE(lines[0].find("processCallbacks"), std::string::npos);
}

// Producers and a pump whose handler is slow or stuck: what a test of the
// queue's memory needs to see from the handler.
struct SlowCheck {
  jbyteArray buffer;
  int sleepMs;  // per event, for the first `slowEvents`
  int slowEvents;
  std::atomic<bool>* stuck;  // the first event waits while this is set (bounded)
  std::vector<int32_t> next = std::vector<int32_t>(2, 0);
  std::atomic<int64_t> seen{0};
  int64_t outOfOrder = 0;
  std::atomic<int64_t> expected{-1};  // stop after this many, once known
  size_t maxBlocks = 0;
  int64_t stalledDeliveries = 0;  // events the pump took while producers were past the bound
  uint64_t droppedBefore = relay::Dropped();
};
constexpr double kBlockMiB = 63 * 256.0 / (1 << 20);

void SlowHandler(fake::FakeJni& j, const fake::FakeJni::Message& m, void* context) {
  auto* c = static_cast<SlowCheck*>(context);
  const std::vector<uint8_t>& b = j.Bytes(c->buffer);
  const int32_t thread = b[0] | b[1] << 8;
  const int32_t sequence = b[4] | b[5] << 8 | b[6] << 16 | b[7] << 24;
  if (m.id != 5 || thread >= 2 || sequence != c->next[thread]++) ++c->outOfOrder;
  c->maxBlocks = std::max(c->maxBlocks, relay::LiveBlocks());
  c->stalledDeliveries += relay::Stalled();
  if (++c->seen == 1 && c->stuck != nullptr) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (c->stuck->load() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (c->seen <= c->slowEvents) std::this_thread::sleep_for(std::chrono::milliseconds(c->sleepMs));
  if (c->seen == c->expected.load()) relay::RequestStop();
}

// Runs the pump while two simulator threads fire `perThread` events each as
// fast as they can; returns once they are done and every event kept was
// delivered.
void RunSlow(fake::FakeJni& jni, jobject self, testing_support::SimLibrary& sim, SlowCheck& check,
             int32_t perThread, std::atomic<bool>* release) {
  jni.lastBuffer = check.buffer;
  jni.SetRecording(false);
  jni.OnMessage(SlowHandler, &check);
  testing_support::BoundedThread pump(
      [&] { Java_korvane_api_delphi_ClientAPI_processCallbacks(jni.env(), self, check.buffer); });
  ASSERT_EQ(sim.FireStream(5, 27, 2, perThread), 0);
  testing_support::BoundedThread producers([&] { sim.WaitIdle(); });
  const bool fired = producers.Finished(std::chrono::seconds(60), "the producers' last event");
  check.expected = 2LL * perThread - static_cast<int64_t>(relay::Dropped() - check.droppedBefore);
  if (check.seen.load() >= check.expected.load()) relay::RequestStop();  // drained already
  if (release != nullptr) release->store(false);
  if (!fired || !pump.Finished(std::chrono::seconds(60), "the delivery of every event kept")) {
    relay::RequestStop();  // let the pump go before `check` is gone
    pump.Finished(std::chrono::seconds(10), "the pump's return after a stop");
  }
}

// A handler that takes 100 ms an event for a while (a database write, a GC
// pause) while producers fire flat out: each stall lets producers past the
// bound by one allowance, and only until the pump takes its next event, so
// the pump never takes an event while they are past it (save one that races
// the stall's start), and the heap blocks stay within a few tens of MiB.
// Another thread's call held inside the library meanwhile is no reason to
// let producers past: the pump does not wait for it.
TEST_F(Reliability, ASlowHandlerHoldsProducersToTheBound) {
  ASSERT_EQ(Initialise(), 0);
  SlowCheck check{jni_.NewByteArray(514), 100, 12, nullptr};
  const int32_t perThread = kSanitized ? 200000 : 1000000;
  const uint64_t stalls = relay::Stalls();
  sim_.Fault("qrPurge", 3);  // holds every purge until released
  testing_support::BoundedThread held([] {
    fake::FakeJni jni;
    Java_korvane_api_delphi_ClientAPI_purge(jni.env(), jni.NewObject(), nullptr, nullptr);
  });
  RunSlow(jni_, self_, sim_, check, perThread, nullptr);
  sim_.Fault("qrPurge", 0);
  held.Finished(std::chrono::seconds(10), "the held purge's return");
  EXPECT_EQ(relay::Dropped(), check.droppedBefore);
  EXPECT_EQ(check.seen, 2LL * perThread);
  EXPECT_EQ(check.outOfOrder, 0);
  std::printf(
      "[ slow    ] %lld events, 100 ms each for the first 12: %llu stalls, %lld events "
      "taken while stalled, at most %zu blocks (%.1f MiB)\n",
      static_cast<long long>(check.seen), static_cast<unsigned long long>(relay::Stalls() - stalls),
      static_cast<long long>(check.stalledDeliveries), check.maxBlocks,
      check.maxBlocks * kBlockMiB);
  EXPECT_LE(check.stalledDeliveries, static_cast<int64_t>(relay::Stalls() - stalls));
  // Stalls without an allowance took 16,000 blocks (250 MiB) here.
  EXPECT_LE(check.maxBlocks, 4 * relay::kKeptBlocks);
}

// A handler stuck in its first event: producers stall past the bound, then
// meet the byte limit, where every further event is dropped and counted,
// with one line for the episode. Once the handler returns, everything kept
// arrives in order.
TEST_F(Reliability, AStuckHandlerMeetsTheByteLimitAndEverythingKeptArrives) {
  ASSERT_EQ(Initialise(), 0);
  sim_.Journal(true);
  const size_t limit = relay::SetByteLimit(24u << 20);
  std::atomic<bool> stuck{true};
  SlowCheck check{jni_.NewByteArray(514), 0, 0, &stuck};
  const int32_t perThread = kSanitized ? 100000 : 300000;
  RunSlow(jni_, self_, sim_, check, perThread, &stuck);
  relay::SetByteLimit(limit);
  const int64_t lost = static_cast<int64_t>(relay::Dropped() - check.droppedBefore);
  EXPECT_GT(lost, 0);
  EXPECT_EQ(check.seen + lost, 2LL * perThread);
  EXPECT_EQ(check.outOfOrder, 0);  // each producer's kept events are a prefix, in order
  EXPECT_LE(check.maxBlocks * kBlockMiB, 24 * 1.1);
  int limitLines = 0;
  for (const std::string& line : Logged())
    limitLines += line.find("TCallback.Create") != std::string::npos &&
                  line.find("limit of 24 MiB") != std::string::npos;
  EXPECT_EQ(limitLines, 1);
}

}  // namespace
