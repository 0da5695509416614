// A processor fault inside the trading library ends the native as 99 through
// the error funnel, and everything works normally afterwards. Windows only:
// on Linux the JVM owns the fault signals and such a fault is fatal.
#include <string>

#include "natives_support.h"
#include "platform/fault_guard.h"
#include "relay/queue.h"

using testing_support::BridgeTest;

DECLARE_NATIVE(jint, getExchange, jint, jbyteArray);

namespace {

constexpr int kWriteThroughNull = 1;
constexpr int kDivideByZero = 2;
constexpr int kProbesABadAddress = 4;

class FaultTest : public BridgeTest {
 protected:
  void SetUp() override {
    if (!platform::CatchesProcessorFaults()) GTEST_SKIP() << "faults are fatal on this platform";
    ASSERT_EQ(Initialise(), 0);
    sim_.ClearJournal();
  }
  jint Purge() {
    return Java_korvane_api_delphi_ClientAPI_purge(jni_.env(), self_, jni_.NewString("a"),
                                                   jni_.NewString("b"));
  }
};

TEST_F(FaultTest, AnAccessViolationEndsTheNativeAs99AndTheNextCallsWork) {
  sim_.Fault("qrPurge", kWriteThroughNull);
  EXPECT_EQ(Purge(), 99);
  EXPECT_EQ(Logged(), std::vector<std::string>{
                          "Wrapper API ErrorProcessor exception C0000005 in the trading library "
                          "Where Java_korvane_api_delphi_ClientAPI_purge"});
  sim_.Fault("qrPurge", 0);
  int failures = 0;
  for (int i = 0; i < 1000; ++i) failures += Purge() != 0;
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(Logged().size(), 1u);
}

// A fault the library raises and handles itself stays the library's: the
// guard sees only what the library leaves unhandled.
TEST_F(FaultTest, AFaultTheLibraryHandlesItselfIsLeftToIt) {
  sim_.Fault("qrPurge", kProbesABadAddress);
  EXPECT_EQ(Purge(), 7);
  EXPECT_TRUE(Logged().empty());
  sim_.Fault("qrPurge", kWriteThroughNull);  // and an unhandled one is still the guard's
  EXPECT_EQ(Purge(), 99);
  sim_.Fault("qrPurge", 0);
  EXPECT_EQ(Purge(), 0);
}

TEST_F(FaultTest, ADivisionByZeroToo) {
  sim_.Fault("qrDisconnect", kDivideByZero);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_closeConnections(jni_.env(), self_), 99);
  ASSERT_EQ(Logged().size(), 1u);
  EXPECT_NE(Logged()[0].find("Processor exception C0000094"), std::string::npos);
  EXPECT_NE(Logged()[0].find("Where Java_korvane_api_delphi_ClientAPI_closeConnections"),
            std::string::npos);
  sim_.Fault("qrDisconnect", 0);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_closeConnections(jni_.env(), self_), 0);
}

TEST_F(FaultTest, AFaultInAFetchIsReportedByTheSharedRoutine) {
  sim_.Fault("qrGetExchange", kWriteThroughNull);
  jbyteArray record = jni_.NewByteArray(33, 0xEE);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_getExchange(jni_.env(), self_, 1, record), 99);
  EXPECT_EQ(jni_.Bytes(record), std::vector<uint8_t>(33, 0xEE));
  ASSERT_EQ(Logged().size(), 1u);
  EXPECT_NE(Logged()[0].find("Where GetProc"), std::string::npos);
}

// The library's own thread calls an entry point, which calls the library,
// which faults: the entry point logs it and returns to the library normally.
TEST_F(FaultTest, AFaultInsideACallbackNeverReachesTheLibrarysThread) {
  const size_t queued = relay::QueuedCount();
  sim_.Fault("qrGetUsrMsgByID", kWriteThroughNull);
  EXPECT_EQ(sim_.Fire(4, "M1"), 0);  // the simulator's thread came back
  EXPECT_EQ(relay::QueuedCount(), queued);
  ASSERT_EQ(Logged().size(), 1u);
  EXPECT_NE(Logged()[0].find("Where cbMessage"), std::string::npos);
  sim_.Fault("qrGetUsrMsgByID", 0);
  EXPECT_EQ(sim_.Fire(4, "M2"), 0);
  EXPECT_EQ(relay::QueuedCount(), queued + 1);
}

TEST_F(FaultTest, TheLibraryStillUnloadsAfterAFault) {
  sim_.Fault("qrReady", kWriteThroughNull);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_openConnections(
                jni_.env(), self_, jni_.NewStringArray({}), jni_.NewStringArray({})),
            99);
  sim_.Fault("qrReady", 0);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_), 0);  // no use was leaked
  EXPECT_EQ(Initialise(), 0);
}

}  // namespace
