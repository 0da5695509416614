// Declarations of the natives the C++ tests call directly, and a fixture that
// loads the simulator through the bridge's own loader.
#pragma once

#include <gtest/gtest.h>
#include <jni.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "binding/loader.h"
#include "fake_jni.h"
#include "relay/queue.h"
#include "sim_library.h"

#define DECLARE_NATIVE(result, method, ...)                                                        \
  extern "C" JNIEXPORT result JNICALL Java_korvane_api_delphi_ClientAPI_##method(JNIEnv*, jobject, \
                                                                                 ##__VA_ARGS__)

DECLARE_NATIVE(jint, initialise, jstring, jstring, jboolean, jboolean, jboolean, jstring, jbyte,
               jstring, jstring);
DECLARE_NATIVE(jint, openConnections, jobjectArray, jobjectArray);
DECLARE_NATIVE(jint, logon, jstring, jstring, jstring, jboolean, jboolean);
DECLARE_NATIVE(jint, purge, jstring, jstring);
DECLARE_NATIVE(jint, logoff);
DECLARE_NATIVE(jint, closeConnections);
DECLARE_NATIVE(jint, APIBuildVersion, jbyteArray);
DECLARE_NATIVE(jint, lockUpdates);
DECLARE_NATIVE(jint, unlockUpdates);
DECLARE_NATIVE(void, processCallbacks, jbyteArray);

namespace testing_support {

// Sets an environment variable for this process; an empty value removes it.
inline void SetEnvironment(const char* name, const std::string& value) {
#if defined(_WIN32)
  _putenv_s(name, value.c_str());
#else
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
#endif
}

// Bounds a test's pumps: from `seconds` after construction until destroyed it
// asks every pump to stop, every 50 ms, so no processCallbacks of the test
// can hang; Fired() tells the test to name what never came.
class PumpDeadline {
 public:
  explicit PumpDeadline(int seconds)
      : thread_([this, seconds] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (ended_.wait_for(lock, std::chrono::seconds(seconds), [&] { return over_; })) return;
          fired_ = true;
          do relay::RequestStop();
          while (!ended_.wait_for(lock, std::chrono::milliseconds(50), [&] { return over_; }));
        }) {}
  ~PumpDeadline() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      over_ = true;
    }
    ended_.notify_all();
    thread_.join();
  }
  bool Fired() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fired_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ended_;
  bool over_ = false, fired_ = false;
  std::thread thread_;  // last: it starts once the rest exists
};

// A body on a thread of its own, waited for with a bound. A thread that
// outlives its bound is left detached: the test has failed with a message
// naming what did not happen, and no destructor waits for it forever (as a
// std::async future's would).
class BoundedThread {
 public:
  explicit BoundedThread(std::function<void()> body) {
    auto done = std::make_shared<std::promise<void>>();
    finished_ = done->get_future();
    thread_ = std::thread([body = std::move(body), done] {
      body();
      done->set_value();
    });
  }
  ~BoundedThread() {
    if (!thread_.joinable()) return;
    if (finished_.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
      thread_.join();
    } else {
      thread_.detach();
    }
  }
  BoundedThread(const BoundedThread&) = delete;
  BoundedThread& operator=(const BoundedThread&) = delete;

  // Whether the body returned within the bound; a failure names `what`.
  bool Finished(std::chrono::seconds bound, const std::string& what) {
    if (finished_.wait_for(bound) != std::future_status::ready) {
      ADD_FAILURE() << what << " did not happen within " << bound.count() << " s";
      return false;
    }
    if (thread_.joinable()) thread_.join();
    return true;
  }

 private:
  std::future<void> finished_;
  std::thread thread_;
};

// The simulator loaded by the bridge; every qrLogString line is readable.
class BridgeTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Java_korvane_api_delphi_ClientAPI_logoff(jni_.env(), self_);
    binding::UnloadAPI();
  }
  // initialise with the simulator's directory and the given flags.
  jint Initialise(bool demo = false, bool test = false, bool connectionStatus = true) {
    return Java_korvane_api_delphi_ClientAPI_initialise(
        jni_.env(), self_, jni_.NewString(SimLibrary::Directory()), jni_.NewString(""), demo, test,
        connectionStatus, jni_.NewString("init-1"), 7, jni_.NewString("app"),
        jni_.NewString("init-2"));
  }
  std::vector<std::string> Logged() { return sim_.Logged(); }

  SimLibrary sim_;
  fake::FakeJni jni_;
  jobject self_ = jni_.NewObject();
};

// Waits up to seconds for done(); false when it never came.
template <typename Done>
bool Within(int seconds, Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace testing_support

// The data natives the C++ tests call directly.
DECLARE_NATIVE(jint, addOrder, jbyteArray);
DECLARE_NATIVE(jint, addBatchOrder, jint, jbyteArray, jbyteArray, jbyteArray);
DECLARE_NATIVE(jint, addCrossingOrder, jbyteArray, jbyteArray, jbyteArray, jbyteArray, jbyte);
DECLARE_NATIVE(jint, addAAOrder, jbyteArray, jbyteArray, jstring, jstring, jbyteArray);
DECLARE_NATIVE(jint, reparentOrder, jstring, jstring);
DECLARE_NATIVE(jint, cancelOrder, jstring);
DECLARE_NATIVE(jint, getReport, jstring, jbyteArray);
DECLARE_NATIVE(jint, getAccount, jint, jbyteArray);
DECLARE_NATIVE(jint, getExchange, jint, jbyteArray);
DECLARE_NATIVE(jint, getOrder, jint, jbyteArray);
DECLARE_NATIVE(jint, getFill, jint, jbyteArray);
DECLARE_NATIVE(jint, countExchanges, jintArray);
DECLARE_NATIVE(jint, subscribe, jstring, jstring, jstring);
DECLARE_NATIVE(jint, getContractPrices, jstring, jstring, jstring, jbyteArray);
DECLARE_NATIVE(jint, subscribeToBroadcasts, jstring);
DECLARE_NATIVE(jint, averagePrice, jstring, jstring, jstring, jstring, jdoubleArray);
DECLARE_NATIVE(jint, marginForTrade, jstring, jstring, jstring, jstring, jstring, jint, jstring,
               jdoubleArray);
DECLARE_NATIVE(jint, getOptionPremium, jstring, jstring, jstring, jstring, jstring, jint,
               jdoubleArray);
DECLARE_NATIVE(jint, getConsolidatedPosition, jstring, jstring, jstring, jstring, jint, jbyteArray);
DECLARE_NATIVE(jint, createStrategy, jbyte, jint, jstring, jstring, jobjectArray);
DECLARE_NATIVE(jint, setDebugFlags, jint);
DECLARE_NATIVE(jint, setEncryptionCode, jbyte);
DECLARE_NATIVE(jint, LogString, jstring);
DECLARE_NATIVE(jint, setMemoryWarning, jint);
DECLARE_NATIVE(jint, isRavelin, jbooleanArray);
