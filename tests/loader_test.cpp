#include "binding/loader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "binding/errors.h"
#include "platform/platform.h"
#include "sim_library.h"

using namespace binding;
using testing_support::MessageCapture;
using testing_support::SimLibrary;

namespace {

int32_t LoadCode(const std::string& file) {
  return Capture("test", [&] {
    LoadAPI(file);
    return 0;
  });
}

bool AllSlots(bool nonZero) {
  void* slots[kEntrySlots];
  SnapshotEntryTable(slots);
  for (void* slot : slots)
    if ((slot != nullptr) != nonZero) return false;
  return true;
}

// What a guarded native does: guard, call one entry, check.
int32_t GuardedCall() {
  return Capture("test", [] {
    LibraryUse use = CheckAPILoaded();
    return CheckResult(use->qrReady());
  });
}

class LoaderTest : public ::testing::Test {
 protected:
  void TearDown() override { UnloadAPI(); }
  SimLibrary sim_;
};

TEST_F(LoaderTest, LoadFillsEverySlotAndUnloadClearsThem) {
  ASSERT_EQ(LoadCode(SimLibrary::Path()), 0);
  EXPECT_TRUE(IsAPILoaded());
  EXPECT_TRUE(AllSlots(true));
  EXPECT_EQ(GuardedCall(), 0);
  UnloadAPI();
  UnloadAPI();  // a second unload does nothing
  EXPECT_FALSE(IsAPILoaded());
  EXPECT_TRUE(AllSlots(false));
  EXPECT_EQ(GuardedCall(), kLibraryNotLoaded);
}

TEST_F(LoaderTest, MissingEntryShowsOneBoxAndLeavesNothingLoaded) {
  MessageCapture box;
  EXPECT_EQ(LoadCode(SimLibrary::Path("QUORAPI.DLL", "no-unlock")), kFunctionNotFound);
  EXPECT_EQ(MessageCapture::Texts(), std::vector<std::string>{"Can't find qrUnlockUpdates"});
  EXPECT_FALSE(IsAPILoaded());
  EXPECT_TRUE(AllSlots(false));
  EXPECT_EQ(GuardedCall(), kLibraryNotLoaded);
  // Nothing is left half-loaded: a good library loads at once afterwards.
  EXPECT_EQ(LoadCode(SimLibrary::Path()), 0);
}

TEST_F(LoaderTest, TheFirstAndATwiceLookedUpEntryAreRequiredToo) {
  for (const auto& [variant, entry] :
       {std::pair<const char*, const char*>{"no-first", "qrRegisterCallback"},
        {"no-twice", "qrPurge"}}) {
    MessageCapture box;
    EXPECT_EQ(LoadCode(SimLibrary::Path("QUORAPI.DLL", variant)), kFunctionNotFound) << variant;
    EXPECT_EQ(MessageCapture::Texts(),
              std::vector<std::string>{std::string("Can't find ") + entry});
    EXPECT_TRUE(AllSlots(false)) << variant;
  }
}

TEST_F(LoaderTest, OnlyTheFirstMissingEntryIsReported) {
  MessageCapture box;
  EXPECT_EQ(LoadCode(SimLibrary::Path("QUORAPI.DLL", "no-two")), kFunctionNotFound);
  EXPECT_EQ(MessageCapture::Texts(), std::vector<std::string>{"Can't find qrCountExchanges"});
  EXPECT_TRUE(AllSlots(false));
}

TEST_F(LoaderTest, MissingFileGives55WithoutABox) {
  MessageCapture box;
  EXPECT_EQ(LoadCode(SimLibrary::Path("NOSUCHAPI.DLL")), kCannotLoadLibrary);
  EXPECT_TRUE(MessageCapture::Texts().empty());
  EXPECT_FALSE(IsAPILoaded());
}

TEST_F(LoaderTest, SecondLoadWaitsAboutTenSecondsThenGives54) {
  ASSERT_EQ(LoadCode(SimLibrary::Path()), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(LoadCode(SimLibrary::Path("DEMOAPI.DLL")), kLibraryAlreadyLoaded);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(9500));
  // The first library is untouched and keeps working.
  EXPECT_TRUE(AllSlots(true));
  sim_.ClearJournal();
  EXPECT_EQ(GuardedCall(), 0);
  EXPECT_EQ(sim_.CountCalls("qrReady"), 1);
}

TEST_F(LoaderTest, LoadGoesAheadOnceAnotherThreadUnloads) {
  ASSERT_EQ(LoadCode(SimLibrary::Path()), 0);
  std::thread logoff([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    UnloadAPI();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(LoadCode(SimLibrary::Path("DEMOAPI.DLL")), 0);
  logoff.join();
  // Short of the ten seconds a load that waited out its bound would take.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(9500));
  EXPECT_TRUE(AllSlots(true));
}

// Natives racing an unload either finish on the loaded library or get 52;
// none calls a slot that was cleared (that would crash the program).
TEST_F(LoaderTest, UnloadNeverPullsTheLibraryFromUnderARunningCall) {
  sim_.ForceResult("qrReady", 0);
  for (int cycle = 0; cycle < 20; ++cycle) {
    ASSERT_EQ(LoadCode(SimLibrary::Path()), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
      callers.emplace_back([&] {
        while (!stop.load()) {
          const int32_t code = GuardedCall();
          if (code != 0 && code != kLibraryNotLoaded) unexpected.fetch_add(1);
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    UnloadAPI();
    EXPECT_EQ(GuardedCall(), kLibraryNotLoaded);
    stop.store(true);
    for (auto& c : callers) c.join();
    EXPECT_EQ(unexpected.load(), 0);
  }
}

// An unload that runs between a use's two steps (announce, then look) sees
// the use and waits for it; the use sees the unload and is refused. Were the
// steps the other way round, the unload would free the library under a use
// that is then granted.
struct UnloadInBetween {
  static inline std::future<void> unloaded;
  static inline bool finishedWhileAnnounced = false;
  static void Between() {
    unloaded = std::async(std::launch::async, [] { UnloadAPI(); });
    finishedWhileAnnounced =
        unloaded.wait_for(std::chrono::milliseconds(300)) == std::future_status::ready;
  }
};

// The bridge's slots released (its key freed) while a call an unload gave up
// on is still inside the library: that thread's slot is not handed to a
// thread that registers later (Windows runs the thread-end hook for every
// live thread when the key goes; elsewhere nothing runs and this holds).
TEST_F(LoaderTest, AStuckCallsSlotIsNotHandedOnWhenTheSlotsAreReleased) {
  ASSERT_EQ(LoadCode(SimLibrary::Path()), 0);
  std::atomic<const void*> stuck{nullptr};
  std::atomic<bool> release{false};
  std::thread call([&] {
    LibraryUse use = CheckAPILoaded();
    stuck = ThisThreadToken();
    for (int waited = 0; !release && waited < 10000; ++waited)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  for (int waited = 0; stuck.load() == nullptr; ++waited) {
    ASSERT_LT(waited, 10000) << "the call never took its use";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ReleaseThreadSlots();
  std::vector<const void*> later(8);
  std::atomic<int> registered{0};
  std::vector<std::thread> threads;
  for (auto& token : later)  // all alive at once: each takes a slot of its own
    threads.emplace_back([&] {
      token = ThisThreadToken();
      ++registered;
      while (registered.load() < 8) std::this_thread::yield();
    });
  for (auto& t : threads) t.join();
  release = true;
  call.join();
  for (const void* token : later) EXPECT_NE(token, stuck.load());
  UnloadAPI();
}

TEST_F(LoaderTest, AnUnloadBetweenAnnounceAndLookWaitsForTheUseWhichIsRefused) {
  ASSERT_EQ(LoadCode(SimLibrary::Path()), 0);
  {
    LibraryUse use = LibraryUse::TryAcquire<UnloadInBetween>();
    EXPECT_FALSE(UnloadInBetween::finishedWhileAnnounced) << "the unload did not see the use";
    EXPECT_FALSE(use) << "a use was granted on a library being unloaded";
  }
  ASSERT_EQ(UnloadInBetween::unloaded.wait_for(std::chrono::seconds(5)), std::future_status::ready)
      << "the unload did not finish once the refused use ended";
  EXPECT_FALSE(IsAPILoaded());
}

// An unload that gave up on a call stuck in the library (the bridge's own
// unloading, which then keeps the bridge mapped) is finished by the next load
// once that call has ended: a later class loader's initialise gets the new
// library at once, not 54 after ten seconds.
TEST_F(LoaderTest, ALoadFinishesAnUnloadThatGaveUpOnceTheStuckCallEnded) {
  ASSERT_EQ(LoadCode(SimLibrary::Path()), 0);
  {
    LibraryUse stuck = CheckAPILoaded();
    ASSERT_EQ(UnloadAPIWithin(std::chrono::milliseconds(50)), Unloaded::kLeft);
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(LoadCode(SimLibrary::Path("DEMOAPI.DLL")), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(9500));
  sim_.ClearJournal();
  EXPECT_EQ(GuardedCall(), 0);
  EXPECT_EQ(sim_.CountCalls("qrReady"), 0) << "the call went to the library left behind";
}

// A log-off frees the library while another module (here the test's own
// handle) holds it: its threads may still call the bridge's callbacks, so the
// bridge's own unloading later must keep the bridge mapped, not take the
// library for gone because the bridge no longer holds it.
TEST_F(LoaderTest, TheBridgesUnloadAfterAFreeThatLeftTheLibraryHeldSaysHeld) {
  ASSERT_EQ(LoadCode(SimLibrary::Path()), 0);
  UnloadAPI();  // the log-off's unload
  EXPECT_FALSE(IsAPILoaded());
  EXPECT_EQ(UnloadAPIWithin(std::chrono::milliseconds(50)), Unloaded::kHeldElsewhere);
}

// Bounds are read off the clock: with every sleep a 16 ms timer tick, a
// 200 ms bound counted in 1 ms sleeps would last 3.2 s.
TEST_F(LoaderTest, UnloadBoundsHoldAsTimeWhenSleepsAreCoarse) {
  ASSERT_EQ(LoadCode(SimLibrary::Path()), 0);
  platform::SetMinimumSleepForTests(16);
  auto boundedUnload = [](const char* waitingFor) {
    const auto start = std::chrono::steady_clock::now();
    auto unload = std::async(std::launch::async,
                             [] { return UnloadAPIWithin(std::chrono::milliseconds(200)); });
    ASSERT_EQ(unload.wait_for(std::chrono::seconds(2)), std::future_status::ready)
        << "a 200 ms bound on " << waitingFor << " took over 2 s";
    EXPECT_EQ(unload.get(), Unloaded::kLeft) << "unloaded while " << waitingFor << " was held";
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
  };
  std::thread logoff;
  {
    LibraryUse use = CheckAPILoaded();  // a call that does not end
    boundedUnload("a use");
    logoff = std::thread([] { UnloadAPI(); });  // holds the loader lock, waiting for the use
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    boundedUnload("the loader lock");
  }
  logoff.join();
  platform::SetMinimumSleepForTests(0);
  EXPECT_FALSE(IsAPILoaded());
}

}  // namespace
