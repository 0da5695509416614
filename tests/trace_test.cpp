// The call trace: its JSON pieces, its percentiles, and a traced session on
// every preset (the file it writes is checked again by check_trace.py).
#include "trace/trace.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "natives_support.h"
#include "relay/queue.h"
#include "sim_library.h"

DECLARE_NATIVE(jint, getExchange, jint, jbyteArray);

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
    SetEnv("JAVAWRAPPER_TRACE", "");
    SetEnv("JAVAWRAPPER_TRACE_BUFFER", "");
  }
  jint Logon(const char* second) {
    return Java_korvane_api_delphi_ClientAPI_logon(jni_.env(), self_, jni_.NewString("user-1"),
                                                   jni_.NewString(second),
                                                   jni_.NewString("third-3"), true, false);
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

// A whole traced session; the file is left where check_trace.py reads it
// (JW_TRACE_OUT, set by the test run) or in the working directory.
TEST_F(TraceSession, ASessionIsTracedAndSecretsStayOut) {
  const char* out = std::getenv("JW_TRACE_OUT");
  const std::string path = out != nullptr ? out : "trace-unit.json";
  SetEnv("JAVAWRAPPER_TRACE", path.c_str());
  ASSERT_EQ(Initialise(), 0);
  EXPECT_TRUE(trace::On());
  EXPECT_EQ(Logon("second-SECRET-7f3a"), 0);
  jbyteArray record = jni_.NewByteArray(33);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_getExchange(jni_.env(), self_, 3, record), 0);
  sim_.ForceResult("qrPurge", 7);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_purge(jni_.env(), self_, jni_.NewString("p-one"),
                                                    jni_.NewString("p-two")),
            7);
  Pump(200);
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_), 0);
  EXPECT_FALSE(trace::On());

  const std::string text = Slurp(path);
  EXPECT_EQ(text.rfind("[\n", 0), 0u);
  EXPECT_EQ(text.substr(text.size() - 3), "\n]\n");
  EXPECT_EQ(text.find("second-SECRET-7f3a"), std::string::npos);
  EXPECT_NE(text.find("\"secret_length\":18"), std::string::npos);
  EXPECT_NE(text.find("\"name\":\"getExchange\""), std::string::npos);
  EXPECT_NE(text.find("\"name\":\"purge\""), std::string::npos);
  EXPECT_NE(text.find("\"result\":7,\"text0\":\"p-one\""), std::string::npos);
  EXPECT_NE(text.find("\"name\":\"event 5\""), std::string::npos);
  EXPECT_NE(text.find("\"failures\":{\"7\":1}"), std::string::npos);
  EXPECT_NE(text.find("\"5\":200"), std::string::npos);  // events per id
  EXPECT_NE(text.find("\"records_dropped\":0"), std::string::npos);
}

// An unwritable path: one funnel line, tracing stays off, nothing else
// changes. A tiny buffer: records are dropped and counted, events are not.
TEST_F(TraceSession, BadPathsAndFullBuffersChangeNothingElse) {
  SetEnv("JAVAWRAPPER_TRACE", "no-such-directory/trace.json");
  ASSERT_EQ(Initialise(), 0);
  EXPECT_FALSE(trace::On());
  const auto lines = Logged();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("Cannot open the trace file no-such-directory/trace.json"),
            std::string::npos);
  EXPECT_NE(lines[0].find("Where Java_korvane_api_delphi_ClientAPI_initialise"), std::string::npos);
  ASSERT_EQ(Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_), 0);

  SetEnv("JAVAWRAPPER_TRACE", "trace-dropped.json");
  SetEnv("JAVAWRAPPER_TRACE_BUFFER", "2");
  ASSERT_EQ(Initialise(), 0);
  Pump(2000);  // every event arrives although most of their records cannot
  EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_), 0);
  const std::string text = Slurp("trace-dropped.json");
  EXPECT_NE(text.find("\"events\":{\"5\":2000}"), std::string::npos);  // all delivered
  EXPECT_EQ(text.find("\"records_dropped\":0,"), std::string::npos);
  EXPECT_NE(text.find("\"records_dropped\":"), std::string::npos);
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
