// Data natives where the exact bytes or the exact JNI sequence matter.
#include <string>
#include <vector>

#include "natives/frame.h"
#include "natives_support.h"

using testing_support::BridgeTest;

#define CALL(method, ...) \
  Java_korvane_api_delphi_ClientAPI_##method(jni_.env(), self_, ##__VA_ARGS__)

namespace {

class DataTest : public BridgeTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(Initialise(), 0);
    sim_.ClearJournal();
    jni_.ClearCalls();
  }
  jstring S(const std::string& text) { return jni_.NewString(text); }
  std::vector<std::string> After(const std::string& call) {
    const auto& calls = jni_.calls();
    auto it = std::find(calls.begin(), calls.end(), call);
    return it == calls.end() ? std::vector<std::string>{}
                             : std::vector<std::string>(it + 1, calls.end());
  }
};

TEST_F(DataTest, ShortInputRecordIs99AndNeverReachesTheLibrary) {
  EXPECT_EQ(CALL(addOrder, jni_.NewByteArray(956)), 99);
  EXPECT_EQ(sim_.Find("qrAddOrder"), -1);
  EXPECT_FALSE(jni_.pending());
  EXPECT_EQ(jni_.CountCalls("GetArrayLength"), 1u);  // read for the message only
  EXPECT_TRUE(jni_.violations().empty());
  const auto lines = Logged();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "Wrapper API ErrorJava array order holds 956 bytes, shorter than its 957-byte record "
            "Where Java_korvane_api_delphi_ClientAPI_addOrder");
}

// A short out-array is found before the order is placed: no order exists
// whose identifier the front-end could not be told, nothing is written and no
// exception is left pending.
TEST_F(DataTest, ShortOutArrayIs99BeforeTheOrderIsPlaced) {
  jbyteArray outA = jni_.NewByteArray(110, 0xDD);
  jbyteArray outB = jni_.NewByteArray(10, 0xEE);
  EXPECT_EQ(CALL(addBatchOrder, 3, jni_.NewByteArray(9570, 1), outA, outB), 99);
  EXPECT_FALSE(jni_.pending());
  EXPECT_EQ(jni_.CountCalls("SetByteArrayRegion"), 0u);
  EXPECT_EQ(jni_.Bytes(outA), std::vector<uint8_t>(110, 0xDD));
  EXPECT_EQ(jni_.Bytes(outB), std::vector<uint8_t>(10, 0xEE));
  EXPECT_TRUE(jni_.violations().empty());
  EXPECT_EQ(sim_.Find("qrAddBatchOrder"), -1);
  const auto lines = Logged();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "Wrapper API ErrorJava array resultB holds 10 elements, shorter than the 11 it "
            "receives Where Java_korvane_api_delphi_ClientAPI_addBatchOrder");
  // Both long enough: both written, in their own sizes.
  EXPECT_EQ(CALL(addBatchOrder, 3, jni_.NewByteArray(9570, 1), outA, jni_.NewByteArray(11)), 0);
  const int32_t call = sim_.Find("qrAddBatchOrder");
  EXPECT_EQ(sim_.IntArg(call, 0), 3);
  EXPECT_EQ(sim_.Arg(call, 1), std::string(9570, '\1'));
}

TEST_F(DataTest, NullTestsOfReparentAndCancel) {
  EXPECT_EQ(CALL(reparentOrder, S("a"), nullptr), 0);
  EXPECT_EQ(CALL(cancelOrder, nullptr), 0);
  EXPECT_TRUE(sim_.Calls().empty());
  binding::UnloadAPI();
  EXPECT_EQ(CALL(cancelOrder, nullptr), 52);
}

TEST_F(DataTest, CodeAndFixedTextsOfPairedOrders) {
  jbyteArray order = jni_.NewByteArray(957, 2);
  EXPECT_EQ(
      CALL(addCrossingOrder, order, order, jni_.NewByteArray(336), jni_.NewByteArray(22), 0x41), 0);
  EXPECT_EQ(sim_.Arg(sim_.Find("qrAddCrossingOrder"), 4), std::string("A\0\0\0", 4));
  EXPECT_EQ(CALL(addCrossingOrder, order, order, jni_.NewByteArray(336), jni_.NewByteArray(22),
                 static_cast<jbyte>(0xC8)),
            0);
  EXPECT_EQ(sim_.Arg(sim_.Find("qrAddCrossingOrder", 1), 4), std::string("\xC8\0\0\0", 4));
  EXPECT_EQ(CALL(addAAOrder, order, order, S("ABCDEFGHIJKL"), S(""), jni_.NewByteArray(22)), 0);
  const int32_t aa = sim_.Find("qrAddAAOrder");
  EXPECT_EQ(sim_.Arg(aa, 2), "ABCDEFGHIJ");
  EXPECT_EQ(sim_.Arg(aa, 3), "");
}

TEST_F(DataTest, ReportLengthIsTheArraysOwn) {
  EXPECT_EQ(CALL(getReport, S("daily"), jni_.NewByteArray(0)), 0);
  EXPECT_TRUE(sim_.ArgIsNull(sim_.Find("qrGetReport"), 2));
  EXPECT_EQ(sim_.IntArg(sim_.Find("qrGetReport"), 1), 0);
  EXPECT_EQ(jni_.CountCalls("SetByteArrayRegion"), 0u);
  jbyteArray report = jni_.NewByteArray(5000, 0xEE);
  EXPECT_EQ(CALL(getReport, S("daily"), report), 0);
  EXPECT_EQ(sim_.IntArg(sim_.Find("qrGetReport", 1), 1), 5000);
  EXPECT_EQ(jni_.Bytes(report)[4999], (4999 * 7 + 1) & 0xFF);
}

TEST_F(DataTest, AccountByIndexIs48Bytes) {
  jbyteArray record = jni_.NewByteArray(47, 0xCC);
  EXPECT_EQ(CALL(getAccount, 0, record), 99);
  EXPECT_FALSE(jni_.pending());
  EXPECT_EQ(jni_.Bytes(record), std::vector<uint8_t>(47, 0xCC));
  EXPECT_EQ(sim_.Find("qrGetTrader"), 0);  // asked: a fetch by index changes nothing
  const auto lines = Logged();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "Wrapper API ErrorJava array record holds 47 elements, shorter than the 48 it "
            "receives Where GetProc");
  EXPECT_EQ(CALL(getAccount, 0, jni_.NewByteArray(48)), 0);
}

// A fetch by index is asked before its array's length is known: a fetch that
// fails answers its own code and leaves a short array as it was, and only a
// passing fetch finds the short array, by its copy.
TEST_F(DataTest, AFetchByIndexThatFailsLeavesAShortArrayAndAnswersItsCode) {
  sim_.ForceResult("qrGetFill", 7);
  jbyteArray fill = jni_.NewByteArray(472, 0x6E);
  EXPECT_EQ(CALL(getFill, 5, fill), 7);
  EXPECT_EQ(sim_.IntArg(sim_.Find("qrGetFill"), 0), 5);
  EXPECT_FALSE(jni_.pending());
  EXPECT_EQ(jni_.CountCalls("SetByteArrayRegion"), 0u);
  EXPECT_EQ(jni_.Bytes(fill), std::vector<uint8_t>(472, 0x6E));
  EXPECT_TRUE(Logged().empty());
  sim_.ClearJournal();
  sim_.ForceResult("qrGetOrder", 11);
  jbyteArray order = jni_.NewByteArray(1409, 0x2B);
  EXPECT_EQ(CALL(getOrder, 9, order), 99);
  EXPECT_EQ(sim_.IntArg(sim_.Find("qrGetOrder"), 0), 9);
  EXPECT_FALSE(jni_.pending());
  EXPECT_EQ(jni_.Bytes(order), std::vector<uint8_t>(1409, 0x2B));
  const auto lines = Logged();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "Wrapper API ErrorJava array record holds 1409 elements, shorter than the 1410 it "
            "receives Where GetProc");
}

TEST_F(DataTest, SubscriptionsCutTheKeyByBytes) {
  const std::string fifty(50, 'k');
  EXPECT_EQ(CALL(subscribe, S("EXCHANGE12"), S("C"), S(fifty)), 0);
  EXPECT_EQ(CALL(subscribe, S("EXCHANGE1234"), S("abcdefghi\xC3\xA9"), S(fifty + "Z")), 0);
  const int32_t first = sim_.Find("qrSubscribePrice");
  const int32_t second = sim_.Find("qrSubscribePrice", first + 1);
  EXPECT_EQ(sim_.Arg(first, 0), "EXCHANGE12");
  EXPECT_EQ(sim_.Arg(first, 2), fifty);
  EXPECT_EQ(sim_.Arg(second, 0), "EXCHANGE12");
  EXPECT_EQ(sim_.Arg(second, 1), "abcdefghi\xC3");  // the cut falls inside "é"
  EXPECT_EQ(sim_.Arg(second, 2), fifty);
  EXPECT_EQ(
      CALL(getContractPrices, S("EXCHANGE1234"), S("c"), S(fifty + "Z"), jni_.NewByteArray(2412)),
      0);
  const int32_t prices = sim_.Find("qrGetPriceForContract");
  EXPECT_EQ(sim_.Arg(prices, 0), "EXCHANGE1234");  // fetches pass the key whole
  EXPECT_EQ(sim_.Arg(prices, 2), fifty + "Z");
  EXPECT_EQ(CALL(subscribeToBroadcasts, S("BROADCAST-SOURCE")), 0);
  EXPECT_EQ(sim_.Arg(sim_.Find("qrSubscribeBroadcast"), 0), "BROADCAST-");
}

TEST_F(DataTest, NumbersComeBackThroughTheTextRule) {
  jdoubleArray value = jni_.NewDoubleArray(1);
  sim_.SetOutput("qrGetAveragePrice", "  1234.5 ");
  sim_.ForceResult("qrGetAveragePrice", 11);
  EXPECT_EQ(CALL(averagePrice, S("a"), S("b"), S("c"), S("d"), value), 0);
  EXPECT_EQ(jni_.Doubles(value)[0], 1234.5);
  sim_.SetOutput("qrGetAveragePrice", "1,234.5");
  EXPECT_EQ(CALL(averagePrice, S("a"), S("b"), S("c"), S("d"), value), 0);
  EXPECT_EQ(jni_.Doubles(value)[0], 0.0);
}

TEST_F(DataTest, MarginForTradeReordersItsArguments) {
  EXPECT_EQ(CALL(marginForTrade, S("1"), S("2"), S("3"), S("4"), nullptr, 5, S("6"),
                 jni_.NewDoubleArray(1)),
            0);
  const int32_t call = sim_.Find("qrMarginForTrade");
  EXPECT_EQ(sim_.Arg(call, 4), std::string("\5\0\0\0", 4));  // the address of n
  EXPECT_FALSE(sim_.ArgIsNull(call, 5));
  EXPECT_EQ(sim_.Arg(call, 5), "");  // a null s5 is the empty string
  EXPECT_EQ(sim_.Arg(call, 6), "6");
}

TEST_F(DataTest, OptionPremiumTakesTheFirstByteAndNeedsOne) {
  jdoubleArray value = jni_.NewDoubleArray(1, 3.0);
  EXPECT_EQ(CALL(getOptionPremium, S("a"), S("b"), S("c"), S("Put"), S("d"), 9, value), 0);
  EXPECT_EQ(sim_.IntArg(sim_.Find("qrGetOptionPremium"), 3), 'P');
  sim_.ClearJournal();
  EXPECT_EQ(CALL(getOptionPremium, S("a"), S("b"), S("c"), S(""), S("d"), 9, value), 99);
  EXPECT_EQ(sim_.Find("qrGetOptionPremium"), -1);
  ASSERT_EQ(Logged().size(), 1u);
  EXPECT_NE(Logged()[0].find("Where Java_korvane_api_delphi_ClientAPI_getOptionPremium"),
            std::string::npos);
}

TEST_F(DataTest, ConsolidatedPositionReadsFourBytesAndWritesNone) {
  jbyteArray block = jni_.NewByteArray(8, 7);
  EXPECT_EQ(CALL(getConsolidatedPosition, S("a"), S("b"), S("c"), S("d"), 12, block), 0);
  const int32_t call = sim_.Find("qrgetConsolidatedPosition");
  EXPECT_EQ(sim_.IntArg(call, 4), 12);
  EXPECT_EQ(sim_.Arg(call, 5), std::string(4, '\7'));
  EXPECT_EQ(jni_.CountCalls("SetByteArrayRegion"), 0u);
  sim_.ForceResult("qrgetConsolidatedPosition", 4);
  EXPECT_EQ(CALL(getConsolidatedPosition, S("a"), S("b"), S("c"), S("d"), 12, jni_.NewByteArray(3)),
            99);
  EXPECT_NE(Logged().back().find("Where Java_korvane_api_delphi_ClientAPI_GetConsolidatedPosition"),
            std::string::npos);
}

TEST_F(DataTest, StrategyLegTable) {
  std::vector<std::string> legs = {"B\001  ABC  \001X\001-2\001Y1", "S\001D\001E\001 7\001F",
                                   "T\001G\001H\0010x10\001I"};
  EXPECT_EQ(CALL(createStrategy, 0x53, 3, S("one"), S("two"), jni_.NewStringArray(legs)), 0);
  const int32_t call = sim_.Find("qrCreateStrategy");
  EXPECT_EQ(sim_.IntArg(call, 0), 0x53);
  EXPECT_EQ(sim_.IntArg(call, 1), 3);
  EXPECT_EQ(sim_.Arg(call, 2), "one");
  EXPECT_EQ(sim_.Arg(call, 3), "two");
  const std::string table = sim_.Arg(call, 4);
  ASSERT_EQ(table.size(), 1248u);
  EXPECT_EQ(table.substr(0, 5), std::string("BABC\0", 5));
  EXPECT_EQ(table.substr(52, 2), std::string("X\0", 2));
  EXPECT_EQ(table.substr(63, 4), std::string("\xFE\xFF\xFF\xFF", 4));
  EXPECT_EQ(table.substr(67, 3), std::string("Y1\0", 3));
  EXPECT_EQ(table.substr(78 + 63, 4), std::string("\7\0\0\0", 4));
  EXPECT_EQ(table.substr(156 + 63, 4), std::string("\x10\0\0\0", 4));
  EXPECT_EQ(table.substr(3 * 78), std::string(1248 - 3 * 78, '\0'));
  EXPECT_TRUE(jni_.violations().empty());
}

TEST_F(DataTest, OnlyTheFirstSixteenLegsAreValidated) {
  std::vector<std::string> legs(20, "B\001a\001b\0011\001c");
  legs[17] = "\001\001\001bad\001";
  EXPECT_EQ(CALL(createStrategy, 1, 1, S(""), S(""), jni_.NewStringArray(legs)), 0);
  legs[15] = "B\001a\001b\0011 \001c";  // a space after the number
  EXPECT_EQ(CALL(createStrategy, 1, 1, S(""), S(""), jni_.NewStringArray(legs)), 99);
  EXPECT_EQ(sim_.CountCalls("qrCreateStrategy"), 1);
  EXPECT_NE(Logged().back().find("Where Java_korvane_api_delphi_ClientAPI_createStrategy"),
            std::string::npos);
  EXPECT_EQ(CALL(createStrategy, 1, 1, S(""), S(""), jni_.NewStringArray({})), 0);
  EXPECT_EQ(sim_.Arg(sim_.Find("qrCreateStrategy", sim_.Find("qrCreateStrategy") + 1), 4),
            std::string(1248, '\0'));
}

TEST_F(DataTest, SettingsThatCallTwiceOrPassBytes) {
  sim_.ForceResult("qrEnable", 99);
  EXPECT_EQ(CALL(setDebugFlags, 5), 0);
  EXPECT_EQ(sim_.Calls(), (std::vector<std::string>{"qrDisable", "qrEnable"}));
  EXPECT_EQ(sim_.IntArg(0, 0), -1);
  EXPECT_EQ(sim_.IntArg(1, 0), 5);
  EXPECT_EQ(sim_.CountCalls("qrDumpLastError"), 0);
  EXPECT_EQ(CALL(setEncryptionCode, 65), 0);
  EXPECT_EQ(sim_.IntArg(sim_.Find("qrSetEncryptionCode"), 0), 65);
  EXPECT_EQ(CALL(LogString, S("")), 0);
  const int32_t log = sim_.Find("qrLogString");
  EXPECT_FALSE(sim_.ArgIsNull(log, 0));
  EXPECT_EQ(sim_.Arg(log, 0), "");
  sim_.ForceResult("qrSetMemoryWarning", 3);
  EXPECT_EQ(CALL(setMemoryWarning, 80), 3);
  jbooleanArray answer = jni_.NewBooleanArray(1);
  sim_.ForceResult("qrRavelinEnabled", 5);
  EXPECT_EQ(CALL(isRavelin, answer), 5);
  sim_.ForceResult("qrRavelinEnabled", 0);
  EXPECT_EQ(CALL(isRavelin, answer), 0);
  EXPECT_EQ(jni_.Booleans(answer)[0], JNI_TRUE);
  binding::UnloadAPI();
  EXPECT_EQ(CALL(setMemoryWarning, 80), 52);
}

// A native that checks its out-array before the call reads its length once,
// not again when it copies; an input record's not at all, and a fetch by
// index's only when its copy failed: each length read is a JNI call, about a
// sixth of a fetch's whole cost.
TEST_F(DataTest, AnOutArraysLengthIsReadOncePerCall) {
  // An input record's length is not read at all: its copy's bound checks it.
  EXPECT_EQ(CALL(addOrder, jni_.NewByteArray(957, 0x4D)), 0);
  EXPECT_EQ(jni_.CountCalls("GetArrayLength"), 0u);
  EXPECT_EQ(sim_.Arg(sim_.Find("qrAddOrder"), 0), std::string(957, '\x4D'));
  jni_.ClearCalls();
  jbyteArray exchange = jni_.NewByteArray(33, 0xAB);
  EXPECT_EQ(CALL(getExchange, 2, exchange), 0);
  EXPECT_EQ(jni_.CountCalls("GetArrayLength"), 0u);
  EXPECT_EQ(jni_.CountCalls("SetByteArrayRegion"), 1u);
  EXPECT_EQ(sim_.IntArg(sim_.Find("qrGetExchange"), 0), 2);
  // Short: the copy fails, and only then is the length read, for the message
  // (AccountByIndexIs48Bytes checks the rest).
  jni_.ClearCalls();
  EXPECT_EQ(CALL(getExchange, 3, jni_.NewByteArray(32)), 99);
  EXPECT_EQ(jni_.CountCalls("GetArrayLength"), 1u);
  jni_.ClearCalls();
  jintArray count = jni_.NewIntArray(4, -7);
  EXPECT_EQ(CALL(countExchanges, count), 0);
  EXPECT_EQ(jni_.CountCalls("GetArrayLength"), 1u);
  EXPECT_NE(jni_.Ints(count)[0], -7);
  EXPECT_EQ(jni_.Ints(count)[3], -7);
  EXPECT_TRUE(jni_.violations().empty());
}

// A copy that finds its array short (a size known only after the call) fails
// like the check before the call: 99 under the where-text, a message naming
// the array and both sizes, the array untouched, nothing left pending.
TEST_F(DataTest, AShortArrayFoundAtTheCopyIs99WithItsSizes) {
  jintArray values = jni_.NewIntArray(2, 0x5151);
  const int32_t wide[3] = {31, 32, 33};
  EXPECT_EQ(binding::Capture("CopyWhere",
                             [&] {
                               natives::CopyOut(jni_.env(), values, "values", wide, 3);
                               return 0;
                             }),
            99);
  jbyteArray record = jni_.NewByteArray(6, 0x3C);
  const unsigned char bytes[7] = {1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ(binding::Capture("ByteWhere",
                             [&] {
                               natives::CopyOut(jni_.env(), record, "record", bytes, sizeof bytes);
                               return 0;
                             }),
            99);
  EXPECT_FALSE(jni_.pending());
  EXPECT_TRUE(jni_.violations().empty());
  EXPECT_EQ(jni_.Ints(values), std::vector<int32_t>(2, 0x5151));
  EXPECT_EQ(jni_.Bytes(record), std::vector<uint8_t>(6, 0x3C));
  const auto lines = Logged();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0],
            "Wrapper API ErrorJava array values holds 2 elements, shorter than the 3 it receives "
            "Where CopyWhere");
  EXPECT_EQ(lines[1],
            "Wrapper API ErrorJava array record holds 6 elements, shorter than the 7 it receives "
            "Where ByteWhere");
}

}  // namespace
