// Every callback of the registration table, fired from the simulator's own
// threads, reaches messageReceived with its id and byte count.
#include <string>
#include <vector>

#include "natives_support.h"
#include "relay/queue.h"

using testing_support::BridgeTest;

namespace {

struct Expected {
  int32_t id;
  int32_t bytes;
};

// Record callbacks (fired with a 600-byte record) and the bytes each queues.
const Expected kRecordCallbacks[] = {{1, 2},    {2, 2},    {8, 73},   {27, 73},  {26, 78}, {21, 73},
                                     {22, 114}, {16, 73},  {19, 73},  {10, 77},  {5, 27},  {38, 36},
                                     {9, 82},   {11, 73},  {12, 73},  {33, 73},  {32, 22}, {31, 11},
                                     {36, 11},  {13, 11},  {25, 27},  {14, 394}, {15, 27}, {28, 27},
                                     {29, 27},  {23, 135}, {24, 145}, {37, 47}};
const int32_t kSignalCallbacks[] = {7, 6, 18, 30};

class CallbackTest : public BridgeTest {
 protected:
  void SetUp() override { ASSERT_EQ(Initialise(), 0); }
  // Pumps until `count` messages arrived (they were queued before).
  void PumpAll(size_t count) {
    buffer_ = jni_.NewByteArray(514, 0xEE);
    jni_.lastBuffer = buffer_;
    count_ = count;
    jni_.OnMessage(
        [](fake::FakeJni& jni, const fake::FakeJni::Message&, void* self) {
          if (jni.messages().size() >= static_cast<CallbackTest*>(self)->count_)
            relay::RequestStop();
        },
        this);
    testing_support::PumpDeadline deadline(30);
    Java_korvane_api_delphi_ClientAPI_processCallbacks(jni_.env(), self_, buffer_);
    ASSERT_FALSE(deadline.Fired())
        << jni_.messages().size() << " of " << count << " events arrived within 30 s";
  }
  static std::string Record() {
    std::string record(600, '\0');
    for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<char>(i * 3 + 5);
    return record;
  }
  jbyteArray buffer_ = nullptr;
  size_t count_ = 0;
};

TEST_F(CallbackTest, EveryIdArrivesWithItsByteCount) {
  const std::string record = Record();
  for (const Expected& e : kRecordCallbacks) ASSERT_EQ(sim_.Fire(e.id, record), 0) << e.id;
  for (int32_t id : kSignalCallbacks) ASSERT_EQ(sim_.Fire(id, ""), 0) << id;
  const size_t total = std::size(kRecordCallbacks) + std::size(kSignalCallbacks);
  PumpAll(total);

  ASSERT_EQ(jni_.messages().size(), total);
  size_t n = 0;
  for (const Expected& e : kRecordCallbacks) {
    const auto& m = jni_.messages()[n++];
    EXPECT_EQ(m.id, e.id);
    EXPECT_EQ(m.length, e.bytes) << "id " << e.id;
    EXPECT_EQ(std::string(m.buffer.begin(), m.buffer.begin() + e.bytes), record.substr(0, e.bytes))
        << "id " << e.id;
  }
  for (int32_t id : kSignalCallbacks) {
    EXPECT_EQ(jni_.messages()[n].id, id);
    EXPECT_EQ(jni_.messages()[n++].length, 0);
  }
  EXPECT_TRUE(jni_.violations().empty());
}

TEST_F(CallbackTest, MessageCallbackFetchesTheRecordByIdentifier) {
  sim_.SetOutput("qrGetUsrMsgByID", std::string(514, 'M'));
  ASSERT_EQ(sim_.Fire(4, "MSG-1"), 0);
  sim_.ForceResult("qrGetUsrMsgByID", 5);
  ASSERT_EQ(sim_.Fire(4, "MSG-2"), 0);  // rejected: no event at all
  ASSERT_EQ(sim_.Fire(7, ""), 0);
  PumpAll(2);
  ASSERT_EQ(jni_.messages().size(), 2u);
  EXPECT_EQ(jni_.messages()[0].id, 4);
  EXPECT_EQ(jni_.messages()[0].length, 514);
  EXPECT_EQ(jni_.messages()[0].buffer, std::vector<uint8_t>(514, 'M'));
  EXPECT_EQ(jni_.messages()[1].id, 7);
  EXPECT_EQ(sim_.Arg(sim_.Find("qrGetUsrMsgByID"), 0), "MSG-1");
  EXPECT_TRUE(Logged().empty());
}

TEST_F(CallbackTest, LogonStatusCarriesTheTwoSwitches) {
  sim_.ForceResult("qrPostTradeAmendEnabled", 11);
  ASSERT_EQ(sim_.Fire(3, ""), 0);
  PumpAll(1);
  ASSERT_EQ(jni_.messages().size(), 1u);
  const auto& m = jni_.messages()[0];
  EXPECT_EQ(m.id, 3);
  EXPECT_EQ(m.length, 345);
  EXPECT_EQ(m.buffer[0], 1);  // the library's status, as it wrote it
  EXPECT_EQ(m.buffer[342], (342 * 7 + 1) & 0xFF);
  EXPECT_EQ(m.buffer[343], 1);
  EXPECT_EQ(m.buffer[344], 0);
}

TEST_F(CallbackTest, ThreeThreadsAreDeliveredInAppendOrder) {
  ASSERT_EQ(sim_.FireStream(5, 27, 3, 200), 0);
  sim_.WaitIdle();
  PumpAll(600);
  ASSERT_EQ(jni_.messages().size(), 600u);
  int32_t next[3] = {0, 0, 0};
  for (const auto& m : jni_.messages()) {
    const int32_t thread = m.buffer[0];
    const int32_t sequence = m.buffer[4] | (m.buffer[5] << 8);
    ASSERT_LT(thread, 3);
    EXPECT_EQ(sequence, next[thread]++);
  }
}

}  // namespace
