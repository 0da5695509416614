// The trace under load: thread churn within the memory cap, full buffers
// that never show a call with another call's arguments, a 99 that always
// triggers and is counted, a stalled destination that holds logoff and
// unload only to their bound, lines within their page, texts that may be
// credentials, and recording while the writer formats and sessions churn
// (the ThreadSanitizer preset runs these too).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "natives_support.h"
#include "sim_library.h"
#include "trace/trace.h"

DECLARE_NATIVE(jint, setPriceHandShakePeriods, jint, jint);
DECLARE_NATIVE(jint, setPriceAgeCounter, jint);
DECLARE_NATIVE(jint, setSSLClientAuthName, jstring);
DECLARE_NATIVE(jint, setSSLCertName, jstring);
DECLARE_NATIVE(jint, purge, jstring, jstring);

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

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The number after "key": in text (-1 when absent).
long long Number(const std::string& text, const std::string& key) {
  const size_t at = text.find("\"" + key + "\":");
  if (at == std::string::npos) return -1;
  return std::strtoll(text.c_str() + at + key.size() + 3, nullptr, 10);
}

// Waits until done() holds, at most 20 s; false (with what) when it never did.
bool WaitFor(const std::function<bool()>& done) {
  for (int waited = 0; waited < 20000; waited += 5) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

class TraceLoad : public BridgeTest {
 protected:
  void TearDown() override {
    BridgeTest::TearDown();
    trace::SetBeforePassForTests(nullptr);
    for (const char* name :
         {"JAVAWRAPPER_TRACE", "JAVAWRAPPER_TRACE_BUFFER_KB", "JAVAWRAPPER_TRACE_MODE",
          "JAVAWRAPPER_TRACE_MEMORY_MB", "JAVAWRAPPER_TRACE_TEXTS"})
      SetEnv(name, "");
  }
  static std::string Fresh(const std::string& path) {
    std::remove(path.c_str());
    return path;
  }
  jint Pair(jint first) {
    return Java_korvane_api_delphi_ClientAPI_setPriceHandShakePeriods(jni_.env(), self_, first,
                                                                      first * 3 + 1);
  }
  jint Logoff() { return Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_); }
  // Every setPriceHandShakePeriods call in the file carries its own pair:
  // second is 3 * first + 1 for each, and no other argument. The calls seen.
  static long long CheckPairs(const std::string& text) {
    long long calls = 0;
    for (const std::string& line : Lines(text)) {
      if (line.find("\"name\":\"setPriceHandShakePeriods\"") == std::string::npos) continue;
      ++calls;
      const long long first = Number(line, "first");
      const std::string args = "\"args\":{\"result\":0,\"first\":" + std::to_string(first) +
                               ",\"second\":" + std::to_string(first * 3 + 1) + "}},";
      EXPECT_EQ(line.size() >= args.size() ? line.substr(line.size() - args.size()) : line, args)
          << "a call with arguments not its own";
    }
    return calls;
  }
};

// Thousands of short-lived threads, one traced call each: the buffers stay
// within the cap (the ended threads' buffers are taken again), and every
// call is in the file.
TEST_F(TraceLoad, ThreadChurnStaysWithinTheCapAndKeepsEveryCall) {
  const std::string path = Fresh("trace-churn.json");
  SetEnv("JAVAWRAPPER_TRACE", path.c_str());
  SetEnv("JAVAWRAPPER_TRACE_BUFFER_KB", "64");
  SetEnv("JAVAWRAPPER_TRACE_MEMORY_MB", "3");
  const trace::Memory before = trace::MemoryForTests();
  ASSERT_EQ(Initialise(), 0);
  constexpr int kRounds = 125, kThreads = 16;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([this, round, t] { Pair(1000 + round * kThreads + t); });
    for (std::thread& t : threads) t.join();
    // The writer has written the ended threads' records and freed their
    // buffers before the next round begins.
    ASSERT_TRUE(WaitFor([] { return trace::MemoryForTests().ended == 0; }))
        << "round " << round << ": the ended threads' buffers were never freed";
  }
  const trace::Memory after = trace::MemoryForTests();
  std::printf("%d threads: buffers %llu -> %llu, bytes %llu -> %llu\n", kRounds * kThreads,
              static_cast<unsigned long long>(before.buffers),
              static_cast<unsigned long long>(after.buffers),
              static_cast<unsigned long long>(before.bytes),
              static_cast<unsigned long long>(after.bytes));
  EXPECT_LE(after.bytes, std::max<uint64_t>(before.bytes, uint64_t{3} << 20));
  EXPECT_LE(after.buffers, before.buffers + 2 * kThreads);
  ASSERT_EQ(Logoff(), 0);
  const std::string text = Slurp(path);
  EXPECT_EQ(CheckPairs(text), kRounds * kThreads);
  EXPECT_EQ(Number(text, "calls_dropped"), 0);
}

// Tiny buffers under several threads: calls are dropped, but each call in
// the file carries its own arguments, and the calls in the file and those
// dropped add up to all of them.
TEST_F(TraceLoad, FullBuffersKeepEachCallWithItsOwnArguments) {
  const std::string path = Fresh("trace-full.json");
  SetEnv("JAVAWRAPPER_TRACE", path.c_str());
  SetEnv("JAVAWRAPPER_TRACE_BUFFER_KB", "1");
  ASSERT_EQ(Initialise(), 0);
  constexpr int kThreads = 4, kCalls = 3000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([this, t] {
      for (int i = 0; i < kCalls; ++i) Pair((t + 1) * 100000 + i);
    });
  for (std::thread& t : threads) t.join();
  ASSERT_EQ(Logoff(), 0);
  const std::string text = Slurp(path);
  const long long kept = CheckPairs(text), dropped = Number(text, "calls_dropped");
  EXPECT_GT(dropped, 0) << "no call was dropped: the buffers were never full";
  EXPECT_EQ(kept + dropped, kThreads * kCalls);
}

// A 99 whose records cannot be kept (the writer holds off while the buffer
// fills) still triggers ring mode's file and is counted in the summary.
TEST_F(TraceLoad, A99UnderAFullBufferTriggersTheRingAndIsCounted) {
  static std::atomic<bool> hold{false};
  trace::SetBeforePassForTests([] {
    for (int waited = 0; hold.load() && waited < 20000; waited += 2)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  });
  for (const char* mode : {"ring", "all"}) {
    SCOPED_TRACE(mode);
    const std::string path = Fresh(std::string("trace-99-") + mode + ".json");
    SetEnv("JAVAWRAPPER_TRACE", path.c_str());
    SetEnv("JAVAWRAPPER_TRACE_MODE", mode);
    SetEnv("JAVAWRAPPER_TRACE_BUFFER_KB", "1");
    ASSERT_EQ(Initialise(), 0);
    hold.store(true);
    for (int i = 0; i < 100; ++i) Pair(i);  // far more than 1 KiB of records
    sim_.ForceResult("qrSetPriceAgeCounter", 99);
    EXPECT_EQ(Java_korvane_api_delphi_ClientAPI_setPriceAgeCounter(jni_.env(), self_, 4242), 99);
    sim_.ForceResult("qrSetPriceAgeCounter", 0);
    hold.store(false);
    ASSERT_EQ(Logoff(), 0);
    const std::string text = Slurp(path);
    EXPECT_NE(text.find("\"failures\":{\"99\":1}"), std::string::npos) << text;
    EXPECT_EQ(text.find("\"value\":4242"), std::string::npos) << "the 99's records were kept";
    if (std::string(mode) == "ring") {
      EXPECT_NE(text.find("\"trigger\":\"result 99 from setPriceAgeCounter\""), std::string::npos)
          << text;
    }
  }
}

// Every line fits the 4 KiB page it starts in, however long and however
// escaped its texts: a 1,024-byte non-ASCII funnel message is cut after
// escaping, and the file stays whole.
TEST_F(TraceLoad, LongNonAsciiTextsAreCutSoNoLineCrossesAPage) {
  const std::string path = Fresh("trace-long-lines.json");
  SetEnv("JAVAWRAPPER_TRACE", path.c_str());
  ASSERT_EQ(Initialise(), 0);
  std::string message;
  while (message.size() < 1024) message += "\xC3\xA9\x01\"";  // é, a control byte, a quote
  message.resize(1024);
  for (int i = 0; i < 20; ++i) {
    trace::Funnel(message, message);
    Java_korvane_api_delphi_ClientAPI_purge(jni_.env(), self_, jni_.NewString(message),
                                            jni_.NewString(message));
  }
  ASSERT_EQ(Logoff(), 0);
  const std::string text = Slurp(path);
  size_t at = 0, funnels = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    ASSERT_NE(end, std::string::npos) << "the file does not end with a whole line";
    EXPECT_LE(at % 4096 + (end - at + 1), 4096u) << "a line crosses a page at " << at;
    if (text.compare(at, 24, "{\"name\":\"error\",\"cat\":\"f") == 0) {
      ++funnels;
      EXPECT_NE(text.substr(at, end - at).find("...\"}}"), std::string::npos) << "not cut";
    }
    at = end + 1;
  }
  EXPECT_EQ(funnels, 20u);
  EXPECT_EQ(text.find("\"not_written\""), std::string::npos) << "a line was left out";
}

// initialise's library texts, the SSL client-authentication name and the
// certificate name appear as their length only, unless all texts are asked
// for.
TEST_F(TraceLoad, TextsThatMayBeCredentialsAreWrittenAsTheirLength) {
  for (const char* texts : {"", "all"}) {
    SCOPED_TRACE(texts);
    const std::string path = Fresh(std::string("trace-credentials") + texts + ".json");
    SetEnv("JAVAWRAPPER_TRACE", path.c_str());
    SetEnv("JAVAWRAPPER_TRACE_TEXTS", texts);
    ASSERT_EQ(
        Java_korvane_api_delphi_ClientAPI_initialise(
            jni_.env(), self_, jni_.NewString(SimLibrary::Directory()),
            jni_.NewString("client-PATH-x1"), false, false, true, jni_.NewString("licence-KEY-7a"),
            7, jni_.NewString("app-NAME-3c"), jni_.NewString("second-KEY-9d")),
        0);
    Java_korvane_api_delphi_ClientAPI_setSSLClientAuthName(jni_.env(), self_,
                                                           jni_.NewString("auth-NAME-55e"));
    Java_korvane_api_delphi_ClientAPI_setSSLCertName(jni_.env(), self_,
                                                     jni_.NewString("cert-NAME-66f0"));
    ASSERT_EQ(Logoff(), 0);
    const std::string text = Slurp(path);
    const bool all = *texts != '\0';
    for (const char* secret :
         {"licence-KEY-7a", "app-NAME-3c", "second-KEY-9d", "auth-NAME-55e", "cert-NAME-66f0"})
      EXPECT_EQ(text.find(secret) != std::string::npos, all) << secret;
    // A path, not a credential; each argument named by its Java parameter.
    EXPECT_NE(text.find("\"libraryDirectory\":" + trace::JsonString(SimLibrary::Directory()) +
                        ",\"clientPath\":\"client-PATH-x1\",\"demo\":false,\"test\":false,"
                        "\"connectionStatus\":true,"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\"initByte\":7"), std::string::npos) << text;
    if (!all) {
      // initialise's three library texts (one a length apart from the
      // others), the authentication name and the certificate name.
      for (const char* length : {"\"initText1\":{\"secret_length\":14}",
                                 "\"applicationText\":{\"secret_length\":11},"
                                 "\"initText2\":{\"secret_length\":13}",
                                 "\"args\":{\"result\":0,\"name\":{\"secret_length\":13}}",
                                 "\"args\":{\"result\":0,\"name\":{\"secret_length\":14}}"})
        EXPECT_NE(text.find(length), std::string::npos) << length << "\n" << text;
    }
  }
}

// Several threads record (calls, funnel lines, threads that end) while the
// writer formats and sessions start and stop, in both modes. Under the
// ThreadSanitizer preset any race among them fails the run.
TEST_F(TraceLoad, ThreadsRecordWhileTheWriterFormatsAndSessionsChurn) {
  ASSERT_EQ(Initialise(), 0);  // untraced: the sessions below are the trace's own
  SetEnv("JAVAWRAPPER_TRACE_BUFFER_KB", "4");
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([this, t, &stop] {
      for (int i = 0; !stop.load(); ++i) {
        Pair(t * 1000000 + i);
        if (i % 16 == 0) trace::Funnel("churn", "a funnel line");
        if (i % 64 == 0) std::thread([this, i] { Pair(i); }).join();  // a thread that ends
      }
    });
  for (int session = 0; session < 12; ++session) {
    SetEnv("JAVAWRAPPER_TRACE", Fresh("trace-churn-sessions.json").c_str());
    SetEnv("JAVAWRAPPER_TRACE_MODE", session % 2 == 0 ? "all" : "ring");
    EXPECT_EQ(trace::Start(nullptr), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    trace::Stop();
  }
  stop.store(true);
  for (std::thread& t : threads) t.join();
  std::remove("trace-churn-sessions.json");
}

#if !defined(_WIN32)
// A FIFO that a reader holds open and never reads stands for a destination
// that stalls: logoff returns within its bound (the writer gives up and says
// so on standard error), and so does the bridge's unload with a stalled
// trace open.
TEST_F(TraceLoad, AStalledPipeHoldsLogoffAndUnloadOnlyToTheirBound) {
  const std::string fifo = "trace-stalled.fifo";
  std::remove(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // holds it, never reads
  ASSERT_GE(reader, 0);
  // Full before the trace writes a byte: on a busy machine the recorder may
  // drop most of the calls below, and what it keeps could fit in the pipe.
  const int filler = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(filler, 0);
  const std::string block(4096, 'x');
  while (write(filler, block.data(), block.size()) > 0) {
  }
  while (write(filler, block.data(), 1) > 0) {
  }
  close(filler);  // the bytes stay while the reader holds the pipe
  SetEnv("JAVAWRAPPER_TRACE", fifo.c_str());
  jbyteArray order = jni_.NewByteArray(957);
  for (const char* step : {"logoff", "unload"}) {
    SCOPED_TRACE(step);
    ASSERT_EQ(Initialise(), 0);
    ASSERT_TRUE(trace::On());
    // Far more than the pipe holds: each is a line of some 2,000 bytes.
    for (int i = 0; i < 200; ++i)
      Java_korvane_api_delphi_ClientAPI_addOrder(jni_.env(), self_, order);
    testing::internal::CaptureStderr();
    std::atomic<bool> returned{false};
    std::thread ending([&] {
      if (std::string(step) == "logoff") {
        Logoff();
      } else {
        trace::Shutdown(false);  // what the bridge's unload does with the trace
      }
      returned.store(true);
    });
    const bool inTime = WaitFor([&] { return returned.load(); });
    if (!inTime) {
      ending.detach();  // the failure is reported; the process ends with the test run
      testing::internal::GetCapturedStderr();
      FAIL() << step << " did not return within 20 s with its destination stalled";
    }
    ending.join();
    const std::string err = testing::internal::GetCapturedStderr();
    // The writer's own count of what it did not write: it gave up itself.
    EXPECT_NE(err.find("stalled: "), std::string::npos) << err;
  }
  close(reader);
  std::remove(fifo.c_str());
}
#endif

}  // namespace
