// Session natives against the simulator: what crosses to the trading library,
// byte for byte, and what each native returns.
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "binding/loader.h"
#include "natives_support.h"
#include "platform/platform.h"
#include "relay/entry_points.h"

using testing_support::BridgeTest;
using testing_support::SimLibrary;

namespace {

class SessionTest : public BridgeTest {
 protected:
  std::vector<std::string> CallsFrom(const char* first) {
    auto calls = sim_.Calls();
    auto it = std::find(calls.begin(), calls.end(), first);
    return std::vector<std::string>(it, calls.end());
  }
  jint Logoff() { return Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_); }
  jint CloseConnections() {
    return Java_korvane_api_delphi_ClientAPI_closeConnections(jni_.env(), self_);
  }
};

TEST_F(SessionTest, InitialiseRunsItsSequenceInOrder) {
  ASSERT_EQ(Initialise(), 0);
  // The whole sequence: the set-up calls, then every registration with its
  // callback id, in the contract's order, and nothing after them.
  const std::vector<std::pair<std::string, int32_t>> registrations = {
      {"qrRegisterLinkStateCallback", 1},
      {"qrRegisterLinkStateCallback", 2},
      {"qrRegisterPriceCallback", 8},
      {"qrRegisterBlankPriceCallback", 27},
      {"qrRegisterGenericPriceCallback", 26},
      {"qrRegisterDOMCallback", 21},
      {"qrRegisterSettlementCallback", 22},
      {"qrRegisterAtBestCallback", 16},
      {"qrRegisterSubscriberDepthCallback", 19},
      {"qrRegisterStatusCallback", 10},
      {"qrRegisterOrderCallback", 5},
      {"qrRegisterOrderTypeUpdateCallback", 38},
      {"qrRegisterFillCallback", 9},
      {"qrRegisterMsgCallback", 4},
      {"qrRegisterContractCallback", 11},
      {"qrRegisterContractCallback", 12},
      {"qrRegisterContractCallback", 33},
      {"qrRegisterCommodityCallback", 32},
      {"qrRegisterExchangeCallback", 31},
      {"qrRegisterExchangeCallback", 36},
      {"qrRegisterCallback", 7},
      {"qrRegisterCallback", 3},
      {"qrRegisterCallback", 6},
      {"qrRegisterExchangeRateCallback", 13},
      {"qrRegisterAmendFailureCallback", 25},
      {"qrRegisterCallback", 18},
      {"qrRegisterConStatusCallback", 14},
      {"qrRegisterOrderCancelFailureCallback", 15},
      {"qrRegisterOrderSentFailureCallback", 28},
      {"qrRegisterOrderQueuedFailureCallback", 29},
      {"qrRegisterStrategyCreateSuccess", 23},
      {"qrRegisterStrategyCreateFailure", 24},
      {"qrRegisterOrderBookReset", 30},
      {"qrRegisterTraderAddedCallback", 37}};
  const auto calls = CallsFrom("qrSetClientPath");
  ASSERT_EQ(calls.size(), 4u + registrations.size());
  EXPECT_EQ(calls[1], "qrInitialise");
  EXPECT_EQ(calls[2], "qrSetHostHandShake");
  EXPECT_EQ(calls[3], "qrSetPriceHandShake");
  const int32_t first = sim_.Find("qrSetClientPath") + 4;
  for (size_t i = 0; i < registrations.size(); ++i) {
    EXPECT_EQ(calls[4 + i], registrations[i].first) << "registration " << i + 1;
    EXPECT_EQ(sim_.IntArg(first + static_cast<int32_t>(i), 0), registrations[i].second)
        << "registration " << i + 1;
  }
  EXPECT_EQ(sim_.RegisteredCount(), 34);

  // A blank client path becomes the bridge's own directory.
  EXPECT_EQ(sim_.Arg(sim_.Find("qrSetClientPath"), 0), SimLibrary::Directory());
  const int32_t init = sim_.Find("qrInitialise");
  EXPECT_EQ(sim_.IntArg(init, 0), 'C');
  EXPECT_EQ(sim_.Arg(init, 1), "v2.8.3");
  EXPECT_EQ(sim_.Arg(init, 2), "init-1");
  EXPECT_EQ(sim_.Arg(init, 3), "app");
  EXPECT_EQ(sim_.Arg(init, 4), "init-2");
  EXPECT_EQ(sim_.IntArg(init, 5), 7);
  const int32_t handShake = sim_.Find("qrSetHostHandShake");
  EXPECT_EQ(sim_.IntArg(handShake, 0), 0);
  EXPECT_EQ(sim_.IntArg(handShake, 1), 0);
}

TEST_F(SessionTest, EnvironmentLetterAndLibraryFile) {
  ASSERT_EQ(Initialise(false, true), 0);
  EXPECT_EQ(sim_.IntArg(sim_.Find("qrInitialise"), 0), 'T');
  ASSERT_EQ(Logoff(), 0);
  SimLibrary demo(SimLibrary::Path("DEMOAPI.DLL"));
  ASSERT_EQ(Initialise(true, true), 0);
  EXPECT_EQ(demo.IntArg(demo.Find("qrInitialise"), 0), 'D');
  EXPECT_EQ(Logoff(), 0);
}

TEST_F(SessionTest, WithoutConnectionStatusThereAre33Registrations) {
  ASSERT_EQ(Initialise(false, false, false), 0);
  EXPECT_EQ(sim_.RegisteredCount(), 33);
  EXPECT_EQ(sim_.Find("qrRegisterConStatusCallback"), -1);
}

TEST_F(SessionTest, ARegistrationAnswering11GoesOnAndOneFailingStops) {
  sim_.ForceResult("qrRegisterPriceCallback", 11);
  sim_.ForceResult("qrRegisterFillCallback", 2);
  EXPECT_EQ(Initialise(), 2);
  EXPECT_NE(sim_.Find("qrRegisterOrderCallback"), -1);
  EXPECT_EQ(sim_.Find("qrRegisterMsgCallback"), -1);  // after the failing one
  EXPECT_EQ(CloseConnections(), 0);                   // the library stays loaded
}

TEST_F(SessionTest, LibraryDirectoryIsUsedExactlyAsGiven) {
  std::string dir = SimLibrary::Directory();
  dir.pop_back();  // no trailing separator: the file name is appended as is
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_initialise(
                jni_.env(), self_, jni_.NewString(dir), jni_.NewString(""), false, false, true,
                jni_.NewString(""), 0, jni_.NewString(""), jni_.NewString("")),
            55);
  // Only spaces is blank: the bridge's own directory, where the simulator is.
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_initialise(
                jni_.env(), self_, jni_.NewString("  \t "), jni_.NewString("C:\\client\\"), false,
                false, true, jni_.NewString(""), 0, jni_.NewString(""), jni_.NewString("")),
            0);
  EXPECT_EQ(sim_.Arg(sim_.Find("qrSetClientPath"), 0), "C:\\client\\");
}

TEST_F(SessionTest, OpenConnectionsPassesAddressesLastFirst) {
  ASSERT_EQ(Initialise(), 0);
  sim_.ClearJournal();
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_openConnections(
                jni_.env(), self_, jni_.NewStringArray({"a:1", "b:2"}),
                jni_.NewStringArray({"prices", ":4000"})),
            0);
  const std::vector<std::string> expected = {"qrSetHostAddress", "qrSetHostAddress",
                                             "qrSetPriceAddress", "qrSetPriceAddress", "qrReady"};
  EXPECT_EQ(sim_.Calls(), expected);
  EXPECT_EQ(sim_.Arg(0, 0), "b");
  EXPECT_EQ(sim_.Arg(0, 1), "2");
  EXPECT_EQ(sim_.Arg(1, 0), "a");
  EXPECT_EQ(sim_.Arg(2, 0), "");
  EXPECT_EQ(sim_.Arg(2, 1), "4000");
  EXPECT_EQ(sim_.Arg(3, 0), "");
  EXPECT_EQ(sim_.Arg(3, 1), "prices");
  EXPECT_TRUE(jni_.violations().empty());

  sim_.ForceResult("qrSetHostAddress", 8);  // the first failure ends it; qrReady is not called
  sim_.ClearJournal();
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_openConnections(
                jni_.env(), self_, jni_.NewStringArray({"a:1"}), jni_.NewStringArray({})),
            8);
  EXPECT_EQ(sim_.Find("qrReady"), -1);
}

TEST_F(SessionTest, LogonRecordCutsTextsAndCarriesFlags) {
  ASSERT_EQ(Initialise(), 0);
  sim_.ClearJournal();
  const std::string longText(300, 'x');
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_logon(jni_.env(), self_, jni_.NewString(longText),
                                                    jni_.NewString("\xC3\xA9"), jni_.NewString(""),
                                                    true, false),
            0);
  auto calls = sim_.Calls();  // the simulator answers the log-on on a thread of its own
  calls.resize(2);
  EXPECT_EQ(calls, (std::vector<std::string>{"qrNotifyAllMessages", "qrLogOn"}));
  EXPECT_EQ(sim_.IntArg(0, 0), 'Y');
  const std::string record = sim_.Arg(1, 0);
  ASSERT_EQ(record.size(), 770u);
  EXPECT_EQ(record.substr(0, 256), std::string(255, 'x') + '\0');
  EXPECT_EQ(record.substr(256, 3), std::string("\xC3\xA9\0", 3));
  EXPECT_EQ(record[512], '\0');
  EXPECT_EQ(record[768], 'Y');
  EXPECT_EQ(record[769], 'N');
}

TEST_F(SessionTest, LogoffStopsUnloadsAndReturnsTheLibrarysCode) {
  ASSERT_EQ(Initialise(), 0);
  sim_.ForceResult("qrLogOff", 99);
  EXPECT_EQ(Logoff(), 99);
  EXPECT_EQ(sim_.CountCalls("qrDumpLastError"), 1);
  EXPECT_EQ(CloseConnections(), 52);
  EXPECT_EQ(Logoff(), 0);  // nothing loaded: nothing done
  sim_.ForceResult("qrLogOff", 11);
  ASSERT_EQ(Initialise(), 0);
  EXPECT_EQ(Logoff(), 11);
}

TEST_F(SessionTest, PassingElevenBecomesZeroExceptForTheUpdateLocks) {
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_lockUpdates(jni_.env(), self_), 52);
  ASSERT_EQ(Initialise(), 0);
  sim_.ForceResult("qrDisconnect", 11);
  sim_.ForceResult("qrLockUpdates", 11);
  sim_.ForceResult("qrUnlockUpdates", 3);
  EXPECT_EQ(CloseConnections(), 0);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_lockUpdates(jni_.env(), self_), 11);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_unlockUpdates(jni_.env(), self_), 3);
  sim_.ForceResult("qrPurge", 7);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_purge(jni_.env(), self_, jni_.NewString("a"),
                                                    jni_.NewString("b")),
            7);
}

TEST_F(SessionTest, BuildVersionCopies26BytesOrIs99ForAShortArray) {
  ASSERT_EQ(Initialise(), 0);
  jbyteArray version = jni_.NewByteArray(30, 0xAA);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_APIBuildVersion(jni_.env(), self_, version), 0);
  EXPECT_EQ(jni_.Bytes(version)[25], (25 * 7 + 1) & 0xFF);
  EXPECT_EQ(jni_.Bytes(version)[26], 0xAA);
  jni_.ClearCalls();
  jbyteArray shorter = jni_.NewByteArray(25, 0xBB);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_APIBuildVersion(jni_.env(), self_, shorter), 99);
  EXPECT_FALSE(jni_.pending());
  EXPECT_EQ(jni_.CountCalls("SetByteArrayRegion"), 0u);
  EXPECT_EQ(jni_.Bytes(shorter), std::vector<uint8_t>(25, 0xBB));
  EXPECT_TRUE(jni_.violations().empty());
}

// A trace file that cannot be made is said once on standard error, also when
// the library then fails to load (no trading library log to carry it).
TEST_F(SessionTest, AnUncreatableTraceIsSaidOnceEvenWhenTheLoadFails) {
  testing_support::SetEnvironment("JAVAWRAPPER_TRACE", "no-such-directory-34/trace.json");
  testing::internal::CaptureStderr();
  const jint code = Java_korvane_api_delphi_ClientAPI_initialise(
      jni_.env(), self_, jni_.NewString("no-such-library-directory/"), jni_.NewString(""), false,
      false, true, jni_.NewString(""), 0, jni_.NewString(""), jni_.NewString(""));
  const std::string err = testing::internal::GetCapturedStderr();
  testing_support::SetEnvironment("JAVAWRAPPER_TRACE", "");
  EXPECT_EQ(code, 55);
  const std::string line = "Cannot open the trace file no-such-directory-34/trace.json";
  const size_t at = err.find(line);
  ASSERT_NE(at, std::string::npos) << err;
  EXPECT_EQ(err.find(line, at + 1), std::string::npos) << err;
}

#if defined(_WIN32)
// A trading library's own DLLs lie beside it: the bridge loads the library
// with that folder searched first for what it imports, so a library that
// needs QRHELPER.DLL from its folder loads (error 126 otherwise), under the
// same file name, with the same result.
TEST_F(SessionTest, ALibraryFindsTheDllsOfItsOwnFolder) {
  const std::string dir = SimLibrary::Path("", "with-helper");
  ASSERT_EQ(Java_korvane_api_delphi_ClientAPI_initialise(
                jni_.env(), self_, jni_.NewString(dir), jni_.NewString(""), false, false, true,
                jni_.NewString(""), 0, jni_.NewString(""), jni_.NewString("")),
            0);
  platform::LibraryHandle library = platform::LoadLibraryFile(dir + "QUORAPI.DLL", nullptr);
  ASSERT_NE(library, nullptr);  // the one initialise loaded, counted once more
  auto answer =
      reinterpret_cast<int32_t (*)()>(platform::ResolveSymbol(library, "simHelperAnswer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 34);
  platform::FreeLibraryHandle(library);
}
#endif

TEST_F(SessionTest, NativesBeforeInitialiseReturn52) {
  EXPECT_EQ(CloseConnections(), 52);
  jbyteArray version = jni_.NewByteArray(26, 0xAA);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_APIBuildVersion(jni_.env(), self_, version), 52);
  EXPECT_EQ(jni_.Bytes(version)[0], 0xAA);
  EXPECT_TRUE(jni_.calls().empty());
}

// A logoff waiting for a library call that does not return holds the loader:
// an initialise behind it gives 54 after its ten seconds instead of waiting
// with it for good, also where every sleep lasts a coarse timer tick.
TEST_F(SessionTest, AnInitialiseBehindAStuckUnloadGives54WithinItsBound) {
  ASSERT_EQ(Initialise(), 0);
  sim_.Fault("qrPurge", 3);  // purge does not return until released
  // Released on every way out, so the fixture's logoff never waits for it.
  struct Release {
    testing_support::SimLibrary& sim;
    ~Release() { sim.Fault("qrPurge", 0); }
  } release{sim_};
  // Threads of their own, detached: a native that never returns fails the
  // test instead of hanging it.
  auto onThreadOfItsOwn = [](jint (*native)(JNIEnv*, jobject)) {
    std::packaged_task<jint()> task([native] {
      fake::FakeJni jni;
      return native(jni.env(), jni.NewObject());
    });
    auto result = task.get_future();
    std::thread(std::move(task)).detach();
    return result;
  };
  static std::atomic<const void*> purging{nullptr};
  purging = nullptr;
  auto stuck = onThreadOfItsOwn([](JNIEnv* env, jobject self) -> jint {
    purging = binding::ThisThreadToken();
    return Java_korvane_api_delphi_ClientAPI_purge(env, self, nullptr, nullptr);
  });
  // Purge's step and the logoff's are seen, not guessed: on a busy machine a
  // purge given a fixed time might not have reached the library yet.
  auto awaitTrue = [](auto condition, const char* what) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << what << " did not happen within 30 s";
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  };
  ASSERT_TRUE(awaitTrue([] { return binding::MarkLibraryCall(purging.load()).inside; },
                        "purge entering the library"));
  auto logoff = onThreadOfItsOwn([](JNIEnv* env, jobject self) -> jint {
    return Java_korvane_api_delphi_ClientAPI_logoff(env, self);
  });
  // The logoff holds the loader, closing the library, and waits for purge.
  ASSERT_TRUE(awaitTrue([] { return !binding::IsAPILoaded(); }, "logoff starting its unload"));
  platform::SetMinimumSleepForTests(16);
  const auto start = std::chrono::steady_clock::now();
  testing::internal::CaptureStderr();
  EXPECT_EQ(Initialise(), 54);
  const auto waited = std::chrono::steady_clock::now() - start;
  const std::string err = testing::internal::GetCapturedStderr();
  platform::SetMinimumSleepForTests(0);
  // The wait is said once, as it begins, where a person looks.
  const std::string line =
      "JavaWrapper: initialise waits up to 10 s for the library loaded earlier to be unloaded "
      "(call logoff first); it gives 54 if that library is still loaded then\n";
  const size_t at = err.find(line);
  EXPECT_NE(at, std::string::npos) << err;
  if (at != std::string::npos) {
    EXPECT_EQ(err.find(line, at + 1), std::string::npos) << err;
  }
  EXPECT_GE(waited, std::chrono::milliseconds(9500));
  // Counted in 1 ms sleeps of a 16 ms tick, the bound would last 160 s.
  EXPECT_LT(waited, std::chrono::seconds(40)) << "the ten-second bound counted sleeps";
  sim_.Fault("qrPurge", 0);
  ASSERT_EQ(stuck.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "purge did not return once released";
  ASSERT_EQ(logoff.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "logoff did not finish once purge returned";
  EXPECT_EQ(stuck.get(), 0);
  EXPECT_EQ(logoff.get(), 0);
}

}  // namespace
