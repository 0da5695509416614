// A processor fault inside the trading library ends the native as 99 through
// the error funnel, and everything works normally afterwards. Windows only:
// on Linux the JVM owns the fault signals and such a fault is fatal.
#include <chrono>
#include <string>
#include <thread>

#include "natives_support.h"
#include "platform/fault_guard.h"
#include "platform/misbehave.h"
#include "platform/platform.h"
#include "relay/queue.h"

using testing_support::BridgeTest;

DECLARE_NATIVE(jint, getExchange, jint, jbyteArray);

namespace {

constexpr int kWriteThroughNull = 1;
constexpr int kDivideByZero = 2;
constexpr int kProbesABadAddress = 4;
constexpr int kFaultsHoldingALock = 5;
constexpr int kTrapsWithDirtyState = 6;
constexpr int kOverflowsTheStack = 7;

std::string Line(const char* code, const char* where) {
  return std::string("Wrapper API ErrorProcessor exception ") + code +
         " in the trading library Where " + where;
}

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
  // Pumps until `count` more messages arrived, at most 10 s; the ids seen.
  std::vector<int32_t> Pump(size_t count) {
    const size_t before = jni_.messages().size();
    stopAt_ = before + count;
    jbyteArray buffer = jni_.NewByteArray(514, 0xEE);
    jni_.lastBuffer = buffer;
    jni_.OnMessage(
        [](fake::FakeJni& jni, const fake::FakeJni::Message&, void* self) {
          if (jni.messages().size() >= static_cast<FaultTest*>(self)->stopAt_) relay::RequestStop();
        },
        this);
    platform::AutoResetEvent pumped;
    std::thread watchdog([&] {
      if (!pumped.WaitFor(std::chrono::seconds(10))) relay::RequestStop();
    });
    Java_korvane_api_delphi_ClientAPI_processCallbacks(jni_.env(), self_, buffer);
    pumped.Set();
    watchdog.join();
    std::vector<int32_t> ids;
    for (size_t i = before; i < jni_.messages().size(); ++i) ids.push_back(jni_.messages()[i].id);
    return ids;
  }
  size_t stopAt_ = 0;
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

// A fault the library raises and handles itself stays the library's, before
// and after one the guard takes; after that the thread's handler chain ends
// where it did, so a software exception still reaches the top level and a
// C++ exception inside the bridge is still caught (EQUOR from the check).
TEST_F(FaultTest, AfterAFaultTheThreadHandlesExceptionsAsBefore) {
  sim_.Fault("qrPurge", kProbesABadAddress);
  EXPECT_EQ(Purge(), 7);
  EXPECT_TRUE(Logged().empty());
  sim_.Fault("qrPurge", kWriteThroughNull);
  EXPECT_EQ(Purge(), 99);
  EXPECT_TRUE(platform::RaiseToTopLevel()) << "the handler chain is broken after the fault";
  sim_.Fault("qrPurge", kProbesABadAddress);
  EXPECT_EQ(Purge(), 7);
  sim_.Fault("qrPurge", 0);
  sim_.ForceResult("qrPurge", 2);
  EXPECT_EQ(Purge(), 2);
  sim_.ClearResult("qrPurge");
  EXPECT_EQ(Purge(), 0);
  EXPECT_EQ(Logged().size(), 1u);
}

// The library's frames are unwound, not abandoned: the termination handler
// that releases its lock runs, so the next call finds the lock free (a call
// that finds it held answers 8 after 2 s).
TEST_F(FaultTest, AFaultRunsTheLibrarysCleanupSoItsLockIsFreeForTheNextCall) {
  sim_.Fault("qrPurge", kFaultsHoldingALock);
  EXPECT_EQ(Purge(), 99);
  EXPECT_EQ(Purge(), 99) << "the library's lock is still held: its cleanup never ran";
  sim_.Fault("qrPurge", 0);
  EXPECT_EQ(Purge(), 0);
  EXPECT_EQ(Logged(), std::vector<std::string>(
                          2, Line("C0000005", "Java_korvane_api_delphi_ClientAPI_purge")));
}

// The library set the direction flag, changed MXCSR (unmasking a trap) and
// the x87 control word and filled the x87 stack, then trapped in SSE: on
// 32-bit Windows that is a "multiple traps" code. The thread leaves the
// guard as it entered it.
TEST_F(FaultTest, AnSseTrapEndsAs99AndLeavesTheProcessorStateAsTheGuardFoundIt) {
  const platform::ProcessorState before = platform::ReadProcessorState();
  ASSERT_NE(before.mxcsr, platform::kDirtyMxcsr);
  ASSERT_NE(before.x87Control, platform::kDirtyX87Control);
  sim_.Fault("qrPurge", kTrapsWithDirtyState);
  EXPECT_EQ(Purge(), 99);
  const platform::ProcessorState after = platform::ReadProcessorState();
  EXPECT_FALSE(after.directionFlag);
  EXPECT_EQ(after.mxcsr, before.mxcsr);
  EXPECT_EQ(after.x87Control, before.x87Control);
  EXPECT_EQ(after.x87Tags, 0) << "values left on the x87 stack";
#if defined(_WIN64)
  const char* code = "C000008E";
#else
  const char* code = "C00002B5";
#endif
  EXPECT_EQ(Logged(),
            std::vector<std::string>{Line(code, "Java_korvane_api_delphi_ClientAPI_purge")});
}

// The handler runs on the stack's reserve, and the guard page is armed again
// before the call returns, so a second overflow is caught the same way. Wine
// starts a 64-bit thread with its guard page on the stack's last usable page,
// where no handler has room to run, so there the thread is first laid out as
// after an overflow.
TEST_F(FaultTest, AStackOverflowGives99TwiceInARow) {
#if defined(_WIN64)
  ASSERT_TRUE(platform::ReArmStackGuard());
#endif
  sim_.Fault("qrPurge", kOverflowsTheStack);
  EXPECT_EQ(Purge(), 99);
  EXPECT_EQ(Purge(), 99);
  sim_.Fault("qrPurge", 0);
  EXPECT_EQ(Purge(), 0);
  EXPECT_EQ(Logged(), std::vector<std::string>(
                          2, Line("C00000FD", "Java_korvane_api_delphi_ClientAPI_purge")));
}

// An unreadable record, from a library thread and from the library calling
// back synchronously inside a guarded call, is logged and dropped before any
// queue slot is claimed: the good records after it arrive, in this session
// and the next.
TEST_F(FaultTest, ABadRecordIsDroppedAndLaterEventsFlowInThisSessionAndTheNext) {
  const void* const unreadable = reinterpret_cast<const void*>(16);
  std::string record(100, '\0');
  for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<char>(i * 5 + 3);
  ASSERT_EQ(sim_.FireRecords(nullptr, 5, {unreadable, record.data()}), 0);
  ASSERT_EQ(sim_.FireRecords("qrPurge", 9, {unreadable, record.data()}), 0);
  EXPECT_EQ(Purge(), 0);
  EXPECT_EQ(Logged(), std::vector<std::string>(2, Line("C0000005", "TCallback.Create")));
  EXPECT_EQ(Pump(2), (std::vector<int32_t>{5, 9})) << "the pump did not deliver both good records";
  ASSERT_EQ(jni_.messages().size(), 2u);
  EXPECT_EQ(jni_.messages()[1].length, 82);
  EXPECT_EQ(std::string(jni_.messages()[1].buffer.begin(), jni_.messages()[1].buffer.begin() + 82),
            record.substr(0, 82));
  ASSERT_EQ(Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_), 0);
  ASSERT_EQ(Initialise(), 0);
  ASSERT_EQ(sim_.FireRecords(nullptr, 8, {unreadable, record.data()}), 0);
  EXPECT_EQ(Pump(1), std::vector<int32_t>{8}) << "no event of the next session arrived";
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
