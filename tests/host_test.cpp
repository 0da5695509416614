// The library host's end while the bridge runs: a host killed in the middle
// of a call or of a flood ends the call with 99, delivers what its ring
// held, queues one forced logout, and leaves the bridge answering 52 until
// the next initialise starts a new host; twenty times over, with no process,
// descriptor or thread left behind. Runs with JAVAWRAPPER_HOST=always.
#if defined(_WIN32)
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <signal.h>
#include <sys/types.h>
#endif

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "binding/loader.h"
#include "hostlink/bridge.h"
#include "natives_support.h"
#include "platform/host_link.h"
#include "relay/queue.h"

using testing_support::BoundedThread;
using testing_support::BridgeTest;
using testing_support::SimLibrary;

DECLARE_NATIVE(jint, getExchange, jint, jbyteArray);

namespace {

using Clock = std::chrono::steady_clock;

#if defined(_WIN32)
// What the pumps' short-lived threads and the system hold for a moment: a
// leak of one handle or thread a host still shows over twenty hosts.
constexpr int kSlack = 8;
// The handles open in this process, probed one by one (Wine's handle count
// is always 0); this small test program never holds 4096.
int Descriptors() {
  int n = 0;
  DWORD flags;
  for (uintptr_t h = 4; h < 4 * 4096; h += 4)
    n += GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags) != 0;
  return n;
}
int Threads() {
  int n = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    n += entry.th32OwnerProcessID == GetCurrentProcessId();
  CloseHandle(snapshot);
  return n;
}
bool ProcessGone(int pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return true;
  const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}
#else
constexpr int kSlack = 0;
int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}
int Descriptors() {
  return CountEntries("/proc/self/fd");
}
int Threads() {
  return CountEntries("/proc/self/task");
}
bool ProcessGone(int pid) {
  return kill(pid, 0) == -1 && errno == ESRCH;
}
#endif

// Killed from outside, as the system's own kill would (SIGKILL,
// TerminateProcess): the bridge learns of it only by the host's end.
void KillFromOutside(int pid) {
  platform::KillHost(pid);
}

// Waits up to seconds for done(); false when it never came.
template <typename Done>
bool Within(int seconds, Done done) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::string Order(int32_t n) {
  std::string record(27, '\0');
  for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<char>(n * 31 + i);
  return record;
}

class HostTest : public BridgeTest {
 protected:
  void SetUp() override {
    if (!SimLibrary::InHost()) GTEST_SKIP() << "needs JAVAWRAPPER_HOST=always";
  }

  // Delivers until the forced logout came and nothing followed it for a
  // while; the events seen, in order.
  std::vector<fake::FakeJni::Message> PumpPastLogout(fake::FakeJni& jni, bool record) {
    jbyteArray buffer = jni.NewByteArray(514, 0xEE);
    jni.lastBuffer = buffer;
    jni.SetRecording(record);
    struct Seen {
      int logouts = 0;
      int64_t events = 0;
      std::vector<int32_t> next;  // per simulator thread, the next sequence number
      int64_t outOfOrder = 0;
      jbyteArray buffer;
    } seen{0, 0, {0, 0}, 0, buffer};
    jni.OnMessage(
        [](fake::FakeJni& j, const fake::FakeJni::Message& m, void* context) {
          auto* s = static_cast<Seen*>(context);
          ++s->events;
          if (m.id == 6) {
            ++s->logouts;
            relay::RequestStop();
          } else if (m.id == 5 && m.length == 27) {
            const std::vector<uint8_t>& b = j.Bytes(s->buffer);
            const uint32_t thread = b[0] | b[1] << 8 | b[2] << 16 | b[3] << 24;
            const int32_t sequence = b[4] | b[5] << 8 | b[6] << 16 | b[7] << 24;
            if (thread < s->next.size() && sequence != s->next[thread]++) ++s->outOfOrder;
          }
        },
        &seen);
    testing_support::PumpDeadline deadline(30);
    Java_korvane_api_delphi_ClientAPI_processCallbacks(jni.env(), self_, buffer);
    EXPECT_FALSE(deadline.Fired()) << "no forced logout within 30 s";
    // Anything after it would be a second one.
    std::thread([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      relay::RequestStop();
    }).detach();
    Java_korvane_api_delphi_ClientAPI_processCallbacks(jni.env(), self_, buffer);
    EXPECT_EQ(seen.logouts, 1);
    EXPECT_EQ(seen.outOfOrder, 0);
    flooded_ = seen.events;
    return jni.messages();
  }
  int64_t flooded_ = 0;
};

TEST_F(HostTest, AHostKilledMidCallEndsItWith99AndTheSessionWithOneForcedLogout) {
  int fds = -1, threads = -1;
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    fake::FakeJni jni;
    ASSERT_EQ(Initialise(), 0);
    if (round == 1) {  // a host runs from here on in every round
      fds = Descriptors();
      threads = Threads();
    }
    const int pid = hostlink::HostPid();
    ASSERT_GT(pid, 0);
    // Fired synchronously: each is in the ring before the kill.
    for (int32_t i = 0; i < 3; ++i) ASSERT_EQ(sim_.Fire(5, Order(i + round)), 0);
    sim_.Fault("qrPurge", 3);  // the purge waits inside the library
    jint code = -1;
    BoundedThread purge([&] {
      fake::FakeJni own;
      code = Java_korvane_api_delphi_ClientAPI_purge(own.env(), own.NewObject(),
                                                     own.NewString("p-1"), own.NewString("p-2"));
    });
    ASSERT_TRUE(Within(10, [] { return hostlink::CallsInFlight() == 1; }))
        << "the purge never reached the host";
    KillFromOutside(pid);
    ASSERT_TRUE(purge.Finished(std::chrono::seconds(10), "the purge's return after the kill"));
    EXPECT_EQ(code, 99);

    const auto messages = PumpPastLogout(jni, true);
    ASSERT_EQ(messages.size(), 4u);
    for (int32_t i = 0; i < 3; ++i) {
      EXPECT_EQ(messages[i].id, 5);
      EXPECT_EQ(std::string(messages[i].buffer.begin(), messages[i].buffer.begin() + 27),
                Order(i + round));
    }
    EXPECT_EQ(messages[3].id, 6);
    EXPECT_EQ(messages[3].length, 0);

    ASSERT_TRUE(Within(10, [] { return !binding::IsAPILoaded(); }))
        << "the bridge still counts the library as loaded";
    jbyteArray record = jni.NewByteArray(33);
    EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_getExchange(jni.env(), self_, 0, record), 52);
    EXPECT_TRUE(Within(5, [&] { return ProcessGone(pid); })) << "host " << pid << " left";
  }
  // A whole session on the next host, and nothing left of the twenty.
  fake::FakeJni jni;
  ASSERT_EQ(Initialise(), 0);
  jbyteArray record = jni.NewByteArray(33);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_getExchange(jni.env(), self_, 0, record), 0);
  EXPECT_TRUE(Within(10, [&] { return Descriptors() <= fds + kSlack; }))
      << Descriptors() << " descriptors, " << fds << " with the first host";
  EXPECT_TRUE(Within(10, [&] { return Threads() <= threads + kSlack; }))
      << Threads() << " threads, " << threads << " with the first host";
}

TEST_F(HostTest, AHostKilledMidFloodDeliversEachThreadsEventsInOrderThenOneLogout) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    fake::FakeJni jni;
    ASSERT_EQ(Initialise(), 0);
    const int pid = hostlink::HostPid();
    ASSERT_EQ(sim_.FireStream(5, 27, 2, 1000000), 0);
    ASSERT_TRUE(Within(10, [] { return relay::QueuedCount() > 1000; })) << "no flood arrived";
    KillFromOutside(pid);
    PumpPastLogout(jni, false);
    EXPECT_GT(flooded_, 1000);
    ASSERT_TRUE(Within(10, [] { return !binding::IsAPILoaded(); }));
    EXPECT_TRUE(Within(5, [&] { return ProcessGone(pid); })) << "host " << pid << " left";
  }
}

}  // namespace
