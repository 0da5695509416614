// Allocation failure: the n-th allocation from the point of arming fails, for
// every n through initialise, an event's delivery and one native of each
// family. Each case ends with a result code or a dropped event, never with a
// terminated process; the sanitizer build checks that nothing leaks.
#include <string>

#include "failing_allocator.h"
#include "natives_support.h"
#include "relay/queue.h"

DECLARE_NATIVE(jint, getExchange, jint, jbyteArray);
DECLARE_NATIVE(jint, addOrder, jbyteArray);
DECLARE_NATIVE(jint, subscribe, jstring, jstring, jstring);
DECLARE_NATIVE(jint, pLBurnRate, jstring, jstring, jstring, jstring, jdoubleArray);
DECLARE_NATIVE(jint, createStrategy, jbyte, jint, jstring, jstring, jobjectArray);
DECLARE_NATIVE(jint, setMDSToken, jstring);
DECLARE_NATIVE(jstring, getErrorMessage, jint);

using testing_support::BridgeTest;

namespace {

class AllocationFailure : public BridgeTest {
 protected:
  // Runs call with the n-th allocation failing, for n = 0, 1, ... until the
  // call no longer reaches a failing allocation. A call that met the failure
  // answers 99, or goes on (answering 0) only where a conversion routine
  // logged it under its own name, as those routines do by design; a call
  // that met none answers 0. A failure read as success is caught.
  // Returns how many allocations the call makes.
  template <typename Call>
  int EveryAllocation(const char* what, Call&& call, bool logged = true) {
    for (int n = 0; n < 10000; ++n) {
      sim_.ClearJournal();
      testing_support::FailAllocationAfter(n);
      const jint code = call();
      const bool failed = testing_support::AllocationFailed();
      testing_support::NeverFailAllocation();
      const bool wentOn = code == 0 && (!logged || ConversionLogged());
      EXPECT_TRUE(failed ? code == 99 || wentOn : code == 0)
          << what << " answered " << code << " with allocation " << n
          << (failed ? " failing" : " not reached");
      if (!failed) return n;
    }
    ADD_FAILURE() << what << ": more than 10000 allocations";
    return 10000;
  }
  bool ConversionLogged() {
    for (const std::string& line : Logged())
      for (const char* where : {"Where JNIString", "Where GetHostAndPort", "Where Parse"})
        if (line.find(where) != std::string::npos) return true;
    return false;
  }
};

TEST_F(AllocationFailure, Initialise) {
  jni_.SetRecording(false);
  jstring dir = jni_.NewString(testing_support::SimLibrary::Directory());
  jstring empty = jni_.NewString("");
  const int tried = EveryAllocation(
      "initialise",
      [&] {
        const jint code = Java_korvane_api_delphi_ClientAPI_initialise(
            jni_.env(), self_, dir, empty, false, false, true, empty, 0, empty, empty);
        testing_support::NeverFailAllocation();
        Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_);  // a partial session ends too
        return code;
      },
      false);  // its texts are converted before the library, the log's sink, is loaded
  EXPECT_GT(tried, 0);
}

// A record long enough to need a heap block of its own: with that
// allocation failing the event is dropped (and logged, when the log line
// itself can be allocated); otherwise it is delivered whole. Either way the
// next event arrives.
TEST_F(AllocationFailure, AnEventIsDeliveredOrDropped) {
  ASSERT_EQ(Initialise(), 0);
  jbyteArray buffer = jni_.NewByteArray(514);
  jni_.lastBuffer = buffer;
  jni_.OnMessage(
      [](fake::FakeJni&, const fake::FakeJni::Message& m, void*) {
        if (m.id == 7) relay::RequestStop();
      },
      nullptr);
  const std::string record(394, 'r');
  testing_support::PumpDeadline deadline(60);
  const int tried = EveryAllocation("an event", [&] {
    const size_t seen = jni_.messages().size();
    relay::AddCallback(14, record.data(), 394);
    relay::AddCallback(7, nullptr, 0);  // always arrives: the pump can stop
    const bool failed = testing_support::AllocationFailed();
    testing_support::NeverFailAllocation();
    Java_korvane_api_delphi_ClientAPI_processCallbacks(jni_.env(), self_, buffer);
    const auto& m = jni_.messages();
    const bool delivered = m.size() == seen + 2 && m[seen].id == 14 && m[seen].length == 394;
    const bool dropped = m.size() == seen + 1;
    const bool next = !m.empty() && m.back().id == 7;
    // 99 for a failure seen and answered, 0 for none; anything else fails.
    if (next && failed && dropped) return 99;
    if (next && !failed && delivered) return 0;
    return -1;
  });
  EXPECT_GT(tried, 0);  // the failure path was taken at least once
  EXPECT_FALSE(deadline.Fired()) << "an event 7 did not arrive within 60 s";
}

TEST_F(AllocationFailure, OneNativeOfEachFamily) {
  ASSERT_EQ(Initialise(), 0);
  jni_.SetRecording(false);
  // Longer than any small-string buffer, so every conversion allocates.
  jstring s = jni_.NewString("a text too long for a small-string buffer");
  jbyteArray exchange = jni_.NewByteArray(33);
  jbyteArray order = jni_.NewByteArray(957);
  jdoubleArray value = jni_.NewDoubleArray(1);
  jobjectArray legs = jni_.NewStringArray({"B\001a\001b\0011\001c", "S\001d\001e\0012\001f"});
  JNIEnv* env = jni_.env();
  EveryAllocation("getExchange", [&] {
    return Java_korvane_api_delphi_ClientAPI_getExchange(env, self_, 1, exchange);
  });
  EveryAllocation("addOrder",
                  [&] { return Java_korvane_api_delphi_ClientAPI_addOrder(env, self_, order); });
  EveryAllocation("subscribe",
                  [&] { return Java_korvane_api_delphi_ClientAPI_subscribe(env, self_, s, s, s); });
  EveryAllocation("pLBurnRate", [&] {
    return Java_korvane_api_delphi_ClientAPI_pLBurnRate(env, self_, s, s, s, s, value);
  });
  EveryAllocation("createStrategy", [&] {
    return Java_korvane_api_delphi_ClientAPI_createStrategy(env, self_, 1, 2, s, s, legs);
  });
  EveryAllocation("setMDSToken",
                  [&] { return Java_korvane_api_delphi_ClientAPI_setMDSToken(env, self_, s); });
  // A text, or null when it could not be built.
  EveryAllocation("getErrorMessage", [&] {
    jstring text = Java_korvane_api_delphi_ClientAPI_getErrorMessage(env, self_, 54);
    const bool failed = testing_support::AllocationFailed();
    testing_support::NeverFailAllocation();
    if (text == nullptr) return failed ? 99 : -1;
    return jni_.StringOf(text).empty() ? -1 : 0;
  });
  EXPECT_TRUE(jni_.violations().empty());
}

// After warm-up an event costs the relay no allocation: records live in
// recycled blocks. Every round builds the same backlog with no pump attached
// (so no producer waits and no stall lets one past the bound) and then pumps
// it out: the count depends on the queue alone, not on how a loaded machine
// schedules a producer against the pump.
TEST_F(AllocationFailure, NoAllocationPerEventAfterWarmUp) {
  ASSERT_EQ(Initialise(), 0);
  jbyteArray buffer = jni_.NewByteArray(514);
  jni_.lastBuffer = buffer;
  jni_.SetRecording(false);
  static long seen, stopAt;
  jni_.OnMessage(
      [](fake::FakeJni&, const fake::FakeJni::Message&, void*) {
        if (++seen == stopAt) relay::RequestStop();
      },
      nullptr);
  const std::string record(27, 'r');
  constexpr long kBacklog = relay::kCapacity;  // a full queue: its pool keeps every block
  constexpr int kRounds = 20;
  auto round = [&] {
    for (long i = 0; i < kBacklog; ++i) relay::AddCallback(5, record.data(), 27);
    seen = 0;
    stopAt = kBacklog;
    Java_korvane_api_delphi_ClientAPI_processCallbacks(jni_.env(), self_, buffer);
    return seen;
  };
  testing_support::PumpDeadline deadline(120);
  ASSERT_EQ(round(), kBacklog);  // warm-up
  const long before = testing_support::AllocationCount();
  long delivered = 0;
  for (int r = 0; r < kRounds; ++r) delivered += round();
  const long allocations = testing_support::AllocationCount() - before;
  ASSERT_FALSE(deadline.Fired()) << delivered << " events of " << kRounds * kBacklog
                                 << " came within 120 s";
  EXPECT_EQ(delivered, kRounds * kBacklog);
  EXPECT_EQ(relay::QueuedCount(), 0u);
  // One allocation per event would be a million, one per block of 63 slots
  // over 15,000. A round's backlog may straddle one more block than the
  // warm-up's did, once.
  EXPECT_LE(allocations, 2) << "allocations over " << delivered << " events";
}

}  // namespace
