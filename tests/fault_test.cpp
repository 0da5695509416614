// A processor fault inside the trading library ends the native as 99 through
// the error funnel, and everything works normally afterwards. Windows only:
// on Linux the JVM owns the fault signals and such a fault is fatal.
#include <chrono>
#include <future>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "binding/loader.h"
#include "natives_support.h"
#include "platform/fault_guard.h"
#include "platform/platform.h"
#include "relay/queue.h"
#include "simulator/misbehave.h"

using testing_support::BridgeTest;

DECLARE_NATIVE(jint, getExchange, jint, jbyteArray);

namespace {

constexpr int kWriteThroughNull = 1;
constexpr int kDivideByZero = 2;
constexpr int kProbesABadAddress = 4;
constexpr int kFaultsHoldingALock = 5;
constexpr int kTrapsWithDirtyState = 6;
constexpr int kOverflowsTheStack = 7;
constexpr int kRaisesACxxException = 8;
constexpr int kRaisesAnotherRuntimesException = 9;
constexpr int kRaisesNotices = 10;
constexpr int kOverflowsBelowAHungryCleanup = 11;
constexpr int kEndsTheThread = 12;

std::string Line(const char* code, const char* where) {
  return std::string("Wrapper API ErrorProcessor exception ") + code +
         " in the trading library Where " + where;
}

std::string ExceptionLine(const char* code, const char* where) {
  return std::string("Wrapper API ErrorException ") + code + " from the trading library Where " +
         where;
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

// A thread's first guarded call sets its overflow reserve, so the very first
// overflow on a fresh thread (no earlier overflow raised it, nothing laid the
// stack out) still has room for the dispatcher, the unwinder and a library
// unwind handler that needs 12 KiB of stack; the guard page is armed again,
// so a second overflow is caught the same way. The natives run on a thread
// of their own: one that vanished fails the test instead of hanging it.
TEST_F(FaultTest, TheFirstStackOverflowOnAFreshThreadGives99WithRoomForTheLibrarysCleanup) {
  sim_.Fault("qrPurge", kOverflowsBelowAHungryCleanup);
  std::packaged_task<std::vector<jint>()> task([this] {
    fake::FakeJni jni;
    auto purge = [&] {
      return Java_korvane_api_delphi_ClientAPI_purge(jni.env(), jni.NewObject(), jni.NewString("c"),
                                                     jni.NewString("d"));
    };
    std::vector<jint> results{purge()};
    sim_.Fault("qrPurge", kOverflowsTheStack);
    results.push_back(purge());
    sim_.Fault("qrPurge", 0);
    results.push_back(purge());
    return results;
  });
  auto results = task.get_future();
  std::thread(std::move(task)).detach();
  ASSERT_EQ(results.wait_for(std::chrono::seconds(60)), std::future_status::ready)
      << "the fresh thread never came back from its natives: it ended inside the overflow";
  EXPECT_EQ(results.get(), (std::vector<jint>{99, 99, 0}));
  EXPECT_EQ(Logged(), std::vector<std::string>(
                          2, Line("C00000FD", "Java_korvane_api_delphi_ClientAPI_purge")));
}

// An exception the library raises and nothing in it catches, a C++ throw or
// another language runtime's, ends the native as 99 with its code, like a
// fault; the thread's handler chain ends where it did and the next calls
// work.
TEST_F(FaultTest, AnExceptionTheLibraryLeavesUncaughtEndsTheNativeAs99) {
  sim_.Fault("qrPurge", kRaisesACxxException);
  EXPECT_EQ(Purge(), 99);
  sim_.Fault("qrPurge", kRaisesAnotherRuntimesException);
  EXPECT_EQ(Purge(), 99);
  EXPECT_TRUE(platform::RaiseToTopLevel()) << "the handler chain is broken after the exception";
  sim_.Fault("qrPurge", 0);
  int failures = 0;
  for (int i = 0; i < 100; ++i) failures += Purge() != 0;
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(Logged(), (std::vector<std::string>{
                          ExceptionLine("E06D7363", "Java_korvane_api_delphi_ClientAPI_purge"),
                          ExceptionLine("0EEDFADE", "Java_korvane_api_delphi_ClientAPI_purge")}));
}

// The library calls the message callback synchronously during a guarded
// call (a burst inside purge); the callback's own call into the library
// raises. The callback's guard takes it and logs it, the library's outer
// call goes on and returns normally, and the next burst is delivered.
TEST_F(FaultTest, AnExceptionInsideACallbackDuringAGuardedCallStaysInTheCallback) {
  const size_t queued = relay::QueuedCount();
  for (int kind : {kRaisesACxxException, kRaisesAnotherRuntimesException}) {
    sim_.Fault("qrGetUsrMsgByID", kind);
    sim_.Burst("qrPurge", 4, 8, 1);
    EXPECT_EQ(Purge(), 0) << "kind " << kind;
  }
  EXPECT_EQ(relay::QueuedCount(), queued);
  EXPECT_EQ(Logged(), (std::vector<std::string>{ExceptionLine("E06D7363", "cbMessage"),
                                                ExceptionLine("0EEDFADE", "cbMessage")}));
  sim_.Fault("qrGetUsrMsgByID", 0);
  sim_.Burst("qrPurge", 4, 8, 1);
  EXPECT_EQ(Purge(), 0);
  EXPECT_EQ(relay::QueuedCount(), queued + 1) << "the message after the exceptions was lost";
}

// What expects to come back is left to whoever answers it: a breakpoint, a
// single step, debug-print, a thread's name and a continuable signal of
// error severity, each continued by the library's top-level filter.
TEST_F(FaultTest, NoticesAndContinuableExceptionsPassTheGuard) {
  sim_.Fault("qrPurge", kRaisesNotices);
  EXPECT_EQ(Purge(), 10) << "a notice did not come back to the library";
  EXPECT_EQ(Logged(), std::vector<std::string>{});
}

#if defined(_WIN32)
DWORD WINAPI PurgeOnAThreadThatEnds(void*) {
  auto* jni = new fake::FakeJni;  // the thread ends with it in use
  Java_korvane_api_delphi_ClientAPI_purge(jni->env(), jni->NewObject(), jni->NewString("e"),
                                          jni->NewString("f"));
  return 7;  // not reached
}

// A thread that ends inside the library (ExitThread: nothing of the
// native's frames runs again) keeps its use of the library for good. Logoff
// sees that the thread is gone and unloads; the next session works.
TEST_F(FaultTest, AThreadThatEndsInsideTheLibraryDoesNotHoldUpLogoff) {
  sim_.Fault("qrPurge", kEndsTheThread);
  HANDLE thread = CreateThread(nullptr, 0, &PurgeOnAThreadThatEnds, nullptr, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, 60000), WAIT_OBJECT_0) << "the thread did not end";
  CloseHandle(thread);
  sim_.Fault("qrPurge", 0);
  std::packaged_task<jint()> task([] {
    fake::FakeJni jni;
    return Java_korvane_api_delphi_ClientAPI_logoff(jni.env(), jni.NewObject());
  });
  auto logoff = task.get_future();
  std::thread(std::move(task)).detach();
  ASSERT_EQ(logoff.wait_for(std::chrono::seconds(60)), std::future_status::ready)
      << "logoff still waits for the use of a thread that no longer exists";
  EXPECT_EQ(logoff.get(), 0);
  EXPECT_FALSE(binding::IsAPILoaded());
  ASSERT_EQ(Initialise(), 0);
  EXPECT_EQ(Purge(), 0);
}
#endif

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
