// The simulator's market: matching and position arithmetic, through the
// simulator's own entries, one market step at a time.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "binding/vendor.h"
#include "sim_library.h"

using testing_support::SimLibrary;

namespace {

std::mutex gMutex;
std::vector<std::string> gOrderEvents, gFillEvents, gCancelFailures;

void QR_CALL OnOrder(const void* r) {
  std::lock_guard<std::mutex> lock(gMutex);
  gOrderEvents.emplace_back(static_cast<const char*>(r), 27);
}
void QR_CALL OnFill(const void* r) {
  std::lock_guard<std::mutex> lock(gMutex);
  gFillEvents.emplace_back(static_cast<const char*>(r), 82);
}
void QR_CALL OnCancelFailure(const void* r) {
  std::lock_guard<std::mutex> lock(gMutex);
  gCancelFailures.emplace_back(static_cast<const char*>(r), 27);
}

void PutText(std::string& r, size_t at, size_t width, const std::string& text) {
  std::memcpy(&r[at], text.data(), std::min(text.size(), width - 1));
}
void PutInt(std::string& r, size_t at, int32_t v) {
  for (int i = 0; i < 4; ++i) r[at + i] = static_cast<char>(static_cast<uint32_t>(v) >> (8 * i));
}
int32_t IntAt(const std::string& r, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(r[at + i]);
  return static_cast<int32_t>(v);
}
std::string TextAt(const std::string& r, size_t at, size_t width) {
  return std::string(r.c_str() + at, strnlen(r.c_str() + at, width));
}

class MarketTest : public ::testing::Test {
 protected:
  template <typename Slot>
  auto Entry(const char* name) {
    return reinterpret_cast<decltype(Slot::fn)>(sim_.Symbol(name));
  }
  void SetUp() override {
    sim_.Market(true);
    ASSERT_EQ(Entry<binding::slots::qrInitialise>("qrInitialise")('D', "v", "seed=7", "", "", 0),
              0);
    Entry<binding::slots::qrRegisterOrderCallback>("qrRegisterOrderCallback")(5, &OnOrder);
    Entry<binding::slots::qrRegisterFillCallback>("qrRegisterFillCallback")(9, &OnFill);
    Entry<binding::slots::qrRegisterOrderCancelFailureCallback>(
        "qrRegisterOrderCancelFailureCallback")(15, &OnCancelFailure);
    std::lock_guard<std::mutex> lock(gMutex);
    gOrderEvents.clear();
    gFillEvents.clear();
    gCancelFailures.clear();
    step_ = reinterpret_cast<void (*)()>(sim_.Symbol("simMarketStep"));
    reinterpret_cast<void (*)(const char*, const char*, const char*, double, double)>(
        sim_.Symbol("simSetBook"))("NORDX", "CRUDE", "DEC26", 70.00, 70.02);
  }
  int32_t Add(char side, char type, int32_t quantity, const std::string& price) {
    std::string r(957, '\0');
    PutText(r, 0, 11, "NORDX");
    PutText(r, 11, 11, "CRUDE");
    PutText(r, 22, 51, "DEC26");
    PutText(r, 73, 11, "DEMO1");
    r[84] = side;
    r[85] = type;
    PutInt(r, 86, quantity);
    PutText(r, 90, 21, price);
    return Entry<binding::slots::qrAddOrder>("qrAddOrder")(r.data(), nullptr);
  }
  std::string Figure(const char* entry) {
    char number[21] = {};
    reinterpret_cast<decltype(binding::slots::qrPLBurnRate::fn)>(sim_.Symbol(entry))(
        "DEMO1", "NORDX", "CRUDE", "DEC26", number);
    return number;
  }
  std::string Position() {
    std::string r(29, '\0');
    Entry<binding::slots::qrGetOpenPosition>("qrGetOpenPosition")("DEMO1", "NORDX", "CRUDE",
                                                                  "DEC26", r.data());
    return r;
  }
  SimLibrary sim_;
  void (*step_)() = nullptr;
};

TEST_F(MarketTest, LimitOrderRestsThenFillsInPartsWhenItCrosses) {
  ASSERT_EQ(Add('B', 'L', 8, "69.50"), 0);
  step_();  // queued event raised, order working
  step_();  // below the ask: rests
  {
    std::lock_guard<std::mutex> lock(gMutex);
    ASSERT_EQ(gOrderEvents.size(), 2u);
    EXPECT_EQ(TextAt(gOrderEvents[0], 0, 21), "ORD000001");
    EXPECT_EQ(gOrderEvents[0][21], 'Q');
    EXPECT_EQ(gOrderEvents[1][21], 'W');
    EXPECT_TRUE(gFillEvents.empty());
  }
  std::string amend(782, '\0');
  PutInt(amend, 0, 8);
  PutText(amend, 4, 21, "70.02");
  ASSERT_EQ(Entry<binding::slots::qrAmendOrder>("qrAmendOrder")("ORD000001", amend.data()), 0);
  step_();  // amended, and now at the ask: 5 of 8 fill
  step_();  // the other 3
  std::lock_guard<std::mutex> lock(gMutex);
  ASSERT_EQ(gFillEvents.size(), 2u);
  EXPECT_EQ(IntAt(gFillEvents[0], 42), 5);
  EXPECT_EQ(TextAt(gFillEvents[0], 46, 21), "70.02");
  EXPECT_EQ(IntAt(gFillEvents[1], 42), 3);
  EXPECT_EQ(gOrderEvents.back()[21], 'F');
  EXPECT_EQ(IntAt(gOrderEvents.back(), 22), 8);
}

TEST_F(MarketTest, PositionsAndProfitFollowTheFills) {
  ASSERT_EQ(Add('B', 'M', 10, ""), 0);
  for (int i = 0; i < 3; ++i) step_();  // working, then 5 + 5 at the ask 70.02
  ASSERT_EQ(Add('S', 'M', 4, ""), 0);
  for (int i = 0; i < 2; ++i) step_();  // working, then 4 at the bid 70.00
  const std::string p = Position();
  EXPECT_EQ(IntAt(p, 0), 6);
  EXPECT_EQ(TextAt(p, 4, 21), "70.02");  // the average of the buys
  EXPECT_EQ(IntAt(p, 25), 3);            // fills
  // Marked at the last trade, 70.00: 10 bought at 70.02 lose 0.02 x 1000 each.
  EXPECT_EQ(Figure("qrPLBurnRate"), "-200");
  EXPECT_EQ(Figure("qrOpenPositionExposure"), "420000");  // 6 x 70 x 1000
  EXPECT_EQ(Figure("qrBuyingPowerUsed"), "42000");        // 10% of it
  EXPECT_EQ(Figure("qrBuyingPowerRemaining"), "958000");
}

TEST_F(MarketTest, CancelWorksAndUnknownOrdersAreRefusedByCallback) {
  ASSERT_EQ(Add('S', 'L', 2, "75"), 0);
  step_();
  EXPECT_EQ(Entry<binding::slots::qrCancelOrder>("qrCancelOrder")("ORD000001"), 0);
  EXPECT_EQ(Entry<binding::slots::qrCancelOrder>("qrCancelOrder")("ORD999999"), 0);
  step_();
  std::lock_guard<std::mutex> lock(gMutex);
  EXPECT_EQ(gOrderEvents.back()[21], 'C');
  ASSERT_EQ(gCancelFailures.size(), 1u);
  EXPECT_EQ(TextAt(gCancelFailures[0], 0, 21), "ORD999999");
}

TEST_F(MarketTest, RejectsOrdersItCannotTrade) {
  EXPECT_EQ(Add('X', 'L', 1, "70"), 6);
  EXPECT_EQ(Add('B', 'L', 0, "70"), 6);
  EXPECT_EQ(Add('B', 'L', 1, ""), 6);
}

}  // namespace
