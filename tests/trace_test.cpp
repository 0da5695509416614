// The call trace: its JSON pieces, its percentiles, and a traced session on
// every preset (the file it writes is checked again by check_trace.py).
#include "trace/trace.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "natives_support.h"
#include "relay/queue.h"
#include "sim_library.h"

DECLARE_NATIVE(jint, getExchange, jint, jbyteArray);
DECLARE_NATIVE(jint, addOrder, jbyteArray);
DECLARE_NATIVE(jint, setMDSToken, jstring);
DECLARE_NATIVE(jint, createStrategy, jbyte, jint, jstring, jstring, jobjectArray);

using testing_support::BridgeTest;
using testing_support::SimLibrary;

namespace {

void SetEnv(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value);
#else
  if (*value == '\0') {
    unsetenv(name);
  } else {
    setenv(name, value, 1);
  }
#endif
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    out += two;
  }
  return out;
}

TEST(Trace, JsonStringsAreEscapedAndPercentilesHoldTheirBucket) {
  EXPECT_EQ(trace::JsonString("a\"b\\c\n\x01\xC3"), "\"a\\\"b\\\\c\\u000a\\u0001\\u00c3\"");
  trace::Histogram h;
  for (uint64_t ns = 1; ns <= 1000; ++ns) h.Add(ns * 1000);  // 1 to 1000 µs
  EXPECT_NEAR(static_cast<double>(h.Percentile(0.5)), 500e3, 500e3 / 8);
  EXPECT_NEAR(static_cast<double>(h.Percentile(0.99)), 990e3, 990e3 / 8);
  EXPECT_EQ(h.Max(), 1000000u);
  EXPECT_EQ(h.Count(), 1000u);
  EXPECT_EQ(trace::Histogram().Percentile(0.5), 0u);
}

class TraceSession : public BridgeTest {
 protected:
  void TearDown() override {
    BridgeTest::TearDown();
    for (const char* name :
         {"JAVAWRAPPER_TRACE", "JAVAWRAPPER_TRACE_BUFFER_KB", "JAVAWRAPPER_TRACE_MODE",
          "JAVAWRAPPER_TRACE_MAX_MB", "JAVAWRAPPER_TRACE_MEMORY_MB"})
      SetEnv(name, "");
  }
  // A trace file name that no earlier run left behind.
  static std::string Fresh(const std::string& path) {
    std::remove(path.c_str());
    return path;
  }
  jint Call(const char* native, jint code = 0) {
    if (std::string(native) == "getExchange")
      return Java_korvane_api_delphi_ClientAPI_getExchange(jni_.env(), self_, 3,
                                                           jni_.NewByteArray(33));
    sim_.ForceResult("qrPurge", code);
    return Java_korvane_api_delphi_ClientAPI_purge(jni_.env(), self_, jni_.NewString("p-one"),
                                                   jni_.NewString("p-two"));
  }
  // A pump buffer of 100 bytes: event 3 (a 345-byte logon status) cannot be
  // copied into it and is dropped; event 9's handler (an 82-byte fill)
  // throws; event 7 (no record) arrives. The first two go through the funnel.
  void ShortBufferRun() {
    jbyteArray buffer = jni_.NewByteArray(100);
    jni_.lastBuffer = buffer;
    jni_.OnMessage(
        [](fake::FakeJni& jni, const fake::FakeJni::Message& m, void*) {
          if (m.id == 9) jni.Throw("java/lang/IllegalStateException");
          if (m.id == 7) relay::RequestStop();
        },
        nullptr);
    ASSERT_EQ(sim_.Fire(3, std::string(345, 'L')), 0);
    ASSERT_EQ(sim_.Fire(9, std::string(82, 'T')), 0);
    ASSERT_EQ(sim_.Fire(7, ""), 0);
    const size_t before = jni_.messages().size();
    Java_korvane_api_delphi_ClientAPI_processCallbacks(jni_.env(), self_, buffer);
    ASSERT_EQ(jni_.messages().size(), before + 2) << "messageReceived for 9 and 7 only";
    EXPECT_EQ(jni_.messages().back().id, 7);
  }
  // Delivers count events fired from two simulator threads.
  void Pump(int count) {
    jbyteArray buffer = jni_.NewByteArray(514);
    jni_.lastBuffer = buffer;
    static int seen, wanted;
    seen = 0;
    wanted = count;
    jni_.OnMessage(
        [](fake::FakeJni&, const fake::FakeJni::Message& m, void*) {
          if (m.id == 5 && ++seen == wanted) relay::RequestStop();
        },
        nullptr);
    ASSERT_EQ(sim_.FireStream(5, 27, 2, count / 2), 0);
    Java_korvane_api_delphi_ClientAPI_processCallbacks(jni_.env(), self_, buffer);
    sim_.WaitIdle();
  }
};

const char* const kSecrets[] = {"logon-USER-a1", "logon-PASS-b2", "logon-THIRD-c3",
                                "mds-TOKEN-91c2"};

// A whole traced session; the file and what the session did are left where
// check_trace.py reads them (JW_TRACE_OUT, set by the test run).
TEST_F(TraceSession, ASessionIsTracedWithItsArgumentsAndNoSecret) {
  const char* out = std::getenv("JW_TRACE_OUT");
  const std::string path = Fresh(out != nullptr ? out : "trace-unit.json");
  SetEnv("JAVAWRAPPER_TRACE", path.c_str());
  ASSERT_EQ(Initialise(), 0);
  EXPECT_TRUE(trace::On());
  EXPECT_EQ(
      Java_korvane_api_delphi_ClientAPI_setMDSToken(jni_.env(), self_, jni_.NewString(kSecrets[3])),
      0);
  ShortBufferRun();  // before the logon, whose own events 3 and 7 come later
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_logon(jni_.env(), self_, jni_.NewString(kSecrets[0]),
                                                    jni_.NewString(kSecrets[1]),
                                                    jni_.NewString(kSecrets[2]), true, false),
            0);
  std::vector<uint8_t> order(957);
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint8_t>(i * 7 + 1);
  jbyteArray jOrder = jni_.NewByteArray(order.size());
  jni_.Bytes(jOrder) = order;
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_addOrder(jni_.env(), self_, jOrder), 0);
  // A known interval: getExchange, 30 ms, purge; all of it within `whole`.
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(Call("getExchange"), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(Call("purge", 7), 7);
  const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::steady_clock::now() - before)
                         .count();
  Pump(200);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_), 0);
  EXPECT_FALSE(trace::On());

  std::ofstream(path + ".expect.json")
      << "{\"secrets\":[\"" << kSecrets[0] << "\",\"" << kSecrets[1] << "\",\"" << kSecrets[2]
      << "\",\"" << kSecrets[3] << "\"],\"calls\":{\"initialise\":1,\"setMDSToken\":1,\"logon\":1,"
      << "\"addOrder\":1,\"getExchange\":1,\"purge\":1,\"logoff\":1},"
      << "\"args\":{\"getExchange\":{\"result\":0,\"index\":3,\"record\":33},"
      << "\"purge\":{\"result\":7,\"first\":\"p-one\",\"second\":\"p-two\"},"
      << "\"addOrder\":{\"result\":0,\"order\":\"" << Hex(order) << "\"},"
      << "\"logon\":{\"result\":0,\"text1\":{\"secret_length\":13},"
      << "\"text2\":{\"secret_length\":13},\"text3\":{\"secret_length\":14},"
      << "\"flag1\":true,\"flag2\":false}},"
      << "\"events\":{\"5\":200},\"dropped\":{\"3\":\"holds 100 bytes, shorter than the\"},"
      << "\"threw\":{\"9\":\"messageReceived(9, \"},"
      << "\"errors\":[\"record of event 3 (it must hold 514)\",\"messageReceived(9, \"],"
      << "\"gap\":[\"getExchange\",\"purge\",30000," << whole << "]}";
  const std::string text = Slurp(path);
  EXPECT_EQ(text.rfind("[\n", 0), 0u);
  EXPECT_EQ(text.substr(text.size() - 3), "\n]\n");
}

// Each argument is named by its Java parameter, whatever order the bridge
// reads them in: a String[]'s length and its elements (read last to first),
// two arrays apart, a null text, texts read after an array.
TEST_F(TraceSession, ArgumentsAreNamedByTheirJavaParameters) {
  const std::string path = Fresh("trace-names.json");
  SetEnv("JAVAWRAPPER_TRACE", path.c_str());
  ASSERT_EQ(Initialise(), 0);
  Java_korvane_api_delphi_ClientAPI_openConnections(jni_.env(), self_,
                                                    jni_.NewStringArray({"h-a:11", "h-b:22"}),
                                                    jni_.NewStringArray({"p-c:33"}));
  EXPECT_EQ(
      Java_korvane_api_delphi_ClientAPI_purge(jni_.env(), self_, nullptr, jni_.NewString("p-two")),
      0);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_createStrategy(
                jni_.env(), self_, 0x53, 3, jni_.NewString("s-one"), jni_.NewString("s-two"),
                jni_.NewStringArray({"B\001D\001E\001 7\001F"})),
            0);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_), 0);
  const std::string text = Slurp(path);
  for (const char* args :
       {"\"hostAddresses.length\":2,\"hostAddresses[1]\":\"h-b:22\","
        "\"hostAddresses[0]\":\"h-a:11\",\"priceAddresses.length\":1,"
        "\"priceAddresses[0]\":\"p-c:33\"}}",
        "\"args\":{\"result\":0,\"first\":null,\"second\":\"p-two\"}}",
        "\"args\":{\"result\":0,\"kind\":83,\"n\":3,\"legs.length\":1,"
        "\"legs[0]\":\"B\\u0001D\\u0001E\\u0001 7\\u0001F\",\"s1\":\"s-one\",\"s2\":\"s-two\"}}"})
    EXPECT_NE(text.find(args), std::string::npos) << args << "\n" << text;
}

// An unwritable path: one funnel line, tracing stays off. A tiny buffer:
// records are dropped and counted, events are not, and the calls are all
// counted. A second session never overwrites the first one's file.
TEST_F(TraceSession, BadPathsFullBuffersAndSecondSessions) {
  SetEnv("JAVAWRAPPER_TRACE", "no-such-directory/trace.json");
  ASSERT_EQ(Initialise(), 0);
  EXPECT_FALSE(trace::On());
  const auto lines = Logged();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("Cannot open the trace file no-such-directory/trace.json"),
            std::string::npos);
  EXPECT_NE(lines[0].find("Where Java_korvane_api_delphi_ClientAPI_initialise"), std::string::npos);
  ASSERT_EQ(Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_), 0);

  const std::string first = Fresh("trace-dropped.json"), second = Fresh("trace-dropped-2.json");
  SetEnv("JAVAWRAPPER_TRACE", first.c_str());
  SetEnv("JAVAWRAPPER_TRACE_BUFFER_KB", "1");
  ASSERT_EQ(Initialise(), 0);
  for (int i = 0; i < 300; ++i) Call("getExchange");
  Pump(2000);  // every event arrives although most of their records cannot
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_), 0);
  const std::string text = Slurp(first);
  EXPECT_NE(text.find("\"calls\":302,\"deliveries\":2000,"), std::string::npos);
  EXPECT_EQ(text.find("\"records_dropped\":0,"), std::string::npos);
  EXPECT_NE(text.find("\"records_dropped\":"), std::string::npos);

  ASSERT_EQ(Initialise(), 0);  // the same variable: a file of its own
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_), 0);
  EXPECT_EQ(Slurp(first), text);
  EXPECT_NE(Slurp(second).find("\"calls\":2,"), std::string::npos);
}

// Settings a shift cannot hold (a negative number reads as a huge one) fall
// back to their defaults: a traced call returns and the file holds it.
TEST_F(TraceSession, SettingsOutOfRangeNeitherHoldACallNorEmptyTheFile) {
  const std::string path = Fresh("trace-settings.json");
  SetEnv("JAVAWRAPPER_TRACE", path.c_str());
  SetEnv("JAVAWRAPPER_TRACE_BUFFER_KB", "-1");
  SetEnv("JAVAWRAPPER_TRACE_MAX_MB", "17592186044416");  // 2^44 MiB: 0 bytes once shifted
  static std::atomic<bool> returned;
  static std::atomic<jint> results;
  returned = false;
  std::thread caller([this] {  // a traced call that never returned would hold the test
    results = Initialise() * 100 + Call("getExchange");
    returned = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!returned && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!returned) {
    // Stuck for good, inside initialise: no logoff could follow, so the run
    // ends here with the failure.
    ADD_FAILURE() << "initialise and getExchange did not return within 20 s with "
                     "JAVAWRAPPER_TRACE_BUFFER_KB=-1";
    std::fflush(nullptr);
    std::_Exit(1);
  }
  caller.join();
  EXPECT_EQ(results.load(), 0);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_), 0);
  const std::string text = Slurp(path);
  EXPECT_NE(text.find("\"name\":\"getExchange\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"calls\":3,"), std::string::npos) << text;
}

// A trace whose threads found no buffer within the memory cap counts those
// calls as its own; the next trace's summary holds only its own calls.
TEST_F(TraceSession, CallsWithNoBufferAreCountedInTheirOwnTraceOnly) {
  trace::Shutdown(false);  // as at an unload: no buffer of earlier tests is left to take
  const std::string first = Fresh("trace-capped.json"), second = Fresh("trace-after-cap.json");
  SetEnv("JAVAWRAPPER_TRACE", first.c_str());
  SetEnv("JAVAWRAPPER_TRACE_BUFFER_KB", "1024");
  SetEnv("JAVAWRAPPER_TRACE_MEMORY_MB", "1");  // below one buffer: no thread gets one
  ASSERT_EQ(Initialise(), 0);
  for (int i = 0; i < 37; ++i) Call("getExchange");
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_), 0);
  const std::string capped = Slurp(first);
  EXPECT_NE(capped.find("\"calls\":39,"), std::string::npos) << capped;
  EXPECT_NE(capped.find("\"calls_dropped\":39,"), std::string::npos) << capped;

  SetEnv("JAVAWRAPPER_TRACE", second.c_str());
  SetEnv("JAVAWRAPPER_TRACE_BUFFER_KB", "");
  SetEnv("JAVAWRAPPER_TRACE_MEMORY_MB", "");
  ASSERT_EQ(Initialise(), 0);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_), 0);
  const std::string after = Slurp(second);
  EXPECT_NE(after.find("\"calls\":2,"), std::string::npos) << after;
  EXPECT_NE(after.find("\"records_dropped\":0,"), std::string::npos) << after;
  EXPECT_NE(after.find("\"calls_dropped\":0,"), std::string::npos) << after;
}

// Ring mode: a clean session writes nothing; a 99 writes the ring with the
// trigger named, the records before it included.
TEST_F(TraceSession, RingModeWritesOnlyWhenSomethingGoesWrong) {
  const std::string path = Fresh("trace-ring.json");
  SetEnv("JAVAWRAPPER_TRACE", path.c_str());
  SetEnv("JAVAWRAPPER_TRACE_MODE", "ring");
  ASSERT_EQ(Initialise(), 0);
  EXPECT_EQ(Call("getExchange"), 0);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_), 0);
  EXPECT_EQ(Slurp(path), "");  // no file at all

  ASSERT_EQ(Initialise(), 0);
  EXPECT_EQ(Call("getExchange"), 0);
  EXPECT_EQ(Call("purge", 99), 99);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_), 0);
  const std::string text = Slurp(path);
  EXPECT_NE(text.find("\"trigger\":\"result 99 from purge\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"name\":\"getExchange\""), std::string::npos);
  EXPECT_NE(text.find("\"triggers\":[\"result 99 from purge\"]"), std::string::npos);
}

// A logoff waiting for its trace's writer, which is stuck on a slow disk,
// holds no other thread: a new trace starts on another thread meanwhile.
TEST_F(TraceSession, ALogoffWaitingForASlowDiskHoldsUpNoOtherTrace) {
  static std::atomic<bool> hold{false}, gaveUp{false};
  static std::thread::id starter;  // a new trace's head is written by its starter: not held
  starter = std::this_thread::get_id();
  trace::SetBeforeWriteForTests([] {
    for (int waited = 0; hold.load() && std::this_thread::get_id() != starter; waited += 10) {
      if (waited >= 10000) {
        gaveUp.store(true);  // the test failed; the writer goes on
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  SetEnv("JAVAWRAPPER_TRACE", Fresh("trace-slow-disk.json").c_str());
  ASSERT_EQ(trace::Start(nullptr), "");
  hold.store(true);
  std::thread logoff([] { trace::Stop(); });  // waits for the stuck writer
  for (int waited = 0; trace::On(); waited += 10) {
    ASSERT_LT(waited, 10000) << "the logoff never took the trace out of reach";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  SetEnv("JAVAWRAPPER_TRACE", Fresh("trace-slow-disk-next.json").c_str());
  EXPECT_EQ(trace::Start(nullptr), "");
  EXPECT_FALSE(gaveUp.load()) << "the new trace waited for the logoff's stuck writer";
  EXPECT_TRUE(trace::On());
  hold.store(false);
  logoff.join();
  trace::Stop();
  trace::SetBeforeWriteForTests(nullptr);
  EXPECT_NE(Slurp("trace-slow-disk.json").find("]"), std::string::npos) << "not finished";
}

// Runs the pump on a thread of its own until it returns, within a bound:
// a pump that never stopped is told again and the test fails.
void PumpUntilStopped(JNIEnv* env, jobject self, jbyteArray buffer) {
  std::atomic<bool> returned{false};
  std::thread pump([&] {
    Java_korvane_api_delphi_ClientAPI_processCallbacks(env, self, buffer);
    returned = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!returned && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!returned) {
    ADD_FAILURE() << "processCallbacks did not return within 20 s of its handler's logoff";
    relay::RequestStop();
  }
  pump.join();
}

// A handler that logs off while its event is delivered, then initialises
// again: the event is counted once, as cut off, by the trace it was taken
// in, and the next trace neither counts it nor draws it.
TEST_F(TraceSession, AnEventWhoseHandlerLogsOffIsCountedOnlyByTheTraceItWasTakenIn) {
  const std::string first = Fresh("trace-handler-logoff.json");
  const std::string second = Fresh("trace-handler-logoff-2.json");
  SetEnv("JAVAWRAPPER_TRACE", first.c_str());
  ASSERT_EQ(Initialise(), 0);
  using Self = std::remove_pointer_t<decltype(this)>;
  static jint results[2];
  results[0] = results[1] = -1;
  jbyteArray buffer = jni_.NewByteArray(514);
  jni_.lastBuffer = buffer;
  jni_.OnMessage(
      [](fake::FakeJni& jni, const fake::FakeJni::Message& m, void* context) {
        if (m.id != 9) return;
        auto* test = static_cast<Self*>(context);
        results[0] = Java_korvane_api_delphi_ClientAPI_logoff(jni.env(), test->self_);
        results[1] = test->Initialise();  // the same variable: the second trace
        relay::RequestStop();
      },
      this);
  ASSERT_EQ(sim_.Fire(9, std::string(82, 'T')), 0);
  PumpUntilStopped(jni_.env(), self_, buffer);
  EXPECT_EQ(results[0], 0);
  EXPECT_EQ(results[1], 0);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_), 0);
  const std::string taken = Slurp(first), next = Slurp(second);
  EXPECT_NE(taken.find("\"deliveries\":0,\"events_dropped\":0,\"handler_threw\":0,"
                       "\"events_cut_off\":1,"),
            std::string::npos)
      << taken;
  EXPECT_NE(next.find("\"deliveries\":0,\"events_dropped\":0,\"handler_threw\":0,"
                      "\"events_cut_off\":0,"),
            std::string::npos)
      << next;
  EXPECT_EQ(next.find("\"name\":\"event 9"), std::string::npos) << next;
}

// Ring mode: a forced logout whose handler logs off still writes the ring
// under its trigger.
TEST_F(TraceSession, RingModeWritesAForcedLogoutWhoseHandlerLogsOff) {
  const std::string path = Fresh("trace-ring-forced.json");
  SetEnv("JAVAWRAPPER_TRACE", path.c_str());
  SetEnv("JAVAWRAPPER_TRACE_MODE", "ring");
  ASSERT_EQ(Initialise(), 0);
  EXPECT_EQ(Call("getExchange"), 0);
  using Self = std::remove_pointer_t<decltype(this)>;
  static jint result;
  result = -1;
  jbyteArray buffer = jni_.NewByteArray(514);
  jni_.lastBuffer = buffer;
  jni_.OnMessage(
      [](fake::FakeJni& jni, const fake::FakeJni::Message& m, void* context) {
        if (m.id == 6)
          result = Java_korvane_api_delphi_ClientAPI_logoff(jni.env(),
                                                            static_cast<Self*>(context)->self_);
      },
      this);
  ASSERT_EQ(sim_.Fire(6, ""), 0);
  PumpUntilStopped(jni_.env(), self_, buffer);
  EXPECT_EQ(result, 0);
  const std::string text = Slurp(path);
  EXPECT_NE(text.find("\"trigger\":\"forced logout event\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"name\":\"getExchange\""), std::string::npos) << text;
}

// A 99 and a forced logout between two passes of the writer (a host's end
// brings both at once): the ring's file names both, not only the last.
TEST_F(TraceSession, RingModeNamesEveryTriggerRaisedTogether) {
  const std::string path = Fresh("trace-ring-both.json");
  SetEnv("JAVAWRAPPER_TRACE", path.c_str());
  SetEnv("JAVAWRAPPER_TRACE_MODE", "ring");
  ASSERT_EQ(Initialise(), 0);
  static std::atomic<bool> hold;
  hold = true;
  trace::SetBeforePassForTests([] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (hold.load() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  struct Release {
    ~Release() {
      hold = false;
      trace::SetBeforePassForTests(nullptr);
    }
  } release;
  EXPECT_EQ(Call("purge", 99), 99);
  jbyteArray buffer = jni_.NewByteArray(514);
  jni_.lastBuffer = buffer;
  jni_.OnMessage(
      [](fake::FakeJni&, const fake::FakeJni::Message& m, void*) {
        if (m.id == 6) relay::RequestStop();
      },
      nullptr);
  ASSERT_EQ(sim_.Fire(6, ""), 0);
  PumpUntilStopped(jni_.env(), self_, buffer);
  hold = false;
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_), 0);
  const std::string text = Slurp(path);
  EXPECT_NE(text.find("\"trigger\":\"result 99 from purge, forced logout event\""),
            std::string::npos)
      << text;
}

// Events the queue drops at its hard byte limit, before any pump sees them,
// are in the summary's events_dropped.
TEST_F(TraceSession, EventsDroppedAtTheQueuesLimitAreCounted) {
  const std::string path = Fresh("trace-queue-limit.json");
  SetEnv("JAVAWRAPPER_TRACE", path.c_str());
  ASSERT_EQ(Initialise(), 0);
  struct Limit {
    size_t before = relay::SetByteLimit(1);  // no record that needs a block of its own fits
    ~Limit() { relay::SetByteLimit(before); }
  };
  {
    const Limit limit;
    const uint64_t before = relay::Dropped();
    for (int i = 0; i < 5; ++i) ASSERT_EQ(sim_.Fire(3, std::string(345, 'L')), 0);
    // With the library in its host the events reach the queue a little later.
    EXPECT_TRUE(testing_support::Within(20, [&] { return relay::Dropped() - before == 5; }))
        << relay::Dropped() - before << " of the 5 events were dropped at the limit within 20 s";
  }
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_), 0);
  const std::string text = Slurp(path);
  EXPECT_NE(text.find("\"events_dropped\":5,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"events_dropped_by_queue\":5,"), std::string::npos) << text;
}

// A 55 names the file it tried and the system's reason: once on standard
// error (there is no trading library to log through) and in the trace.
TEST_F(TraceSession, AFailedLoadNamesThePathAndTheSystemsReason) {
  SetEnv("JAVAWRAPPER_TRACE", "trace-failed-load.json");
  std::string dir = SimLibrary::Directory();
  dir.pop_back();  // no trailing separator: "<dir>QUORAPI.DLL" does not exist
  const std::string tried = dir + "QUORAPI.DLL";
  testing::internal::CaptureStderr();
  const jint code = Java_korvane_api_delphi_ClientAPI_initialise(
      jni_.env(), self_, jni_.NewString(dir), jni_.NewString(""), false, false, true,
      jni_.NewString(""), 0, jni_.NewString(""), jni_.NewString(""));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(code, 55);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_), 0);
  // The system's text follows the path; Linux and Windows word it differently.
  const std::string line = "JavaWrapper: Cannot load " + tried + ": ";
  ASSERT_EQ(err.find(line), 0u) << err;
  EXPECT_GT(err.size(), line.size() + 5) << "no reason after the path: " << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << "more than one line: " << err;
  const std::string reason = err.substr(line.size(), err.size() - line.size() - 1);
  const std::string text = Slurp("trace-failed-load.json");
  EXPECT_NE(text.find(trace::JsonString("Cannot load " + tried + ": " + reason)), std::string::npos)
      << text;
}

}  // namespace
