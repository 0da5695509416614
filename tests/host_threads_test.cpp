// More Java threads calling at once than the library host has call slots: a
// front-end with a large pool must get the library's answers on every
// thread, as in-process, never a failure for the thread that came late.
// Runs with JAVAWRAPPER_HOST=always.
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hostlink/bridge.h"
#include "hostlink/shared.h"
#include "natives_support.h"
#include "platform/host_link.h"

using testing_support::BoundedThread;
using testing_support::BridgeTest;
using testing_support::SimLibrary;
using testing_support::Within;

DECLARE_NATIVE(jint, getExchange, jint, jbyteArray);

namespace {

constexpr int kExchanges = 3;
constexpr size_t kRecord = 33;

struct Answer {
  jint code = -1;
  std::vector<uint8_t> bytes;
  bool operator==(const Answer&) const = default;
};

Answer Ask(fake::FakeJni& jni, jobject self, int exchange) {
  jbyteArray out = jni.NewByteArray(kRecord, 0xEE);
  Answer a;
  a.code = Java_korvane_api_delphi_ClientAPI_getExchange(jni.env(), self, exchange, out);
  a.bytes = jni.Bytes(out);
  return a;
}

class HostThreads : public BridgeTest {
 protected:
  void SetUp() override {
    if (!SimLibrary::InHost()) GTEST_SKIP() << "needs JAVAWRAPPER_HOST=always";
  }
};

TEST_F(HostThreads, EveryThreadPastTheCallSlotsStillGetsTheLibrarysAnswers) {
  ASSERT_EQ(Initialise(), 0);
  std::vector<Answer> expected;
  for (int e = 0; e < kExchanges; ++e) expected.push_back(Ask(jni_, self_, e));
  ASSERT_EQ(expected[0].code, 0);

  // Each thread calls once, waits until every one has (so all hold their
  // slots at once), then calls again with another exchange.
  constexpr int kThreads = hostlink::kSlots + 12;
  std::atomic<int> firstDone{0}, wrong{0};
  std::atomic<bool> gaveUp{false};
  std::vector<std::unique_ptr<BoundedThread>> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.push_back(std::make_unique<BoundedThread>([&, i] {
      fake::FakeJni own;
      jobject self = own.NewObject();
      wrong += !(Ask(own, self, i % kExchanges) == expected[i % kExchanges]);
      ++firstDone;
      if (!Within(60, [&] { return firstDone.load() == kThreads || gaveUp.load(); })) return;
      wrong += !(Ask(own, self, (i + 1) % kExchanges) == expected[(i + 1) % kExchanges]);
    }));
  const bool allIn = Within(60, [&] { return firstDone.load() == kThreads; });
  gaveUp.store(!allIn);
  for (auto& t : threads) t->Finished(std::chrono::seconds(60), "a calling thread's end");
  ASSERT_TRUE(allIn) << firstDone.load() << " of " << kThreads << " threads made their first call";
  EXPECT_EQ(wrong.load(), 0) << "calls that did not give the library's answer";
  // The bridge goes on as before for a thread that came first.
  EXPECT_EQ(Ask(jni_, self_, 2), expected[2]);
}

TEST_F(HostThreads, ThreadsOnTheSharedSlotTakeSlotsOfTheirOwnOnceCallingThreadsEnd) {
  ASSERT_EQ(Initialise(), 0);
  // Holders take every slot but the shared one (this thread has one too) and
  // stay; late threads then call once, on the shared slot, and stay. Once
  // the holders end, the late threads call at once into a call that waits
  // in the library: each must have a host thread of its own by then.
  constexpr int kHolders = hostlink::kSlots - 2;
  constexpr int kLate = 40;
  std::atomic<int> held{0}, lateDone{0};
  std::atomic<bool> holdersGo{false}, lateGo{false}, over{false};
  const auto waitFor = [&](std::atomic<bool>& go) {
    return Within(60, [&] { return go.load() || over.load(); }) && !over.load();
  };
  std::vector<std::unique_ptr<BoundedThread>> holders, late;
  for (int i = 0; i < kHolders; ++i)
    holders.push_back(std::make_unique<BoundedThread>([&, i] {
      fake::FakeJni own;
      Ask(own, own.NewObject(), i % kExchanges);
      ++held;
      waitFor(holdersGo);
    }));
  const bool allHeld = Within(60, [&] { return held.load() == kHolders; });
  std::vector<jint> codes(kLate, -1);
  for (int i = 0; i < kLate && allHeld; ++i)
    late.push_back(std::make_unique<BoundedThread>([&, i] {
      fake::FakeJni own;
      jobject self = own.NewObject();
      Ask(own, self, i % kExchanges);
      ++lateDone;
      if (waitFor(lateGo)) codes[i] = Ask(own, self, 1).code;
    }));
  const bool allLate = allHeld && Within(60, [&] { return lateDone.load() == kLate; });
  holdersGo.store(true);
  for (auto& t : holders) t->Finished(std::chrono::seconds(60), "a holder's end");
  sim_.Fault("qrGetExchange", 3);
  lateGo.store(allLate);
  const bool allIn = allLate && Within(30, [&] { return hostlink::CallsInFlight() == kLate; });
  const int inFlight = hostlink::CallsInFlight();
  sim_.Fault("qrGetExchange", 0);
  over.store(true);
  for (auto& t : late) t->Finished(std::chrono::seconds(60), "a late call's end");
  ASSERT_TRUE(allHeld) << held.load() << " of " << kHolders << " holders called";
  ASSERT_TRUE(allLate) << lateDone.load() << " of " << kLate << " late threads called";
  EXPECT_TRUE(allIn) << inFlight << " of " << kLate << " calls in the library at once";
  for (int i = 0; i < kLate; ++i) EXPECT_EQ(codes[i], 0) << "late thread " << i;
}

TEST_F(HostThreads, AHostKilledWhileThreadsWaitForTheSharedSlotEndsEveryCallWith99) {
  ASSERT_EQ(Initialise(), 0);
  const int pid = hostlink::HostPid();
  sim_.Fault("qrGetExchange", 3);
  constexpr int kThreads = hostlink::kSlots + 20;
  std::vector<jint> codes(kThreads, -1);
  std::atomic<int> started{0};
  testing::internal::CaptureStderr();
  {
    std::vector<std::unique_ptr<BoundedThread>> threads;
    for (int i = 0; i < kThreads; ++i)
      threads.push_back(std::make_unique<BoundedThread>([&, i] {
        fake::FakeJni own;
        ++started;
        codes[i] = Ask(own, own.NewObject(), i % kExchanges).code;
      }));
    // Every own slot and the shared one hold a call; the rest wait their turn.
    const bool full = Within(30, [&] { return hostlink::CallsInFlight() >= hostlink::kSlots - 1; });
    ASSERT_TRUE(Within(30, [&] { return started.load() == kThreads; }));
    platform::KillHost(pid);  // as the system would, from outside
    for (auto& t : threads) t->Finished(std::chrono::seconds(20), "a call's return after the kill");
    EXPECT_TRUE(full) << hostlink::CallsInFlight() << " calls in flight";
  }
  const std::string said = testing::internal::GetCapturedStderr();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(codes[i], 99) << "thread " << i;
  EXPECT_EQ(said.find("The library host ended (gone)"), std::string::npos);
  ASSERT_TRUE(Within(10, [] { return !binding::IsAPILoaded(); }));
}

}  // namespace
