#include "binding/errors.h"

#include <gtest/gtest.h>
#include <jni.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "binding/loader.h"
#include "binding/report.h"
#include "fake_jni.h"
#include "natives/java_text.h"
#include "natives_support.h"
#include "sim_library.h"

extern "C" JNIEXPORT jstring JNICALL Java_korvane_api_delphi_ClientAPI_getErrorMessage(JNIEnv*,
                                                                                       jobject,
                                                                                       jint);

using namespace binding;
using testing_support::SimLibrary;

namespace {

class LoadedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadAPI(SimLibrary::Path());
    sim_.ClearJournal();
  }
  void TearDown() override { UnloadAPI(); }

  std::vector<std::string> Logged() { return sim_.Logged(); }

  SimLibrary sim_;
};

int32_t Checked(int32_t code) {
  return Capture("test", [code] { return CheckResult(code); });
}

TEST_F(LoadedTest, CheckResultPassesZeroAndElevenOnly) {
  // Returned, not thrown: the check itself, with no capture around it.
  EXPECT_EQ(CheckResult(0), 0);
  EXPECT_EQ(CheckResult(11), 11);
  EXPECT_THROW(CheckResult(7), EQUOR);
  EXPECT_THROW(CheckResult(52), EQUOR);
  EXPECT_EQ(Checked(7), 7);
  EXPECT_EQ(sim_.CountCalls("qrDumpLastError"), 0);
  EXPECT_EQ(Checked(99), 99);
  EXPECT_EQ(sim_.CountCalls("qrDumpLastError"), 1);
  EXPECT_TRUE(Logged().empty());  // the check never logs
  try {
    CheckResult(-1);
    FAIL() << "no EQUOR";
  } catch (const EQUOR& e) {
    EXPECT_EQ(e.Code, -1);
    EXPECT_STREQ(e.what(), "QUOR API Error: -1");
  }
}

TEST(Unloaded, CheckResultOn99RaisesWithoutADump) {
  EXPECT_EQ(Checked(99), 99);
  EXPECT_EQ(ErrorFunnel("anything", "nowhere"), 99);  // nothing to log through
}

TEST_F(LoadedTest, FunnelLogsOneLineWithTheWhereText) {
  EXPECT_EQ(ErrorFunnel(EQUOR(52).what(), "AddCallback"), 99);
  EXPECT_EQ(Logged(),
            std::vector<std::string>{"Wrapper API ErrorQUOR API Error: 52 Where AddCallback"});
}

TEST_F(LoadedTest, FunnelTextIsCutAt250Bytes) {
  const std::string where(400, 'w');
  EXPECT_EQ(ErrorFunnel("long", where), 99);
  const auto lines = Logged();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), 250u);
  EXPECT_EQ(lines[0].substr(0, 28), "Wrapper API Errorlong Where ");
}

TEST_F(LoadedTest, CaptureReturnsEquorCodesQuietlyAndFunnelsTheRest) {
  EXPECT_EQ(Capture("Java_x_quiet", []() -> int32_t { throw EQUOR(7); }), 7);
  EXPECT_TRUE(Logged().empty());
  EXPECT_EQ(Capture("Java_x_alloc", []() -> int32_t { throw std::bad_alloc(); }), 99);
  EXPECT_EQ(Capture("Java_x_odd", []() -> int32_t { throw 42; }), 99);
  const auto lines = Logged();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Wrapper API Errorstd::bad_alloc Where Java_x_alloc");
  EXPECT_EQ(lines[1], "Wrapper API ErrorUnknown exception Where Java_x_odd");
}

std::string ErrorMessage(int32_t code) {
  fake::FakeJni jni;
  jstring s = Java_korvane_api_delphi_ClientAPI_getErrorMessage(jni.env(), jni.NewObject(), code);
  EXPECT_TRUE(jni.violations().empty());
  return s == nullptr ? "<null>" : jni.StringOf(s);
}

TEST(ErrorMessageUnloaded, OwnTextsAndTheFallback) {
  EXPECT_EQ(ErrorMessage(52), "Library not loaded");
  EXPECT_EQ(ErrorMessage(53), "Cannot find function in API");
  EXPECT_EQ(ErrorMessage(54), "Library already loaded");
  EXPECT_EQ(ErrorMessage(55), "Cannot load library");
  EXPECT_EQ(ErrorMessage(56), "Callback not registered");
  EXPECT_EQ(ErrorMessage(1), "Dynamic API Error - qrGetErrorMessage not Assigned");
}

TEST_F(LoadedTest, ErrorMessageAsksTheLibraryOnlyForItsOwnCodes) {
  EXPECT_EQ(ErrorMessage(99), "Internal simulator failure");
  EXPECT_EQ(ErrorMessage(53), "Cannot find function in API");
  EXPECT_EQ(ErrorMessage(56), "Callback not registered");
  EXPECT_EQ(ErrorMessage(1), "Simulator result 1");
  EXPECT_EQ(sim_.CountCalls("qrGetErrorMessage"), 2);  // 99 and 1 only
}

TEST_F(LoadedTest, ErrorMessageNeverHandsTheJvmInvalidText) {
  sim_.SetErrorText(77,
                    "Margin \xA3"
                    "5 \x80 over");  // Windows-1252 pound and euro
  EXPECT_EQ(ErrorMessage(77),
            "Margin \xC2\xA3"
            "5 \xE2\x82\xAC over");
  sim_.SetErrorText(78, "caf\xC3\xA9");  // already valid: passed unchanged
  EXPECT_EQ(ErrorMessage(78), "caf\xC3\xA9");
}

TEST(JavaText, ModifiedUtf8Validation) {
  EXPECT_TRUE(natives::IsModifiedUtf8("plain"));
  EXPECT_TRUE(natives::IsModifiedUtf8("\xC0\x80"));                  // U+0000 as Java writes it
  EXPECT_TRUE(natives::IsModifiedUtf8("\xED\xA0\xBD\xED\xB8\x80"));  // a surrogate pair
  EXPECT_FALSE(natives::IsModifiedUtf8("\xA3"));                     // stray continuation byte
  EXPECT_FALSE(natives::IsModifiedUtf8("\xC3"));                     // cut short
  EXPECT_FALSE(natives::IsModifiedUtf8("\xF0\x9F\x98\x80"));         // four-byte form
  EXPECT_FALSE(natives::IsModifiedUtf8("\xC1\xBF"));                 // overlong
  EXPECT_EQ(natives::ToModifiedUtf8("\x81"), "\xC2\x81");
}

// Lines written at once from many threads all reach the JAVAWRAPPER_LOG
// file, each whole: none overwrites another (a seek to the end and then a
// write, as the C runtime appends on Windows, lost some lines of 4800).
TEST(Report, LinesFromManyThreadsAllReachTheLogFile) {
  const std::string path = testing::TempDir() + "javawrapper-report-threads.log";
  std::remove(path.c_str());
  testing_support::SetEnvironment("JAVAWRAPPER_LOG", path);
  constexpr int kThreads = 16;
  constexpr int kLines = 300;
  testing::internal::CaptureStderr();
  std::atomic<int> ready{0};  // all start together, so their lines overlap
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &ready] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int i = 0; i < kLines; ++i)
        Report({"thread ", std::to_string(t), " line ", std::to_string(i)});
    });
  }
  for (std::thread& thread : threads) thread.join();
  testing::internal::GetCapturedStderr();
  testing_support::SetEnvironment("JAVAWRAPPER_LOG", "");
  std::set<std::string> seen;
  int lines = 0;
  std::ifstream file(path, std::ios::binary);
  for (std::string line; std::getline(file, line); ++lines) seen.insert(line);
  file.close();
  std::remove(path.c_str());
  EXPECT_EQ(lines, kThreads * kLines);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kLines; ++i) {
      const std::string line =
          "JavaWrapper: thread " + std::to_string(t) + " line " + std::to_string(i);
      ASSERT_EQ(seen.count(line), 1u) << "missing or torn: " << line;
    }
  }
}

}  // namespace
