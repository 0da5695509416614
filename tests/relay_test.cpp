// The pump's exact JNI behaviour, which a real JVM cannot show cleanly:
// call sequences, short buffers and a throwing messageReceived.
#include <atomic>
#include <chrono>
#include <future>
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
      "GetObjectClass",     "GetMethodID",     "DeleteLocalRef",
      "SetByteArrayRegion", "ExceptionCheck",  "CallVoidMethodA",
      "ExceptionCheck",     "CallVoidMethodA", "ExceptionCheck"};
  EXPECT_EQ(jni_.calls(), expected);
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

TEST_F(PumpTest, StopDuringADrainLeavesTheRestQueuedInOrder) {
  for (int id : {21, 22, 23}) relay::AddCallback(id, nullptr, 0);
  Pump(jni_.NewByteArray(514), 1);
  ASSERT_EQ(jni_.messages().size(), 1u);
  EXPECT_EQ(relay::QueuedCount(), 2u);
  Pump(jni_.NewByteArray(514), 3);  // the next pump delivers the rest, in order
  ASSERT_EQ(jni_.messages().size(), 3u);
  EXPECT_EQ(jni_.messages()[1].id, 22);
  EXPECT_EQ(jni_.messages()[2].id, 23);
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
  Pump(buffer, 9);
  std::vector<int32_t> ids;
  for (const auto& m : jni_.messages()) ids.push_back(m.id);
  EXPECT_EQ(ids, (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 101, 102, 103}));
}

TEST_F(PumpTest, ANewQueueDropsTheEventsOfTheOldOne) {
  relay::AddCallback(21, nullptr, 0);
  relay::CreateQueue();
  relay::AddCallback(22, nullptr, 0);
  Pump(jni_.NewByteArray(514), 1);
  ASSERT_EQ(jni_.messages().size(), 1u);
  EXPECT_EQ(jni_.messages()[0].id, 22);
  EXPECT_EQ(relay::QueuedCount(), 0u);
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
  auto first = std::async(std::launch::async, pump);
  auto second = std::async(std::launch::async, pump);
  for (int id = 1; id <= 100; ++id) relay::AddCallback(id, nullptr, 0);
  while (relay::QueuedCount() > 0) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // both pumps waiting
  relay::RequestStop();
  EXPECT_EQ(first.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(second.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(delivered.load(), 100);
}

}  // namespace
