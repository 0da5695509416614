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
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
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
using testing_support::Within;

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

#if !defined(_WIN32)
// Mappings of a host's shared memory in this process (one a running host).
int HostMappings() {
  int n = 0;
  if (FILE* maps = std::fopen("/proc/self/maps", "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, maps) != nullptr)
      n += std::strstr(line, "memfd:javawrapper-host") != nullptr;
    std::fclose(maps);
  }
  return n;
}

// This process's children not yet reaped, zombies included.
int Children() {
  int n = 0;
  const std::string self = std::to_string(getpid());
  if (DIR* d = opendir("/proc")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      const std::string path = std::string("/proc/") + e->d_name + "/stat";
      if (FILE* f = std::fopen(path.c_str(), "r")) {
        char stat[512] = {};
        const size_t got = std::fread(stat, 1, sizeof stat - 1, f);
        std::fclose(f);
        const char* end = std::strrchr(stat, ')');  // the name may hold spaces
        int ppid = 0;
        char state = 0;
        if (got > 0 && end != nullptr && std::sscanf(end + 1, " %c %d", &state, &ppid) == 2)
          n += std::to_string(ppid) == self;
      }
    }
    closedir(d);
  }
  return n;
}
#endif

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
#if !defined(_WIN32)
  EXPECT_EQ(HostMappings(), 1) << "shared memory of a dead host is still mapped";
  EXPECT_EQ(Children(), 1) << "a dead host is left as a child";
#endif
}

TEST_F(HostTest, AHostKilledMidFloodDeliversEachThreadsEventsInOrderThenOneLogout) {
  int fds = -1, threads = -1;
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    fake::FakeJni jni;
    ASSERT_EQ(Initialise(), 0);
    if (round == 1) {
      fds = Descriptors();
      threads = Threads();
    }
    const int pid = hostlink::HostPid();
    ASSERT_EQ(sim_.FireStream(5, 27, 2, 1000000), 0);
    ASSERT_TRUE(Within(10, [] { return relay::QueuedCount() > 1000; })) << "no flood arrived";
    KillFromOutside(pid);
    PumpPastLogout(jni, false);
    EXPECT_GT(flooded_, 1000);
    ASSERT_TRUE(Within(10, [] { return !binding::IsAPILoaded(); }));
    EXPECT_TRUE(Within(5, [&] { return ProcessGone(pid); })) << "host " << pid << " left";
  }
#if !defined(_WIN32)
  // The last host is dead too: nothing of any of the twenty is left.
  EXPECT_TRUE(Within(10, [] { return HostMappings() == 0; })) << HostMappings() << " mappings";
  EXPECT_EQ(Children(), 0) << "a dead host is left as a child";
#endif
  // The next host brings back what one host holds, and no more.
  fake::FakeJni jni;
  ASSERT_EQ(Initialise(), 0);
  EXPECT_TRUE(Within(10, [&] { return Descriptors() <= fds + kSlack; }))
      << Descriptors() << " descriptors, " << fds << " with the second host";
  EXPECT_TRUE(Within(10, [&] { return Threads() <= threads + kSlack; }))
      << Threads() << " threads, " << threads << " with the second host";
}

}  // namespace

#if !defined(_WIN32)
namespace {

TEST_F(HostTest, AHostKilledWithTheQueueAtItsByteLimitStillQueuesTheForcedLogout) {
  // No pump runs: the flood fills the queue to its byte limit, where events
  // are dropped; the logout that says the session is gone must not be.
  struct Limit {
    size_t before = relay::SetByteLimit(size_t{3} << 20);
    ~Limit() { relay::SetByteLimit(before); }
  } limit;
  fake::FakeJni jni;
  ASSERT_EQ(Initialise(), 0);
  const int pid = hostlink::HostPid();
  const uint64_t droppedBefore = relay::Dropped();
  ASSERT_EQ(sim_.FireStream(5, 27, 2, 1000000), 0);
  EXPECT_TRUE(Within(30, [&] { return relay::Dropped() > droppedBefore; }))
      << "the flood never reached the byte limit";
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  ASSERT_TRUE(Within(10, [] { return !binding::IsAPILoaded(); }));
  PumpPastLogout(jni, false);
}

TEST_F(HostTest, EveryCallAHostsEndFailsNamesHowTheHostEnded) {
  // The calls in flight wake as the host ends: each one's failure must name
  // the signal, not read the reader's record of it half-written or unset.
  ASSERT_EQ(Initialise(), 0);
  const int pid = hostlink::HostPid();
  sim_.Fault("qrGetExchange", 3);  // each call waits inside the library
  constexpr int kCalls = 12;
  std::vector<jint> codes(kCalls, -1);
  testing::internal::CaptureStderr();
  {
    std::vector<std::unique_ptr<BoundedThread>> calls;
    for (int i = 0; i < kCalls; ++i)
      calls.push_back(std::make_unique<BoundedThread>([&codes, i] {
        fake::FakeJni own;
        codes[i] = Java_korvane_api_delphi_ClientAPI_getExchange(own.env(), own.NewObject(), i,
                                                                 own.NewByteArray(33));
      }));
    const bool inFlight = Within(10, [] { return hostlink::CallsInFlight() == kCalls; });
    if (inFlight) kill(pid, SIGKILL);
    for (auto& call : calls) call->Finished(std::chrono::seconds(10), "a call's return");
    if (!inFlight) kill(pid, SIGKILL);
    ASSERT_TRUE(inFlight) << "the calls never all reached the host";
  }
  const std::string said = testing::internal::GetCapturedStderr();
  for (int i = 0; i < kCalls; ++i) EXPECT_EQ(codes[i], 99) << "call " << i;
  EXPECT_EQ(said.find("The library host ended (gone)"), std::string::npos) << said;
  EXPECT_NE(said.find("The library host ended (signal 9 (Killed))"), std::string::npos) << said;
}

}  // namespace
#endif
