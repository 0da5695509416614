// A host that writes garbage into the event ring or a call slot (the
// stand-in garbage_host, started instead of the real one): the bridge reads
// nothing out of bounds, delivers no record longer than its id's, does not
// loop, says once what the host broke, and treats it as dead (99 for the
// call, one forced logout, 52 until the next initialise). Runs with
// JAVAWRAPPER_HOST=always.
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>

#include "binding/loader.h"
#include "hostlink/bridge.h"
#include "natives_support.h"
#include "relay/entry_points.h"
#include "relay/queue.h"

using testing_support::SimLibrary;
using testing_support::Within;

DECLARE_NATIVE(jint, getExchange, jint, jbyteArray);

namespace {

using Clock = std::chrono::steady_clock;

class GarbageHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SimLibrary::InHost()) GTEST_SKIP() << "needs JAVAWRAPPER_HOST=always";
    EndRunningHost();  // the next start takes the stand-in
    setenv("JAVAWRAPPER_TEST_HOST", (SimLibrary::Directory() + "garbage_host").c_str(), 1);
  }
  void TearDown() override {
    Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_);
    binding::UnloadAPI();
    EndRunningHost();
    unsetenv("JAVAWRAPPER_TEST_HOST");
    unsetenv("JW_GARBAGE");
  }
  static void EndRunningHost() {
    const int pid = hostlink::HostPid();
    if (pid <= 0) return;
    const uint32_t ended = hostlink::HostsEnded();
    kill(pid, SIGKILL);
    EXPECT_TRUE(Within(10, [&] { return hostlink::HostsEnded() != ended; }))
        << "host " << pid << " never ended";
  }
  jint Initialise() {
    return Java_korvane_api_delphi_ClientAPI_initialise(
        jni_.env(), self_, jni_.NewString(SimLibrary::Directory()), jni_.NewString(""), false,
        false, true, jni_.NewString("init-1"), 7, jni_.NewString("app"), jni_.NewString("init-2"));
  }
  // Delivers until the forced logout, then for a while more; what came.
  std::vector<fake::FakeJni::Message> PumpPastLogout() {
    jbyteArray buffer = jni_.NewByteArray(514, 0xEE);
    jni_.lastBuffer = buffer;
    jni_.SetRecording(true);
    jni_.OnMessage(
        [](fake::FakeJni&, const fake::FakeJni::Message& m, void*) {
          if (m.id == 6) relay::RequestStop();
        },
        nullptr);
    testing_support::PumpDeadline deadline(30);
    Java_korvane_api_delphi_ClientAPI_processCallbacks(jni_.env(), self_, buffer);
    EXPECT_FALSE(deadline.Fired()) << "no forced logout within 30 s";
    std::thread([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      relay::RequestStop();
    }).detach();
    Java_korvane_api_delphi_ClientAPI_processCallbacks(jni_.env(), self_, buffer);
    return jni_.messages();
  }
  // After the host broke the protocol: it is gone, and so is the library.
  void ExpectTreatedAsDead(int pid) {
    EXPECT_TRUE(Within(10, [] { return !binding::IsAPILoaded(); }))
        << "the bridge still counts the library as loaded";
    EXPECT_TRUE(Within(5, [&] { return kill(pid, 0) == -1 && errno == ESRCH; }))
        << "host " << pid << " left";
    jbyteArray record = jni_.NewByteArray(33);
    EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_getExchange(jni_.env(), self_, 0, record), 52);
  }

  fake::FakeJni jni_;
  jobject self_ = jni_.NewObject();
};

struct RingFault {
  const char* name;
  const char* reason;  // what the bridge says the host broke
};

class GarbageRingTest : public GarbageHostTest, public ::testing::WithParamInterface<RingFault> {};

TEST_P(GarbageRingTest, IsTreatedAsDeadWithOneReasonAndNoOverlongRecord) {
  setenv("JW_GARBAGE", GetParam().name, 1);
  testing::internal::CaptureStderr();
  ASSERT_EQ(Initialise(), 0);
  const int pid = hostlink::HostPid();
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGUSR1), 0);  // the stand-in spoils its ring now
  const auto messages = PumpPastLogout();
  const std::string said = testing::internal::GetCapturedStderr();
  int logouts = 0;
  for (const auto& m : messages) {
    EXPECT_EQ(static_cast<size_t>(m.length), relay::EventBytes(m.id)) << "event " << m.id;
    EXPECT_TRUE(m.id == 5 || m.id == 6) << "event " << m.id;
    logouts += m.id == 6;
  }
  EXPECT_EQ(logouts, 1);
  const std::string line = std::string("broke the protocol (") + GetParam().reason + ")";
  EXPECT_NE(said.find(line), std::string::npos) << "said: " << said;
  EXPECT_EQ(said.find(line), said.rfind("broke the protocol")) << said;
  ExpectTreatedAsDead(pid);
}

INSTANTIATE_TEST_SUITE_P(Faults, GarbageRingTest,
                         ::testing::Values(RingFault{"ring-id", "event id or length"},
                                           RingFault{"ring-length", "event id or length"},
                                           RingFault{"ring-huge", "event id or length"},
                                           RingFault{"head-back", "ring position"},
                                           RingFault{"head-forward", "ring position"},
                                           RingFault{"head-odd", "ring record position"},
                                           RingFault{"pad-past-head",
                                                     "event past the ring's head"}),
                         [](const ::testing::TestParamInfo<RingFault>& info) {
                           std::string name = info.param.name;
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

TEST_F(GarbageHostTest, AReplyWithTextPastItsSlotOrANonsenseStateEndsTheCallWith99) {
  for (const char* fault : {"reply-bytes", "reply-state"}) {
    SCOPED_TRACE(fault);
    setenv("JW_GARBAGE", fault, 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Initialise(), 99);
    const int pid = hostlink::HostPid();
    const std::string said = testing::internal::GetCapturedStderr();
    const std::string line = std::string("broke the protocol (") +
                             (fault[6] == 'b' ? "result text length" : "call slot state") + ")";
    EXPECT_NE(said.find(line), std::string::npos) << said;
    // The call's own failure says why the host ended, not that it is gone.
    EXPECT_NE(said.find("The library host ended (it " + line), std::string::npos) << said;
    if (pid > 0) ExpectTreatedAsDead(pid);
    EXPECT_TRUE(Within(10, [] { return hostlink::HostPid() < 0; })) << "the host still counts";
  }
}

// Only what the host raised after it began this session's load is the
// session's: an event before the mark is an earlier session's leftover.
TEST_F(GarbageHostTest, OnlyEventsAfterTheLoadsMarkReachTheSession) {
  setenv("JW_GARBAGE", "marks", 1);
  ASSERT_EQ(Initialise(), 0);
  jbyteArray buffer = jni_.NewByteArray(514, 0xEE);
  jni_.lastBuffer = buffer;
  jni_.SetRecording(true);
  std::thread([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    relay::RequestStop();
  }).detach();
  Java_korvane_api_delphi_ClientAPI_processCallbacks(jni_.env(), self_, buffer);
  const auto messages = jni_.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].id, 5);
  EXPECT_EQ(messages[0].buffer[0], 2);
}

}  // namespace
