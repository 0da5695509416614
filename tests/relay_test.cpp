// The pump's exact JNI behaviour, which a real JVM cannot show cleanly:
// call sequences, short buffers and a throwing messageReceived.
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "natives_support.h"
#include "relay/queue.h"

using testing_support::BridgeTest;

namespace {

class PumpTest : public BridgeTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(Initialise(), 0);
    sim_.ClearJournal();
  }
  // Runs the pump on this thread until `stopAfter` messages were seen.
  void Pump(jbyteArray buffer, size_t stopAfter) {
    stopAfter_ = stopAfter;
    jni_.lastBuffer = buffer;
    jni_.OnMessage(
        [](fake::FakeJni& jni, const fake::FakeJni::Message&, void* self) {
          auto* test = static_cast<PumpTest*>(self);
          if (test->throwOn_ == jni.messages().size()) jni.Throw("java/lang/IllegalStateException");
          if (jni.messages().size() >= test->stopAfter_) relay::RequestStop();
        },
        this);
    Java_korvane_api_delphi_ClientAPI_processCallbacks(jni_.env(), self_, buffer);
  }
  size_t stopAfter_ = 0;
  size_t throwOn_ = 0;  // 1-based message number whose handler throws
};

TEST_F(PumpTest, DeliversInOrderWithTheExactJniSequence) {
  const std::string order(27, '\x11');
  relay::AddCallback(5, order.data(), 27);
  relay::AddCallback(7, nullptr, 0);
  jbyteArray buffer = jni_.NewByteArray(514, 0xEE);
  jni_.ClearCalls();
  Pump(buffer, 2);

  ASSERT_EQ(jni_.messages().size(), 2u);
  EXPECT_EQ(jni_.messages()[0].id, 5);
  EXPECT_EQ(jni_.messages()[0].length, 27);
  EXPECT_EQ(std::string(jni_.messages()[0].buffer.begin(), jni_.messages()[0].buffer.begin() + 28),
            order + '\xEE');
  EXPECT_EQ(jni_.messages()[1].id, 7);
  EXPECT_EQ(jni_.messages()[1].length, 0);
  EXPECT_EQ(jni_.CountCalls("SetByteArrayRegion"), 1u);  // nothing copied for length 0
  const std::vector<std::string> expected = {
      "GetObjectClass",     "GetMethodID",    "DeleteLocalRef",  "GetArrayLength",
      "SetByteArrayRegion", "ExceptionCheck", "CallVoidMethodA", "ExceptionCheck",
      "CallVoidMethodA",    "ExceptionCheck"};
  EXPECT_EQ(jni_.calls(), expected);
  EXPECT_TRUE(jni_.violations().empty());
}

// The buffer's length is read once per pump, not once per event: a JNI call
// per event costs the relay about a tenth of its rate.
TEST_F(PumpTest, BufferLengthIsReadOncePerPump) {
  const std::string a(27, '\x31'), b(10, '\x32'), c(514, '\x33');
  relay::AddCallback(5, a.data(), 27);
  relay::AddCallback(9, b.data(), 10);
  relay::AddCallback(10, c.data(), 514);
  jbyteArray buffer = jni_.NewByteArray(514);
  jni_.ClearCalls();
  Pump(buffer, 3);
  ASSERT_EQ(jni_.messages().size(), 3u);
  EXPECT_EQ(jni_.messages()[1].id, 9);
  EXPECT_EQ(jni_.messages()[1].length, 10);
  EXPECT_EQ(jni_.messages()[2].buffer, std::vector<uint8_t>(514, 0x33));
  EXPECT_EQ(jni_.CountCalls("GetArrayLength"), 1u);
  EXPECT_EQ(jni_.CountCalls("SetByteArrayRegion"), 3u);
  EXPECT_TRUE(jni_.violations().empty());
}

TEST_F(PumpTest, ShortBufferIsLoggedAndTheNextEventStillArrives) {
  const std::string fill(27, '\x22');
  relay::AddCallback(5, fill.data(), 27);
  relay::AddCallback(2, fill.data(), 2);
  Pump(jni_.NewByteArray(10), 1);
  ASSERT_EQ(jni_.messages().size(), 1u);
  EXPECT_EQ(jni_.messages()[0].id, 2);
  EXPECT_FALSE(jni_.pending());
  EXPECT_TRUE(jni_.violations().empty());
  const auto lines = Logged();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("Where Java_korvane_api_delphi_ClientAPI_processCallbacks"),
            std::string::npos);
}

TEST_F(PumpTest, ThrowingHandlerIsLoggedOnceAndThePumpGoesOn) {
  for (int id : {5, 9, 10}) relay::AddCallback(id, "abcdefghij", 10);
  throwOn_ = 2;
  Pump(jni_.NewByteArray(514), 3);
  ASSERT_EQ(jni_.messages().size(), 3u);
  EXPECT_EQ(jni_.messages()[2].id, 10);
  EXPECT_TRUE(jni_.violations().empty());
  const auto lines = Logged();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("messageReceived(9, 10) threw"), std::string::npos);
}

void SetLogFile(const std::string& path) {
  testing_support::SetEnvironment("JAVAWRAPPER_LOG", path);
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The failures a front-end team meets first reach standard error and the
// file JAVAWRAPPER_LOG names, once each, not only the trading library's log:
// a short input record, a short out-array, a pump buffer too short for an
// event (dropped) and a messageReceived that throws.
TEST_F(PumpTest, FunnelLinesReachStandardErrorAndTheLogFile) {
  const std::string path = testing::TempDir() + "javawrapper-report-test.log";
  std::remove(path.c_str());
  SetLogFile(path);
  testing::internal::CaptureStderr();
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_addOrder(jni_.env(), self_, jni_.NewByteArray(956)),
            99);
  EXPECT_EQ(
      Java_korvane_api_delphi_ClientAPI_getAccount(jni_.env(), self_, 3, jni_.NewByteArray(47)),
      99);
  relay::AddCallback(5, std::string(27, 'x').data(), 27);
  relay::AddCallback(9, "ab", 2);
  throwOn_ = 1;
  Pump(jni_.NewByteArray(10), 1);
  const std::string err = testing::internal::GetCapturedStderr();
  SetLogFile("");
  std::stringstream file;
  file << std::ifstream(path, std::ios::binary).rdbuf();
  std::remove(path.c_str());
  const std::string where = " Where Java_korvane_api_delphi_ClientAPI_";
  const std::string lines[] = {
      "JavaWrapper: Wrapper API ErrorJava array order holds 956 bytes, shorter than its "
      "957-byte record" +
          where + "addOrder\n",
      "JavaWrapper: Wrapper API ErrorJava array record holds 47 elements, shorter than the 48 it "
      "receives Where GetProc\n",
      "JavaWrapper: Wrapper API ErrorJava array buffer holds 10 bytes, shorter than the 27-byte "
      "record of event 5 (it must hold 514); the event is dropped" +
          where + "processCallbacks\n",
      "JavaWrapper: Wrapper API ErrormessageReceived(9, 2) threw "};
  for (const std::string& line : lines) {
    EXPECT_EQ(Occurrences(err, line), 1u) << line << " on standard error:\n" << err;
    EXPECT_EQ(Occurrences(file.str(), line), 1u) << line << " in the log file:\n" << file.str();
  }
  EXPECT_EQ(Occurrences(file.str(), "\n"), 4u) << file.str();
  EXPECT_EQ(Logged().size(), 4u);  // and the trading library's log as before
}

// A stop mid-drain while producers keep adding: what the stopped pump did
// not deliver comes first at the next pump, then the newer events, each
// producer's order intact.
TEST_F(PumpTest, AStopMidDrainKeepsTheRestAheadOfNewerEvents) {
  for (int id = 1; id <= 6; ++id) relay::AddCallback(id, nullptr, 0);  // producer A
  jni_.OnMessage(
      [](fake::FakeJni& jni, const fake::FakeJni::Message&, void*) {
        if (jni.messages().size() == 2) {
          for (int id = 101; id <= 103; ++id) relay::AddCallback(id, nullptr, 0);  // producer B
          relay::RequestStop();
        }
      },
      nullptr);
  jbyteArray buffer = jni_.NewByteArray(514);
  Java_korvane_api_delphi_ClientAPI_processCallbacks(jni_.env(), self_, buffer);
  ASSERT_EQ(jni_.messages().size(), 2u);
  EXPECT_EQ(relay::QueuedCount(), 7u);  // the stopped pump left the rest queued
  Pump(buffer, 9);
  std::vector<int32_t> ids;
  for (const auto& m : jni_.messages()) ids.push_back(m.id);
  EXPECT_EQ(ids, (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 101, 102, 103}));
}

// A new session, and a queue retired by an unload that left the library
// loaded, drop what waits (a retired one its memory too, and whatever comes
// after): only the newest session's events are ever delivered.
TEST_F(PumpTest, ANewOrRetiredQueueDropsTheEventsOfTheOldOne) {
  relay::AddCallback(21, nullptr, 0);
  relay::CreateQueue();
  relay::AddCallback(22, nullptr, 0);
  Pump(jni_.NewByteArray(514), 1);
  ASSERT_EQ(jni_.messages().size(), 1u);
  EXPECT_EQ(jni_.messages()[0].id, 22);
  EXPECT_EQ(relay::QueuedCount(), 0u);

  const std::string record(27, '\x33');
  for (int i = 0; i < 4 * 65536; ++i) relay::AddCallback(23, record.data(), 27);
  relay::RetireQueues();
  EXPECT_EQ(relay::QueuedCount(), 0u);
  EXPECT_LE(relay::LiveBlocks(), relay::kKeptBlocks + 1) << "the retired events' blocks were kept";
  relay::AddCallback(24, nullptr, 0);  // a library thread after the unload
  EXPECT_EQ(relay::QueuedCount(), 0u);
  relay::CreateQueue();  // a later class loader's initialise
  relay::AddCallback(25, nullptr, 0);
  Pump(jni_.NewByteArray(514), 2);
  ASSERT_EQ(jni_.messages().size(), 2u);
  EXPECT_EQ(jni_.messages()[1].id, 25);
}

// processCallbacks called from inside messageReceived, on the pump's own
// thread, would wait for itself: it returns at once, delivering nothing, and
// the outer pump goes on in order.
TEST_F(PumpTest, ANestedPumpReturnsAtOnceAndTheOuterGoesOn) {
  for (int id : {31, 32, 33}) relay::AddCallback(id, nullptr, 0);
  jbyteArray buffer = jni_.NewByteArray(514);
  jni_.lastBuffer = buffer;
  jni_.OnMessage(
      [](fake::FakeJni& jni, const fake::FakeJni::Message&, void* self) {
        const size_t before = jni.messages().size();
        if (before == 1)
          Java_korvane_api_delphi_ClientAPI_processCallbacks(jni.env(), static_cast<jobject>(self),
                                                             jni.lastBuffer);
        if (jni.messages().size() != before)
          jni.Throw("java/lang/AssertionError");  // nested delivered
        if (before == 3) relay::RequestStop();
      },
      self_);
  testing_support::BoundedThread outer(
      [&] { Java_korvane_api_delphi_ClientAPI_processCallbacks(jni_.env(), self_, buffer); });
  ASSERT_TRUE(outer.Finished(std::chrono::seconds(10), "the outer pump's return"));
  ASSERT_EQ(jni_.messages().size(), 3u);
  EXPECT_EQ(jni_.messages()[1].id, 32);
  EXPECT_EQ(jni_.messages()[2].id, 33);
  EXPECT_TRUE(Logged().empty());  // no handler threw
}

TEST(Relay, QueuedRecordsAreCopies) {
  relay::CreateQueue();
  std::string record(27, 'a');
  relay::AddCallback(5, record.data(), 27);
  record.assign(27, 'b');  // the library reuses its buffer at once
  relay::PumpSession pump;
  const relay::TCallback* event = pump.Next();
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(event->Data()), 27), std::string(27, 'a'));
  pump.Done();
}

// The closing mark belongs to the session being logged off: an initialise
// that slips in before the mark is set does not inherit it, and the mark
// never outlives the log-off.
TEST(Relay, ClosingMarksOnlyTheSessionItNames) {
  relay::CreateQueue();
  const relay::Session loggingOff = relay::CurrentSession();
  relay::CreateQueue();  // an initialise on another thread
  relay::BeginClosing(loggingOff);
  EXPECT_FALSE(relay::Closing());
  relay::EndClosing(loggingOff);

  const relay::Session current = relay::CurrentSession();
  relay::BeginClosing(current);
  EXPECT_TRUE(relay::Closing());
  relay::EndClosing(current);
  EXPECT_FALSE(relay::Closing());
}

// A front-end that starts a second pump before the first returned: one stop
// ends both, and nothing is delivered twice.
TEST(Relay, OneStopEndsEveryPump) {
  relay::CreateQueue();
  std::atomic<int> delivered{0};
  auto pump = [&] {
    relay::PumpSession session;
    while (session.Next() != nullptr) {
      delivered.fetch_add(1);
      session.Done();
    }
  };
  testing_support::BoundedThread first(pump), second(pump);
  for (int id = 1; id <= 100; ++id) relay::AddCallback(id, nullptr, 0);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (relay::QueuedCount() > 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::yield();
  ASSERT_EQ(relay::QueuedCount(), 0u) << "the pumps did not drain the queue within 10 s";
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // both pumps waiting
  relay::RequestStop();
  EXPECT_TRUE(first.Finished(std::chrono::seconds(10), "the first pump's return after a stop"));
  EXPECT_TRUE(second.Finished(std::chrono::seconds(10), "the second pump's return after a stop"));
  EXPECT_EQ(delivered.load(), 100);
}

// Depth and readiness at every position of a block: the last slot (62), the
// linking position (63) with the next block linked and its first slot
// written or not, the next block's first slot, across many blocks. Depth
// swings 0..3 so the head sits at each position with 0, 1 and 2 events
// behind it.
TEST(Relay, DepthAndReadinessHoldAtEveryBlockPosition) {
  relay::CreateQueue();
  relay::PumpSession pump;
  int32_t pushed = 0, popped = 0;
  for (int round = 0; round < 3 * 64 * 4; ++round) {
    const int n = 1 + round % 3;
    for (int i = 0; i < n; ++i) {
      relay::AddCallback(1000 + pushed++, nullptr, 0);
      ASSERT_EQ(relay::QueuedCount(), static_cast<size_t>(pushed - popped))
          << "after push " << pushed;
      ASSERT_TRUE(pump.Ready()) << "after push " << pushed;
    }
    for (int i = 0; i < n; ++i) {
      ASSERT_TRUE(pump.Ready()) << "before pop " << popped;
      const relay::TCallback* event = pump.Next();
      ASSERT_NE(event, nullptr);
      ASSERT_EQ(event->Id(), 1000 + popped++);
      pump.Done();
      ASSERT_EQ(pump.Depth(), static_cast<uint64_t>(pushed - popped)) << "after pop " << popped;
      ASSERT_EQ(pump.Ready(), pushed > popped) << "after pop " << popped;
    }
  }
}

// Every wait mode delivers everything in order, from producers that pause
// now and then so the pump goes idle (spinning, yielding or asleep) between
// events.
TEST(Relay, EveryWaitModeDeliversEverythingInOrder) {
  const relay::PumpWait before = relay::PumpWaitMode();
  for (relay::PumpWait mode :
       {relay::PumpWait::kBlock, relay::PumpWait::kBackoff, relay::PumpWait::kSpin}) {
    relay::SetPumpWaitMode(mode);
    relay::CreateQueue();
    constexpr int32_t kPerThread = 3000;
    std::vector<int32_t> next(2, 0);
    int64_t outOfOrder = 0, seen = 0;
    testing_support::BoundedThread pump([&] {
      relay::PumpSession session;
      while (const relay::TCallback* event = session.Next()) {
        int32_t record[2];
        std::memcpy(record, event->Data(), sizeof record);
        if (event->Id() != 9 || record[1] != next[record[0]]++) ++outOfOrder;
        ++seen;
        session.Done();
      }
    });
    std::vector<std::thread> producers;
    for (int32_t t = 0; t < 2; ++t) {
      producers.emplace_back([t] {
        for (int32_t n = 0; n < kPerThread; ++n) {
          const int32_t record[2] = {t, n};
          relay::AddCallback(9, record, sizeof record);
          if (n % 97 == t) std::this_thread::sleep_for(std::chrono::microseconds(300 * (1 + t)));
        }
      });
    }
    for (auto& p : producers) p.join();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (relay::QueuedCount() > 0 && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    relay::RequestStop();
    const int m = static_cast<int>(mode);
    ASSERT_TRUE(pump.Finished(std::chrono::seconds(30),
                              "the pump's drain and stop, mode " + std::to_string(m)));
    EXPECT_EQ(seen, 2 * kPerThread) << "mode " << m;
    EXPECT_EQ(outOfOrder, 0) << "mode " << m;
  }
  relay::SetPumpWaitMode(before);
}

}  // namespace
