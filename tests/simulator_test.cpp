#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "binding/vendor.h"
#include "sim_library.h"

using testing_support::SimLibrary;

namespace {

// Records what a registered procedure receives, and on which thread.
struct Seen {
  std::mutex mutex;
  std::string bytes;
  std::thread::id thread;
  std::atomic<int> calls{0};
};
Seen gSeen;

void QR_CALL OnRecord(const void* record) {
  std::lock_guard<std::mutex> lock(gSeen.mutex);
  gSeen.bytes.assign(static_cast<const char*>(record), 27);
  gSeen.thread = std::this_thread::get_id();
  gSeen.calls.fetch_add(1);
}

void QR_CALL OnSignal() {
  gSeen.calls.fetch_add(1);
}

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override { gSeen.calls.store(0); }
  template <typename Fn>
  Fn Entry(const char* name) {
    return reinterpret_cast<Fn>(sim_.Symbol(name));
  }
  SimLibrary sim_;
};

TEST_F(SimulatorTest, ExportsEveryEntryOfTheList) {
#define QR_ENTRY(name, result, params) EXPECT_NE(sim_.Symbol(#name), nullptr) << #name;
#define QR_AGAIN(name)
#include "binding/entries.def"
}

TEST_F(SimulatorTest, ForcedResultsAndTheJournal) {
  auto orderChecked = Entry<decltype(binding::slots::qrOrderChecked::fn)>("qrOrderChecked");
  EXPECT_EQ(orderChecked("A1", 'Y'), 0);
  sim_.ForceResult("qrOrderChecked", 7);
  EXPECT_EQ(orderChecked(nullptr, 'N'), 7);
  sim_.ClearResult("qrOrderChecked");
  EXPECT_EQ(orderChecked("B2", 'Y'), 0);

  ASSERT_EQ(sim_.CountCalls("qrOrderChecked"), 3);
  const int32_t first = sim_.Find("qrOrderChecked");
  EXPECT_EQ(sim_.Arg(first, 0), "A1");
  EXPECT_EQ(sim_.IntArg(first, 1), 'Y');
  const int32_t second = sim_.Find("qrOrderChecked", first + 1);
  EXPECT_TRUE(sim_.ArgIsNull(second, 0));
}

TEST_F(SimulatorTest, OutputsAreThePatternUnlessSet) {
  auto getExchange = Entry<decltype(binding::slots::qrGetExchange::fn)>("qrGetExchange");
  unsigned char record[40] = {};
  EXPECT_EQ(getExchange(2, record), 0);
  EXPECT_EQ(record[0], 1);
  EXPECT_EQ(record[32], (32 * 7 + 1) & 0xFF);
  EXPECT_EQ(record[33], 0);  // nothing past the record
  sim_.SetOutput("qrGetExchange", "LME");
  EXPECT_EQ(getExchange(2, record), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record), 4), std::string("LME\0", 4));
}

TEST_F(SimulatorTest, FiresRegisteredCallbacksFromItsOwnThreads) {
  auto registerOrder =
      Entry<decltype(binding::slots::qrRegisterOrderCallback::fn)>("qrRegisterOrderCallback");
  auto registerPlain =
      Entry<decltype(binding::slots::qrRegisterCallback::fn)>("qrRegisterCallback");
  EXPECT_EQ(sim_.Fire(5, std::string(27, 'x')), -1);  // nothing registered yet
  ASSERT_EQ(registerOrder(5, &OnRecord), 0);
  ASSERT_EQ(registerPlain(7, &OnSignal), 0);

  const std::string record(27, '\x5A');
  EXPECT_EQ(sim_.Fire(5, record), 0);
  {
    std::lock_guard<std::mutex> lock(gSeen.mutex);
    EXPECT_EQ(gSeen.bytes, record);
    EXPECT_NE(gSeen.thread, std::this_thread::get_id());
  }
  EXPECT_EQ(sim_.FireAsync(7, ""), 0);
  sim_.WaitIdle();
  EXPECT_EQ(gSeen.calls.load(), 2);
}

TEST_F(SimulatorTest, LogOffStopsAndJoinsItsThreads) {
  auto registerOrder =
      Entry<decltype(binding::slots::qrRegisterOrderCallback::fn)>("qrRegisterOrderCallback");
  auto logOff = Entry<decltype(binding::slots::qrLogOff::fn)>("qrLogOff");
  ASSERT_EQ(registerOrder(5, &OnRecord), 0);
  ASSERT_EQ(sim_.FireStream(5, 27, 4, 1000000), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (gSeen.calls.load() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  ASSERT_GT(gSeen.calls.load(), 0) << "no streamed event arrived within 30 s";
  EXPECT_EQ(logOff(), 0);
  const int afterLogOff = gSeen.calls.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(gSeen.calls.load(), afterLogOff);  // nobody calls back any more
  EXPECT_LT(afterLogOff, 4000000);
}

}  // namespace

namespace {

// The simulator writes every qrLogString line to its log as a real library
// writes its log file: standard error by default, the named file on request.
TEST_F(SimulatorTest, EveryLogLineReachesStandardErrorOrTheNamedFile) {
  auto logString = Entry<decltype(binding::slots::qrLogString::fn)>("qrLogString");
  auto logTo = reinterpret_cast<void (*)(const char*)>(sim_.Symbol("simLogTo"));
  ASSERT_NE(logTo, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(logString("first line 34"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "simulator log: first line 34\n");

  const std::string path = testing::TempDir() + "simulator-log-34.log";
  std::remove(path.c_str());
  logTo(path.c_str());
  testing::internal::CaptureStderr();
  EXPECT_EQ(logString("second line"), 0);
  EXPECT_EQ(logString("third line"), 0);
  logTo(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  std::stringstream file;
  file << std::ifstream(path, std::ios::binary).rdbuf();
  std::remove(path.c_str());
  EXPECT_EQ(file.str(), "second line\nthird line\n");
}

}  // namespace
