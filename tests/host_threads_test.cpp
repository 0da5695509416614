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

#include "hostlink/shared.h"
#include "natives_support.h"

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

}  // namespace
