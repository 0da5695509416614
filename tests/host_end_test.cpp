// Calls made in the moments after the library host ended, before its reader
// has noticed (it looks every few milliseconds): each fails with 99 naming
// how the host ended, never "gone". Runs with JAVAWRAPPER_HOST=always.
#if !defined(_WIN32)
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "hostlink/bridge.h"
#include "natives_support.h"

using testing_support::BridgeTest;
using testing_support::SimLibrary;
using testing_support::Within;

DECLARE_NATIVE(jint, getExchange, jint, jbyteArray);

namespace {

class HostEnd : public BridgeTest {
 protected:
  void SetUp() override {
    if (!SimLibrary::InHost()) GTEST_SKIP() << "needs JAVAWRAPPER_HOST=always";
  }
};

// The process has ended, and is not reaped yet (that is the reader's).
bool EndedNotReaped(int pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

TEST_F(HostEnd, AThreadsFirstCallAfterTheHostEndedNamesHowItEnded) {
  // A thread that never called needs a host thread of its own first: the
  // host cannot be told, and that failure must name the end too.
  int missed = 0;
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_EQ(Initialise(), 0);
    const int pid = hostlink::HostPid();
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    // The window is the time the reader takes to notice: on a quick machine
    // it may have reaped the host before this sees it ended. Such a round
    // asks nothing (counted, said below).
    bool inWindow = false;
    ASSERT_TRUE(Within(10,
                       [&] {
                         inWindow = EndedNotReaped(pid);
                         return inWindow || hostlink::HostPid() != pid;
                       }))
        << "host " << pid << " ran on";
    if (!inWindow) {
      ++missed;
      ASSERT_TRUE(Within(10, [] { return !binding::IsAPILoaded(); }));
      continue;
    }
    testing::internal::CaptureStderr();
    jint code = -1;
    std::thread([&code] {
      fake::FakeJni own;
      code = Java_korvane_api_delphi_ClientAPI_getExchange(own.env(), own.NewObject(), 2,
                                                           own.NewByteArray(33));
    }).join();
    const std::string said = testing::internal::GetCapturedStderr();
    // The reader may still win between the check above and the call: the
    // library then counts as unloaded, and 52 is the right answer.
    EXPECT_EQ(said.find("The library host ended (gone)"), std::string::npos) << said;
    if (code == 52) {
      ++missed;
    } else {
      EXPECT_EQ(code, 99);
      EXPECT_NE(said.find("The library host ended (signal 9 (Killed))"), std::string::npos) << said;
    }
    ASSERT_TRUE(Within(10, [] { return !binding::IsAPILoaded(); }))
        << "the bridge still counts the library as loaded";
  }
  if (missed > 0) std::printf("[ window  ] the reader was first in %d of 5 rounds\n", missed);
}

int HostThreadCount(int pid) {
  int n = 0;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

TEST_F(HostEnd, TheHostThreadOfACallingThreadEndsWithIt) {
  // A front-end whose pool renews its threads must not leave the host a
  // thread for each one that ever called.
  ASSERT_EQ(Initialise(), 0);
  const int pid = hostlink::HostPid();
  {
    fake::FakeJni own;  // the fixture's thread has its host thread already
    ASSERT_EQ(Java_korvane_api_delphi_ClientAPI_getExchange(own.env(), own.NewObject(), 1,
                                                            own.NewByteArray(33)),
              0);
  }
  const int before = HostThreadCount(pid);
  ASSERT_GT(before, 0);
  for (int round = 0; round < 5; ++round) {
    std::vector<jint> codes(50, -1);
    std::vector<std::thread> calls;
    for (int i = 0; i < 50; ++i)
      calls.emplace_back([&codes, i] {
        fake::FakeJni own;
        codes[i] = Java_korvane_api_delphi_ClientAPI_getExchange(own.env(), own.NewObject(), i % 3,
                                                                 own.NewByteArray(33));
      });
    for (auto& t : calls) t.join();
    for (int i = 0; i < 50; ++i) ASSERT_EQ(codes[i], 0) << "round " << round << " call " << i;
  }
  EXPECT_TRUE(Within(10, [&] { return HostThreadCount(pid) <= before; }))
      << HostThreadCount(pid) << " host threads, " << before << " before the 250 calling threads";
}

}  // namespace
#endif
