// Position and risk natives: numbers the trading library computes come back
// as decimal text and reach Java as doubles; positions come back as 29-byte
// records copied untouched.
#include <stdexcept>
#include <string>

#include "natives/frame.h"
#include "natives/numeric_text.h"

using namespace natives;

namespace {

constexpr size_t kPosition = 29;
constexpr size_t kConsolidatedBlock = 4;

struct FourTexts {
  std::string s1, s2, s3, s4;
  FourTexts(JNIEnv* env, jstring j1, jstring j2, jstring j3, jstring j4)
      : s1(JNIString(env, j1)),
        s2(JNIString(env, j2)),
        s3(JNIString(env, j3)),
        s4(JNIString(env, j4)) {}
};

// The buffer is not cleared first: the trading library writes the text.
struct NumericText {
  char bytes[kNumericTextBytes];
  double Value() const { return NumericTextToDouble(bytes, sizeof bytes); }
};

template <typename Slot>
jint Value(JNIEnv* env, const char* where, Slot Entries::*entry, jstring j1, jstring j2, jstring j3,
           jstring j4, jdoubleArray out) {
  return Native(where, [&](const Entries& qr) {
    RequireOut(env, out, "value", 1);
    const FourTexts t(env, j1, j2, j3, j4);
    NumericText number;
    CheckResult((qr.*entry)(t.s1.c_str(), t.s2.c_str(), t.s3.c_str(), t.s4.c_str(), number.bytes));
    CopyOut(env, out, "value", number.Value());
    return 0;
  });
}

template <typename Slot>
jint Position(JNIEnv* env, const char* where, Slot Entries::*entry, jstring j1, jstring j2,
              jstring j3, jstring j4, jbyteArray out) {
  return Native(where, [&](const Entries& qr) {
    RequireOut(env, out, "record", kPosition);
    const FourTexts t(env, j1, j2, j3, j4);
    unsigned char record[kPosition];
    CheckResult((qr.*entry)(t.s1.c_str(), t.s2.c_str(), t.s3.c_str(), t.s4.c_str(), record));
    CopyOut(env, out, "record", record, sizeof record);
    return 0;
  });
}

}  // namespace

CLIENT_API(pLBurnRate)
(JNIEnv* env, jobject, jstring j1, jstring j2, jstring j3, jstring j4, jdoubleArray out) {
  return Value(env, __func__, &Entries::qrPLBurnRate, j1, j2, j3, j4, out);
}

CLIENT_API(openPositionExposure)
(JNIEnv* env, jobject, jstring j1, jstring j2, jstring j3, jstring j4, jdoubleArray out) {
  return Value(env, __func__, &Entries::qrOpenPositionExposure, j1, j2, j3, j4, out);
}

CLIENT_API(buyingPowerRemaining)
(JNIEnv* env, jobject, jstring j1, jstring j2, jstring j3, jstring j4, jdoubleArray out) {
  return Value(env, __func__, &Entries::qrBuyingPowerRemaining, j1, j2, j3, j4, out);
}

CLIENT_API(buyingPowerUsed)
(JNIEnv* env, jobject, jstring j1, jstring j2, jstring j3, jstring j4, jdoubleArray out) {
  return Value(env, __func__, &Entries::qrBuyingPowerUsed, j1, j2, j3, j4, out);
}

CLIENT_API(averagePrice)
(JNIEnv* env, jobject, jstring j1, jstring j2, jstring j3, jstring j4, jdoubleArray out) {
  return Value(env, __func__, &Entries::qrGetAveragePrice, j1, j2, j3, j4, out);
}

// The entry takes n by address before s5, the reverse of the Java order; what
// it writes through the address stays here. A null s5 is the empty string.
CLIENT_API(marginForTrade)
(JNIEnv* env, jobject, jstring j1, jstring j2, jstring j3, jstring j4, jstring j5, jint n,
 jstring j6, jdoubleArray out) {
  return Native(__func__, [&](const Entries& qr) {
    RequireOut(env, out, "value", 1);
    const FourTexts t(env, j1, j2, j3, j4);
    const std::string s5 = JNIString(env, j5);
    trace::Numbers(n);
    const std::string s6 = JNIString(env, j6);
    int32_t count = n;
    NumericText number;
    CheckResult(qr.qrMarginForTrade(t.s1.c_str(), t.s2.c_str(), t.s3.c_str(), t.s4.c_str(), &count,
                                    s5.c_str(), s6.c_str(), number.bytes));
    CopyOut(env, out, "value", number.Value());
    return 0;
  });
}

// Only the first byte of ch crosses, as a character; an empty ch has none.
CLIENT_API(getOptionPremium)
(JNIEnv* env, jobject, jstring j1, jstring j2, jstring j3, jstring jCh, jstring j4, jint n,
 jdoubleArray out) {
  return Native(__func__, [&](const Entries& qr) {
    RequireOut(env, out, "value", 1);
    const std::string s1 = JNIString(env, j1);
    const std::string s2 = JNIString(env, j2);
    const std::string s3 = JNIString(env, j3);
    const std::string ch = JNIString(env, jCh);
    const std::string s4 = JNIString(env, j4);
    trace::Numbers(n);
    if (ch.empty()) throw std::invalid_argument("getOptionPremium: empty option type");
    NumericText number;
    CheckResult(qr.qrGetOptionPremium(s1.c_str(), s2.c_str(), s3.c_str(),
                                      static_cast<unsigned char>(ch[0]), s4.c_str(), n,
                                      number.bytes));
    CopyOut(env, out, "value", number.Value());
    return 0;
  });
}

CLIENT_API(openPosition)
(JNIEnv* env, jobject, jstring j1, jstring j2, jstring j3, jstring j4, jbyteArray out) {
  return Position(env, __func__, &Entries::qrGetOpenPosition, j1, j2, j3, j4, out);
}

CLIENT_API(contractPosition)
(JNIEnv* env, jobject, jstring j1, jstring j2, jstring j3, jstring j4, jbyteArray out) {
  return Position(env, __func__, &Entries::qrGetContractPosition, j1, j2, j3, j4, out);
}

// Reads the first 4 bytes of a and copies nothing back.
CLIENT_API(getConsolidatedPosition)
(JNIEnv* env, jobject, jstring j1, jstring j2, jstring j3, jstring j4, jint n, jbyteArray a) {
  // Its failures are logged under a where-text of their own; the trace names
  // it as Java does.
  return Native(__func__, "Java_korvane_api_delphi_ClientAPI_GetConsolidatedPosition",
                [&](const Entries& qr) {
                  unsigned char block[kConsolidatedBlock];
                  ReadRecord(env, a, "block", block, sizeof block);
                  const FourTexts t(env, j1, j2, j3, j4);
                  trace::Numbers(n);
                  CheckResult(qr.qrgetConsolidatedPosition(t.s1.c_str(), t.s2.c_str(), t.s3.c_str(),
                                                           t.s4.c_str(), n, block));
                  return 0;
                });
}
